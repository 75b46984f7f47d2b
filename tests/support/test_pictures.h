// Pictures the end-to-end suites feed the producer and compare the camera's frames with.
//
// CPicture is top-down RGB, three bytes a pixel, no padding: what a viewer shows and what
// a PNG file holds. A frame is the layout the channel and the camera deliver: BGR, rows
// padded to 4 bytes, bottom line first. The helpers convert between the two, read and
// write PNG files and name the first pixel where two pictures differ, so that a flipped,
// mirrored or channel-swapped picture fails with a precise message.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace testing_support {

struct CPicture {
  int width = 0;
  int height = 0;
  std::vector<std::uint8_t> rgb;
  const std::uint8_t* At(int x, int y) const { return &rgb[(static_cast<std::size_t>(y) * width + x) * 3]; }
};

struct Rgb {
  std::uint8_t r, g, b;
};

CPicture MakePicture(int width, int height, const std::function<Rgb(int, int)>& colour);
// Four coloured quadrants, so that a flip or a mirror shows.
Rgb Quadrant(int x, int y, int width, int height);
// Quadrants with a white bar near the top-left and a dark bar near the bottom-right,
// with a few odd colours so that swapped channels show.
CPicture MarkedPicture(int width, int height);

// Writes p as a PNG file (a test failure when it cannot).
void WritePng(const std::filesystem::path& path, const CPicture& p);
// The PNG file as RGB; an empty picture when it cannot be read or decoded.
CPicture ReadPng(const std::filesystem::path& path);

// Bytes in a frame of width x height (rows padded to 4 bytes).
std::size_t FrameStride(int width);
// A frame (BGR, bottom line first) as a picture; empty when frame is too short.
CPicture PictureFromFrame(const std::uint8_t* frame, std::size_t bytes, int width, int height);

// Where two pictures of one size first differ, or an empty text when they are equal.
std::string FirstDifference(const CPicture& actual, const CPicture& expected);

// The placeholder as the camera installed under the staged tree stretches it over a
// width x height frame; empty when the staged picture cannot be loaded.
CPicture ExpectedPlaceholder(int width, int height);

}  // namespace testing_support
