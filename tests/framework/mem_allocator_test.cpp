#include "framework/mem_allocator.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <future>
#include <thread>

#include "framework/media_sample.h"
#include "platform/shared_memory.h"

namespace {

using namespace std::chrono_literals;

// Counts its destruction and shows how many GetBuffer callers are registered as waiting.
class CTestAllocator : public CMemAllocator {
 public:
  explicit CTestAllocator(int* destroyed) : CMemAllocator(L"test", nullptr, nullptr), m_destroyed(destroyed) {}
  ~CTestAllocator() override { ++*m_destroyed; }
  LONG Waiting() {
    CLockHolder<CRecursiveLock> lock(m_lock);
    return m_lWaiting;
  }

 private:
  int* m_destroyed;
};

class MemAllocatorTest : public testing::Test {
 protected:
  void SetUp() override {
    m_allocator = new CTestAllocator(&m_destroyed);
    m_allocator->NonDelegatingAddRef();
  }
  void TearDown() override {
    if (m_allocator != nullptr) {
      m_allocator->Decommit();
      m_allocator->NonDelegatingRelease();
    }
    EXPECT_EQ(m_destroyed, 1);
  }
  HRESULT Set(LONG count, LONG size, LONG align = 1, LONG prefix = 0) {
    ALLOCATOR_PROPERTIES request{count, size, align, prefix};
    return m_allocator->SetProperties(&request, &m_actual);
  }
  IMediaSample* Take() {
    IMediaSample* sample = nullptr;
    EXPECT_EQ(m_allocator->GetBuffer(&sample, nullptr, nullptr, AM_GBF_NOWAIT), S_OK);
    return sample;
  }
  // References held, measured by taking one more.
  ULONG References() {
    const ULONG count = m_allocator->NonDelegatingAddRef();
    m_allocator->NonDelegatingRelease();
    return count - 1;
  }
  static BYTE* Pointer(IMediaSample* sample) {
    BYTE* pointer = nullptr;
    sample->GetPointer(&pointer);
    return pointer;
  }

  int m_destroyed = 0;
  CTestAllocator* m_allocator = nullptr;
  ALLOCATOR_PROPERTIES m_actual{};
};

struct Rounding {
  LONG size, align, prefix, expected;
};
class MemAllocatorRoundingTest : public MemAllocatorTest, public testing::WithParamInterface<Rounding> {};

TEST_P(MemAllocatorRoundingTest, SizePlusPrefixBecomesAMultipleOfTheAlignment) {
  const Rounding r = GetParam();
  ASSERT_EQ(Set(3, r.size, r.align, r.prefix), S_OK);
  EXPECT_EQ(m_actual.cbBuffer, r.expected);
  EXPECT_EQ(m_actual.cBuffers, 3);
  EXPECT_EQ(m_actual.cbPrefix, r.prefix);
  ALLOCATOR_PROPERTIES stored{};
  ASSERT_EQ(m_allocator->GetProperties(&stored), S_OK);
  EXPECT_EQ(stored.cbBuffer, r.expected);

  // Every buffer starts prefix bytes after an aligned address (for a power of two), zero-filled.
  ASSERT_EQ(m_allocator->Commit(), S_OK);
  IMediaSample* samples[3];
  for (auto*& sample : samples) {
    sample = Take();
    ASSERT_NE(sample, nullptr);
    BYTE* data = Pointer(sample);
    if ((r.align & (r.align - 1)) == 0) {
      EXPECT_EQ(reinterpret_cast<std::uintptr_t>(data - r.prefix) % static_cast<std::uintptr_t>(r.align), 0u);
    }
    EXPECT_EQ(sample->GetSize(), r.expected);
    EXPECT_EQ(data[0], 0);
    EXPECT_EQ(data[r.expected - 1], 0);
  }
  for (auto* sample : samples) sample->Release();
}

INSTANTIATE_TEST_SUITE_P(Layouts, MemAllocatorRoundingTest,
                         testing::Values(Rounding{1000, 16, 8, 1000}, Rounding{1000, 16, 0, 1008},
                                         Rounding{1, 1, 0, 1}, Rounding{100, 12, 4, 104},
                                         Rounding{1000, 4096, 100, 3996}));

TEST_F(MemAllocatorTest, RefusesBadAlignmentsAndSizesThatCannotBeLaidOut) {
  const LONG granularity = static_cast<LONG>(platform::AllocationGranularity());
  EXPECT_EQ(Set(1, 100, 0), VFW_E_BADALIGN);
  EXPECT_EQ(Set(1, 100, granularity * 2), VFW_E_BADALIGN);
  EXPECT_EQ(Set(1, 100, INT32_MIN + 1), VFW_E_BADALIGN);
  EXPECT_EQ(Set(1, 100, -16), VFW_E_BADALIGN);
  // The rounded size would not fit in 32 bits.
  EXPECT_EQ(Set(1, 0x7FFFFFF9, 16, 0), E_OUTOFMEMORY);
  ALLOCATOR_PROPERTIES stored{};
  m_allocator->GetProperties(&stored);
  EXPECT_EQ(stored.cbBuffer, 0);

  // Whole block above 2^31 - 1, a stride that overflows, negative sizes: no commit.
  for (const ALLOCATOR_PROPERTIES& p : {ALLOCATOR_PROPERTIES{3, 0x40000000, 1, 0}, ALLOCATOR_PROPERTIES{1, 0x7FFFFFFF, 1, 1},
                                        ALLOCATOR_PROPERTIES{1, 100, 1, -1}}) {
    ALLOCATOR_PROPERTIES request = p;
    ASSERT_EQ(m_allocator->SetProperties(&request, &m_actual), S_OK);
    EXPECT_EQ(m_allocator->Commit(), E_OUTOFMEMORY);
    IMediaSample* sample = nullptr;
    EXPECT_EQ(m_allocator->GetBuffer(&sample, nullptr, nullptr, 0), VFW_E_NOT_COMMITTED);
  }
}

TEST_F(MemAllocatorTest, CommitNeedsPropertiesAndTakesOneSelfReference) {
  EXPECT_EQ(m_allocator->Commit(), VFW_E_SIZENOTSET);
  ASSERT_EQ(Set(2, 100), S_OK);
  EXPECT_EQ(References(), 1u);
  EXPECT_EQ(m_allocator->Commit(), S_OK);
  EXPECT_EQ(m_allocator->Commit(), S_OK);
  EXPECT_EQ(References(), 2u);
  EXPECT_EQ(Set(2, 100), VFW_E_ALREADY_COMMITTED);
  EXPECT_EQ(m_allocator->Decommit(), S_OK);
  EXPECT_EQ(References(), 1u);
}

TEST_F(MemAllocatorTest, LendsTheMostRecentlyReturnedBufferAndKeepsBuffersAcrossAnUnchangedCommit) {
  ASSERT_EQ(Set(2, 64), S_OK);
  ASSERT_EQ(m_allocator->Commit(), S_OK);
  IMediaSample* first = Take();
  IMediaSample* second = Take();
  LONG free = -1;
  m_allocator->GetFreeCount(&free);
  EXPECT_EQ(free, 0);
  IMediaSample* none = nullptr;
  EXPECT_EQ(m_allocator->GetBuffer(&none, nullptr, nullptr, AM_GBF_NOWAIT), VFW_E_TIMEOUT);
  EXPECT_EQ(none, nullptr);
  BYTE* firstBuffer = Pointer(first);
  first->Release();
  second->Release();
  IMediaSample* again = Take();
  EXPECT_EQ(again, second);
  again->Release();

  m_allocator->Decommit();
  ASSERT_EQ(m_allocator->Commit(), S_OK);
  IMediaSample* a = Take();
  IMediaSample* b = Take();
  EXPECT_TRUE(Pointer(a) == firstBuffer || Pointer(b) == firstBuffer);
  a->Release();
  b->Release();
}

TEST_F(MemAllocatorTest, DecommitWithSamplesOutWaitsForTheLastOneAndACommitCancelsIt) {
  ASSERT_EQ(Set(2, 64), S_OK);
  ASSERT_EQ(m_allocator->Commit(), S_OK);
  IMediaSample* first = Take();
  IMediaSample* second = Take();
  BYTE* buffer = Pointer(first);
  m_allocator->Decommit();
  IMediaSample* none = nullptr;
  EXPECT_EQ(m_allocator->GetBuffer(&none, nullptr, nullptr, 0), VFW_E_NOT_COMMITTED);
  EXPECT_EQ(Set(2, 64), VFW_E_BUFFERS_OUTSTANDING);

  // Commit while pending: the same buffers, no new allocation.
  ASSERT_EQ(m_allocator->Commit(), S_OK);
  EXPECT_EQ(References(), 2u);
  first->Release();
  IMediaSample* again = Take();
  EXPECT_EQ(Pointer(again), buffer);
  again->Release();

  // The pool outlives the pin's reference until the last sample comes home.
  m_allocator->Decommit();
  m_allocator->NonDelegatingRelease();
  m_allocator = nullptr;
  EXPECT_EQ(m_destroyed, 0);
  second->Release();
  EXPECT_EQ(m_destroyed, 1);
}

TEST_F(MemAllocatorTest, ABlockedGetBufferIsReleasedByDecommitAndByAReturnedSample) {
  ASSERT_EQ(Set(1, 64), S_OK);
  ASSERT_EQ(m_allocator->Commit(), S_OK);
  IMediaSample* held = Take();

  auto waitForBuffer = [this] {
    IMediaSample* sample = nullptr;
    const HRESULT hr = m_allocator->GetBuffer(&sample, nullptr, nullptr, 0);
    return std::make_pair(hr, sample);
  };
  auto untilWaiting = [this] {
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (m_allocator->Waiting() == 0 && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
    return m_allocator->Waiting() == 1;
  };

  auto returned = std::async(std::launch::async, waitForBuffer);
  ASSERT_TRUE(untilWaiting());
  held->Release();
  ASSERT_EQ(returned.wait_for(10s), std::future_status::ready);
  const auto [hr, sample] = returned.get();
  EXPECT_EQ(hr, S_OK);
  EXPECT_EQ(sample, held);

  auto decommitted = std::async(std::launch::async, waitForBuffer);
  ASSERT_TRUE(untilWaiting());
  m_allocator->Decommit();
  ASSERT_EQ(decommitted.wait_for(10s), std::future_status::ready);
  EXPECT_EQ(decommitted.get().first, VFW_E_NOT_COMMITTED);
  sample->Release();
}

class CReleaseCounter : public IMemAllocatorNotifyCallbackTemp {
 public:
  STDMETHODIMP QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
  STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(++m_refs); }
  STDMETHODIMP_(ULONG) Release() override { return static_cast<ULONG>(--m_refs); }
  STDMETHODIMP NotifyRelease() override {
    ++m_released;
    return S_OK;
  }
  int m_refs = 1;
  int m_released = 0;
};

TEST_F(MemAllocatorTest, TellsTheReleaseNotifyOfEveryReturnedSampleAndAnswersTheCallbackInterface) {
  IMemAllocatorCallbackTemp* callback = nullptr;
  ASSERT_EQ(m_allocator->QueryInterface(IID_IMemAllocatorCallbackTemp, reinterpret_cast<void**>(&callback)), S_OK);
  CReleaseCounter counter;
  callback->SetNotify(&counter);
  EXPECT_EQ(counter.m_refs, 2);
  ASSERT_EQ(Set(1, 16), S_OK);
  ASSERT_EQ(m_allocator->Commit(), S_OK);
  Take()->Release();
  EXPECT_EQ(counter.m_released, 1);
  callback->SetNotify(nullptr);
  EXPECT_EQ(counter.m_refs, 1);
  callback->Release();
}

TEST_F(MemAllocatorTest, ASampleTakenAgainCarriesNothingOfItsLastUse) {
  ASSERT_EQ(Set(1, 16), S_OK);
  ASSERT_EQ(m_allocator->Commit(), S_OK);
  IMediaSample* sample = Take();
  REFERENCE_TIME start = 10, stop = 20;
  sample->SetTime(&start, &stop);
  sample->SetSyncPoint(TRUE);
  AM_MEDIA_TYPE type{};
  type.majortype = IID_IMediaSample;
  ASSERT_EQ(sample->SetMediaType(&type), S_OK);
  sample->AddRef();
  EXPECT_EQ(sample->Release(), 1u);
  EXPECT_EQ(sample->Release(), 0u);

  sample = Take();
  EXPECT_EQ(sample->GetTime(&start, &stop), VFW_E_SAMPLE_TIME_NOT_SET);
  EXPECT_EQ(sample->IsSyncPoint(), S_FALSE);
  AM_MEDIA_TYPE* attached = reinterpret_cast<AM_MEDIA_TYPE*>(0x1);
  EXPECT_EQ(sample->GetMediaType(&attached), S_FALSE);
  EXPECT_EQ(attached, nullptr);
  sample->Release();
}

}  // namespace
