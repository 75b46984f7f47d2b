// CameraTest: a camera filter (CVideoSrcFilter) and the host renderer, both in a small
// event-recording graph, with a private shared region for the test and, when a test asks
// for one, a producer side of that region (a second CFileMapping) that announces sizes
// and writes frames. States are driven downstream first, as a graph drives them.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "channel/file_mapping.h"
#include "filter/video_src_filter.h"
#include "filter/video_src_stream.h"
#include "com/base_object.h"
#include "framework/media_type.h"
#include "platform/wide_string.h"
#include "support/channel_fixture.h"
#include "support/event_sink_graph.h"
#include "support/scripted_renderer_filter.h"

namespace camera_test {

using namespace std::chrono_literals;
using testing_support::CScriptedRendererFilter;
using testing_support::CScriptedRendererInputPin;
constexpr auto kDeadline = 10s;

// Bytes of a bottom-up RGB24 picture with rows padded to 4 bytes.
inline std::size_t FrameBytes(int width, int height) {
  return static_cast<std::size_t>((width * 3 + 3) & ~3) * static_cast<std::size_t>(height);
}

// A picture of one colour (padding bytes zero).
inline std::vector<std::uint8_t> SolidFrame(int width, int height, std::uint8_t b, std::uint8_t g, std::uint8_t r) {
  const std::size_t row = (static_cast<std::size_t>(width) * 3 + 3) & ~std::size_t{3};
  std::vector<std::uint8_t> frame(row * static_cast<std::size_t>(height), 0);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      std::uint8_t* p = &frame[row * static_cast<std::size_t>(y) + static_cast<std::size_t>(x) * 3];
      p[0] = b;
      p[1] = g;
      p[2] = r;
    }
  }
  return frame;
}

// A picture whose every byte depends on its position and on n.
inline std::vector<std::uint8_t> PatternFrame(int width, int height, int n) {
  std::vector<std::uint8_t> frame(FrameBytes(width, height));
  for (std::size_t i = 0; i < frame.size(); ++i) frame[i] = static_cast<std::uint8_t>(i * 7 + i / 253 + n * 13);
  return frame;
}

// A video-info RGB24 type of the given size (what an application would propose).
inline CMediaType VideoType(LONG width, LONG height, WORD bitCount = 24, REFERENCE_TIME interval = 400000) {
  CMediaType type = MakeRgb24VideoType(width, height, interval);
  auto* format = reinterpret_cast<VIDEOINFOHEADER*>(type.pbFormat);
  format->bmiHeader.biBitCount = bitCount;
  format->bmiHeader.biSizeImage = GetBitmapSize(&format->bmiHeader);
  type.SetSampleSize(format->bmiHeader.biSizeImage);
  return type;
}

inline const VIDEOINFOHEADER& VideoInfo(const AM_MEDIA_TYPE& type) {
  return *reinterpret_cast<const VIDEOINFOHEADER*>(type.pbFormat);
}

class CameraTest : public testing::Test {
 protected:
  void SetUp() override {
    m_objects = CBaseObject::ObjectsActive();
    HRESULT hr = E_FAIL;
    CUnknown* object = CVideoSrcFilter::CreateInstance(nullptr, &hr);
    ASSERT_NE(object, nullptr);
    ASSERT_EQ(hr, S_OK);
    m_filter = static_cast<CVideoSrcFilter*>(object);
    m_filter->AddRef();
    Stream()->SkipPacing(true);
    m_renderer = CScriptedRendererFilter::Create();
    ASSERT_EQ(m_filter->JoinFilterGraph(&m_graph, L"camera"), S_OK);
    ASSERT_EQ(m_renderer->JoinFilterGraph(&m_graph, L"renderer"), S_OK);
  }

  void TearDown() override {
    if (m_filter == nullptr) return;
    EXPECT_EQ(testing_support::CallWithin(kDeadline, [this] { return m_renderer->Stop(); }), S_OK);
    EXPECT_EQ(testing_support::CallWithin(kDeadline, [this] { return m_filter->Stop(); }), S_OK);
    Pin()->Disconnect();
    m_renderer->Pin()->Disconnect();
    m_filter->JoinFilterGraph(nullptr, nullptr);
    m_renderer->JoinFilterGraph(nullptr, nullptr);
    m_filter->Release();
    m_renderer->Release();
    m_producer.reset();
    EXPECT_EQ(CBaseObject::ObjectsActive(), m_objects) << "a filter, pin, allocator or sample was not freed";
  }

  CVideoSrcStream* Stream() { return m_filter->Stream(); }
  IPin* Pin() { return static_cast<IPin*>(static_cast<CBasePin*>(Stream())); }
  CScriptedRendererInputPin* Input() { return m_renderer->InputPin(); }
  IAMStreamConfig* Config() { return static_cast<IAMStreamConfig*>(Stream()); }

  HRESULT Connect() { return Pin()->Connect(m_renderer->Pin(), nullptr); }
  HRESULT Pause() {
    const HRESULT hr = m_renderer->Pause();
    return FAILED(hr) ? hr : m_filter->Pause();
  }
  HRESULT Run(REFERENCE_TIME start = 0) {
    const HRESULT hr = m_renderer->Run(start);
    return FAILED(hr) ? hr : m_filter->Run(start);
  }
  HRESULT Stop() {
    const HRESULT hr = testing_support::CallWithin(kDeadline, [this] { return m_renderer->Stop(); });
    return FAILED(hr) ? hr : testing_support::CallWithin(kDeadline, [this] { return m_filter->Stop(); });
  }

  // The producer side of the region, made on first use.
  CFileMapping& Producer() {
    if (!m_producer) {
      m_producer = std::make_unique<CFileMapping>();
      EXPECT_EQ(m_producer->Init(true, nullptr), 0);
    }
    return *m_producer;
  }
  void Announce(int width, int height) { ASSERT_EQ(Producer().SetServerResolution(width, height), 1); }
  void Publish(int width, int height, const std::vector<std::uint8_t>& frame) {
    ASSERT_EQ(Producer().SetMediaSample(0, width, height, frame.data(), static_cast<std::int32_t>(frame.size()), 0,
                                        nullptr, nullptr),
              0);
  }
  // The client names in the producer's table.
  std::vector<std::wstring> Clients() {
    std::vector<channel::ClientEntry> entries;
    Producer().GetClientInfo(&entries);
    std::vector<std::wstring> names;
    for (const auto& entry : entries) {
      std::size_t n = 0;
      while (n < channel::kClientNameUnits && entry.Name[n] != 0) ++n;
      names.push_back(platform::Utf16ToWide(entry.Name, n));
    }
    return names;
  }

  // Runs until count more samples arrived (keeping their bytes), and stops.
  std::vector<CRendererInputPin::DataCopy> Capture(LONG count) {
    Input()->KeepDataCopies(static_cast<std::size_t>(count));
    const LONG before = Input()->SampleCount();
    EXPECT_EQ(Run(), S_OK);
    EXPECT_TRUE(Input()->WaitForSamples(before + count, kDeadline));
    EXPECT_EQ(Stop(), S_OK);
    return Input()->DataCopies();
  }

  testing_support::CChannelNamespace m_namespace;
  LONG m_objects = 0;
  testing_support::CEventSinkGraph m_graph;
  CVideoSrcFilter* m_filter = nullptr;
  CScriptedRendererFilter* m_renderer = nullptr;
  std::unique_ptr<CFileMapping> m_producer;
};

}  // namespace camera_test
