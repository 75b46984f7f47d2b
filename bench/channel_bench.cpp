// One full frame cycle through the shared channel (the producer's SetMediaSample, then a
// consumer's LockMediaSample + GetMediaSampleData + UnlockMediaSample) against its
// baseline, the two memcpys of the same bytes that the cycle cannot avoid, measured in
// the same run. Prints the ratio cycle / baseline per frame size after the table.
//
// And the consumer's two ways to a 1280x720 frame, each followed by the one pass over its
// bytes that any use of the frame makes (a scale, a conversion): the copy
// (LockMediaSample + GetMediaSampleData + UnlockMediaSample, then the pass over the copy)
// against the lease (LeaseFrame, the pass over the region in place, Release), with the
// whole region mapped and with per-operation views (a 32-bit camera).
//
//   cmake --preset bench && cmake --build --preset bench && build/bench/bench/amberline_bench
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "private_channel.h"
#include "channel/file_mapping.h"
#include "ratio_reporter.h"
#include "platform/guid.h"
#include "platform/paths.h"

namespace {

struct Size {
  int width;
  int height;
};
const Size kSizes[] = {{640, 480}, {1280, 720}, {1920, 1080}};

std::int32_t Bytes(int index) { return static_cast<std::int32_t>(channel::FrameBytes(kSizes[index].width, kSizes[index].height)); }

void TwoCopies(benchmark::State& state) {
  const std::int32_t bytes = Bytes(static_cast<int>(state.range(0)));
  std::vector<std::uint8_t> source(bytes, 1), region(bytes), destination(bytes);
  for (auto _ : state) {
    std::memcpy(region.data(), source.data(), region.size());
    std::memcpy(destination.data(), region.data(), destination.size());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * bytes * 2);
}

void FrameCycle(benchmark::State& state) {
  const int index = static_cast<int>(state.range(0));
  const std::int32_t bytes = Bytes(index);
  std::vector<std::uint8_t> source(bytes, 1), destination(bytes);
  CFileMapping producer, consumer;
  if (producer.Init(true, nullptr) != 0 || consumer.Init(false, nullptr) != 0) {
    state.SkipWithError("cannot open the channel");
    return;
  }
  const std::int64_t aux = 0;
  for (auto _ : state) {
    producer.SetMediaSample(0, kSizes[index].width, kSizes[index].height, source.data(), bytes, 0, &aux, &aux);
    channel::FrameDescriptor d{};
    if (consumer.LockMediaSample(0, &d) != 0) {
      state.SkipWithError("no frame");
      break;
    }
    consumer.GetMediaSampleData(0, destination.data(), bytes, L"bench", 0, 0);
    consumer.UnlockMediaSample(0);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * bytes * 2);
}

// The producer's frame is written once; the consumer's part alone is measured.
struct CConsumerSide {
  CFileMapping producer;
  CFileMapping consumer;
  std::vector<std::uint8_t> destination;
  bool ready = false;

  explicit CConsumerSide(CFileMapping::ViewStrategy views) : consumer(views) {
    const std::int32_t bytes = Bytes(1);
    std::vector<std::uint8_t> source(bytes, 1);
    const std::int64_t aux = 0;
    ready = producer.Init(true, nullptr) == 0 && consumer.Init(false, nullptr) == 0 &&
            producer.SetMediaSample(0, kSizes[1].width, kSizes[1].height, source.data(), bytes, 0, &aux, &aux) == 0;
    destination.resize(bytes);
  }
};

CFileMapping::ViewStrategy Views(const benchmark::State& state) {
  return state.range(0) == 0 ? CFileMapping::ViewStrategy::kWholeRegion : CFileMapping::ViewStrategy::kPerOperation;
}

// The pass every use of a frame makes over its bytes.
std::uint64_t Pass(const std::uint8_t* bytes, std::size_t size) {
  std::uint64_t sum = 0;
  for (std::size_t i = 0; i + 8 <= size; i += 8) {
    std::uint64_t word;
    std::memcpy(&word, bytes + i, sizeof word);
    sum += word;
  }
  return sum;
}

void ConsumerCopy(benchmark::State& state) {
  CConsumerSide side(Views(state));
  if (!side.ready) {
    state.SkipWithError("cannot open the channel");
    return;
  }
  const auto bytes = static_cast<std::int32_t>(side.destination.size());
  for (auto _ : state) {
    channel::FrameDescriptor d{};
    if (side.consumer.LockMediaSample(0, &d) != 0 ||
        side.consumer.GetMediaSampleData(0, side.destination.data(), bytes, L"bench", 0, 0) != 0) {
      state.SkipWithError("no frame");
      break;
    }
    side.consumer.UnlockMediaSample(0);
    benchmark::DoNotOptimize(Pass(side.destination.data(), side.destination.size()));
  }
}

void ConsumerLease(benchmark::State& state) {
  CConsumerSide side(Views(state));
  if (!side.ready) {
    state.SkipWithError("cannot open the channel");
    return;
  }
  for (auto _ : state) {
    CFrameLease lease = side.consumer.LeaseFrame(0, L"bench", nullptr);
    if (!lease.Held()) {
      state.SkipWithError("no frame");
      break;
    }
    benchmark::DoNotOptimize(Pass(lease.Pixels(), side.destination.size()));
    lease.Release();
  }
}

BENCHMARK(TwoCopies)->DenseRange(0, 2)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(FrameCycle)->DenseRange(0, 2)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(ConsumerCopy)->DenseRange(0, 1)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(ConsumerLease)->DenseRange(0, 1)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  UsePrivateChannelNamespace();
  benchmark::Initialize(&argc, argv);
  CRatioReporter reporter({{"FrameCycle", "TwoCopies", {"640x480", "1280x720", "1920x1080"}, 1.5},
                           {"ConsumerLease", "ConsumerCopy", {"1280x720 whole region", "1280x720 per operation"}, 1.0}});
  reporter.PublishPairs();
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintRatios();
  benchmark::Shutdown();
  return 0;
}
