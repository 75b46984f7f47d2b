#include "composer/letterbox.h"

#include <algorithm>
#include <cmath>

#include <opencv2/imgproc.hpp>

namespace {

// Nearest integer, ties to even (the default rounding mode).
int RoundEven(float value) { return static_cast<int>(std::nearbyint(value)); }

}  // namespace

LetterboxPlacement ComputeLetterbox(int sourceWidth, int sourceHeight, int width, int height) {
  const float srcAspect = static_cast<float>(static_cast<double>(sourceWidth) / sourceHeight);
  const float dstAspect = static_cast<float>(static_cast<double>(width) / height);
  int pw = width, ph = height;
  if (dstAspect <= srcAspect) {
    if (srcAspect / dstAspect > 1.1f) ph = RoundEven(static_cast<float>(width) / srcAspect);
  } else {
    if (dstAspect / srcAspect > 1.1f) pw = RoundEven(srcAspect * static_cast<float>(height));
  }
  const int x = std::clamp(width / 2 - pw / 2, 0, width);
  const int y = std::clamp(height / 2 - ph / 2, 0, height);
  return {x, y, pw, ph};
}

bool ScaleFrameLetterboxed(const CImage& source, void* buffer, int width, int height) {
  if (source.Width() <= 0 || source.Height() <= 0 || width <= 0 || height <= 0) return false;
  std::unique_ptr<CImage> destination = CImage::Wrap(buffer, width, height, 8, 3, CImage::kBottomLeft, 4);
  if (destination == nullptr || source.Channels() != 3) return false;
  try {
    const LetterboxPlacement p = ComputeLetterbox(source.Width(), source.Height(), width, height);
    cv::Mat frame = destination->Mat();
    // A picture too small to see, or one that would pass the buffer's edge, is left out.
    if (p.width <= 0 || p.height <= 0 || p.x + p.width > width || p.y + p.height > height) {
      frame.setTo(cv::Scalar::all(0));
      return false;
    }
    // Only the bars are cleared: the picture's own area is written once, by the scaler.
    const cv::Scalar black = cv::Scalar::all(0);
    if (p.y > 0) frame.rowRange(0, p.y).setTo(black);
    if (p.y + p.height < height) frame.rowRange(p.y + p.height, height).setTo(black);
    if (p.x > 0) frame(cv::Rect(0, p.y, p.x, p.height)).setTo(black);
    if (p.x + p.width < width) frame(cv::Rect(p.x + p.width, p.y, width - p.x - p.width, p.height)).setTo(black);
    cv::Mat region = frame(cv::Rect(p.x, p.y, p.width, p.height));
    cv::resize(source.Mat(), region, region.size(), 0, 0, cv::INTER_LINEAR);
    return true;
  } catch (...) {
    return false;
  }
}
