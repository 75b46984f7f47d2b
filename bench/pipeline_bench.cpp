// The whole road of a frame at the camera's fastest pace, per frame size (640 x 480,
// 1280 x 720, 1920 x 1080):
// - the reference producer, amberline-producer, runs as its own process and writes a
//   still picture of that size into the channel 100 times a second;
// - the camera filter, in this process, is connected to the host renderer in a filter
//   graph at the producer's size, so every frame takes the same-size path: one copy out
//   of the region straight into the sample, then delivery to the renderer. Its worker
//   starts at the default 40 ms interval; a quality message from downstream brings the
//   interval to its 10 ms minimum before anything is measured.
// Pipeline reports the frames delivered per second (and those the producer wrote) and
// the processor time of both processes (all their threads) per delivered frame, over a
// window of a few seconds after a warm-up. Its baseline, TwoFrameCopies, is the least
// any such road costs: two memcpys of one frame (into the region, out of it), measured
// in the same run. The ratio compares the processor time per frame with that baseline.
//
// The producer sends a still picture so that its own drawing is not counted: what is
// measured is the channel, the camera and the delivery.
//
//   cmake --preset bench && cmake --build --preset bench && build/bench/bench/amberline_pipeline_bench
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "private_channel.h"
#include "channel/file_mapping.h"
#include "common/renderer_filter.h"
#include "filter/video_src_filter.h"
#include "filter/video_src_stream.h"
#include "identity/camera_identity.h"
#include "platform/child_process.h"
#include "platform/cpu_time.h"
#include "platform/guid.h"
#include "platform/paths.h"
#include "platform/wide_string.h"
#include "framework/media_type.h"
#include "bench_camera.h"
#include "png_writer.h"
#include "ratio_reporter.h"
#include "rgb_picture.h"


namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

struct Size {
  int width;
  int height;
};
const Size kSizes[] = {{640, 480}, {1280, 720}, {1920, 1080}};
constexpr int kProducerFps = 100;
constexpr std::int32_t kFrameIntervalMs = 10;  // the camera's shortest
constexpr LONG kWarmUpFrames = 20;
constexpr auto kWindow = 3s;
constexpr auto kDeadline = 30s;

std::size_t FrameBytes(int width, int height) {
  return static_cast<std::size_t>((width * 3 + 3) & ~3) * static_cast<std::size_t>(height);
}

// Picture pixel (x, y), top-down RGB: smooth ramps (small PNG files) that differ per line.
std::uint8_t Channel(int x, int y, int c) { return static_cast<std::uint8_t>((x * (c + 1) + y * (3 - c)) & 0xFF); }

// Writes the still picture the producer sends; false when it cannot.
bool WritePicture(const std::filesystem::path& path, Size size) {
  CRgbPicture picture(size.width, size.height);
  for (int y = 0; y < size.height; ++y)
    for (int x = 0; x < size.width; ++x)
      for (int c = 0; c < 3; ++c) picture.Pixel(x, y)[c] = Channel(x, y, c);
  return CPngWriter::Write(path.string(), picture);
}

// The first bytes of a delivered frame: the picture's bottom line, blue, green, red.
bool StartsWithPicture(const CRendererInputPin::SampleRecord& record, Size size) {
  if (record.firstByteCount < 6) return false;
  for (std::size_t i = 0; i < 6; ++i)
    if (record.firstBytes[i] != Channel(static_cast<int>(i / 3), size.height - 1, 2 - static_cast<int>(i % 3)))
      return false;
  return true;
}

std::filesystem::path ScratchFolder() {
  GUID guid{};
  platform::CreateGuid(&guid);
  return std::filesystem::temp_directory_path() /
         ("amberline-pipeline-bench-" + platform::WideToUtf8(platform::GuidToRegistryString(guid).substr(1, 36)));
}

bool WaitUntil(const std::function<bool()>& condition, Clock::duration timeout) {
  const auto deadline = Clock::now() + timeout;
  while (!condition()) {
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

// The producer process, then the camera and the renderer in a running graph.
class CPipelineRig {
 public:
  explicit CPipelineRig(Size size) : m_size(size), m_folder(ScratchFolder()) {
    std::error_code ignored;
    std::filesystem::create_directories(m_folder, ignored);
    const std::filesystem::path picture = m_folder / "still.png";
    if (!WritePicture(picture, size)) {
      m_error = "cannot write the producer's picture";
      return;
    }
    // Through a shell only to silence the producer's console; exec keeps the process id,
    // so the processor time read is the producer's.
    const std::string frameSize = std::to_string(size.width) + "x" + std::to_string(size.height);
    if (!m_producer.Start("/bin/sh",
                          {"-c", "exec \"$0\" \"$@\" > /dev/null", AMBERLINE_PRODUCER_PATH, "--size", frameSize, "--fps",
                           std::to_string(kProducerFps), "--image", picture.string()})) {
      m_error = "cannot start amberline-producer";
      return;
    }
    if (m_observer.Init(false, nullptr) != 0 || !WaitUntil(
                                                     [&] {
                                                       channel::FrameDescriptor d{};
                                                       if (m_observer.LockMediaSample(0, &d) != 0) return false;
                                                       m_observer.UnlockMediaSample(0);
                                                       return d.Width == m_size.width && d.Height == m_size.height;
                                                     },
                                                     kDeadline)) {
      m_error = "no frame of the expected size from amberline-producer";
      return;
    }

    if (CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder,
                         reinterpret_cast<void**>(&m_graph)) != S_OK ||
        m_graph->QueryInterface(IID_IMediaControl, reinterpret_cast<void**>(&m_control)) != S_OK) {
      m_error = "cannot create the filter graph";
      return;
    }
    m_camera = CreateBenchCamera();
    if (m_camera == nullptr) {
      m_error = "cannot create the camera filter";
      return;
    }
    m_renderer = CRendererFilter::Create();
    if (m_renderer == nullptr || FAILED(m_graph->AddFilter(m_camera, L"Camera")) ||
        FAILED(m_graph->AddFilter(m_renderer->Filter(), L"Renderer"))) {
      m_error = "cannot add the filters to the graph";
      return;
    }
    CMediaType type = MakeRgb24VideoType(size.width, size.height, 400000);
    IPin* output = static_cast<IPin*>(static_cast<CBasePin*>(m_camera->Stream()));
    if (m_graph->ConnectDirect(output, m_renderer->Pin(), &type) != S_OK) {
      m_error = "cannot connect the camera to the renderer";
      return;
    }
    if (FAILED(m_control->Run())) {
      m_error = "cannot run the graph";
      return;
    }
    m_running = true;
    // The worker starts at the default interval; a quality message from downstream asking
    // for four times the rate brings it to its 10 ms minimum, as a fast renderer would.
    if (!Input()->WaitForSamples(1, kDeadline)) {
      m_error = "the camera delivers no frames";
      return;
    }
    IQualityControl* quality = nullptr;
    if (output->QueryInterface(IID_IQualityControl, reinterpret_cast<void**>(&quality)) != S_OK) {
      m_error = "the camera's pin takes no quality messages";
      return;
    }
    Quality q{};
    q.Type = Famine;
    q.Proportion = 4000;
    quality->Notify(m_camera, q);
    quality->Release();
    if (m_camera->Stream()->FrameInterval() != kFrameIntervalMs) {
      m_error = "the camera did not take the 10 ms frame interval";
      return;
    }
  }

  ~CPipelineRig() {
    if (m_running) m_control->Stop();
    if (m_graph != nullptr) {
      if (m_renderer != nullptr) m_graph->RemoveFilter(m_renderer->Filter());
      if (m_camera != nullptr) m_graph->RemoveFilter(m_camera);
    }
    if (m_control != nullptr) m_control->Release();
    if (m_graph != nullptr) m_graph->Release();
    if (m_renderer != nullptr) m_renderer->Release();
    if (m_camera != nullptr) m_camera->Release();
    m_producer.Kill();
    int code = 0;
    m_producer.Wait(std::chrono::milliseconds(10000), &code);
    std::error_code ignored;
    std::filesystem::remove_all(m_folder, ignored);
  }

  const char* Error() const { return m_error; }
  CRendererInputPin* Input() { return m_renderer->InputPin(); }
  double ProducerCpuSeconds() const { return m_producer.CpuSeconds(); }
  // The number of the producer's latest frame (it numbers them from 0), -1 when unknown.
  std::int64_t ProducerFrameNumber() {
    channel::FrameDescriptor d{};
    if (m_observer.LockMediaSample(0, &d) != 0) return -1;
    m_observer.UnlockMediaSample(0);
    return d.Aux64A;
  }

 private:
  Size m_size;
  std::filesystem::path m_folder;
  CChildProcess m_producer;
  CFileMapping m_observer;  // reads the frame descriptor; never takes frames
  IGraphBuilder* m_graph = nullptr;
  IMediaControl* m_control = nullptr;
  CVideoSrcFilter* m_camera = nullptr;
  CRendererFilter* m_renderer = nullptr;
  bool m_running = false;
  const char* m_error = nullptr;
};

void Pipeline(benchmark::State& state) {
  const Size size = kSizes[state.range(0)];
  CPipelineRig rig(size);
  if (rig.Error() != nullptr) {
    state.SkipWithError(rig.Error());
    return;
  }
  if (!rig.Input()->WaitForSamples(kWarmUpFrames, kDeadline)) {
    state.SkipWithError("the camera delivers no frames");
    return;
  }
  double frames = 0, written = 0, seconds = 0, cameraCpu = 0, producerCpu = 0;
  for (auto _ : state) {
    const std::int64_t written0 = rig.ProducerFrameNumber();
    const LONG frames0 = rig.Input()->SampleCount();
    const double camera0 = platform::OwnCpuSeconds(), producer0 = rig.ProducerCpuSeconds();
    const auto start = Clock::now();
    std::this_thread::sleep_for(kWindow);
    const LONG frames1 = rig.Input()->SampleCount();
    const double camera1 = platform::OwnCpuSeconds(), producer1 = rig.ProducerCpuSeconds();
    const auto stop = Clock::now();
    const std::int64_t written1 = rig.ProducerFrameNumber();
    if (camera0 < 0 || producer0 < 0 || camera1 < 0 || producer1 < 0) {
      state.SkipWithError("cannot read the processor time");
      return;
    }
    frames = frames1 - frames0;
    written = written0 >= 0 && written1 >= written0 ? static_cast<double>(written1 - written0) : 0;
    seconds = std::chrono::duration<double>(stop - start).count();
    cameraCpu = camera1 - camera0;
    producerCpu = producer1 - producer0;
    state.SetIterationTime(seconds);
  }
  const auto samples = rig.Input()->Samples();
  if (frames <= 0 || samples.empty() || !StartsWithPicture(samples.back(), size)) {
    state.SkipWithError("the camera did not deliver the producer's picture");
    return;
  }
  state.counters["fps"] = frames / seconds;
  state.counters["producer_fps"] = written / seconds;
  state.counters["cpu_us_per_frame"] = (cameraCpu + producerCpu) / frames * 1e6;
  state.counters["camera_cpu_us_per_frame"] = cameraCpu / frames * 1e6;
  state.counters["producer_cpu_us_per_frame"] = producerCpu / frames * 1e6;
}

// Two memcpys of one frame: into a region-sized buffer and out of it again.
void TwoFrameCopies(benchmark::State& state) {
  const Size size = kSizes[state.range(0)];
  const std::size_t bytes = FrameBytes(size.width, size.height);
  std::vector<std::uint8_t> source(bytes, 1), region(bytes), destination(bytes);
  for (auto _ : state) {
    std::memcpy(region.data(), source.data(), bytes);
    std::memcpy(destination.data(), region.data(), bytes);
    benchmark::ClobberMemory();
  }
}

BENCHMARK(TwoFrameCopies)->DenseRange(0, 2)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(Pipeline)->DenseRange(0, 2)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  UsePrivateChannelNamespace();
  benchmark::Initialize(&argc, argv);
  CRatioReporter reporter({
      {"Pipeline", "TwoFrameCopies", {"640x480", "1280x720", "1920x1080"}, 0, "cpu_us_per_frame"},
  });
  reporter.PublishPairs();
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintRatios();
  benchmark::Shutdown();
  CoUninitialize();
  return 0;
}
