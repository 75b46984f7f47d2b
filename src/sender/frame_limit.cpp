#include "sender/frame_limit.h"

#include "channel/frame_region.h"

namespace {

bool Fits(std::int64_t width, std::int64_t height) {
  const std::int64_t bytes = channel::FrameBytes(width, height);
  return bytes > 0 && channel::FrameFits(0, bytes);
}

// Digits in groups of three, so that a byte count reads at a glance.
std::string Grouped(std::int64_t value) {
  std::string digits = std::to_string(value);
  for (int at = static_cast<int>(digits.size()) - 3; at > 0; at -= 3) digits.insert(static_cast<std::size_t>(at), ",");
  return digits;
}

}  // namespace

std::string FrameSizeProblem(std::int64_t width, std::int64_t height, std::int64_t minSide) {
  if (width <= 0 || height <= 0) return "a frame needs a width and a height of at least 1";
  if (Fits(width, height)) return {};
  const std::int64_t bytes = channel::FrameBytes(width, height);
  std::string text = std::to_string(width) + "x" + std::to_string(height) + " does not fit the channel: ";
  if (bytes > 0)
    text += "one frame takes " + Grouped(bytes) + " bytes, ";
  text += "the channel carries frames of at most " + Grouped(channel::kFrameAreaSize) + " bytes";
  // The largest frame of the same aspect: the tallest height whose width, in proportion,
  // still fits (the bytes grow with the height, so the tallest is found by halving).
  std::int64_t low = 0, high = height;
  const auto widthFor = [&](std::int64_t h) { return (h * width + height / 2) / height; };
  while (low < high) {
    const std::int64_t mid = low + (high - low + 1) / 2;
    if (widthFor(mid) >= 1 && Fits(widthFor(mid), mid))
      low = mid;
    else
      high = mid - 1;
  }
  if (low >= minSide && widthFor(low) >= minSide)
    text += " (at this aspect ratio, up to " + std::to_string(widthFor(low)) + "x" + std::to_string(low) + ")";
  else
    text += " (no frame of this aspect ratio with both sides at least " + std::to_string(minSide) + " fits)";
  return text;
}
