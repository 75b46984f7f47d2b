// The sender library's work per frame, through its public interface, against its
// baseline measured in the same run: Send<format> converts one 1920x1080 frame of that
// input format into the channel's layout and stores it in a real channel (a private one,
// nobody watching, so no frame is dropped); FrameCopy is one memcpy of a frame of the
// channel's layout of the same size, the least a sender does to hand a frame on.
// A large frame is converted by two threads, so two figures are compared: the processor
// time of the whole process (both threads), and the time one send call takes (counter
// call_us, wall-clock microseconds per frame).
//
//   cmake --preset bench && cmake --build --preset bench && build/bench/bench/amberline_sender_bench
#include <amberline/sender.h>
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "ratio_reporter.h"

namespace {

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;

struct Format {
  const char* name;
  std::uint32_t format;
};
// Three groups with their own targets: packed BGR (1.5x a copy), 4:2:0 (2.5x), the rest
// (shown without a target).
const Format kPacked[] = {{"BGR24", AMBERLINE_FORMAT_BGR24}, {"BGRA32", AMBERLINE_FORMAT_BGRA32}};
const Format kPlanar[] = {{"I420", AMBERLINE_FORMAT_I420}, {"NV12", AMBERLINE_FORMAT_NV12}};
const Format kOthers[] = {{"RGB24", AMBERLINE_FORMAT_RGB24}, {"RGBA32", AMBERLINE_FORMAT_RGBA32},
                          {"GRAY8", AMBERLINE_FORMAT_GRAY8}, {"YUY2", AMBERLINE_FORMAT_YUY2}};

std::size_t ChannelFrameBytes() { return static_cast<std::size_t>((kWidth * 3 + 3) & ~3) * kHeight; }

void Send(benchmark::State& state, const Format& format) {
  amberline_sender_options options;
  amberline_sender_options_init(&options);
  options.width = kWidth;
  options.height = kHeight;
  options.format = format.format;
  const std::string channel = std::string("AmberlineBench") + format.name;
  options.channel = channel.c_str();
  amberline_sender* sender = nullptr;
  if (amberline_sender_create(&options, &sender) != AMBERLINE_OK) {
    state.SkipWithError(amberline_last_error());
    return;
  }
  // Planes of a frame in that format with a gradient in every byte.
  const int bytesPerPixel[] = {0, 3, 3, 4, 4, 1, 1, 1, 2};
  const std::size_t first = static_cast<std::size_t>(kWidth) * bytesPerPixel[format.format] * kHeight;
  std::vector<std::uint8_t> bytes(first * 2);
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(16 + (i * 7) % 220);
  amberline_frame frame{};
  frame.size = sizeof frame;
  frame.format = format.format;
  frame.width = kWidth;
  frame.height = kHeight;
  frame.planes[0].data = bytes.data();
  frame.planes[0].stride = kWidth * bytesPerPixel[format.format];
  if (format.format == AMBERLINE_FORMAT_I420 || format.format == AMBERLINE_FORMAT_NV12) {
    frame.planes[1].data = bytes.data() + first;
    frame.planes[1].stride = format.format == AMBERLINE_FORMAT_NV12 ? kWidth : kWidth / 2;
    frame.planes[2].data = bytes.data() + first + first / 4;
    frame.planes[2].stride = kWidth / 2;
  }
  const auto start = std::chrono::steady_clock::now();
  for (auto _ : state) {
    if (amberline_sender_send_frame(sender, &frame) != AMBERLINE_OK) {
      state.SkipWithError(amberline_last_error());
      break;
    }
  }
  const double elapsed = std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count();
  state.counters["call_us"] = elapsed / static_cast<double>(std::max<benchmark::IterationCount>(state.iterations(), 1));
  state.SetLabel(format.name);
  amberline_sender_destroy(sender);
}

void FrameCopy(benchmark::State& state) {
  std::vector<std::uint8_t> source(ChannelFrameBytes(), 77), destination(ChannelFrameBytes());
  for (auto _ : state) {
    std::memcpy(destination.data(), source.data(), source.size());
    benchmark::ClobberMemory();
  }
}

void SendPacked(benchmark::State& state) { Send(state, kPacked[state.range(0)]); }
void SendPlanar(benchmark::State& state) { Send(state, kPlanar[state.range(0)]); }
void SendOther(benchmark::State& state) { Send(state, kOthers[state.range(0)]); }

BENCHMARK(SendPacked)->DenseRange(0, 1)->Unit(benchmark::kMicrosecond)->UseRealTime()->MeasureProcessCPUTime();
BENCHMARK(SendPlanar)->DenseRange(0, 1)->Unit(benchmark::kMicrosecond)->UseRealTime()->MeasureProcessCPUTime();
BENCHMARK(SendOther)->DenseRange(0, 3)->Unit(benchmark::kMicrosecond)->UseRealTime()->MeasureProcessCPUTime();
// One run per argument of the candidates, so that every pair compares within one argument.
BENCHMARK(FrameCopy)->DenseRange(0, 3)->Unit(benchmark::kMicrosecond)->UseRealTime()->MeasureProcessCPUTime();

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  CRatioReporter reporter({
      {"SendPacked", "FrameCopy", {"send 1080p BGR24", "send 1080p BGRA32"}, 1.5},
      {"SendPlanar", "FrameCopy", {"send 1080p I420", "send 1080p NV12"}, 2.5},
      {"SendOther", "FrameCopy", {"send 1080p RGB24", "send 1080p RGBA32", "send 1080p GRAY8", "send 1080p YUY2"}, 0},
      {"SendPacked", "FrameCopy", {"one send call, BGR24", "one send call, BGRA32"}, 1.5, "call_us",
       "wall-clock time of the call: two threads convert"},
      {"SendPlanar", "FrameCopy", {"one send call, I420", "one send call, NV12"}, 2.5, "call_us",
       "wall-clock time of the call: two threads convert"},
  });
  reporter.PublishPairs();
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintRatios();
  benchmark::Shutdown();
  return 0;
}
