// Class activation and the system reference clock, through the Windows interfaces only:
// on Windows these run against the system's own classes.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "platform/dshow_types.h"

namespace {

class RuntimeActivationTest : public testing::Test {
 protected:
  void SetUp() override { m_init = CoInitializeEx(nullptr, COINIT_MULTITHREADED); }
  void TearDown() override {
    if (SUCCEEDED(m_init)) CoUninitialize();
  }
  HRESULT m_init = E_FAIL;
};

using SystemClockTest = RuntimeActivationTest;

TEST_F(RuntimeActivationTest, FilterGraphAnswersEveryGraphInterfaceWithOneIdentity) {
  IUnknown* identity = nullptr;
  ASSERT_EQ(CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                             reinterpret_cast<void**>(&identity)),
            S_OK);
  for (const IID* iid : {&IID_IFilterGraph, &IID_IGraphBuilder, &IID_IFilterGraph2, &IID_IMediaControl,
                         &IID_IMediaFilter, &IID_IMediaEventSink, &IID_IMediaEvent}) {
    IUnknown* answer = nullptr;
    ASSERT_EQ(identity->QueryInterface(*iid, reinterpret_cast<void**>(&answer)), S_OK);
    IUnknown* back = nullptr;
    ASSERT_EQ(answer->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&back)), S_OK);
    EXPECT_EQ(back, identity);
    back->Release();
    answer->Release();
  }
  EXPECT_EQ(identity->Release(), 0u);
}

TEST_F(RuntimeActivationTest, RefusesUnknownClassesAndAggregationLeavingTheOutputNull) {
  const CLSID unknown = {0x3F2A9C10, 0x6B7E, 0x4D21, {0x9A, 0x44, 0x0C, 0x5E, 0x8B, 0x1D, 0x7F, 0x32}};
  void* object = &object;
  EXPECT_EQ(CoCreateInstance(unknown, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, &object), REGDB_E_CLASSNOTREG);
  EXPECT_EQ(object, nullptr);

  // Aggregation asks for IUnknown only; any other interface is refused.
  IUnknown* outer = nullptr;
  ASSERT_EQ(CoCreateInstance(CLSID_SystemClock, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                             reinterpret_cast<void**>(&outer)),
            S_OK);
  object = &object;
  EXPECT_TRUE(FAILED(CoCreateInstance(CLSID_FilterGraph, outer, CLSCTX_INPROC_SERVER, IID_IGraphBuilder, &object)));
  EXPECT_EQ(object, nullptr);
  outer->Release();
}

TEST_F(SystemClockTest, TimeNeverGoesBackAndRepeatsOnlyWithSFalse) {
  IReferenceClock* clock = nullptr;
  ASSERT_EQ(CoCreateInstance(CLSID_SystemClock, nullptr, CLSCTX_INPROC_SERVER, IID_IReferenceClock,
                             reinterpret_cast<void**>(&clock)),
            S_OK);
  EXPECT_EQ(clock->GetTime(nullptr), E_POINTER);

  // Every thread sees its own readings rise; a repeated value is flagged as such.
  constexpr int kThreads = 4;
  constexpr int kReadings = 20000;
  std::vector<std::thread> readers;
  std::vector<int> faults(kThreads, 0);
  for (int t = 0; t < kThreads; ++t) {
    readers.emplace_back([clock, &faults, t] {
      REFERENCE_TIME previous = 0;
      clock->GetTime(&previous);
      for (int i = 0; i < kReadings; ++i) {
        REFERENCE_TIME now = 0;
        const HRESULT hr = clock->GetTime(&now);
        const bool sound = now >= previous && (hr == S_OK || hr == S_FALSE);
        if (!sound) ++faults[t];
        previous = now;
      }
    });
  }
  for (auto& reader : readers) reader.join();
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(faults[t], 0) << "thread " << t;

  REFERENCE_TIME first = 0;
  REFERENCE_TIME second = 0;
  HRESULT hr = S_FALSE;
  for (int i = 0; i < 1000000 && hr != S_OK; ++i) {
    clock->GetTime(&first);
    hr = clock->GetTime(&second);
    if (hr == S_FALSE) {
      EXPECT_EQ(second, first);
    }
  }
  EXPECT_EQ(hr, S_OK);
  EXPECT_GT(second, first);

  // No advise exists, so none can be cancelled.
  EXPECT_EQ(clock->Unadvise(0x5A5A), S_FALSE);
  clock->Release();
}

}  // namespace
