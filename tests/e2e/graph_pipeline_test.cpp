// The push stream and the renderer run inside a real filter graph: ours on Linux, the
// system's own under Windows. The graph chooses the clock, orders the state changes and
// carries the filters' events to the application.
#include <gtest/gtest.h>

#include <chrono>
#include <vector>

#include "common/renderer_filter.h"
#include "com/base_object.h"
#include "platform/dshow_types.h"
#include "support/numbered_source.h"

namespace {

using namespace std::chrono_literals;
using testing_support::CNumberedSource;

struct GraphEvent {
  LONG code = 0;
  LONG_PTR first = 0;
  LONG_PTR second = 0;
};

class GraphPipelineTest : public testing::Test {
 protected:
  void SetUp() override {
    m_init = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    m_objectsBefore = CBaseObject::ObjectsActive();
    ASSERT_EQ(CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder,
                               reinterpret_cast<void**>(&m_graph)),
              S_OK);
    ASSERT_EQ(m_graph->QueryInterface(IID_IMediaControl, reinterpret_cast<void**>(&m_control)), S_OK);
    ASSERT_EQ(m_graph->QueryInterface(IID_IMediaEvent, reinterpret_cast<void**>(&m_events)), S_OK);
    m_source = CNumberedSource::Create();
    m_renderer = CRendererFilter::Create();
    ASSERT_TRUE(SUCCEEDED(m_graph->AddFilter(m_source->Filter(), L"Numbered source")));
    ASSERT_TRUE(SUCCEEDED(m_graph->AddFilter(m_renderer->Filter(), L"Renderer")));
  }

  void TearDown() override {
    if (m_control != nullptr) m_control->Stop();
    if (m_events != nullptr) m_events->Release();
    if (m_control != nullptr) m_control->Release();
    if (m_graph != nullptr) {
      EXPECT_EQ(m_graph->Release(), 0u);
    }
    if (m_source != nullptr) {
      EXPECT_EQ(m_source->Filter()->Release(), 0u) << "the graph let go of the source";
    }
    if (m_renderer != nullptr) {
      EXPECT_EQ(m_renderer->Filter()->Release(), 0u) << "the graph let go of the renderer";
    }
    EXPECT_EQ(CBaseObject::ObjectsActive(), m_objectsBefore) << "a pin, filter or allocator outlived the graph";
    if (SUCCEEDED(m_init)) CoUninitialize();
  }

  HRESULT Connect() {
    return m_graph->ConnectDirect(m_source->Stream(), m_renderer->Pin(), nullptr);
  }

  // Events until one with `code` arrives (or the deadline passes); every event seen.
  std::vector<GraphEvent> EventsUntil(LONG code, std::chrono::milliseconds deadline) {
    std::vector<GraphEvent> seen;
    const auto end = std::chrono::steady_clock::now() + deadline;
    while (std::chrono::steady_clock::now() < end) {
      GraphEvent event;
      if (m_events->GetEvent(&event.code, &event.first, &event.second, 100) != S_OK) continue;
      m_events->FreeEventParams(event.code, event.first, event.second);
      seen.push_back(event);
      if (event.code == code) break;
    }
    return seen;
  }

  static bool Contains(const std::vector<GraphEvent>& events, LONG code) {
    for (const auto& event : events) {
      if (event.code == code) return true;
    }
    return false;
  }

  HRESULT m_init = E_FAIL;
  LONG m_objectsBefore = 0;
  IGraphBuilder* m_graph = nullptr;
  IMediaControl* m_control = nullptr;
  IMediaEvent* m_events = nullptr;
  CNumberedSource* m_source = nullptr;
  CRendererFilter* m_renderer = nullptr;
};

TEST_F(GraphPipelineTest, FramesArriveInOrderWithTheirTimesWhileTheGraphRuns) {
  ASSERT_EQ(Connect(), S_OK);
  ASSERT_TRUE(SUCCEEDED(m_control->Run()));
  ASSERT_TRUE(m_renderer->InputPin()->WaitForSamples(300, 20s));
  ASSERT_EQ(m_control->Stop(), S_OK);

  const auto samples = m_renderer->InputPin()->Samples();
  ASSERT_GE(samples.size(), 300u);
  const REFERENCE_TIME interval = m_source->Stream()->m_interval;
  for (std::size_t i = 0; i < samples.size(); ++i) {
    ASSERT_EQ(samples[i].number, static_cast<long long>(i)) << "frames lost, repeated or reordered";
    EXPECT_EQ(samples[i].start, static_cast<REFERENCE_TIME>(i) * interval);
    EXPECT_EQ(samples[i].stop, static_cast<REFERENCE_TIME>(i + 1) * interval);
    EXPECT_EQ(samples[i].mediaStart, static_cast<LONGLONG>(i));
    EXPECT_TRUE(samples[i].syncPoint);
  }
  // The graph gave both filters its clock before they left the stopped state.
  IReferenceClock* sourceClock = nullptr;
  IReferenceClock* rendererClock = nullptr;
  ASSERT_EQ(m_source->Filter()->GetSyncSource(&sourceClock), S_OK);
  ASSERT_EQ(m_renderer->Filter()->GetSyncSource(&rendererClock), S_OK);
  ASSERT_NE(sourceClock, nullptr);
  EXPECT_EQ(sourceClock, rendererClock);
  sourceClock->Release();
  rendererClock->Release();
  EXPECT_EQ(m_source->Stream()->m_threadDestroys.load(), 1) << "the worker ended with the stop";
}

TEST_F(GraphPipelineTest, PlayingAgainAfterAStopStartsANewWorker) {
  ASSERT_EQ(Connect(), S_OK);
  for (int round = 1; round <= 3; ++round) {
    const LONG before = m_renderer->InputPin()->SampleCount();
    ASSERT_TRUE(SUCCEEDED(m_control->Run()));
    ASSERT_TRUE(m_renderer->InputPin()->WaitForSamples(before + 20, 20s)) << round;
    ASSERT_EQ(m_control->Stop(), S_OK);
    EXPECT_EQ(m_source->Stream()->m_threadCreates.load(), round);
    EXPECT_EQ(m_source->Stream()->m_threadDestroys.load(), round);
  }
}

TEST_F(GraphPipelineTest, AFillErrorReachesTheApplicationAsAnAbortWithItsCode) {
  m_source->Stream()->m_fillResult = E_ACCESSDENIED;
  m_source->Stream()->m_fillResultAt = 5;
  ASSERT_EQ(Connect(), S_OK);
  ASSERT_TRUE(SUCCEEDED(m_control->Run()));
  const auto events = EventsUntil(EC_ERRORABORT, 20s);
  ASSERT_TRUE(Contains(events, EC_ERRORABORT));
  EXPECT_EQ(events.back().first, static_cast<LONG_PTR>(E_ACCESSDENIED));
  EXPECT_EQ(m_renderer->InputPin()->SampleCount(), 5);
  EXPECT_TRUE(m_renderer->InputPin()->WaitForEndOfStream(10s)) << "the renderer was told the stream ended";
  EXPECT_EQ(m_control->Stop(), S_OK);
}

TEST_F(GraphPipelineTest, TheEndOfTheStreamCompletesTheGraph) {
  m_source->Stream()->m_fillResult = S_FALSE;
  m_source->Stream()->m_fillResultAt = 3;
  ASSERT_EQ(Connect(), S_OK);
  ASSERT_TRUE(SUCCEEDED(m_control->Run()));
  LONG code = 0;
  EXPECT_EQ(m_events->WaitForCompletion(20000, &code), S_OK);
  EXPECT_EQ(code, EC_COMPLETE);
  EXPECT_EQ(m_renderer->InputPin()->SampleCount(), 3);
  EXPECT_EQ(m_control->Stop(), S_OK);
}

TEST_F(GraphPipelineTest, ConnectionsAreRefusedWhileTheGraphRuns) {
  ASSERT_EQ(Connect(), S_OK);
  ASSERT_TRUE(SUCCEEDED(m_control->Run()));
  EXPECT_EQ(m_source->Stream()->Disconnect(), VFW_E_NOT_STOPPED);
  EXPECT_TRUE(FAILED(m_graph->Disconnect(m_source->Stream())));
  ASSERT_EQ(m_control->Stop(), S_OK);
  EXPECT_EQ(m_graph->Disconnect(m_source->Stream()), S_OK);
  EXPECT_EQ(m_graph->Disconnect(m_renderer->Pin()), S_OK);
  EXPECT_FALSE(m_source->Stream()->IsConnected());
  EXPECT_EQ(Connect(), S_OK) << "a stopped graph connects again";
}

}  // namespace
