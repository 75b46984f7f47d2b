#include "com/com_ptr.h"

#include <gtest/gtest.h>

#include <cstring>
#include <utility>

#include "com/query_answer.h"
#include "com/task_memory.h"
#include "framework/media_type.h"
#include "framework/scoped_media_type.h"
#include "platform/com_ids.h"

namespace {

// A class factory that only counts: its references, the releases it saw, and whether it
// was destroyed (the last release deletes it). It answers IUnknown and IClassFactory.
class CCountingObject final : public IClassFactory {
 public:
  explicit CCountingObject(int* destroyed) : m_destroyed(destroyed) {}
  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
    return AnswerQuery(static_cast<IClassFactory*>(this), riid, ppv, {IID_IUnknown, IID_IClassFactory});
  }
  STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(++m_refs); }
  STDMETHODIMP_(ULONG) Release() override {
    const LONG left = --m_refs;
    if (left == 0) {
      ++*m_destroyed;
      delete this;
    }
    return static_cast<ULONG>(left);
  }
  STDMETHODIMP CreateInstance(IUnknown*, REFIID, void** ppv) override {
    *ppv = nullptr;
    return E_NOTIMPL;
  }
  STDMETHODIMP LockServer(BOOL) override { return S_OK; }

  LONG Refs() const { return m_refs; }

 private:
  ~CCountingObject() = default;
  int* m_destroyed;
  LONG m_refs = 1;  // the creator's
};

const IID kUnknownInterface = {0x5a1e0c3b, 0x2f6d, 0x4c8e, {0x9b, 0x11, 0x7e, 0x42, 0xd0, 0x3a, 0x88, 0x01}};

TEST(ComPtrTest, AdoptTakesOverTheReferenceAndAddRefTakesItsOwn) {
  int destroyed = 0;
  auto* object = new CCountingObject(&destroyed);
  {
    CComPtr<IClassFactory> shared(object, kAddRef);
    EXPECT_EQ(object->Refs(), 2);
    CComPtr<IClassFactory> adopted(object, kAdoptRef);
    EXPECT_EQ(object->Refs(), 2);
  }
  EXPECT_EQ(destroyed, 1);
}

TEST(ComPtrTest, MovesLeaveTheSourceEmptyAndReleaseOnlyOnce) {
  int destroyed = 0;
  auto* object = new CCountingObject(&destroyed);
  {
    CComPtr<IClassFactory> first(object, kAdoptRef);
    CComPtr<IClassFactory> second(std::move(first));
    EXPECT_FALSE(first);  // NOLINT(bugprone-use-after-move): the moved-from state is the point
    EXPECT_EQ(second.Get(), object);
    CComPtr<IClassFactory> third;
    third = std::move(second);
    EXPECT_FALSE(second);  // NOLINT(bugprone-use-after-move)
    CComPtr<IUnknown> base(std::move(third));  // an up-cast moves too
    EXPECT_FALSE(third);   // NOLINT(bugprone-use-after-move)
    EXPECT_EQ(object->Refs(), 1);
  }
  EXPECT_EQ(destroyed, 1);
}

TEST(ComPtrTest, CopiesAndSelfAssignmentKeepTheCountExact) {
  int destroyed = 0;
  auto* object = new CCountingObject(&destroyed);
  {
    CComPtr<IClassFactory> held(object, kAdoptRef);
    CComPtr<IClassFactory> copy(held);
    EXPECT_EQ(object->Refs(), 2);
    CComPtr<IClassFactory>& alias = held;
    held = alias;             // a copy of itself: the object must not die in between
    held = std::move(alias);  // a move of itself: keeps the reference
    EXPECT_EQ(held.Get(), object);
    EXPECT_EQ(object->Refs(), 2);
    copy = held;  // the same object through another holder
    EXPECT_EQ(object->Refs(), 2);
    copy = nullptr;
    EXPECT_EQ(object->Refs(), 1);
  }
  EXPECT_EQ(destroyed, 1);
}

TEST(ComPtrTest, ReceiveReleasesWhatTheHolderHeldBeforeTheCalleeWrites) {
  int destroyed = 0;
  auto* first = new CCountingObject(&destroyed);
  auto* second = new CCountingObject(&destroyed);
  CComPtr<IClassFactory> held(first, kAdoptRef);
  IClassFactory** slot = held.Receive();
  EXPECT_EQ(destroyed, 1);  // the first object's only reference was dropped
  EXPECT_EQ(*slot, nullptr);
  *slot = second;  // as a callee hands a reference over
  EXPECT_EQ(held.Get(), second);
  held.Reset();
  EXPECT_EQ(destroyed, 2);
}

TEST(ComPtrTest, DetachHandsTheReferenceOverAndNewReferenceKeepsOne) {
  int destroyed = 0;
  auto* object = new CCountingObject(&destroyed);
  CComPtr<IClassFactory> held(object, kAdoptRef);
  IClassFactory* extra = held.NewReference();
  EXPECT_EQ(object->Refs(), 2);
  IClassFactory* handed = held.Detach();
  EXPECT_FALSE(held);
  EXPECT_EQ(object->Refs(), 2);
  extra->Release();
  handed->Release();
  EXPECT_EQ(destroyed, 1);
}

TEST(ComPtrTest, AsHoldsTheAnsweredInterfaceOrStaysEmpty) {
  int destroyed = 0;
  CComPtr<IUnknown> unknown(new CCountingObject(&destroyed), kAdoptRef);
  CComPtr<IClassFactory> factory = unknown.As<IClassFactory>(IID_IClassFactory);
  ASSERT_TRUE(factory);
  EXPECT_EQ(static_cast<CCountingObject*>(factory.Get())->Refs(), 2);

  // A refusal leaves the target empty, whatever it held before.
  CComPtr<IClassFactory> target = factory;
  EXPECT_EQ(unknown.As(kUnknownInterface, &target), E_NOINTERFACE);
  EXPECT_FALSE(target);
  EXPECT_FALSE(unknown.As<IClassFactory>(kUnknownInterface));
  EXPECT_EQ(static_cast<CCountingObject*>(factory.Get())->Refs(), 2);

  CComPtr<IUnknown> empty;
  EXPECT_FALSE(empty.As<IClassFactory>(IID_IClassFactory));
  EXPECT_EQ(empty.As(IID_IClassFactory, &target), E_POINTER);

  factory.Reset();
  unknown.Reset();
  EXPECT_EQ(destroyed, 1);
}

// A media type whose pUnk is a counting object shows when the record is freed.
AM_MEDIA_TYPE* TypeHolding(IUnknown* unk) {
  CMediaType type;
  type.pUnk = unk;
  unk->AddRef();
  return CreateMediaType(&type);  // the copy takes a reference of its own; `type` drops its
}

TEST(ScopedMediaTypeTest, FreesItsRecordOnceAcrossMovesResetAndReceive) {
  int destroyed = 0;
  auto* unk = new CCountingObject(&destroyed);
  {
    CScopedMediaType first(TypeHolding(unk));
    ASSERT_TRUE(first);
    EXPECT_EQ(unk->Refs(), 2);
    CScopedMediaType second(std::move(first));
    EXPECT_FALSE(first);  // NOLINT(bugprone-use-after-move)
    CScopedMediaType third;
    third = std::move(second);
    third = std::move(third);  // NOLINT: moving onto itself keeps the record
    ASSERT_TRUE(third);
    EXPECT_EQ(unk->Refs(), 2);

    AM_MEDIA_TYPE** slot = third.Receive();
    EXPECT_EQ(*slot, nullptr);
    EXPECT_EQ(unk->Refs(), 1);  // the held record was freed before the callee writes
    *slot = TypeHolding(unk);
    EXPECT_EQ(unk->Refs(), 2);

    AM_MEDIA_TYPE* handed = third.Detach();
    EXPECT_FALSE(third);
    EXPECT_EQ(unk->Refs(), 2);
    third.Reset(handed);
  }
  EXPECT_EQ(unk->Refs(), 1);
  unk->Release();
  EXPECT_EQ(destroyed, 1);
}

}  // namespace

namespace {

// Under the sanitizer build a block the holder forgets is a reported leak, and one freed
// twice an error: the rows below fail either way.
TEST(TaskMemoryTest, EveryBlockIsFreedOnceWhateverHappensToItsHolder) {
  const auto fill = [](char** out, const char* text) {
    *out = static_cast<char*>(CoTaskMemAlloc(8));
    std::strncpy(*out, text, 8);
  };
  CTaskMemory<char> first;
  EXPECT_FALSE(first);
  fill(first.Receive(), "one");
  fill(first.Receive(), "two");  // the first block is freed as the second comes
  ASSERT_TRUE(first);
  EXPECT_STREQ(first.Get(), "two");
  CTaskMemory<char> second(std::move(first));
  EXPECT_FALSE(first);
  EXPECT_STREQ(second.Get(), "two");
  CTaskMemory<char> third;
  fill(third.Receive(), "three");
  third = std::move(second);  // frees "three", takes "two"
  EXPECT_STREQ(third.Get(), "two");
  EXPECT_FALSE(second);
  EXPECT_EQ(*second.Receive(), nullptr) << "an empty holder hands out a null pointer to fill";
}

}  // namespace

namespace {

TEST(AnswerQueryTest, OnlyTheListedInterfacesAreAnsweredEachWithOneReference) {
  int destroyed = 0;
  auto* object = new CCountingObject(&destroyed);  // one reference, the test's
  struct Row {
    const IID* iid;
    HRESULT result;
  };
  for (const Row& row : {Row{&IID_IUnknown, S_OK}, Row{&IID_IClassFactory, S_OK}, Row{&IID_IPersist, E_NOINTERFACE},
                         Row{&IID_IMemAllocator, E_NOINTERFACE}}) {
    void* answer = reinterpret_cast<void*>(1);
    EXPECT_EQ(object->QueryInterface(*row.iid, &answer), row.result);
    if (row.result == S_OK) {
      EXPECT_EQ(answer, static_cast<IClassFactory*>(object));
      EXPECT_EQ(object->Refs(), 2) << "the caller's reference";
      object->Release();
    } else {
      EXPECT_EQ(answer, nullptr);
      EXPECT_EQ(object->Refs(), 1);
    }
  }
  EXPECT_EQ(object->QueryInterface(IID_IUnknown, nullptr), E_POINTER);
  EXPECT_EQ(object->Refs(), 1);
  object->Release();
  EXPECT_EQ(destroyed, 1);
}

}  // namespace
