// A push stream (the numbered test source's worker) delivering into the host-side
// renderer: order, times, the ways a stream ends, stopping while the worker is held up
// downstream, and the worker's start-up failures. The filters are driven as a graph
// drives them: the renderer leaves the stopped state first; stopping goes source first
// unless a test says otherwise.
#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <vector>

#include "com/base_object.h"
#include "com/com_ptr.h"
#include "support/event_sink_graph.h"
#include "support/numbered_source.h"
#include "support/scripted_renderer_filter.h"
#include "support/test_support.h"

namespace {

using namespace std::chrono_literals;
using testing_support::CallWithin;
using testing_support::CEventSinkGraph;
using testing_support::CNumberedSource;
using testing_support::CNumberedStream;
using testing_support::CScriptedRendererFilter;
using testing_support::CScriptedRendererInputPin;

constexpr auto kDeadline = 10s;
constexpr LONG kFrameBytes = 64 * 48 * 3;

class StreamingTest : public testing::Test {
 protected:
  void SetUp() override {
    m_objects = CBaseObject::ObjectsActive();
    m_source.Reset(CNumberedSource::Create(), kAdoptRef);
    m_renderer.Reset(CScriptedRendererFilter::Create(), kAdoptRef);
    ASSERT_EQ(m_source->JoinFilterGraph(&m_graph, L"source"), S_OK);
    ASSERT_EQ(m_renderer->JoinFilterGraph(&m_graph, L"renderer"), S_OK);
  }

  void TearDown() override {
    EXPECT_EQ(StopSource(), S_OK);
    EXPECT_EQ(StopRenderer(), S_OK);
    static_cast<IPin*>(Stream())->Disconnect();
    m_renderer->Pin()->Disconnect();
    m_source->JoinFilterGraph(nullptr, nullptr);
    m_renderer->JoinFilterGraph(nullptr, nullptr);
    m_source.Reset();
    m_renderer.Reset();
    EXPECT_EQ(CBaseObject::ObjectsActive(), m_objects) << "a filter, pin, allocator or sample was not freed";
  }

  void Connect() { ASSERT_EQ(static_cast<IPin*>(Stream())->Connect(m_renderer->Pin(), nullptr), S_OK); }
  void Pause() {
    ASSERT_EQ(m_renderer->Pause(), S_OK);
    ASSERT_EQ(m_source->Pause(), S_OK);
  }
  HRESULT StopSource() {
    return CallWithin(kDeadline, [this] { return m_source->Stop(); });
  }
  HRESULT StopRenderer() {
    return CallWithin(kDeadline, [this] { return m_renderer->Stop(); });
  }
  bool EventSeen(long code) const {
    for (long seen : m_graph.Codes()) {
      if (seen == code) return true;
    }
    return false;
  }

  CNumberedStream* Stream() { return m_source->Stream(); }
  CScriptedRendererInputPin* Input() { return m_renderer->InputPin(); }

  LONG m_objects = 0;
  CEventSinkGraph m_graph;
  CComPtr<CNumberedSource> m_source;
  CComPtr<CScriptedRendererFilter> m_renderer;
};

TEST_F(StreamingTest, DeliversEveryFrameInOrderWithItsTimesAndReturnsEveryBuffer) {
  constexpr LONG kFrames = 300;
  Stream()->m_buffers = 3;
  Connect();
  Input()->KeepDataCopies(3);
  ASSERT_EQ(m_renderer->Run(0), S_OK);
  ASSERT_EQ(m_source->Run(0), S_OK);
  ASSERT_TRUE(Input()->WaitForSamples(kFrames, kDeadline));
  ASSERT_EQ(StopSource(), S_OK);
  ASSERT_EQ(StopRenderer(), S_OK);

  const auto records = Input()->Samples();
  ASSERT_GE(records.size(), static_cast<std::size_t>(kFrames));
  EXPECT_EQ(Stream()->m_framesFilled.load(), static_cast<LONG>(records.size()));
  const REFERENCE_TIME interval = Stream()->m_interval;
  for (std::size_t i = 0; i < records.size(); ++i) {
    const auto& r = records[i];
    const auto n = static_cast<LONG>(i);
    ASSERT_EQ(r.number, n) << "frame " << i;
    EXPECT_EQ(r.result, S_OK);
    EXPECT_EQ(r.actual, kFrameBytes);
    EXPECT_EQ(r.size, kFrameBytes);
    EXPECT_EQ(r.firstBytes[4], static_cast<BYTE>(n & 0xFF));
    EXPECT_EQ(r.timeResult, S_OK);
    EXPECT_EQ(r.start, n * interval);
    EXPECT_EQ(r.stop, (n + 1) * interval);
    EXPECT_EQ(r.mediaTimeResult, S_OK);
    EXPECT_EQ(r.mediaStart, n);
    EXPECT_EQ(r.mediaStop, n + 1);
    EXPECT_TRUE(r.syncPoint);
    EXPECT_FALSE(r.typeAttached);
    if (i > 0) {
      EXPECT_GE(r.received, records[i - 1].received);
    }
  }
  for (const auto& copy : Input()->DataCopies()) {
    ASSERT_EQ(copy.bytes.size(), static_cast<std::size_t>(kFrameBytes));
    EXPECT_EQ(copy.bytes.back(), static_cast<BYTE>(copy.index & 0xFF));
  }
  EXPECT_EQ(Input()->EndOfStreamCount(), 0);
  EXPECT_TRUE(m_graph.Events().empty());

  // Every buffer came home: the allocator is free to be decommitted and freed.
  CComPtr<IMemAllocatorCallbackTemp> callback;
  ASSERT_EQ(Stream()->Allocator()->QueryInterface(IID_IMemAllocatorCallbackTemp, callback.ReceiveVoid()), S_OK);
  LONG free = 0;
  callback->GetFreeCount(&free);
  EXPECT_EQ(free, 3);
}

TEST_F(StreamingTest, StreamingStartsAgainAfterAStop) {
  Connect();
  Pause();
  ASSERT_TRUE(Input()->WaitForSamples(5, kDeadline));
  ASSERT_EQ(StopSource(), S_OK);
  ASSERT_EQ(StopRenderer(), S_OK);
  const LONG first = Input()->SampleCount();
  Pause();
  ASSERT_TRUE(Input()->WaitForSamples(first + 5, kDeadline));
  EXPECT_EQ(Stream()->m_threadCreates.load(), 2);
  ASSERT_EQ(StopSource(), S_OK);
  EXPECT_EQ(Stream()->m_threadDestroys.load(), 2);
  // The numbering goes on where it stopped.
  const auto records = Input()->Samples();
  for (std::size_t i = 0; i < records.size(); ++i) EXPECT_EQ(records[i].number, static_cast<long long>(i));
}

TEST_F(StreamingTest, FillBufferEndingTheStreamAtOnceSendsOnlyEndOfStream) {
  Stream()->m_fillResultAt = 0;
  Stream()->m_fillResult = S_FALSE;
  Connect();
  Pause();
  ASSERT_TRUE(Input()->WaitForEndOfStream(kDeadline));
  ASSERT_TRUE(m_graph.WaitForEvent(EC_COMPLETE, kDeadline));
  EXPECT_EQ(StopSource(), S_OK);
  EXPECT_EQ(StopRenderer(), S_OK);
  EXPECT_EQ(Input()->SampleCount(), 0);
  EXPECT_EQ(Input()->EndOfStreamCount(), 1);
  EXPECT_EQ(m_graph.Codes(), std::vector<long>{EC_COMPLETE});
}

struct FillFailure {
  LONG at;
  HRESULT result;
};

class StreamingFillFailureTest : public StreamingTest, public testing::WithParamInterface<FillFailure> {};

TEST_P(StreamingFillFailureTest, EndsTheStreamAndReportsTheResultAsAnErrorAbort) {
  Stream()->m_fillResultAt = GetParam().at;
  Stream()->m_fillResult = GetParam().result;
  Connect();
  Pause();
  ASSERT_TRUE(m_graph.WaitForEvent(EC_ERRORABORT, kDeadline));
  EXPECT_EQ(StopSource(), S_OK);
  EXPECT_EQ(Input()->SampleCount(), GetParam().at);
  EXPECT_EQ(Input()->EndOfStreamCount(), 1);
  const auto events = m_graph.Events();
  ASSERT_EQ(events.size(), 2u);
  // End of stream went downstream before the abort was reported.
  EXPECT_EQ(events[0].code, EC_COMPLETE);
  EXPECT_EQ(events[1].code, EC_ERRORABORT);
  EXPECT_EQ(events[1].param1, static_cast<LONG_PTR>(GetParam().result));
}

INSTANTIATE_TEST_SUITE_P(Results, StreamingFillFailureTest,
                         testing::Values(FillFailure{0, static_cast<HRESULT>(2)}, FillFailure{3, E_FAIL},
                                         FillFailure{5, E_OUTOFMEMORY}));

class StreamingDeliverResultTest : public StreamingTest, public testing::WithParamInterface<HRESULT> {};

TEST_P(StreamingDeliverResultTest, ADownstreamAnswerOtherThanSOkEndsStreamingQuietly) {
  Input()->SetReceiveResult(5, GetParam());
  Connect();
  Pause();
  ASSERT_TRUE(Input()->WaitForSamples(6, kDeadline));
  EXPECT_EQ(StopSource(), S_OK);
  EXPECT_EQ(StopRenderer(), S_OK);
  // Stop has waited for the worker: had it gone on, there would be more frames.
  EXPECT_EQ(Input()->SampleCount(), 6);
  EXPECT_EQ(Stream()->m_framesFilled.load(), 6);
  EXPECT_EQ(Input()->EndOfStreamCount(), 0);
  EXPECT_TRUE(m_graph.Events().empty());
}

INSTANTIATE_TEST_SUITE_P(Answers, StreamingDeliverResultTest, testing::Values(S_FALSE, E_FAIL, VFW_E_WRONG_STATE));

class StreamingHeldBufferTest : public StreamingTest, public testing::WithParamInterface<bool> {};

// With one buffer, held by the renderer, the worker waits in the allocator for a buffer
// that does not come back until a stop.
TEST_P(StreamingHeldBufferTest, StoppingWhileTheWorkerWaitsForAFreeBufferCompletes) {
  const bool sourceFirst = GetParam();
  Stream()->m_buffers = 1;
  Input()->HoldSamples(1);
  Connect();
  Pause();
  ASSERT_TRUE(Input()->WaitForSamples(1, kDeadline));
  if (sourceFirst) {
    EXPECT_EQ(StopSource(), S_OK);
    EXPECT_EQ(Input()->HeldSampleCount(), 1);
    EXPECT_EQ(StopRenderer(), S_OK);
  } else {
    EXPECT_EQ(StopRenderer(), S_OK);
    EXPECT_EQ(StopSource(), S_OK);
  }
  EXPECT_EQ(Input()->HeldSampleCount(), 0);
  EXPECT_EQ(Input()->SampleCount(), 1);
}

INSTANTIATE_TEST_SUITE_P(Orders, StreamingHeldBufferTest, testing::Bool(),
                         [](const testing::TestParamInfo<bool>& info) {
                           return std::string(info.param ? "SourceFirst" : "RendererFirst");
                         });

TEST_F(StreamingTest, StoppingTheRendererReleasesAWorkerBlockedInReceive) {
  Input()->BlockReceive(true);
  Connect();
  Pause();
  ASSERT_TRUE(Input()->WaitForBlockedReceive(kDeadline));
  EXPECT_EQ(StopRenderer(), S_OK);
  EXPECT_EQ(StopSource(), S_OK);
  ASSERT_EQ(Input()->SampleCount(), 1);
  EXPECT_EQ(Input()->Samples()[0].result, VFW_E_WRONG_STATE);
  EXPECT_EQ(Input()->EndOfStreamCount(), 0);
}

TEST_F(StreamingTest, AQueueOfCopiesPacesTheWorkerAndStoppingReleasesItWhileItWaitsForRoom) {
  Stream()->m_buffers = 3;
  Input()->QueueDataCopies(2);
  EXPECT_EQ(Input()->ReceiveCanBlock(), S_OK) << "Receive waits for room in the queue";
  Connect();
  Pause();
  // Nobody takes: two copies queue up and the worker waits with the third frame.
  ASSERT_TRUE(testing_support::WaitUntil([&] { return Stream()->m_framesFilled.load() >= 3; }, 10000));
  EXPECT_EQ(Input()->SampleCount(), 2) << "a sample waiting for room is not counted yet";
  // A consumer taking slowly sees every frame, in order, with its own data.
  std::vector<LONG> indices;
  while (indices.size() < 40) {
    ASSERT_TRUE(Input()->WaitForSamples(static_cast<LONG>(indices.size()) + 1, kDeadline));
    for (const auto& copy : Input()->TakeDataCopies()) {
      ASSERT_GE(copy.bytes.size(), 4u);
      EXPECT_EQ(copy.bytes[0], static_cast<BYTE>(copy.index & 0xFF));
      indices.push_back(copy.index);
    }
  }
  for (std::size_t i = 0; i < indices.size(); ++i) ASSERT_EQ(indices[i], static_cast<LONG>(i));
  // Full again, then stopped while the worker waits: the stop completes, the waiting
  // sample is refused and nothing beyond the queue was counted.
  ASSERT_TRUE(Input()->WaitForSamples(static_cast<LONG>(indices.size()) + 2, kDeadline));
  const LONG counted = Input()->SampleCount();
  EXPECT_EQ(StopRenderer(), S_OK);
  EXPECT_EQ(StopSource(), S_OK);
  EXPECT_EQ(Input()->SampleCount(), counted);
  EXPECT_EQ(static_cast<LONG>(indices.size() + Input()->TakeDataCopies().size()), counted);
}

class StreamingThreadCreateFailureTest : public StreamingTest, public testing::WithParamInterface<HRESULT> {};

TEST_P(StreamingThreadCreateFailureTest, PauseReportsItAndTheWorkerEndsWithExitCodeOne) {
  const HRESULT failure = GetParam();
  Stream()->m_threadCreateResult = failure;
  Connect();
  ASSERT_EQ(m_renderer->Pause(), S_OK);
  EXPECT_EQ(m_source->Pause(), failure);
  FILTER_STATE state = State_Running;
  m_source->GetState(0, &state);
  EXPECT_EQ(state, State_Stopped);
  EXPECT_FALSE(Stream()->ThreadExists()) << "the ended worker is forgotten";
  EXPECT_EQ(Stream()->ExitCode(), 1u);
  EXPECT_EQ(Stream()->m_threadDestroys.load(), 1);
  EXPECT_EQ(Stream()->m_startPlays.load(), 0);
  EXPECT_EQ(Input()->SampleCount(), 0);

  // A later Pause tries again with a new worker: the same failure, then, once the cause
  // is gone, a stream that delivers.
  EXPECT_EQ(m_source->Pause(), failure);
  EXPECT_EQ(Stream()->m_threadCreates.load(), 2);
  Stream()->m_threadCreateResult = S_OK;
  ASSERT_EQ(m_source->Pause(), S_OK);
  EXPECT_TRUE(Input()->WaitForSamples(3, kDeadline));
  EXPECT_EQ(StopSource(), S_OK);
  EXPECT_EQ(Stream()->m_threadCreates.load(), 3);
  EXPECT_EQ(Stream()->ExitCode(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Failures, StreamingThreadCreateFailureTest,
                         testing::Values(E_OUTOFMEMORY, E_UNEXPECTED, VFW_E_NO_ALLOCATOR));

TEST_F(StreamingTest, ActiveWhileTheFilterIsPausedOrRunningIsSFalseAndSendsNothing) {
  Connect();
  Pause();
  ASSERT_TRUE(Input()->WaitForSamples(1, kDeadline));
  EXPECT_EQ(Stream()->Active(), S_FALSE);
  ASSERT_EQ(m_renderer->Run(0), S_OK);
  ASSERT_EQ(m_source->Run(0), S_OK);
  EXPECT_EQ(Stream()->Active(), S_FALSE);
  const LONG seen = Input()->SampleCount();
  EXPECT_TRUE(Input()->WaitForSamples(seen + 2, kDeadline)) << "streaming goes on";
  EXPECT_EQ(Stream()->m_threadCreates.load(), 1);
  EXPECT_EQ(Stream()->m_startPlays.load(), 1) << "no command restarted the buffer loop";
}

// A renderer that checks for a format change asks the source's pin about types from
// inside Receive, on the source's worker. Stopping the source meanwhile holds the
// filter's state lock and waits for that worker: the type questions must be answered
// without that lock, or both threads wait for each other for good. Each round also
// holds the state lock itself, as a Stop does, and sees the questions answered.
TEST_F(StreamingTest, StoppingWhileTheRendererAsksAboutTypesInEveryReceiveCompletes) {
  Stream()->m_buffers = 2;
  Input()->AskUpstreamInReceive(true);
  Connect();
  ASSERT_EQ(m_renderer->Run(0), S_OK);
  for (int i = 0; i < 200; ++i) {
    const LONG before = Input()->SampleCount();
    ASSERT_EQ(m_source->Run(0), S_OK);
    ASSERT_TRUE(Input()->WaitForSamples(before + 2, kDeadline)) << "start " << i;
    {
      CLockHolder<CRecursiveLock> stopping(*m_source->pStateLock());
      const int asked = Input()->UpstreamQueries();
      ASSERT_TRUE(Input()->WaitForUpstreamQueries(asked + 2, kDeadline)) << "questions unanswered in round " << i;
    }
    ASSERT_EQ(StopSource(), S_OK) << "stop " << i;
  }
  EXPECT_GE(Input()->UpstreamQueries(), 400);
  EXPECT_EQ(Input()->UpstreamRefusals(), 0) << "the connection type is always acceptable";
}

// Two streams, the second of which cannot start its worker: the filter's failed Pause
// leaves neither stream running, and once the cause is gone the next Pause starts both.
TEST(StreamingFailedStartTest, AFailedPauseLeavesEveryStreamStoppedAndTheNextPauseStartsThemAll) {
  const LONG objects = CBaseObject::ObjectsActive();
  CEventSinkGraph graph;
  CNumberedSource* source = CNumberedSource::Create(2);
  CComPtr<CScriptedRendererFilter> renderers[2] = {{CScriptedRendererFilter::Create(), kAdoptRef},
                                                    {CScriptedRendererFilter::Create(), kAdoptRef}};
  ASSERT_EQ(source->JoinFilterGraph(&graph, L"source"), S_OK);
  for (int i = 0; i < 2; ++i) {
    source->Stream(i)->m_buffers = 2;
    ASSERT_EQ(static_cast<IPin*>(source->Stream(i))->Connect(renderers[i]->Pin(), nullptr), S_OK);
    ASSERT_EQ(renderers[i]->Pause(), S_OK);
  }
  source->Stream(1)->m_threadCreateResult = E_OUTOFMEMORY;

  EXPECT_EQ(source->Pause(), E_OUTOFMEMORY);
  EXPECT_TRUE(source->IsStopped());
  for (int i = 0; i < 2; ++i) {
    EXPECT_FALSE(source->Stream(i)->ThreadExists()) << "stream " << i;
    EXPECT_EQ(source->Stream(i)->m_threadDestroys.load(), 1) << "stream " << i;
  }
  // The first stream's buffers were returned: nothing can be taken from its allocator.
  IMediaSample* sample = nullptr;
  EXPECT_EQ(source->Stream(0)->GetDeliveryBuffer(&sample, nullptr, nullptr, 0), VFW_E_NOT_COMMITTED);
  const LONG delivered = renderers[0]->InputPin()->SampleCount();

  source->Stream(1)->m_threadCreateResult = S_OK;
  ASSERT_EQ(source->Pause(), S_OK);
  for (int i = 0; i < 2; ++i) {
    EXPECT_TRUE(renderers[i]->InputPin()->WaitForSamples(i == 0 ? delivered + 3 : 3, kDeadline)) << "stream " << i;
  }
  EXPECT_EQ(CallWithin(kDeadline, [source] { return source->Stop(); }), S_OK);
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(renderers[i]->Stop(), S_OK);
    static_cast<IPin*>(source->Stream(i))->Disconnect();
    renderers[i]->Pin()->Disconnect();
    renderers[i].Reset();
  }
  source->JoinFilterGraph(nullptr, nullptr);
  // A worker left running would keep the last release waiting for it.
  EXPECT_EQ(CallWithin(kDeadline, [source] {
              source->Release();
              return S_OK;
            }),
            S_OK);
  EXPECT_EQ(CBaseObject::ObjectsActive(), objects) << "a filter, pin, allocator or sample was not freed";
}

TEST_F(StreamingTest, AnUnconnectedStreamStartsNoWorker) {
  ASSERT_EQ(m_source->Pause(), S_OK);
  ASSERT_EQ(m_source->Run(0), S_OK);
  EXPECT_FALSE(Stream()->ThreadExists());
  ASSERT_EQ(m_source->Stop(), S_OK);
  EXPECT_EQ(Stream()->Active(), S_OK);
  EXPECT_FALSE(Stream()->ThreadExists());
  EXPECT_EQ(Stream()->Inactive(), S_OK);
  EXPECT_EQ(Stream()->m_threadCreates.load(), 0);
}

}  // namespace
