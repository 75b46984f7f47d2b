// One CVideoSrcStream::FillBuffer call, without its pacing sleep, against the bare
// picture operation at its heart, measured in the same run:
// - a producer frame of the stream's own size (1920 x 1080) against one memcpy of it;
// - a 1280 x 720 producer frame letterboxed into 640 x 480 (scaled straight from the
//   held frame in the region) against cv::resize of the same picture into the 640 x 360
//   area it fills;
// - the placeholder (no producer) at 640 x 480, which the stream scales once and copies
//   afterwards, against one memcpy of a 640 x 480 frame.
//
// How FillBuffer is driven: the camera filter's pin is connected to the host renderer
// (tools/common), so the format and the allocator are the negotiated ones. The filter
// is never started: the benchmark commits the pin's allocator itself, takes one sample
// from it and calls FillBuffer on that sample in the loop, as the worker does for every
// frame (the worker would add GetBuffer, Deliver and the sample release around it,
// which are not the stream's work). The stream is not active, so its client name is
// empty; the channel registers that empty name once, on the first frame, and finds it
// on every later one, as it does with an active stream's name.
//
//   cmake --preset bench && cmake --build --preset bench && build/bench/bench/amberline_camera_bench
#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include "private_channel.h"
#include "channel/file_mapping.h"
#include "common/renderer_filter.h"
#include "composer/image.h"
#include "filter/video_src_filter.h"
#include "filter/video_src_stream.h"
#include "framework/media_type.h"
#include "identity/camera_identity.h"
#include "platform/guid.h"
#include "platform/paths.h"
#include "platform/wide_string.h"
#include "bench_camera.h"
#include "ratio_reporter.h"

namespace {

// Calls the worker's hook directly.
struct CStreamAccess : CVideoSrcStream {
  using CVideoSrcStream::FillBuffer;
};

HRESULT Fill(CVideoSrcStream* stream, IMediaSample* sample) { return (stream->*&CStreamAccess::FillBuffer)(sample); }

std::size_t FrameBytes(int width, int height) {
  return static_cast<std::size_t>((width * 3 + 3) & ~3) * static_cast<std::size_t>(height);
}

std::vector<std::uint8_t> NoiseFrame(int width, int height) {
  std::vector<std::uint8_t> frame(FrameBytes(width, height));
  cv::Mat noise(1, static_cast<int>(frame.size()), CV_8UC1, frame.data());
  cv::randu(noise, cv::Scalar::all(0), cv::Scalar::all(255));
  return frame;
}

// The camera connected to the renderer, with an optional producer side of the region
// and one committed sample of the negotiated allocator.
class CCameraRig {
 public:
  // announced: the producer's size (0 x 0: no producer); proposed: the type the
  // connection asks for (0 x 0: the stream's own offer).
  CCameraRig(cv::Size announced, cv::Size proposed) {
    if (announced.width > 0) {
      m_producer = std::make_unique<CFileMapping>();
      if (m_producer->Init(true, nullptr) != 0 || m_producer->SetServerResolution(announced.width, announced.height) != 1) {
        m_error = "cannot open the producer side of the channel";
        return;
      }
    }
    m_filter = CreateBenchCamera();
    if (m_filter == nullptr) {
      m_error = "cannot create the camera filter";
      return;
    }
    Stream()->SkipPacing(true);
    m_renderer = CRendererFilter::Create();
    CMediaType type = MakeRgb24VideoType(proposed.width, proposed.height, 400000);
    if (Pin()->Connect(m_renderer->Pin(), proposed.width > 0 ? &type : nullptr) != S_OK) {
      m_error = "cannot connect the camera to the renderer";
      return;
    }
    IMemAllocator* allocator = static_cast<CBaseOutputPin*>(Stream())->Allocator();
    if (allocator == nullptr || allocator->Commit() != S_OK ||
        allocator->GetBuffer(&m_sample, nullptr, nullptr, 0) != S_OK) {
      m_error = "cannot take a sample from the negotiated allocator";
    }
  }

  ~CCameraRig() {
    if (m_sample != nullptr) m_sample->Release();
    if (m_filter != nullptr) {
      if (IMemAllocator* allocator = static_cast<CBaseOutputPin*>(Stream())->Allocator()) allocator->Decommit();
      Pin()->Disconnect();
      m_renderer->Pin()->Disconnect();
      m_filter->Release();
      m_renderer->Release();
    }
  }

  const char* Error() const { return m_error; }
  CVideoSrcStream* Stream() { return m_filter->Stream(); }
  IMediaSample* Sample() { return m_sample; }
  void Publish(int width, int height, const std::vector<std::uint8_t>& frame) {
    if (m_producer->SetMediaSample(0, width, height, frame.data(), static_cast<std::int32_t>(frame.size()), 0, nullptr,
                                   nullptr) != 0)
      m_error = "cannot publish a frame";
  }

 private:
  IPin* Pin() { return static_cast<IPin*>(static_cast<CBasePin*>(Stream())); }

  std::unique_ptr<CFileMapping> m_producer;
  CVideoSrcFilter* m_filter = nullptr;
  CRendererFilter* m_renderer = nullptr;
  IMediaSample* m_sample = nullptr;
  const char* m_error = nullptr;
};

// Fills the sample once outside the timing and checks what the call did, then times it.
void RunFill(benchmark::State& state, CCameraRig& rig, int width, int height,
             const std::vector<std::uint8_t>* expected) {
  if (rig.Error() != nullptr) {
    state.SkipWithError(rig.Error());
    return;
  }
  if (rig.Stream()->Width() != width || rig.Stream()->Height() != height) {
    state.SkipWithError("the connection has another size");
    return;
  }
  BYTE* data = nullptr;
  if (Fill(rig.Stream(), rig.Sample()) != S_OK || rig.Sample()->GetPointer(&data) != S_OK ||
      rig.Sample()->GetActualDataLength() != static_cast<LONG>(FrameBytes(width, height)) ||
      (expected != nullptr && std::memcmp(data, expected->data(), expected->size()) != 0)) {
    state.SkipWithError("FillBuffer did not deliver the expected picture");
    return;
  }
  for (auto _ : state) {
    if (Fill(rig.Stream(), rig.Sample()) != S_OK) {
      state.SkipWithError("FillBuffer failed");
      break;
    }
    benchmark::ClobberMemory();
  }
}

// 1920 x 1080 copied as it is.
void FillCopy(benchmark::State& state) {
  CCameraRig rig({1920, 1080}, {0, 0});
  const auto frame = NoiseFrame(1920, 1080);
  if (rig.Error() == nullptr) rig.Publish(1920, 1080, frame);
  RunFill(state, rig, 1920, 1080, &frame);
}

void CopyBaseline(benchmark::State& state) {
  const auto source = NoiseFrame(1920, 1080);
  std::vector<std::uint8_t> destination(source.size());
  for (auto _ : state) {
    std::memcpy(destination.data(), source.data(), destination.size());
    benchmark::ClobberMemory();
  }
}

// 1280 x 720 from the producer, 640 x 480 asked for by the application.
void FillLetterbox(benchmark::State& state) {
  CCameraRig rig({1280, 720}, {640, 480});
  if (rig.Error() == nullptr) rig.Publish(1280, 720, NoiseFrame(1280, 720));
  RunFill(state, rig, 640, 480, nullptr);
}

void LetterboxBaseline(benchmark::State& state) {
  auto source = CImage::Create(1280, 720, 3, CImage::kBottomLeft);
  cv::randu(source->Mat(), cv::Scalar::all(0), cv::Scalar::all(255));
  cv::Mat destination(360, 640, CV_8UC3);
  for (auto _ : state) {
    cv::resize(source->Mat(), destination, destination.size(), 0, 0, cv::INTER_LINEAR);
    benchmark::ClobberMemory();
  }
}

// No producer: the placeholder stretched over 640 x 480.
void FillPlaceholder(benchmark::State& state) {
  CCameraRig rig({0, 0}, {640, 480});
  if (rig.Error() == nullptr && !rig.Stream()->Images().HasPlaceholder()) {
    state.SkipWithError("the placeholder picture was not found");
    return;
  }
  RunFill(state, rig, 640, 480, nullptr);
}

void PlaceholderBaseline(benchmark::State& state) {
  const auto source = NoiseFrame(640, 480);
  std::vector<std::uint8_t> destination(source.size());
  for (auto _ : state) {
    std::memcpy(destination.data(), source.data(), destination.size());
    benchmark::ClobberMemory();
  }
}

BENCHMARK(FillCopy)->Arg(0)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(CopyBaseline)->Arg(0)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(FillLetterbox)->Arg(0)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(LetterboxBaseline)->Arg(0)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(FillPlaceholder)->Arg(0)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(PlaceholderBaseline)->Arg(0)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  cv::setNumThreads(1);  // the camera scales on its one worker thread
  UsePrivateChannelNamespace();
  benchmark::Initialize(&argc, argv);
  CRatioReporter reporter({
      {"FillCopy", "CopyBaseline", {"1920x1080 copy"}, 1.3},
      {"FillLetterbox", "LetterboxBaseline", {"1280x720 -> 640x480"}, 1.1},
      {"FillPlaceholder", "PlaceholderBaseline", {"placeholder 640x480"}, 1.5},
  });
  reporter.PublishPairs();
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintRatios();
  benchmark::Shutdown();
  return 0;
}
