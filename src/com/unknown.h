// INonDelegatingUnknown and CUnknown: the reference-counted object base of the framework.
//
// Every framework object answers IUnknown twice. Its public interfaces forward
// QueryInterface, AddRef and Release to the owner (DECLARE_IUNKNOWN writes those three
// forwarders); its non-delegating unknown does the real work. The owner is the outer
// object's IUnknown when the object is aggregated, else the object's own non-delegating
// unknown, so an aggregated object shares the outer object's identity and lifetime.
//
// The non-delegating unknown is handed out as a real IUnknown (NonDelegatingUnknown()):
// a small member object whose three methods call the NonDelegating ones. An outer object
// keeps that pointer and releases it to destroy the inner object.
//
// Reference counting lives here and nowhere else. The count starts at 0 and changes
// atomically on any thread. When NonDelegatingRelease takes it to 0 the count is set back
// to 1 and the object deletes itself once; a reference taken and dropped again by its own
// destructor therefore never starts a second destruction. Objects must be created with
// new and destroyed only through the last release.
#pragma once

#include <type_traits>

#include <atomic>

#include "com/base_object.h"
#include "platform/com_types.h"

struct INonDelegatingUnknown {
  virtual HRESULT STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID riid, void** ppv) = 0;
  virtual ULONG STDMETHODCALLTYPE NonDelegatingAddRef() = 0;
  virtual ULONG STDMETHODCALLTYPE NonDelegatingRelease() = 0;
};

class CUnknown : public INonDelegatingUnknown, public CBaseObject {
 public:
  CUnknown(const WCHAR* pName, IUnknown* pUnk);
  // The result variable is left as it is: nothing here can fail.
  CUnknown(const WCHAR* pName, IUnknown* pUnk, HRESULT* phr);
  ~CUnknown() override;

  // IUnknown: hands out NonDelegatingUnknown() with a reference. Anything else: null and
  // E_NOINTERFACE. E_POINTER when ppv is null.
  STDMETHODIMP NonDelegatingQueryInterface(REFIID riid, void** ppv) override;
  STDMETHODIMP_(ULONG) NonDelegatingAddRef() override;
  STDMETHODIMP_(ULONG) NonDelegatingRelease() override;

  // The IUnknown that every public interface of the object delegates to.
  IUnknown* GetOwner() const { return m_pUnknown; }
  // The object's own unknown, as an IUnknown whose methods are the non-delegating ones.
  IUnknown* NonDelegatingUnknown() { return &m_self; }

 protected:
  std::atomic<LONG> m_cRef{0};

 private:
  class CSelf final : public IUnknown {
   public:
    explicit CSelf(CUnknown* object) : m_object(object) {}
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
      return m_object->NonDelegatingQueryInterface(riid, ppv);
    }
    STDMETHODIMP_(ULONG) AddRef() override { return m_object->NonDelegatingAddRef(); }
    STDMETHODIMP_(ULONG) Release() override { return m_object->NonDelegatingRelease(); }

   private:
    CUnknown* m_object;
  };

  CSelf m_self{this};
  IUnknown* const m_pUnknown;
};

// Stores pUnk in *ppv with a reference; E_POINTER (nothing stored) when ppv is null.
// Every query answers through this.
HRESULT GetInterface(IUnknown* pUnk, void** ppv);

// The answer of an interface method that reports a fixed value: E_POINTER (nothing
// stored) when out is null, else value stored in *out and result returned.
template <typename T>
HRESULT StoreAnswer(T* out, std::type_identity_t<T> value, HRESULT result = S_OK) {
  if (out == nullptr) return E_POINTER;
  *out = value;
  return result;
}

// The three IUnknown methods of a CUnknown-derived class's public interfaces: all go to
// the owner.
#define DECLARE_IUNKNOWN                                                                        \
  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {                               \
    return GetOwner()->QueryInterface(riid, ppv);                                               \
  }                                                                                             \
  STDMETHODIMP_(ULONG) AddRef() override { return GetOwner()->AddRef(); }                       \
  STDMETHODIMP_(ULONG) Release() override { return GetOwner()->Release(); }
