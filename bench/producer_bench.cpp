// The reference producer's own work per frame, against its baseline measured in the same
// run: PatternFrame draws the moving test pattern (bars, orientation mark, three lines of
// text) and puts it into the channel's layout, as amberline-producer does for every frame
// without a picture; FrameCopy is one memcpy of a frame of the same size, the least a
// producer does to hand a frame on.
//
//   cmake --preset bench && cmake --build --preset bench && build/bench/bench/amberline_producer_bench
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include <opencv2/core.hpp>

#include "frame_source.h"
#include "ratio_reporter.h"

namespace {

struct Size {
  int width;
  int height;
};
const Size kSizes[] = {{640, 480}, {1280, 720}, {1920, 1080}};

void PatternFrame(benchmark::State& state) {
  const Size size = kSizes[state.range(0)];
  CFrameSource source(size.width, size.height);
  std::int64_t frame = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(source.Frame(frame++).data());
    benchmark::ClobberMemory();
  }
}

void FrameCopy(benchmark::State& state) {
  const Size size = kSizes[state.range(0)];
  CFrameSource source(size.width, size.height);
  const std::vector<std::uint8_t> frame = source.Frame(0);
  std::vector<std::uint8_t> destination(frame.size());
  for (auto _ : state) {
    std::memcpy(destination.data(), frame.data(), frame.size());
    benchmark::ClobberMemory();
  }
}

BENCHMARK(PatternFrame)->DenseRange(0, 2)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(FrameCopy)->DenseRange(0, 2)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  cv::setNumThreads(1);  // the producer draws on its one thread
  benchmark::Initialize(&argc, argv);
  CRatioReporter reporter({
      {"PatternFrame", "FrameCopy", {"640x480", "1280x720", "1920x1080"}, 0},
  });
  reporter.PublishPairs();
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintRatios();
  benchmark::Shutdown();
  return 0;
}
