// The filter graph manager as an application and its filters see it, through the Windows
// interfaces only: on Windows these run against the system's own graph.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/dshow_types.h"
#include "support/recording_filter.h"

namespace {

using testing_support::CCallLog;
using testing_support::CRecordingFilter;
using Tags = std::vector<std::string>;

constexpr LONG kLongWaitMs = 20000;
constexpr REFERENCE_TIME kSecond = 10000000;

class FilterGraphTest : public testing::Test {
 protected:
  void SetUp() override {
    m_init = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    ASSERT_EQ(CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder,
                               reinterpret_cast<void**>(&m_graph)),
              S_OK);
    ASSERT_EQ(m_graph->QueryInterface(IID_IMediaControl, reinterpret_cast<void**>(&m_control)), S_OK);
    ASSERT_EQ(m_graph->QueryInterface(IID_IMediaFilter, reinterpret_cast<void**>(&m_mediaFilter)), S_OK);
    ASSERT_EQ(m_graph->QueryInterface(IID_IMediaEvent, reinterpret_cast<void**>(&m_event)), S_OK);
    ASSERT_EQ(m_graph->QueryInterface(IID_IMediaEventSink, reinterpret_cast<void**>(&m_eventSink)), S_OK);
  }

  void TearDown() override {
    ReleaseGraph();
    for (CRecordingFilter* filter : m_filters) filter->Release();
    // Every filter is gone once nothing holds it: the graph left no reference behind.
    EXPECT_EQ(m_destroyed.load(), static_cast<int>(m_filters.size()));
    if (SUCCEEDED(m_init)) CoUninitialize();
  }

  void ReleaseGraph() {
    for (IUnknown** held : {reinterpret_cast<IUnknown**>(&m_eventSink), reinterpret_cast<IUnknown**>(&m_event),
                            reinterpret_cast<IUnknown**>(&m_mediaFilter), reinterpret_cast<IUnknown**>(&m_control),
                            reinterpret_cast<IUnknown**>(&m_graph)}) {
      if (*held != nullptr) (*held)->Release();
      *held = nullptr;
    }
  }

  // A filter the test keeps one reference on until TearDown.
  CRecordingFilter* Make(const char* tag, bool hasInput, bool hasOutput) {
    m_filters.push_back(CRecordingFilter::Create(tag, hasInput, hasOutput, &m_log, &m_destroyed));
    return m_filters.back();
  }

  // src -> mid -> sink, added in an order that is neither upstream nor downstream first.
  void BuildChain() {
    m_src = Make("src", false, true);
    m_mid = Make("mid", true, true);
    m_sink = Make("sink", true, false);
    ASSERT_EQ(m_graph->AddFilter(m_mid, L"mid"), S_OK);
    ASSERT_EQ(m_graph->AddFilter(m_src, L"src"), S_OK);
    ASSERT_EQ(m_graph->AddFilter(m_sink, L"sink"), S_OK);
    ASSERT_EQ(m_graph->ConnectDirect(m_src->OutputPin(), m_mid->InputPin(), nullptr), S_OK);
    ASSERT_EQ(m_graph->ConnectDirect(m_mid->OutputPin(), m_sink->InputPin(), nullptr), S_OK);
    m_log.Clear();
  }

  std::set<IBaseFilter*> Enumerated() {
    std::set<IBaseFilter*> found;
    IEnumFilters* filters = nullptr;
    if (FAILED(m_graph->EnumFilters(&filters))) return found;
    IBaseFilter* filter = nullptr;
    while (filters->Next(1, &filter, nullptr) == S_OK) {
      found.insert(filter);
      filter->Release();
    }
    filters->Release();
    return found;
  }

  HRESULT m_init = E_FAIL;
  IGraphBuilder* m_graph = nullptr;
  IMediaControl* m_control = nullptr;
  IMediaFilter* m_mediaFilter = nullptr;
  IMediaEvent* m_event = nullptr;
  IMediaEventSink* m_eventSink = nullptr;
  CCallLog m_log;
  std::atomic<int> m_destroyed{0};
  std::vector<CRecordingFilter*> m_filters;
  CRecordingFilter* m_src = nullptr;
  CRecordingFilter* m_mid = nullptr;
  CRecordingFilter* m_sink = nullptr;
};

TEST_F(FilterGraphTest, AddFilterJoinsWithUniqueNamesThatFindAndEnumerateReach) {
  CRecordingFilter* first = Make("a", true, false);
  CRecordingFilter* second = Make("b", true, false);
  CRecordingFilter* unnamed1 = Make("c", true, false);
  CRecordingFilter* unnamed2 = Make("d", true, false);
  EXPECT_EQ(m_graph->AddFilter(nullptr, L"x"), E_POINTER);
  ASSERT_EQ(m_graph->AddFilter(first, L"Camera"), S_OK);
  ASSERT_EQ(m_graph->AddFilter(second, L"Camera"), VFW_S_DUPLICATE_NAME);
  ASSERT_TRUE(SUCCEEDED(m_graph->AddFilter(unnamed1, nullptr)));
  ASSERT_TRUE(SUCCEEDED(m_graph->AddFilter(unnamed2, nullptr)));

  IUnknown* graphIdentity = nullptr;
  ASSERT_EQ(m_graph->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&graphIdentity)), S_OK);
  std::set<std::wstring> names;
  for (CRecordingFilter* filter : {first, second, unnamed1, unnamed2}) {
    ASSERT_NE(filter->JoinedGraph(), nullptr);
    IUnknown* joined = nullptr;
    ASSERT_EQ(filter->JoinedGraph()->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&joined)), S_OK);
    EXPECT_EQ(joined, graphIdentity);
    joined->Release();
    const std::wstring name = filter->JoinedName();
    EXPECT_FALSE(name.empty());
    EXPECT_TRUE(names.insert(name).second) << "name given twice";
    IBaseFilter* found = nullptr;
    ASSERT_EQ(m_graph->FindFilterByName(name.c_str(), &found), S_OK);
    EXPECT_EQ(found, filter);
    found->Release();
  }
  graphIdentity->Release();
  EXPECT_EQ(first->JoinedName(), L"Camera");
  EXPECT_NE(second->JoinedName(), L"Camera");

  IBaseFilter* missing = first;
  EXPECT_EQ(m_graph->FindFilterByName(L"Nobody", &missing), VFW_E_NOT_FOUND);
  EXPECT_EQ(missing, nullptr);
  EXPECT_EQ(Enumerated(), (std::set<IBaseFilter*>{first, second, unnamed1, unnamed2}));
}

TEST_F(FilterGraphTest, EnumeratorAsksForResetAfterTheGraphChanges) {
  CRecordingFilter* first = Make("a", true, false);
  CRecordingFilter* second = Make("b", true, false);
  ASSERT_EQ(m_graph->AddFilter(first, L"a"), S_OK);
  IEnumFilters* filters = nullptr;
  ASSERT_EQ(m_graph->EnumFilters(&filters), S_OK);
  IBaseFilter* got[3] = {};
  ULONG fetched = 7;
  EXPECT_EQ(filters->Next(3, got, &fetched), S_FALSE);
  ASSERT_EQ(fetched, 1u);
  EXPECT_EQ(got[0], first);
  got[0]->Release();

  ASSERT_EQ(m_graph->AddFilter(second, L"b"), S_OK);
  EXPECT_EQ(filters->Next(1, got, &fetched), VFW_E_ENUM_OUT_OF_SYNC);
  EXPECT_EQ(filters->Reset(), S_OK);
  EXPECT_EQ(filters->Skip(1), S_OK);
  EXPECT_EQ(filters->Next(2, got, &fetched), S_FALSE);
  ASSERT_EQ(fetched, 1u);
  got[0]->Release();
  filters->Release();
}

TEST_F(FilterGraphTest, RemoveFilterLeavesTheGraphDisconnectedAndReleased) {
  BuildChain();
  EXPECT_EQ(m_graph->RemoveFilter(m_mid), S_OK);
  EXPECT_EQ(m_log.TagsOf("Leave"), (Tags{"mid"}));
  EXPECT_EQ(m_mid->JoinedGraph(), nullptr);
  IPin* peer = nullptr;
  EXPECT_EQ(m_src->OutputPin()->ConnectedTo(&peer), VFW_E_NOT_CONNECTED);
  EXPECT_EQ(m_sink->InputPin()->ConnectedTo(&peer), VFW_E_NOT_CONNECTED);
  IBaseFilter* found = nullptr;
  EXPECT_EQ(m_graph->FindFilterByName(L"mid", &found), VFW_E_NOT_FOUND);
  EXPECT_EQ(Enumerated(), (std::set<IBaseFilter*>{m_src, m_sink}));
  EXPECT_TRUE(FAILED(m_graph->RemoveFilter(m_mid)));
  // The graph let go of it: the test's reference is the last one.
  m_mid->AddRef();
  EXPECT_EQ(m_mid->Release(), 1u);
}

TEST_F(FilterGraphTest, ConnectionsNeedFiltersInTheGraphAndAStoppedGraph) {
  BuildChain();
  IPin* peer = nullptr;
  ASSERT_EQ(m_src->OutputPin()->ConnectedTo(&peer), S_OK);
  EXPECT_EQ(peer, m_mid->InputPin());
  peer->Release();

  CRecordingFilter* late = Make("late", true, false);
  CRecordingFilter* spare = Make("spare", false, true);
  ASSERT_EQ(m_graph->AddFilter(spare, L"spare"), S_OK);
  ASSERT_EQ(m_control->Run(), S_OK);
  ASSERT_EQ(m_graph->AddFilter(late, L"late"), S_OK);
  EXPECT_EQ(m_graph->ConnectDirect(spare->OutputPin(), late->InputPin(), nullptr), VFW_E_NOT_STOPPED);
  ASSERT_EQ(m_control->Stop(), S_OK);
  EXPECT_EQ(m_graph->ConnectDirect(spare->OutputPin(), late->InputPin(), nullptr), S_OK);
  EXPECT_EQ(m_graph->Disconnect(late->InputPin()), S_OK);
  EXPECT_EQ(m_graph->Disconnect(spare->OutputPin()), S_OK);
  EXPECT_EQ(spare->OutputPin()->ConnectedTo(&peer), VFW_E_NOT_CONNECTED);
}

TEST_F(FilterGraphTest, ConnectDirectRefusesAPinOfAFilterOutsideTheGraph) {
  if (platform::kIsWindows)
    GTEST_SKIP() << "Wine's graph connects pins of filters it does not hold; Windows documents "
                    "VFW_E_NOT_IN_GRAPH for them";
  CRecordingFilter* outsider = Make("outsider", true, false);
  CRecordingFilter* spare = Make("spare", false, true);
  ASSERT_EQ(m_graph->AddFilter(spare, L"spare"), S_OK);
  EXPECT_EQ(m_graph->ConnectDirect(spare->OutputPin(), outsider->InputPin(), nullptr), VFW_E_NOT_IN_GRAPH);
  EXPECT_EQ(m_graph->Connect(spare->OutputPin(), outsider->InputPin()), VFW_E_NOT_IN_GRAPH);
  IPin* peer = nullptr;
  EXPECT_EQ(spare->OutputPin()->ConnectedTo(&peer), VFW_E_NOT_CONNECTED);
}

TEST_F(FilterGraphTest, ReconnectConnectsBothEndsAgainWithTheNewType) {
  BuildChain();
  IFilterGraph2* graph2 = nullptr;
  ASSERT_EQ(m_graph->QueryInterface(IID_IFilterGraph2, reinterpret_cast<void**>(&graph2)), S_OK);
  AM_MEDIA_TYPE rgb32{};
  rgb32.majortype = MEDIATYPE_Video;
  rgb32.subtype = MEDIASUBTYPE_RGB32;
  rgb32.formattype = FORMAT_None;
  EXPECT_EQ(graph2->ReconnectEx(m_mid->InputPin(), &rgb32), S_OK);
  EXPECT_EQ(m_src->Output()->ConnectedSubtype(), MEDIASUBTYPE_RGB32);
  EXPECT_EQ(m_mid->Input()->ConnectedSubtype(), MEDIASUBTYPE_RGB32);
  EXPECT_EQ(m_mid->Input()->ConnectCount(), 2);

  // Without a type the pins agree afresh: an output whose format changed offers the new one.
  m_mid->SetPreferredSubtype(MEDIASUBTYPE_YUY2);
  EXPECT_EQ(m_graph->Reconnect(m_mid->OutputPin()), S_OK);
  EXPECT_EQ(m_sink->Input()->ConnectedSubtype(), MEDIASUBTYPE_YUY2);
  EXPECT_EQ(m_sink->Input()->ConnectCount(), 2);
  graph2->Release();
}

TEST_F(FilterGraphTest, StateChangesReachDownstreamFiltersFirst) {
  BuildChain();
  const Tags downstreamFirst{"sink", "mid", "src"};
  ASSERT_EQ(m_control->Pause(), S_OK);
  EXPECT_EQ(m_log.TagsOf("Pause"), downstreamFirst);
  ASSERT_EQ(m_control->Stop(), S_OK);
  EXPECT_EQ(m_log.TagsOf("Stop"), downstreamFirst);

  m_log.Clear();
  ASSERT_EQ(m_control->Run(), S_OK);  // from stopped: paused first
  EXPECT_EQ(m_log.TagsOf("Pause"), downstreamFirst);
  EXPECT_EQ(m_log.TagsOf("Run"), downstreamFirst);
  const auto entries = m_log.Entries();
  EXPECT_EQ(entries.back(), "src:Run");
  EXPECT_EQ(std::find(entries.begin(), entries.end(), "sink:Run") - std::find(entries.begin(), entries.end(), "src:Pause"), 1);

  m_log.Clear();
  ASSERT_EQ(m_control->Stop(), S_OK);  // from running: paused first
  EXPECT_EQ(m_log.TagsOf("Pause"), downstreamFirst);
  EXPECT_EQ(m_log.TagsOf("Stop"), downstreamFirst);
  for (CRecordingFilter* filter : {m_src, m_mid, m_sink}) EXPECT_EQ(filter->State(), State_Stopped);
  OAFilterState state = -1;
  EXPECT_EQ(m_control->GetState(0, &state), S_OK);
  EXPECT_EQ(state, State_Stopped);
}

TEST_F(FilterGraphTest, FirstPauseGivesEveryFilterTheGraphClockAndRunAFutureStartTime) {
  BuildChain();
  ASSERT_EQ(m_control->Pause(), S_OK);
  IReferenceClock* clock = nullptr;
  ASSERT_EQ(m_mediaFilter->GetSyncSource(&clock), S_OK);
  ASSERT_NE(clock, nullptr);
  for (CRecordingFilter* filter : {m_src, m_mid, m_sink}) EXPECT_EQ(filter->ClockAtPause(), clock);
  LONG code = 0;
  LONG_PTR p1 = 0;
  LONG_PTR p2 = 0;
  ASSERT_EQ(m_event->GetEvent(&code, &p1, &p2, 0), S_OK);
  EXPECT_EQ(code, EC_CLOCK_CHANGED);

  REFERENCE_TIME before = 0;
  REFERENCE_TIME after = 0;
  clock->GetTime(&before);
  ASSERT_EQ(m_control->Run(), S_OK);
  clock->GetTime(&after);
  const REFERENCE_TIME start = m_sink->LastStart();
  EXPECT_EQ(m_mid->LastStart(), start);
  EXPECT_EQ(m_src->LastStart(), start);
  EXPECT_GE(start, before);
  EXPECT_LE(start, after + kSecond);

  // Stream time stands still while paused: after running a while, a resume does not
  // start again from stream time 0.
  REFERENCE_TIME now = 0;
  do {
    std::this_thread::yield();
    clock->GetTime(&now);
  } while (now < start + kSecond / 4);
  ASSERT_EQ(m_control->Pause(), S_OK);
  ASSERT_EQ(m_control->Run(), S_OK);
  REFERENCE_TIME resumed = 0;
  clock->GetTime(&resumed);
  const REFERENCE_TIME played = now - start;  // at least this much before the pause
  EXPECT_LE(m_sink->LastStart(), resumed + kSecond / 8 - played) << "stream time restarted";
  EXPECT_GE(m_sink->LastStart(), start);
  clock->Release();
}

TEST_F(FilterGraphTest, FailingPauseIsReportedAndStopStopsEveryFilter) {
  BuildChain();
  m_mid->FailPauseWith(E_FAIL);
  EXPECT_EQ(m_control->Pause(), E_FAIL);
  EXPECT_EQ(m_sink->State(), State_Paused);  // told before the failing filter
  EXPECT_TRUE(SUCCEEDED(m_control->Stop()));
  for (CRecordingFilter* filter : {m_src, m_mid, m_sink}) EXPECT_EQ(filter->State(), State_Stopped);
}

TEST_F(FilterGraphTest, GetStateReportsALiveSourceThatCannotCue) {
  BuildChain();
  m_src->SetCantCue(true);
  ASSERT_EQ(m_control->Pause(), S_OK);
  OAFilterState state = -1;
  EXPECT_EQ(m_control->GetState(kLongWaitMs, &state), VFW_S_CANT_CUE);
  EXPECT_EQ(state, State_Paused);
  FILTER_STATE filterState = State_Stopped;
  EXPECT_EQ(m_mediaFilter->GetState(0, &filterState), VFW_S_CANT_CUE);
  EXPECT_EQ(filterState, State_Paused);
}

TEST_F(FilterGraphTest, EventsArriveInOrderWithTheirParametersAndWaitsTimeOut) {
  EXPECT_EQ(m_eventSink->Notify(EC_USER + 1, 11, -22), S_OK);
  EXPECT_EQ(m_eventSink->Notify(EC_USER + 2, static_cast<LONG_PTR>(0x7FFFFFFF), 0), S_OK);
  LONG code = 0;
  LONG_PTR p1 = 0;
  LONG_PTR p2 = 0;
  ASSERT_EQ(m_event->GetEvent(&code, &p1, &p2, 0), S_OK);
  EXPECT_EQ(code, EC_USER + 1);
  EXPECT_EQ(p1, 11);
  EXPECT_EQ(p2, -22);
  EXPECT_EQ(m_event->FreeEventParams(code, p1, p2), S_OK);
  ASSERT_EQ(m_event->GetEvent(&code, &p1, &p2, 0), S_OK);
  EXPECT_EQ(code, EC_USER + 2);
  EXPECT_EQ(p1, static_cast<LONG_PTR>(0x7FFFFFFF));
  EXPECT_EQ(m_event->FreeEventParams(code, p1, p2), S_OK);

  EXPECT_EQ(m_event->GetEvent(&code, &p1, &p2, 0), E_ABORT);
  const auto waitStart = std::chrono::steady_clock::now();
  EXPECT_EQ(m_event->GetEvent(&code, &p1, &p2, 50), E_ABORT);
  EXPECT_GE(std::chrono::steady_clock::now() - waitStart, std::chrono::milliseconds(40));

  // A waiter without a time limit wakes for an event posted from another thread.
  std::thread poster([this] { m_eventSink->Notify(EC_USER + 3, 3, 4); });
  EXPECT_EQ(m_event->GetEvent(&code, &p1, &p2, static_cast<LONG>(INFINITE)), S_OK);
  EXPECT_EQ(code, EC_USER + 3);
  poster.join();
}

TEST_F(FilterGraphTest, WaitForCompletionNeedsARunningGraphAndEndsOnAbort) {
  LONG code = -1;
  EXPECT_EQ(m_event->WaitForCompletion(0, &code), VFW_E_WRONG_STATE);
  BuildChain();
  ASSERT_EQ(m_control->Run(), S_OK);
  code = -1;
  EXPECT_EQ(m_event->WaitForCompletion(0, &code), E_ABORT);
  EXPECT_EQ(code, 0);
  if (platform::kIsWindows)
    GTEST_SKIP() << "Wine's WaitForCompletion ignores EC_ERRORABORT; Windows documents it as ending the wait";
  std::thread poster([this] { m_eventSink->Notify(EC_ERRORABORT, E_FAIL, 0); });
  EXPECT_EQ(m_event->WaitForCompletion(kLongWaitMs, &code), S_OK);
  EXPECT_EQ(code, EC_ERRORABORT);
  poster.join();
  EXPECT_TRUE(SUCCEEDED(m_control->Stop()));
}

TEST_F(FilterGraphTest, StopWaitsForAFilterThreadThatKeepsNotifying) {
  BuildChain();
  m_src->StartWorkerOnRun(true);
  ASSERT_EQ(m_control->Run(), S_OK);
  LONG code = 0;
  LONG_PTR p1 = 0;
  LONG_PTR p2 = 0;
  // The graph may report its own events first (a clock change). Wine's graph may also
  // answer E_ABORT early after an event was taken, so the wait goes on to its deadline.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kLongWaitMs);
  HRESULT hr = E_ABORT;
  do {
    hr = m_event->GetEvent(&code, &p1, &p2, 1000);
  } while ((hr != S_OK || code != EC_USER + 1) && std::chrono::steady_clock::now() < deadline);
  ASSERT_EQ(hr, S_OK);
  EXPECT_EQ(code, EC_USER + 1);
  EXPECT_EQ(m_control->Stop(), S_OK);
  EXPECT_EQ(m_src->State(), State_Stopped);
}

TEST_F(FilterGraphTest, ReleasingTheGraphStopsAndReleasesEveryFilter) {
  BuildChain();
  m_src->StartWorkerOnRun(true);
  ASSERT_EQ(m_control->Run(), S_OK);
  for (CRecordingFilter* filter : m_filters) filter->Release();
  m_filters.clear();
  EXPECT_EQ(m_destroyed.load(), 0);
  ReleaseGraph();
  EXPECT_EQ(m_log.TagsOf("Stop"), (Tags{"sink", "mid", "src"}));
  EXPECT_EQ(m_destroyed.load(), 3);
  m_destroyed = 0;  // TearDown counts the filters it still holds: none
}

}  // namespace
