// Image preparation against its baselines, measured in the same run:
// - ScaleFrameLetterboxed against cv::resize alone into a buffer of the picture's size;
// - FillPlaceholder (the placeholder scaled once per size, then copied) against one
//   memcpy of the frame;
// - BlendLogo against a plain copy of the same logo area.
//
//   cmake --preset bench && cmake --build --preset bench && build/bench/bench/amberline_image_bench
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include <opencv2/imgproc.hpp>

#include "composer/image.h"
#include "composer/letterbox.h"
#include "composer/stream_images.h"
#include "ratio_reporter.h"

namespace {

struct Scale {
  int sw, sh, w, h;
};
const Scale kScales[] = {{1920, 1080, 640, 480}, {1280, 720, 640, 480}, {640, 480, 1280, 720}};
const cv::Size kPlaceholderFrames[] = {{640, 480}, {1280, 720}};
const cv::Size kLogoFrames[] = {{640, 480}, {1920, 1080}};

std::vector<std::uint8_t> FrameBuffer(int w, int h) { return std::vector<std::uint8_t>(((w * 3 + 3) & ~3) * h, 7); }

std::unique_ptr<CImage> Source(int w, int h) {
  std::unique_ptr<CImage> image = CImage::Create(w, h, 3, CImage::kBottomLeft);
  cv::randu(image->Mat(), cv::Scalar::all(0), cv::Scalar::all(255));
  return image;
}

void Letterbox(benchmark::State& state) {
  const Scale& s = kScales[state.range(0)];
  auto source = Source(s.sw, s.sh);
  auto buffer = FrameBuffer(s.w, s.h);
  for (auto _ : state) {
    ScaleFrameLetterboxed(*source, buffer.data(), s.w, s.h);
    benchmark::ClobberMemory();
  }
}

void LetterboxResizeOnly(benchmark::State& state) {
  const Scale& s = kScales[state.range(0)];
  auto source = Source(s.sw, s.sh);
  const LetterboxPlacement p = ComputeLetterbox(s.sw, s.sh, s.w, s.h);
  auto buffer = FrameBuffer(s.w, s.h);
  auto destination = CImage::Wrap(buffer.data(), s.w, s.h, 8, 3, CImage::kBottomLeft, 4);
  cv::Mat region = destination->Mat()(cv::Rect(p.x, p.y, p.width, p.height));
  for (auto _ : state) {
    cv::resize(source->Mat(), region, region.size(), 0, 0, cv::INTER_LINEAR);
    benchmark::ClobberMemory();
  }
}

std::unique_ptr<CImage> Placeholder() { return Source(1280, 960); }

void Placeholder(benchmark::State& state) {
  const cv::Size size = kPlaceholderFrames[state.range(0)];
  CStreamImages images;
  images.SetPlaceholder(Placeholder());
  auto buffer = FrameBuffer(size.width, size.height);
  for (auto _ : state) {
    images.FillPlaceholder(buffer.data(), buffer.size(), size.width, size.height);
    benchmark::ClobberMemory();
  }
}

void PlaceholderFrameCopy(benchmark::State& state) {
  const cv::Size size = kPlaceholderFrames[state.range(0)];
  const auto source = FrameBuffer(size.width, size.height);
  auto buffer = FrameBuffer(size.width, size.height);
  for (auto _ : state) {
    std::memcpy(buffer.data(), source.data(), buffer.size());
    benchmark::ClobberMemory();
  }
}

// A 96 x 48 logo: a soft-edged disc, so that transparent, opaque and partial pixels all occur.
std::unique_ptr<CImage> Logo() {
  std::unique_ptr<CImage> logo = CImage::Create(96, 48, 4, CImage::kTopLeft);
  logo->Mat().setTo(cv::Scalar(255, 180, 40, 0));
  cv::Mat alpha(48, 96, CV_8UC1, cv::Scalar(0));
  cv::circle(alpha, {48, 24}, 20, cv::Scalar(255), cv::FILLED, cv::LINE_AA);
  cv::GaussianBlur(alpha, alpha, {9, 9}, 3);
  const int toAlpha[] = {0, 3};
  cv::mixChannels(&alpha, 1, &logo->Mat(), 1, toAlpha, 1);
  return logo;
}

// Both blend benchmarks start every iteration from the same camera frame (restored with
// the timer paused): blending one buffer over and over would drive its pixels towards
// the logo's own values, a case no live frame shows.
std::vector<std::uint8_t> CameraFrame(int w, int h) {
  std::vector<std::uint8_t> frame = FrameBuffer(w, h);
  cv::Mat noise(1, static_cast<int>(frame.size()), CV_8UC1, frame.data());
  cv::randu(noise, cv::Scalar::all(0), cv::Scalar::all(255));
  return frame;
}

void Blend(benchmark::State& state) {
  const cv::Size size = kLogoFrames[state.range(0)];
  CStreamImages images;
  images.SetLogo(Logo());
  const auto pristine = CameraFrame(size.width, size.height);
  auto buffer = pristine;
  images.BlendLogo(buffer.data(), size.width, size.height);  // scales the logo once
  for (auto _ : state) {
    state.PauseTiming();
    std::memcpy(buffer.data(), pristine.data(), buffer.size());
    state.ResumeTiming();
    images.BlendLogo(buffer.data(), size.width, size.height);
    benchmark::ClobberMemory();
  }
}

void BlendCopyOnly(benchmark::State& state) {
  const cv::Size size = kLogoFrames[state.range(0)];
  int lw = 0, lh = 0;
  CStreamImages::LogoSize(96, 48, size.width, &lw, &lh);
  const auto pristine = CameraFrame(size.width, size.height);
  auto buffer = pristine;
  std::vector<std::uint8_t> logo(static_cast<std::size_t>(lw) * lh * 3, 9);
  const std::size_t step = (size.width * 3 + 3) & ~3;
  for (auto _ : state) {
    state.PauseTiming();
    std::memcpy(buffer.data(), pristine.data(), buffer.size());
    state.ResumeTiming();
    for (int row = 0; row < lh; ++row)
      std::memcpy(buffer.data() + row * step + (size.width - lw - 1) * 3, logo.data() + row * lw * 3, lw * 3);
    benchmark::ClobberMemory();
  }
}

BENCHMARK(Letterbox)->DenseRange(0, 2)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(LetterboxResizeOnly)->DenseRange(0, 2)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(Placeholder)->DenseRange(0, 1)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(PlaceholderFrameCopy)->DenseRange(0, 1)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(Blend)->DenseRange(0, 1)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BlendCopyOnly)->DenseRange(0, 1)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  cv::setNumThreads(1);  // the camera scales on its one worker thread
  benchmark::Initialize(&argc, argv);
  CRatioReporter reporter({
      {"Letterbox", "LetterboxResizeOnly", {"1920x1080 -> 640x480", "1280x720 -> 640x480", "640x480 -> 1280x720"}, 1.15},
      {"Placeholder", "PlaceholderFrameCopy", {"640x480", "1280x720"}, 1.5},
      {"Blend", "BlendCopyOnly", {"640x480", "1920x1080"}, 3.0},
  });
  reporter.PublishPairs();
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintRatios();
  benchmark::Shutdown();
  return 0;
}
