// CComPtr<T>: owns one reference on a reference-counted interface and drops it when it
// goes out of scope, so a reference held across statements cannot leak on an early
// return or be released twice.
//
//   CComPtr<IPin> pin;
//   if (FAILED(filter->FindPin(L"1", pin.Receive()))) return E_FAIL;   // adopts the pin's reference
//   CComPtr<IAMStreamConfig> config = pin.As<IAMStreamConfig>(IID_IAMStreamConfig);
//   if (!config) return E_NOINTERFACE;
//   *ppPin = pin.Detach();   // hands the reference to the caller
//
// Taking a pointer is always spelled out: CComPtr<T>(p, kAdoptRef) takes over a reference
// the caller already owns (nothing is added), CComPtr<T>(p, kAddRef) takes a reference of
// its own. Copies take a reference (AddRef); a move leaves its source empty and changes no
// count. Reset and Receive drop the held reference before anything else happens to the
// holder, and empty the holder before calling Release, so a destructor that Release runs
// never sees the old pointer. Detach empties the holder without releasing: the caller then
// owns that reference.
//
// Threading: none of its own; a holder is guarded by whoever owns it (the counts it changes
// are the object's own, which are thread-safe).
#pragma once

#include <cassert>
#include <cstddef>
#include <type_traits>
#include <utility>

#include "platform/com_types.h"

struct AdoptRefTag {
  explicit AdoptRefTag() = default;
};
struct AddRefTag {
  explicit AddRefTag() = default;
};
// Takes over a reference the caller owns.
inline constexpr AdoptRefTag kAdoptRef{};
// Takes a new reference (AddRef) and leaves the caller's as it was.
inline constexpr AddRefTag kAddRef{};

template <class T>
class CComPtr;
template <class U, class T>
CComPtr<U> QueryAs(T* object, REFIID iid) noexcept;

template <class T>
class CComPtr {
 public:
  CComPtr() noexcept = default;
  CComPtr(std::nullptr_t) noexcept {}  // NOLINT: an empty holder converts from null
  CComPtr(T* p, AdoptRefTag) noexcept : m_p(p) {}
  CComPtr(T* p, AddRefTag) noexcept : m_p(p) {
    if (m_p != nullptr) m_p->AddRef();
  }

  CComPtr(const CComPtr& other) noexcept : CComPtr(other.m_p, kAddRef) {}
  CComPtr(CComPtr&& other) noexcept : m_p(std::exchange(other.m_p, nullptr)) {}
  // From a holder of a derived interface or class (an implicit up-cast).
  template <class U, class = std::enable_if_t<std::is_convertible_v<U*, T*>>>
  CComPtr(const CComPtr<U>& other) noexcept : CComPtr(other.Get(), kAddRef) {}  // NOLINT
  template <class U, class = std::enable_if_t<std::is_convertible_v<U*, T*>>>
  CComPtr(CComPtr<U>&& other) noexcept : m_p(other.Detach()) {}  // NOLINT

  ~CComPtr() { Reset(); }

  // Assigning a holder to itself, or one that holds the same object, keeps the reference.
  CComPtr& operator=(const CComPtr& other) noexcept {
    CComPtr(other).Swap(*this);
    return *this;
  }
  CComPtr& operator=(CComPtr&& other) noexcept {
    CComPtr(std::move(other)).Swap(*this);
    return *this;
  }
  CComPtr& operator=(std::nullptr_t) noexcept {
    Reset();
    return *this;
  }

  T* Get() const noexcept { return m_p; }
  T* operator->() const noexcept {
    assert(m_p != nullptr);
    return m_p;
  }
  T& operator*() const noexcept {
    assert(m_p != nullptr);
    return *m_p;
  }
  explicit operator bool() const noexcept { return m_p != nullptr; }

  // Drops the held reference (if any); the holder is empty before Release runs.
  void Reset() noexcept {
    if (T* old = std::exchange(m_p, nullptr)) old->Release();
  }
  // Drops the held reference and takes over `p`'s (kAdoptRef) or a new one (kAddRef).
  void Reset(T* p, AdoptRefTag) noexcept { CComPtr(p, kAdoptRef).Swap(*this); }
  void Reset(T* p, AddRefTag) noexcept { CComPtr(p, kAddRef).Swap(*this); }

  // Empties the holder without releasing: the caller owns the reference it returns (for
  // out-parameters that hand a reference over).
  [[nodiscard]] T* Detach() noexcept { return std::exchange(m_p, nullptr); }
  // A new reference for the caller, the holder keeps its own (null when empty).
  [[nodiscard]] T* NewReference() const noexcept {
    if (m_p != nullptr) m_p->AddRef();
    return m_p;
  }

  // The address to pass as a T** out-parameter: the holder drops what it held first, so
  // the reference the callee writes is adopted and nothing is overwritten unreleased.
  T** Receive() noexcept {
    Reset();
    return &m_p;
  }
  // The same address as void** for QueryInterface-shaped out-parameters.
  void** ReceiveVoid() noexcept { return reinterpret_cast<void**>(Receive()); }

  // Asks the held object for interface `iid` (which must be U's): see QueryAs.
  template <class U>
  CComPtr<U> As(REFIID iid) const noexcept {
    return QueryAs<U>(m_p, iid);
  }
  // The same, with QueryInterface's status: E_POINTER when this holder is empty. `out`
  // drops what it held first.
  template <class U>
  HRESULT As(REFIID iid, CComPtr<U>* out) const noexcept {
    if (out == nullptr) return E_POINTER;
    if (m_p == nullptr) {
      out->Reset();
      return E_POINTER;
    }
    const HRESULT hr = m_p->QueryInterface(iid, out->ReceiveVoid());
    if (FAILED(hr)) (void)out->Detach();  // not a reference: a refusal hands none out
    return hr;
  }

  void Swap(CComPtr& other) noexcept { std::swap(m_p, other.m_p); }

  friend bool operator==(const CComPtr& a, const CComPtr& b) noexcept { return a.m_p == b.m_p; }
  friend bool operator==(const CComPtr& a, std::nullptr_t) noexcept { return a.m_p == nullptr; }
  friend bool operator==(const CComPtr& a, const T* b) noexcept { return a.m_p == b; }

 private:
  T* m_p = nullptr;
};

// Asks `object` (not owned; may be null) for interface `iid`, which must be U's. The
// result holds the reference QueryInterface handed out, or is empty when `object` is null
// or refused; whatever a refusing QueryInterface wrote is not a reference and is dropped
// unreleased.
template <class U, class T>
CComPtr<U> QueryAs(T* object, REFIID iid) noexcept {
  CComPtr<U> result;
  if (object != nullptr && FAILED(object->QueryInterface(iid, result.ReceiveVoid()))) (void)result.Detach();
  return result;
}
