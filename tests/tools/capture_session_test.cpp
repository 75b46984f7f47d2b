// The capture tool's recording loop against a test source in the system's filter graph:
// frames reach the sink in order, numbered from 1 and top line first; a slow sink paces
// the source and loses nothing; a camera that ends its stream, a sink that gives up or a
// stop request ends the run with what arrived; a failing step is named and leaves the
// camera out of the graph.
#include "capture_session.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "filter/video_src_filter.h"
#include "filter/video_src_stream.h"
#include "support/channel_fixture.h"
#include "support/numbered_source.h"

namespace {

using namespace std::chrono_literals;
using testing_support::CNumberedSource;

struct Received {
  std::vector<long long> numbers;
  std::vector<CRgbPicture> pictures;
  CCaptureSession::Format format;
};

CCaptureSession::Sink Collect(Received& received) {
  CCaptureSession::Sink sink;
  sink.start = [&received](const CCaptureSession::Format& format) {
    received.format = format;
    return true;
  };
  sink.frame = [&received](long long number, const CRgbPicture& picture) {
    received.numbers.push_back(number);
    received.pictures.push_back(picture);
    return true;
  };
  return sink;
}

class CaptureSession : public testing::Test {
 protected:
  void SetUp() override {
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    m_source = CNumberedSource::Create();
    ASSERT_NE(m_source, nullptr);
  }
  void TearDown() override {
    if (m_source) m_source->Release();
    CoUninitialize();
  }
  bool InGraph() {
    FILTER_INFO info{};
    m_source->Filter()->QueryFilterInfo(&info);
    const bool inGraph = info.pGraph != nullptr;
    if (info.pGraph) info.pGraph->Release();
    return inGraph;
  }
  CNumberedSource* m_source = nullptr;
};

TEST_F(CaptureSession, HandsOnTheAskedNumberOfFramesInOrderTopLineFirst) {
  m_source->Stream()->m_fillResultAt = 5;
  m_source->Stream()->m_fillResult = S_FALSE;  // end of stream after five frames
  CCaptureSession session(m_source->Filter());
  Received received;
  ASSERT_EQ(session.Run(0, 0, 5, 10s, Collect(received)), S_OK) << session.Step();
  EXPECT_EQ(received.format.width, 64);
  EXPECT_EQ(received.format.height, 48);
  ASSERT_EQ(received.numbers, (std::vector<long long>{1, 2, 3, 4, 5}));
  for (int i = 0; i < 5; ++i) {
    SCOPED_TRACE(i);
    const CRgbPicture& picture = received.pictures[i];
    ASSERT_EQ(picture.Width(), 64);
    ASSERT_EQ(picture.Height(), 48);
    // Frame i is filled with i, except its first four bytes, which hold i as a number:
    // the first pixel in memory, blue first, is the bottom-left pixel of the picture.
    EXPECT_EQ(picture.Pixel(5, 0)[0], i);
    EXPECT_EQ(picture.Pixel(0, 47)[2], i);  // blue = the number's low byte
    EXPECT_EQ(picture.Pixel(0, 47)[1], 0);
    EXPECT_EQ(picture.Pixel(0, 47)[0], 0);
  }
  EXPECT_EQ(session.Missed(), 0);
  EXPECT_EQ(session.Timing().Count(), 5);
  EXPECT_FALSE(InGraph());
}

TEST_F(CaptureSession, ASlowSinkPacesTheSourceAndGetsEveryFrameInOrder) {
  // The source delivers as fast as it can; the sink is slow on purpose.
  CCaptureSession session(m_source->Filter());
  Received received;
  CCaptureSession::Sink sink = Collect(received);
  auto frame = sink.frame;
  sink.frame = [frame](long long number, const CRgbPicture& picture) {
    std::this_thread::sleep_for(2ms);
    return frame(number, picture);
  };
  ASSERT_EQ(session.Run(0, 0, 120, 30s, sink), S_OK) << session.Step();
  ASSERT_EQ(received.numbers.size(), 120u);
  for (std::size_t i = 0; i < received.numbers.size(); ++i) {
    ASSERT_EQ(received.numbers[i], static_cast<long long>(i) + 1);
    // Every picture handed on is the frame its number says.
    EXPECT_EQ(received.pictures[i].Pixel(5, 0)[0], i & 0xFF);
  }
  EXPECT_EQ(session.Missed(), 0);
  EXPECT_EQ(session.HandedOn(), 120);
  EXPECT_EQ(session.Timing().Count(), 120);
}

TEST_F(CaptureSession, ASinkThatGivesUpOrAStopRequestEndsTheRunWithWhatArrived) {
  CCaptureSession session(m_source->Filter());
  Received received;
  CCaptureSession::Sink sink = Collect(received);
  auto frame = sink.frame;
  sink.frame = [frame](long long number, const CRgbPicture& picture) { return frame(number, picture) && number < 3; };
  ASSERT_EQ(session.Run(0, 0, 1000, 30s, sink), S_OK) << session.Step();
  EXPECT_TRUE(session.EndedBySink());
  EXPECT_FALSE(session.Interrupted());
  EXPECT_EQ(received.numbers, (std::vector<long long>{1, 2, 3})) << "nothing after the frame it refused";
  EXPECT_FALSE(InGraph());

  // A stop request during a long timed run: the run ends promptly, the frames handed on
  // are the first ones in order, and the ones still queued are counted as received.
  received = Received();
  std::atomic<bool> stop{false};
  sink = Collect(received);
  frame = sink.frame;
  sink.frame = [&stop, frame](long long number, const CRgbPicture& picture) {
    if (number == 5) stop = true;
    return frame(number, picture);
  };
  sink.stopRequested = [&stop] { return stop.load(); };
  const auto started = std::chrono::steady_clock::now();
  ASSERT_EQ(session.Run(0, 0, 0, 600s, sink), S_OK) << session.Step();
  EXPECT_LT(std::chrono::steady_clock::now() - started, 30s);
  EXPECT_TRUE(session.Interrupted());
  ASSERT_GE(received.numbers.size(), 5u);
  EXPECT_EQ(static_cast<long long>(received.numbers.size()), session.HandedOn());
  EXPECT_GE(session.Timing().Count(), session.HandedOn());
  EXPECT_EQ(session.Missed(), 0);
  EXPECT_EQ(received.numbers.back(), static_cast<long long>(received.numbers.size()));
  EXPECT_FALSE(InGraph());
}

TEST_F(CaptureSession, CameraEndingItsStreamEndsATimedRun) {
  m_source->Stream()->m_fillResultAt = 3;
  m_source->Stream()->m_fillResult = S_FALSE;
  CCaptureSession session(m_source->Filter());
  Received received;
  const auto started = std::chrono::steady_clock::now();
  ASSERT_EQ(session.Run(0, 0, 0, 60s, Collect(received)), S_OK) << session.Step();
  EXPECT_LT(std::chrono::steady_clock::now() - started, 30s);
  EXPECT_TRUE(session.EndedByCamera());
  EXPECT_EQ(received.numbers, (std::vector<long long>{1, 2, 3}));
}

TEST_F(CaptureSession, AnAskedRateReachesTheCameraThroughItsStreamConfiguration) {
  testing_support::CChannelNamespace names;
  HRESULT hr = E_FAIL;
  CUnknown* object = CVideoSrcFilter::CreateInstance(nullptr, &hr);
  ASSERT_NE(object, nullptr);
  auto* camera = static_cast<CVideoSrcFilter*>(object);
  camera->AddRef();
  {
    CCaptureSession session(camera);
    Received received;
    session.RequestFrameRate(30);
    EXPECT_EQ(session.Run(0, 0, 2, 10s, Collect(received)), S_OK) << session.Step();
    EXPECT_EQ(received.format.frameTime, 333333) << "the camera's own size at 30 frames a second";
    EXPECT_EQ(received.format.width, 320);
    EXPECT_EQ(camera->Stream()->FrameInterval(), 33);
    session.RequestFrameRate(50);
    EXPECT_EQ(session.Run(160, 120, 2, 10s, Collect(received)), S_OK) << session.Step();
    EXPECT_EQ(received.format.frameTime, 200000);
    EXPECT_EQ(received.format.width, 160);
  }
  camera->Release();
}

TEST_F(CaptureSession, FailingStepIsNamedAndTheCameraLeavesTheGraph) {
  // The test source has no IAMStreamConfig, so a size cannot be asked for.
  CCaptureSession session(m_source->Filter());
  Received received;
  EXPECT_EQ(session.Run(320, 240, 1, 10s, Collect(received)), E_NOINTERFACE);
  EXPECT_NE(session.Step().find("IAMStreamConfig"), std::string::npos) << session.Step();
  EXPECT_FALSE(InGraph());

  // A type the renderer refuses fails the connection.
  m_source->Stream()->m_checkResult = E_FAIL;
  EXPECT_TRUE(FAILED(session.Run(0, 0, 1, 10s, Collect(received))));
  EXPECT_NE(session.Step().find("ConnectDirect"), std::string::npos) << session.Step();
  EXPECT_FALSE(InGraph());

  // A sink that cannot set up its output cancels the run before it starts.
  m_source->Stream()->m_checkResult = S_OK;
  CCaptureSession::Sink refusing = Collect(received);
  refusing.start = [](const CCaptureSession::Format&) { return false; };
  EXPECT_EQ(session.Run(0, 0, 1, 10s, refusing), E_ABORT);
  EXPECT_EQ(m_source->Stream()->m_framesFilled.load(), 0);
  EXPECT_FALSE(InGraph());
}

}  // namespace
