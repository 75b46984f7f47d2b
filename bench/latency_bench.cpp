// The age of a frame when the renderer receives it: from the moment a producer hands the
// frame to the shared region to the moment the frame arrives at the host renderer, through
// the real channel, the camera filter and a filter graph.
// - A producer thread writes frames of the case's size through its own CFileMapping at the
//   camera's rate, each stamped in its first pixels with the machine-wide monotonic clock
//   (frame_stamp.h) just before it is handed to the region.
// - The camera filter, connected to a renderer at the producer's size and the case's frame
//   interval (40 ms: 25 fps; 10 ms: the camera's fastest pace), copies each frame straight
//   into its sample, stamp included; the renderer reads the stamp as the sample arrives.
// Producer and camera run unsynchronised, as they do for real, so a frame waits up to one
// interval in the region before the camera takes it, and a frame the camera delivers again
// (no newer one was written) counts with its greater age. Latency reports the median and
// the 95th percentile of the ages over a few seconds after a warm-up; the target is a
// median of at most one interval plus 2 ms.
//
//   cmake --preset bench && cmake --build --preset bench && build/bench/bench/amberline_latency_bench
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "private_channel.h"
#include "bench_camera.h"
#include "channel/file_mapping.h"
#include "common/renderer_filter.h"
#include "frame_stamp.h"
#include "com/com_ptr.h"
#include "framework/media_type.h"
#include "platform/clock.h"
#include "platform/guid.h"
#include "platform/paths.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

struct Size {
  int width;
  int height;
};
const Size kSizes[] = {{640, 480}, {1920, 1080}};
const std::int32_t kIntervalsMs[] = {40, 10};
constexpr std::size_t kWarmUpFrames = 10;
constexpr auto kWindow = 4s;
constexpr auto kDeadline = 30s;
constexpr std::int64_t kTargetSlackUs = 2000;

std::size_t FrameBytes(int width, int height) {
  return static_cast<std::size_t>((width * 3 + 3) & ~3) * static_cast<std::size_t>(height);
}

// The renderer's input pin, reading each sample's stamp before anything else happens to it.
class CStampReadingPin : public CRendererInputPin {
 public:
  CStampReadingPin(CBaseFilter* filter, CRecursiveLock* lock)
      : CRendererInputPin(filter, lock, nullptr, L"In") {}

  STDMETHODIMP Receive(IMediaSample* pSample) override {
    const std::int64_t now = platform::MonotonicNanoseconds();
    BYTE* data = nullptr;
    std::int64_t stamped = 0;
    const LONG actual = pSample != nullptr ? pSample->GetActualDataLength() : 0;
    const bool read = pSample != nullptr && SUCCEEDED(pSample->GetPointer(&data)) && actual > 0 &&
                      actual <= pSample->GetSize() && ReadFrameStamp(data, static_cast<std::size_t>(actual), &stamped);
    {
      std::lock_guard<std::mutex> hold(m_agesLock);
      if (read) {
        try {
          m_ages.push_back(now - stamped);
        } catch (const std::bad_alloc&) {
          ++m_unstamped;
        }
      } else {
        ++m_unstamped;
      }
      m_arrived.notify_all();
    }
    return CRendererInputPin::Receive(pSample);
  }

  // Removes and returns the ages (nanoseconds) read so far, in arrival order.
  std::vector<std::int64_t> TakeAges() {
    std::lock_guard<std::mutex> hold(m_agesLock);
    return std::exchange(m_ages, {});
  }
  long long TakeUnstamped() {
    std::lock_guard<std::mutex> hold(m_agesLock);
    return std::exchange(m_unstamped, 0);
  }
  bool WaitForAges(std::size_t count, Clock::duration timeout) {
    std::unique_lock<std::mutex> hold(m_agesLock);
    return m_arrived.wait_for(hold, timeout, [&] { return m_ages.size() >= count; });
  }

 private:
  std::mutex m_agesLock;
  std::condition_variable m_arrived;
  std::vector<std::int64_t> m_ages;
  long long m_unstamped = 0;
};

class CStampReadingRenderer : public CRendererFilter {
 public:
  static CStampReadingRenderer* Create() {
    return static_cast<CStampReadingRenderer*>(Adopt(new (std::nothrow) CStampReadingRenderer()));
  }
  CStampReadingPin* StampPin() { return static_cast<CStampReadingPin*>(InputPin()); }

 private:
  CStampReadingRenderer() : CRendererFilter(&MakePin) {}
  static std::unique_ptr<CRendererInputPin> MakePin(CRendererFilter* filter, CRecursiveLock* lock) {
    return std::unique_ptr<CRendererInputPin>(new (std::nothrow) CStampReadingPin(filter, lock));
  }
};

// A producer on a thread of its own (which opens and closes its channel, as a producer
// must): a frame of the given size every interval, on deadlines, stamped as it is handed
// to the region.
class CStampingProducer {
 public:
  CStampingProducer(Size size, std::int32_t intervalMs) : m_size(size), m_interval(intervalMs) {
    m_thread = std::thread([this] { Produce(); });
    std::unique_lock<std::mutex> hold(m_lock);
    m_changed.wait(hold, [&] { return m_state != State::kStarting; });
  }
  ~CStampingProducer() {
    m_stop = true;
    m_thread.join();
  }
  bool Ready() {
    std::lock_guard<std::mutex> hold(m_lock);
    return m_state == State::kRunning;
  }

 private:
  enum class State { kStarting, kRunning, kFailed };

  void Produce() {
    CFileMapping channel;
    const bool opened = channel.Init(true, nullptr) == 0 && !channel.OtherProducerRuns();
    if (opened) {
      channel.SetServerResolution(m_size.width, m_size.height);
      channel.SetShowLogo(0);
    }
    {
      std::lock_guard<std::mutex> hold(m_lock);
      m_state = opened ? State::kRunning : State::kFailed;
      m_changed.notify_all();
    }
    if (opened) {
      std::vector<std::uint8_t> frame(FrameBytes(m_size.width, m_size.height));
      for (std::size_t i = 0; i < frame.size(); ++i) frame[i] = static_cast<std::uint8_t>(i * 7 / 5);
      const auto start = Clock::now();
      for (long long n = 0; !m_stop; ++n) {
        WriteFrameStamp(frame.data(), platform::MonotonicNanoseconds());
        const std::int64_t number = n;
        channel.SetMediaSample(0, m_size.width, m_size.height, frame.data(), static_cast<std::int32_t>(frame.size()),
                               static_cast<std::int32_t>(n), &number, &number);
        std::this_thread::sleep_until(start + m_interval * (n + 1));
      }
    }
    channel.Destroy();
  }

  Size m_size;
  std::chrono::milliseconds m_interval;
  std::atomic<bool> m_stop{false};
  std::mutex m_lock;
  std::condition_variable m_changed;
  State m_state = State::kStarting;
  std::thread m_thread;
};

// The producer, then the camera and the stamp-reading renderer in a running graph.
class CLatencyRig {
 public:
  CLatencyRig(Size size, std::int32_t intervalMs) : m_producer(size, intervalMs) {
    if (!m_producer.Ready()) {
      m_error = "cannot open the channel as its producer";
      return;
    }
    if (CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder, m_graph.ReceiveVoid()) !=
            S_OK ||
        m_graph->QueryInterface(IID_IMediaControl, m_control.ReceiveVoid()) != S_OK) {
      m_error = "cannot create the filter graph";
      return;
    }
    m_camera.Reset(CreateBenchCamera(), kAdoptRef);
    m_renderer.Reset(CStampReadingRenderer::Create(), kAdoptRef);
    if (!m_camera || !m_renderer || FAILED(m_graph->AddFilter(m_camera.Get(), L"Camera")) ||
        FAILED(m_graph->AddFilter(m_renderer->Filter(), L"Renderer"))) {
      m_error = "cannot add the filters to the graph";
      return;
    }
    CMediaType type = MakeRgb24VideoType(size.width, size.height, static_cast<REFERENCE_TIME>(intervalMs) * 10000);
    IPin* output = static_cast<IPin*>(static_cast<CBasePin*>(m_camera->Stream()));
    if (m_graph->ConnectDirect(output, m_renderer->Pin(), &type) != S_OK) {
      m_error = "cannot connect the camera to the renderer";
      return;
    }
    if (m_camera->Stream()->FrameInterval() != intervalMs) {
      m_error = "the camera did not take the frame interval";
      return;
    }
    if (FAILED(m_control->Run())) {
      m_error = "cannot run the graph";
      return;
    }
    m_running = true;
    if (!Pin()->WaitForAges(kWarmUpFrames, kDeadline)) m_error = "the camera delivers no stamped frames";
  }

  ~CLatencyRig() {
    if (m_running) m_control->Stop();
    if (m_graph) {
      if (m_renderer) m_graph->RemoveFilter(m_renderer->Filter());
      if (m_camera) m_graph->RemoveFilter(m_camera.Get());
    }
  }

  const char* Error() const { return m_error; }
  CStampReadingPin* Pin() { return m_renderer->StampPin(); }

 private:
  CStampingProducer m_producer;
  CComPtr<IGraphBuilder> m_graph;
  CComPtr<IMediaControl> m_control;
  CComPtr<CVideoSrcFilter> m_camera;
  CComPtr<CStampReadingRenderer> m_renderer;
  bool m_running = false;
  const char* m_error = nullptr;
};

// The value below which `fraction` of the sorted values lie (nearest rank).
double Percentile(const std::vector<std::int64_t>& sorted, double fraction) {
  const auto rank = static_cast<std::size_t>(fraction * static_cast<double>(sorted.size()) + 0.999999);
  return static_cast<double>(sorted[std::min(sorted.size(), std::max<std::size_t>(rank, 1)) - 1]);
}

void Latency(benchmark::State& state) {
  const std::int32_t intervalMs = kIntervalsMs[state.range(0)];
  const Size size = kSizes[state.range(1)];
  state.SetLabel(std::to_string(size.width) + "x" + std::to_string(size.height) + " every " +
                 std::to_string(intervalMs) + " ms");
  CLatencyRig rig(size, intervalMs);
  if (rig.Error() != nullptr) {
    state.SkipWithError(rig.Error());
    return;
  }
  std::vector<std::int64_t> ages;
  long long unstamped = 0;
  for (auto _ : state) {
    rig.Pin()->TakeAges();
    rig.Pin()->TakeUnstamped();
    const auto start = Clock::now();
    std::this_thread::sleep_for(kWindow);
    ages = rig.Pin()->TakeAges();
    unstamped = rig.Pin()->TakeUnstamped();
    state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
  }
  if (ages.empty()) {
    state.SkipWithError("no stamped frame arrived");
    return;
  }
  std::sort(ages.begin(), ages.end());
  state.counters["age_median_us"] = Percentile(ages, 0.5) / 1000.0;
  state.counters["age_p95_us"] = Percentile(ages, 0.95) / 1000.0;
  state.counters["age_target_us"] = static_cast<double>(intervalMs) * 1000.0 + kTargetSlackUs;
  state.counters["interval_ms"] = intervalMs;
  state.counters["frames"] = static_cast<double>(ages.size());
  state.counters["unstamped"] = static_cast<double>(unstamped);
}

BENCHMARK(Latency)
    ->ArgsProduct({{0, 1}, {0, 1}})
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  UsePrivateChannelNamespace();
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  CoUninitialize();
  return 0;
}
