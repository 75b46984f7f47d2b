// The reference producer's own work per frame, against its baseline measured in the same
// run: PatternFrame draws the moving test pattern (bars, orientation mark, three lines of
// text) and puts it into the channel's layout, as amberline-producer does for every frame
// without a picture; StreamConvert converts one 4:2:0 frame of a YUV4MPEG2 stream into
// the channel's bottom-up BGR rows with libyuv, as amberline-producer --y4m does for every
// frame; FrameCopy is one memcpy of a frame of the same size in the channel's layout, the
// least a producer does to hand a frame on.
//
//   cmake --preset bench && cmake --build --preset bench && build/bench/bench/amberline_producer_bench
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "frame_source.h"
#include "ratio_reporter.h"
#include "y4m_reader.h"

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

void StreamConvert(benchmark::State& state) {
  const Size size = kSizes[state.range(0)];
  // One frame of a 4:2:0 stream with a gradient in every plane, read once; every
  // iteration converts it again.
  std::string stream = "YUV4MPEG2 W" + std::to_string(size.width) + " H" + std::to_string(size.height) +
                       " F30:1 C420jpeg\nFRAME\n";
  const std::size_t samples = static_cast<std::size_t>(size.width) * size.height +
                              2 * static_cast<std::size_t>((size.width + 1) / 2) * ((size.height + 1) / 2);
  for (std::size_t i = 0; i < samples; ++i) stream.push_back(static_cast<char>(16 + (i * 7) % 220));
  std::size_t position = 0;
  CY4mReader reader([&](std::uint8_t* buffer, std::size_t wanted) {
    const std::size_t n = std::min(wanted, stream.size() - position);
    std::memcpy(buffer, stream.data() + position, n);
    position += n;
    return n;
  });
  std::string error;
  if (!reader.ReadHeader(&error) || reader.ReadFrame(&error) != CY4mReader::Result::kFrame) {
    state.SkipWithError(error.c_str());
    return;
  }
  std::vector<std::uint8_t> frame(static_cast<std::size_t>(reader.OutputBytes()));
  const std::size_t stride = frame.size() / static_cast<std::size_t>(size.height);
  for (auto _ : state) {
    reader.ConvertFrame(frame.data(), stride);
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
BENCHMARK(StreamConvert)->DenseRange(0, 2)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(FrameCopy)->DenseRange(0, 2)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  cv::setNumThreads(1);  // the producer draws on its one thread
  benchmark::Initialize(&argc, argv);
  CRatioReporter reporter({
      {"PatternFrame", "FrameCopy", {"640x480", "1280x720", "1920x1080"}, 0},
      {"StreamConvert", "FrameCopy", {"640x480 4:2:0", "1280x720 4:2:0", "1920x1080 4:2:0"}, 0},
  });
  reporter.PublishPairs();
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintRatios();
  benchmark::Shutdown();
  return 0;
}
