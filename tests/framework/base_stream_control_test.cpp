#include "framework/base_stream_control.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

constexpr REFERENCE_TIME kNone = 0x7FFFFFFFFFFFFFFFLL;

struct CEvent {
  LONG code;
  LONG_PTR first;
  LONG_PTR second;
};

class CEventRecorder : public IMediaEventSink {
 public:
  STDMETHODIMP QueryInterface(REFIID, void** ppv) override {
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return 2; }
  STDMETHODIMP_(ULONG) Release() override { return 1; }
  STDMETHODIMP Notify(LONG code, LONG_PTR first, LONG_PTR second) override {
    m_events.push_back({code, first, second});
    return S_OK;
  }
  std::vector<CEvent> m_events;
};

// The stream-control part as a stream carries it: the stream supplies IUnknown.
class CControlledStream : public CBaseStreamControl {
 public:
  STDMETHODIMP QueryInterface(REFIID, void** ppv) override {
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return 2; }
  STDMETHODIMP_(ULONG) Release() override { return 1; }
  LONG_PTR Self() { return reinterpret_cast<LONG_PTR>(static_cast<IAMStreamControl*>(this)); }
};

class StreamControlTest : public testing::Test {
 protected:
  StreamControlTest() { m_control.SetFilterGraph(&m_sink); }

  AM_STREAM_INFO Info() {
    AM_STREAM_INFO info{};
    EXPECT_EQ(m_control.GetInfo(&info), S_OK);
    return info;
  }
  // What a filter tells its stream control on Pause and then Stop.
  void PauseAndStop() {
    m_control.NotifyFilterState(State_Paused);
    m_control.NotifyFilterState(State_Stopped);
  }

  CEventRecorder m_sink;
  CControlledStream m_control;
};

TEST_F(StreamControlTest, APendingStartIsReportedAndCarriedOutWhenTheFilterStops) {
  const REFERENCE_TIME start = 100;
  EXPECT_EQ(m_control.StartAt(&start, 7), S_OK);
  AM_STREAM_INFO info = Info();
  EXPECT_EQ(info.tStart, 100);
  EXPECT_EQ(info.tStop, kNone);
  EXPECT_EQ(info.dwStartCookie, 7u);
  EXPECT_EQ(info.dwFlags, static_cast<DWORD>(AM_STREAM_INFO_START_DEFINED | AM_STREAM_INFO_DISCARDING));

  PauseAndStop();
  ASSERT_EQ(m_sink.m_events.size(), 1u);
  EXPECT_EQ(m_sink.m_events[0].code, EC_STREAM_CONTROL_STARTED);
  EXPECT_EQ(m_sink.m_events[0].first, m_control.Self());
  EXPECT_EQ(m_sink.m_events[0].second, 7);
  info = Info();
  EXPECT_EQ(info.dwFlags, 0u) << "no start defined, flowing";
  EXPECT_EQ(info.tStart, kNone);
  EXPECT_EQ(info.dwStartCookie, 0u);
}

struct OrderCase {
  REFERENCE_TIME start;
  REFERENCE_TIME stop;
  std::vector<LONG> codes;
};

class StreamControlOrderTest : public StreamControlTest, public testing::WithParamInterface<OrderCase> {};

TEST_P(StreamControlOrderTest, PendingRequestsAreCarriedOutInTimeOrder) {
  const OrderCase& order = GetParam();
  m_control.StartAt(&order.start, 1);
  m_control.StopAt(&order.stop, FALSE, 2);
  PauseAndStop();
  ASSERT_EQ(m_sink.m_events.size(), order.codes.size());
  for (std::size_t i = 0; i < order.codes.size(); ++i) {
    EXPECT_EQ(m_sink.m_events[i].code, order.codes[i]) << i;
    EXPECT_EQ(m_sink.m_events[i].second, order.codes[i] == EC_STREAM_CONTROL_STARTED ? 1 : 2) << i;
  }
  EXPECT_EQ(Info().dwFlags, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Orders, StreamControlOrderTest,
    testing::Values(OrderCase{200, 100, {EC_STREAM_CONTROL_STOPPED, EC_STREAM_CONTROL_STARTED}},
                    OrderCase{100, 200, {EC_STREAM_CONTROL_STARTED, EC_STREAM_CONTROL_STOPPED}},
                    OrderCase{150, 150, {EC_STREAM_CONTROL_STARTED, EC_STREAM_CONTROL_STOPPED}}));

TEST_F(StreamControlTest, RequestsWithCookieZeroOrWithoutASinkAreCarriedOutSilently) {
  const REFERENCE_TIME start = 10;
  const REFERENCE_TIME stop = 20;
  m_control.StartAt(&start, 0);
  m_control.StopAt(&stop, TRUE, 0);
  EXPECT_EQ(Info().dwFlags, static_cast<DWORD>(AM_STREAM_INFO_START_DEFINED | AM_STREAM_INFO_STOP_DEFINED |
                                               AM_STREAM_INFO_STOP_SEND_EXTRA | AM_STREAM_INFO_DISCARDING));
  PauseAndStop();
  EXPECT_TRUE(m_sink.m_events.empty());
  EXPECT_EQ(Info().dwFlags, static_cast<DWORD>(AM_STREAM_INFO_STOP_SEND_EXTRA))
      << "the send-extra flag stays until the next StopAt";

  // A filter that never joined a graph has no sink.
  m_control.SetFilterGraph(nullptr);
  m_control.StartAt(&start, 5);
  m_control.StopAt(&stop, FALSE, 6);
  PauseAndStop();
  EXPECT_TRUE(m_sink.m_events.empty());
  EXPECT_EQ(Info().dwFlags, 0u);
}

TEST_F(StreamControlTest, TheMaximumTimeCancelsAPendingRequestWithoutSettingTheEvent) {
  const REFERENCE_TIME stop = 50;
  m_control.StopAt(&stop, FALSE, 3);
  EXPECT_TRUE(m_control.CheckStreamEvent());
  EXPECT_EQ(Info().dwFlags, static_cast<DWORD>(AM_STREAM_INFO_STOP_DEFINED));
  m_control.StopAt(&kNone, FALSE, 3);
  EXPECT_FALSE(m_control.CheckStreamEvent());
  EXPECT_EQ(Info().dwFlags, 0u);
  EXPECT_EQ(Info().tStop, kNone);
  PauseAndStop();
  EXPECT_TRUE(m_sink.m_events.empty());

  const REFERENCE_TIME start = 60;
  m_control.StartAt(&start, 4);
  m_control.StartAt(&kNone, 4);
  EXPECT_EQ(Info().dwFlags, static_cast<DWORD>(AM_STREAM_INFO_DISCARDING))
      << "cancelling the start leaves the stream as the start request made it";
  PauseAndStop();
  EXPECT_TRUE(m_sink.m_events.empty());
  EXPECT_EQ(Info().dwFlags, 0u) << "the stop of the filter makes the stream flow again";
}

TEST_F(StreamControlTest, ImmediateRequestsChangeTheStreamStateAtOnce) {
  m_control.StopAt(nullptr, FALSE, 9);
  EXPECT_EQ(Info().dwFlags, static_cast<DWORD>(AM_STREAM_INFO_DISCARDING));
  EXPECT_TRUE(m_control.CheckStreamEvent());
  m_control.StartAt(nullptr, 9);
  EXPECT_EQ(Info().dwFlags, 0u);
  EXPECT_TRUE(m_control.CheckStreamEvent());
  PauseAndStop();
  EXPECT_TRUE(m_sink.m_events.empty()) << "immediate requests leave nothing pending";
}

TEST_F(StreamControlTest, AStateAlreadyRecordedChangesNothing) {
  const REFERENCE_TIME start = 100;
  m_control.StartAt(&start, 7);
  ASSERT_TRUE(m_control.CheckStreamEvent());
  m_control.NotifyFilterState(State_Stopped);
  EXPECT_FALSE(m_control.CheckStreamEvent());
  EXPECT_TRUE(m_sink.m_events.empty()) << "stopping a stopped filter carries out nothing";
  EXPECT_EQ(Info().dwFlags, static_cast<DWORD>(AM_STREAM_INFO_START_DEFINED | AM_STREAM_INFO_DISCARDING));

  m_control.NotifyFilterState(State_Running, 1234);
  EXPECT_TRUE(m_control.CheckStreamEvent());
  m_control.NotifyFilterState(State_Running, 1234);
  EXPECT_FALSE(m_control.CheckStreamEvent());
  m_control.NotifyFilterState(State_Stopped);
  EXPECT_EQ(m_sink.m_events.size(), 1u);
}

TEST_F(StreamControlTest, GetInfoRefusesANullRecord) { EXPECT_EQ(m_control.GetInfo(nullptr), E_POINTER); }

}  // namespace
