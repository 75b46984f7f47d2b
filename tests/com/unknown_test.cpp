#include "com/unknown.h"

#include <gtest/gtest.h>

#include "com/base_object.h"
#include "platform/dshow_types.h"

namespace {

// Counts its destructions; optionally takes and drops a reference while dying, as an
// object whose teardown hands itself to a helper would.
class CCountedObject : public CUnknown {
 public:
  CCountedObject(IUnknown* outer, int* destroyed, bool touchWhileDying = false)
      : CUnknown(L"counted", outer), m_destroyed(destroyed), m_touchWhileDying(touchWhileDying) {}
  ~CCountedObject() override {
    if (m_touchWhileDying) {
      NonDelegatingAddRef();
      NonDelegatingRelease();
    }
    ++*m_destroyed;
  }

 private:
  int* m_destroyed;
  bool m_touchWhileDying;
};

// A minimal outer object: counts the references that reach it.
class COuter : public IUnknown {
 public:
  STDMETHODIMP QueryInterface(REFIID, void** ppv) override {
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(++m_refs); }
  STDMETHODIMP_(ULONG) Release() override { return static_cast<ULONG>(--m_refs); }
  LONG m_refs = 1;
};

TEST(UnknownTest, LastReleaseDestroysTheObjectExactlyOnceAndReturnsZero) {
  for (bool touchWhileDying : {false, true}) {
    int destroyed = 0;
    auto* object = new CCountedObject(nullptr, &destroyed, touchWhileDying);
    EXPECT_EQ(object->NonDelegatingAddRef(), 1u);
    EXPECT_EQ(object->NonDelegatingAddRef(), 2u);
    EXPECT_EQ(object->NonDelegatingRelease(), 1u);
    EXPECT_EQ(destroyed, 0);
    EXPECT_EQ(object->NonDelegatingRelease(), 0u);
    EXPECT_EQ(destroyed, 1);
  }
}

TEST(UnknownTest, ObjectsAreCountedForTheirWholeLifeOnly) {
  const LONG before = CBaseObject::ObjectsActive();
  int destroyed = 0;
  auto* first = new CCountedObject(nullptr, &destroyed);
  auto* second = new CCountedObject(nullptr, &destroyed);
  EXPECT_EQ(CBaseObject::ObjectsActive(), before + 2);
  first->NonDelegatingAddRef();
  first->NonDelegatingRelease();
  EXPECT_EQ(CBaseObject::ObjectsActive(), before + 1);
  second->NonDelegatingAddRef();
  second->NonDelegatingRelease();
  EXPECT_EQ(CBaseObject::ObjectsActive(), before);
  EXPECT_EQ(destroyed, 2);
}

TEST(UnknownTest, QueryForUnknownHandsOutTheNonDelegatingUnknownWithAReference) {
  int destroyed = 0;
  auto* object = new CCountedObject(nullptr, &destroyed);
  EXPECT_EQ(object->GetOwner(), object->NonDelegatingUnknown());
  void* unknown = nullptr;
  ASSERT_EQ(object->NonDelegatingQueryInterface(IID_IUnknown, &unknown), S_OK);
  EXPECT_EQ(unknown, object->NonDelegatingUnknown());

  void* other = reinterpret_cast<void*>(0x1);
  EXPECT_EQ(object->NonDelegatingQueryInterface(IID_IMemAllocator, &other), E_NOINTERFACE);
  EXPECT_EQ(other, nullptr);
  EXPECT_EQ(object->NonDelegatingQueryInterface(IID_IUnknown, nullptr), E_POINTER);

  // The handed-out pointer is a working IUnknown whose release is the object's own.
  EXPECT_EQ(static_cast<IUnknown*>(unknown)->Release(), 0u);
  EXPECT_EQ(destroyed, 1);
}

TEST(UnknownTest, AnAggregatedObjectDelegatesToItsOuterButDiesByItsOwnUnknown) {
  COuter outer;
  int destroyed = 0;
  auto* inner = new CCountedObject(&outer, &destroyed);
  EXPECT_EQ(inner->GetOwner(), &outer);
  inner->GetOwner()->AddRef();
  EXPECT_EQ(outer.m_refs, 2);
  inner->GetOwner()->Release();

  // The outer keeps the inner through its non-delegating unknown.
  IUnknown* held = nullptr;
  ASSERT_EQ(inner->NonDelegatingQueryInterface(IID_IUnknown, reinterpret_cast<void**>(&held)), S_OK);
  EXPECT_EQ(outer.m_refs, 1);
  EXPECT_EQ(held->Release(), 0u);
  EXPECT_EQ(destroyed, 1);
}

}  // namespace
