// The camera and the host renderer inside the system's filter graph (ours on Linux, the
// platform's own under Windows): a format set while the pins are connected reaches the
// renderer through the graph's reconnection, and the frames that follow have its size.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "camera_fixture.h"

namespace camera_test {
namespace {

class CameraInGraphTest : public testing::Test {
 protected:
  void SetUp() override {
    m_init = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    m_objects = CBaseObject::ObjectsActive();
    ASSERT_EQ(CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder,
                               reinterpret_cast<void**>(&m_graph)),
              S_OK);
    ASSERT_EQ(m_graph->QueryInterface(IID_IMediaControl, reinterpret_cast<void**>(&m_control)), S_OK);
    HRESULT hr = E_FAIL;
    CUnknown* object = CVideoSrcFilter::CreateInstance(nullptr, &hr);
    ASSERT_NE(object, nullptr);
    m_camera = static_cast<CVideoSrcFilter*>(object);
    m_camera->AddRef();
    m_renderer = CScriptedRendererFilter::Create();
    ASSERT_EQ(m_graph->AddFilter(m_camera, L"Camera"), S_OK);
    ASSERT_EQ(m_graph->AddFilter(m_renderer->Filter(), L"Renderer"), S_OK);
    ASSERT_EQ(m_producer.Init(true, nullptr), 0);
  }

  void TearDown() override {
    if (m_control != nullptr) {
      EXPECT_EQ(testing_support::CallWithin(kDeadline, [this] { return m_control->Stop(); }), S_OK);
      m_control->Release();
    }
    if (m_graph != nullptr) {
      if (m_camera != nullptr) m_graph->RemoveFilter(m_camera);
      if (m_renderer != nullptr) m_graph->RemoveFilter(m_renderer->Filter());
      m_graph->Release();
    }
    if (m_camera != nullptr) m_camera->Release();
    if (m_renderer != nullptr) m_renderer->Release();
    EXPECT_EQ(CBaseObject::ObjectsActive(), m_objects) << "a filter, pin, allocator or sample was not freed";
    if (SUCCEEDED(m_init)) CoUninitialize();
  }

  IPin* CameraPin() { return static_cast<IPin*>(static_cast<CBasePin*>(m_camera->Stream())); }

  testing_support::CChannelNamespace m_namespace;
  HRESULT m_init = E_FAIL;
  LONG m_objects = 0;
  CFileMapping m_producer;
  IGraphBuilder* m_graph = nullptr;
  IMediaControl* m_control = nullptr;
  CVideoSrcFilter* m_camera = nullptr;
  CScriptedRendererFilter* m_renderer = nullptr;
};

TEST_F(CameraInGraphTest, AFormatSetWhileConnectedReachesTheRendererAndTheFramesHaveItsSize) {
  const auto frame = SolidFrame(320, 240, 60, 120, 180);
  ASSERT_EQ(m_producer.SetServerResolution(320, 240), 1);
  ASSERT_EQ(m_producer.SetMediaSample(0, 320, 240, frame.data(), static_cast<std::int32_t>(frame.size()), 0, nullptr,
                                      nullptr),
            0);
  ASSERT_EQ(m_graph->ConnectDirect(CameraPin(), m_renderer->Pin(), nullptr), S_OK);
  CMediaType connected;
  ASSERT_EQ(m_renderer->Pin()->ConnectionMediaType(&connected), S_OK);
  ASSERT_EQ(VideoInfo(connected).bmiHeader.biWidth, 320);

  IAMStreamConfig* config = nullptr;
  ASSERT_EQ(CameraPin()->QueryInterface(IID_IAMStreamConfig, reinterpret_cast<void**>(&config)), S_OK);
  // As applications may give it: no image size, the stream counts it.
  CMediaType smaller = VideoType(160, 120);
  reinterpret_cast<VIDEOINFOHEADER*>(smaller.pbFormat)->bmiHeader.biSizeImage = 0;
  const HRESULT set = config->SetFormat(&smaller);
  config->Release();
  ASSERT_EQ(set, S_OK);

  CMediaType rendererType;
  ASSERT_EQ(m_renderer->Pin()->ConnectionMediaType(&rendererType), S_OK);
  EXPECT_EQ(VideoInfo(rendererType).bmiHeader.biWidth, 160) << "the renderer reads what the camera writes";
  EXPECT_EQ(VideoInfo(rendererType).bmiHeader.biHeight, 120);
  CMediaType cameraType;
  ASSERT_EQ(CameraPin()->ConnectionMediaType(&cameraType), S_OK);
  EXPECT_TRUE(cameraType == rendererType);

  m_renderer->InputPin()->KeepDataCopies(2);
  ASSERT_TRUE(SUCCEEDED(m_control->Run()));
  ASSERT_TRUE(m_renderer->InputPin()->WaitForSamples(3, kDeadline));
  ASSERT_EQ(testing_support::CallWithin(kDeadline, [this] { return m_control->Stop(); }), S_OK);
  for (const auto& copy : m_renderer->InputPin()->DataCopies())
    EXPECT_TRUE(copy.bytes == SolidFrame(160, 120, 60, 120, 180)) << "sample " << copy.index;
}

// The graph takes its own lock before the filter's; a format change that reconnects must
// not hold the filter's lock while it asks the graph, or the two threads wait for each
// other.
TEST_F(CameraInGraphTest, FormatChangesThatReconnectAndGraphStateChangesOnTwoThreadsDoNotDeadlock) {
  ASSERT_EQ(m_graph->ConnectDirect(CameraPin(), m_renderer->Pin(), nullptr), S_OK);
  IAMStreamConfig* config = nullptr;
  ASSERT_EQ(CameraPin()->QueryInterface(IID_IAMStreamConfig, reinterpret_cast<void**>(&config)), S_OK);
  std::atomic<bool> done{false};
  std::atomic<int> changes{0};
  std::thread formats([&] {
    CMediaType sizes[] = {VideoType(160, 120), VideoType(320, 240)};
    for (int i = 0; !done.load(); ++i) {
      if (config->SetFormat(&sizes[i % 2]) == S_OK) changes.fetch_add(1);
    }
  });
  // At least 30 state changes, and more until a format change has gone through between
  // them: on a busy machine the 30 can be over before the other thread's first change.
  const HRESULT hr = testing_support::CallWithin(60s, [this, &changes] {
    for (int i = 0; i < 30 || (changes.load() == 0 && i < 100000); ++i) {
      HRESULT result = m_control->Run();
      if (FAILED(result)) return result;
      if (FAILED(result = m_control->Stop())) return result;
    }
    return S_OK;
  });
  done.store(true);
  formats.join();
  config->Release();
  EXPECT_EQ(hr, S_OK);
  EXPECT_GT(changes.load(), 0);
  // Whatever the last change was, two pins still connected to each other carry the same
  // type. A graph may also have lost the connection: one that reconnects without holding
  // off a Run from another thread (Wine's) disconnects pins of a graph that started in
  // between, and a running pin refuses to let go, so one half can remain.
  CMediaType cameraType, rendererType;
  const bool cameraConnected = CameraPin()->ConnectionMediaType(&cameraType) == S_OK;
  const bool rendererConnected = m_renderer->Pin()->ConnectionMediaType(&rendererType) == S_OK;
  if (cameraConnected && rendererConnected) {
    EXPECT_TRUE(cameraType == rendererType);
  }
}

}  // namespace
}  // namespace camera_test
