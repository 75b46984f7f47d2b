// CFrameSource: the pictures the reference producer sends, already in the channel's
// frame layout (bottom-up BGR, rows padded to 4 bytes).
//
// Without a picture file it draws a test pattern: colour bars that move one step per
// frame, the frame number and the time, and an orientation mark in the picture's top-left
// corner (a white "F" on red) so that a flipped or mirrored picture is obvious at a glance.
// With a PNG file it sends that picture, letterboxed into the frame size as the camera
// letterboxes frames (aspect ratio kept, black bars; stretched when the aspects differ by
// a factor of 1.1 or less), put into the channel's layout once, when it is loaded.
// Not thread-safe; one producer loop uses it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

class CFrameSource {
 public:
  CFrameSource(int width, int height);
  // Loads a PNG to send instead of the pattern; false (with a message) when it cannot.
  bool LoadPicture(const std::string& path, std::string* error);
  // The frame for frameNumber, in the channel's layout; Bytes() long.
  const std::vector<std::uint8_t>& Frame(std::int64_t frameNumber);
  std::int32_t Bytes() const { return static_cast<std::int32_t>(m_frame.size()); }

 private:
  void DrawPattern(std::int64_t frameNumber);
  // A top-down BGR picture of the frame size into m_frame.
  void StoreFrame(const cv::Mat& topDown);

  int m_width;
  int m_height;
  std::size_t m_stride;
  bool m_still = false;  // a picture was loaded: m_frame holds it for good
  cv::Mat m_canvas;   // top-down BGR drawing surface
  std::vector<std::uint8_t> m_frame;
};
