// The processor time per frame of the PipeWire camera, amberline-camera, as a process:
// - the reference producer, amberline-producer, writes its 1280 x 720 test pattern into
//   the channel 30 times a second;
// - amberline-camera publishes its node; GStreamer (gst-launch-1.0 pipewiresrc ...
//   ! fakesink, the consumer nobody here wrote) takes 1280 x 720 at 30 fps in BGRx and in
//   NV12, so every frame is composed and converted from the channel's BGR24 into that
//   format by the camera.
// CameraNode reports the camera process's processor time (user plus system, all its
// threads) per frame the consumer received, over kMeasuredFrames frames after
// kWarmUpFrames, and the rate it received them at. The frames are counted from the
// consumer's own per-buffer lines as they arrive, so start-up and negotiation are not
// in the window. Its baseline, TwoFrameCopies, is two memcpys of one frame of the same
// format and size, measured in the same run.
//
// It needs a PipeWire daemon: run it under scripts/with-pipewire.sh (a private one).
//
//   cmake --preset bench && cmake --build --preset bench &&
//   scripts/with-pipewire.sh build/bench/bench/amberline_camera_node_bench
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/child_process.h"
#include "platform/guid.h"
#include "platform/wide_string.h"
#include "private_channel.h"
#include "ratio_reporter.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

struct Format {
  const char* name;         // as GStreamer and PipeWire call it
  std::size_t bytesPerTwoPixels;  // of one 2 x 1 pixel pair, chroma included
};
const Format kFormats[] = {{"BGRx", 8}, {"NV12", 3}};
constexpr int kWidth = 1280;
constexpr int kHeight = 720;
constexpr int kFps = 30;
constexpr long kWarmUpFrames = 30;
constexpr long kMeasuredFrames = 150;
constexpr auto kDeadline = 30s;

std::size_t FrameBytes(const Format& format) {
  return static_cast<std::size_t>(kWidth) * kHeight / 2 * format.bytesPerTwoPixels;
}

std::filesystem::path ScratchFolder() {
  GUID guid{};
  platform::CreateGuid(&guid);
  return std::filesystem::temp_directory_path() /
         ("amberline-camera-node-bench-" + platform::WideToUtf8(platform::GuidToRegistryString(guid).substr(1, 36)));
}

bool WaitUntil(const std::function<bool()>& condition, Clock::duration timeout) {
  const auto deadline = Clock::now() + timeout;
  while (!condition()) {
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(2ms);
  }
  return true;
}

// A text file another process appends to, read as it grows.
class CGrowingFile {
 public:
  explicit CGrowingFile(std::filesystem::path path) : m_path(std::move(path)) {}

  // Reads what was appended since the last call; complete lines are added to Text() and
  // counted when they contain `counted`.
  void Poll(const char* counted) {
    std::ifstream file(m_path, std::ios::binary);
    if (!file) return;
    file.seekg(static_cast<std::streamoff>(m_offset));
    char buffer[16384];
    while (file.read(buffer, sizeof buffer) || file.gcount() > 0) {
      const std::size_t n = static_cast<std::size_t>(file.gcount());
      m_offset += n;
      m_partial.append(buffer, n);
    }
    std::size_t start = 0;
    for (std::size_t end; (end = m_partial.find('\n', start)) != std::string::npos; start = end + 1) {
      const std::string line = m_partial.substr(start, end - start);
      if (line.find(counted) != std::string::npos) {
        ++m_count;
        m_lastCounted = line;
      } else if (m_text.size() < 64 * 1024) {
        m_text += line + "\n";
      }
    }
    m_partial.erase(0, start);
  }

  long Count() const { return m_count; }
  const std::string& Text() const { return m_text; }  // the lines not counted
  const std::string& LastCounted() const { return m_lastCounted; }

 private:
  std::filesystem::path m_path;
  std::size_t m_offset = 0;
  std::string m_partial;
  std::string m_text;
  std::string m_lastCounted;
  long m_count = 0;
};

// The producer, the camera and one GStreamer consumer of the given format.
class CCameraNodeRig {
 public:
  explicit CCameraNodeRig(const Format& format)
      : m_folder(ScratchFolder()), m_cameraOutput(m_folder / "camera.txt"), m_consumerOutput(m_folder / "gst.txt") {
    std::error_code ignored;
    std::filesystem::create_directories(m_folder, ignored);
    const std::string size = std::to_string(kWidth) + "x" + std::to_string(kHeight);
    // Through a shell only to send the output to a file; exec keeps the process id, so
    // the processor time read is the program's own.
    if (!m_producer.Start("/bin/sh", {"-c", "exec \"$0\" \"$@\" > /dev/null", AMBERLINE_PRODUCER_PATH, "--size", size,
                                      "--fps", std::to_string(kFps)})) {
      m_error = "cannot start amberline-producer";
      return;
    }
    if (!m_camera.Start("/bin/sh", {"-c", "exec \"$0\" > \"$1\" 2>&1", AMBERLINE_CAMERA_PATH,
                                    (m_folder / "camera.txt").string()})) {
      m_error = "cannot start amberline-camera";
      return;
    }
    const char* published = "is PipeWire node ";
    std::string line;
    if (!WaitUntil(
            [&] {
              m_cameraOutput.Poll(published);
              return m_cameraOutput.Count() > 0 || !m_camera.IsRunning();
            },
            kDeadline) ||
        m_cameraOutput.Count() == 0) {
      m_error = "amberline-camera published no node (is there a PipeWire daemon? run under scripts/with-pipewire.sh)";
      std::fprintf(stderr, "%s", m_cameraOutput.Text().c_str());
      return;
    }
    line = m_cameraOutput.LastCounted();
    const std::string nodeId = std::to_string(std::strtoul(line.c_str() + line.find(published) + std::strlen(published),
                                                           nullptr, 10));
    // One line per buffer from the sink (-v, silent=false): they are what is counted.
    const std::string caps = std::string("video/x-raw,format=") + format.name + ",width=" + std::to_string(kWidth) +
                             ",height=" + std::to_string(kHeight) + ",framerate=" + std::to_string(kFps) + "/1";
    const std::string pipeline = "exec gst-launch-1.0 -v pipewiresrc path=" + nodeId + " num-buffers=" +
                                 std::to_string(kWarmUpFrames + kMeasuredFrames + 2 * kFps) + " ! " + caps +
                                 " ! fakesink silent=false > \"$0\" 2>&1";
    if (!m_consumer.Start("/bin/sh", {"-c", pipeline, (m_folder / "gst.txt").string()})) {
      m_error = "cannot start gst-launch-1.0";
      return;
    }
    m_expectedBuffer = "(" + std::to_string(FrameBytes(format)) + " bytes";
  }

  ~CCameraNodeRig() {
    // Asked to stop, not killed: a killed camera or producer leaves the channel's objects
    // in /dev/shm (only a clean last close removes them).
    for (CChildProcess* child : {&m_consumer, &m_camera, &m_producer}) {
      child->RequestStop();
      int code = 0;
      if (!child->Wait(5000ms, &code)) {
        child->Kill();
        child->Wait(10000ms, &code);
      }
    }
    std::error_code ignored;
    std::filesystem::remove_all(m_folder, ignored);
  }

  const char* Error() const { return m_error; }
  double CameraCpuSeconds() const { return m_camera.CpuSeconds(); }

  // Waits until the consumer has received at least frames frames; false at the deadline
  // or when it ended first.
  bool WaitForFrames(long frames) {
    return WaitUntil(
        [&] {
          m_consumerOutput.Poll("last-message = chain");
          return m_consumerOutput.Count() >= frames || !m_consumer.IsRunning();
        },
        kDeadline) &&
           m_consumerOutput.Count() >= frames;
  }
  long Frames() const { return m_consumerOutput.Count(); }
  // True when the consumer negotiated the format and size asked for and its buffers
  // have one such frame's size.
  bool ReceivedFormat(const Format& format) const {
    const std::string caps = std::string("format=(string)") + format.name + ", width=(int)" + std::to_string(kWidth) +
                             ", height=(int)" + std::to_string(kHeight);
    return m_consumerOutput.Text().find(caps) != std::string::npos &&
           m_consumerOutput.LastCounted().find(m_expectedBuffer) != std::string::npos;
  }
  std::string ConsumerText() const { return m_consumerOutput.Text(); }

 private:
  std::filesystem::path m_folder;
  CChildProcess m_producer;
  CChildProcess m_camera;
  CChildProcess m_consumer;
  CGrowingFile m_cameraOutput;
  CGrowingFile m_consumerOutput;
  std::string m_expectedBuffer;
  const char* m_error = nullptr;
};

void CameraNode(benchmark::State& state) {
  const Format& format = kFormats[state.range(0)];
  CCameraNodeRig rig(format);
  if (rig.Error() != nullptr) {
    state.SkipWithError(rig.Error());
    return;
  }
  if (!rig.WaitForFrames(kWarmUpFrames)) {
    std::fprintf(stderr, "%s", rig.ConsumerText().c_str());
    state.SkipWithError("GStreamer receives no frames from amberline-camera");
    return;
  }
  double frames = 0, seconds = 0, cpu = 0;
  for (auto _ : state) {
    const long frames0 = rig.Frames();
    const double cpu0 = rig.CameraCpuSeconds();
    const auto start = Clock::now();
    const bool received = rig.WaitForFrames(frames0 + kMeasuredFrames);
    const double cpu1 = rig.CameraCpuSeconds();
    const auto stop = Clock::now();
    if (!received) {
      state.SkipWithError("the frames stopped coming");
      return;
    }
    if (cpu0 < 0 || cpu1 < 0) {
      state.SkipWithError("cannot read the camera's processor time");
      return;
    }
    frames = static_cast<double>(rig.Frames() - frames0);
    seconds = std::chrono::duration<double>(stop - start).count();
    cpu = cpu1 - cpu0;
    state.SetIterationTime(seconds);
  }
  if (!rig.ReceivedFormat(format)) {
    std::fprintf(stderr, "%s", rig.ConsumerText().c_str());
    state.SkipWithError("GStreamer did not receive the format and size asked for");
    return;
  }
  state.SetLabel(format.name);
  state.counters["fps"] = frames / seconds;
  state.counters["cpu_us_per_frame"] = cpu / frames * 1e6;
}

// Two memcpys of one frame of the format: into a buffer and out of it again.
void TwoFrameCopies(benchmark::State& state) {
  const std::size_t bytes = FrameBytes(kFormats[state.range(0)]);
  std::vector<std::uint8_t> source(bytes, 1), middle(bytes), destination(bytes);
  for (auto _ : state) {
    std::memcpy(middle.data(), source.data(), bytes);
    std::memcpy(destination.data(), middle.data(), bytes);
    benchmark::ClobberMemory();
  }
  state.SetLabel(kFormats[state.range(0)].name);
}

BENCHMARK(TwoFrameCopies)->DenseRange(0, 1)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(CameraNode)->DenseRange(0, 1)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  UsePrivateChannelNamespace();
  benchmark::Initialize(&argc, argv);
  CRatioReporter reporter({
      {"CameraNode", "TwoFrameCopies", {"BGRx 1280x720 30 fps", "NV12 1280x720 30 fps"}, 3.0, "cpu_us_per_frame"},
  });
  reporter.PublishPairs();
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintRatios();
  benchmark::Shutdown();
  return 0;
}
