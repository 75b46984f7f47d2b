// CImage: an 8-bit image of 3 or 4 channels with 4-byte aligned rows, either owning its
// pixels or wrapped around pixels that belong to someone else (a media sample's buffer,
// a decoded picture). A wrapper never frees the pixels it was given.
//
// The origin flag records whether the first row in memory is the top (kTopLeft) or the
// bottom (kBottomLeft) line of the picture; no operation depends on it, every one works
// on rows in memory order. The pixels are reached through Mat(), an OpenCV header over
// them with the image's row step (never a copy).
//
// Ownership: move-only; destroying an owning image frees its pixels. Threading: none of
// its own. Failure: the factories return null when the sizes are not positive, the row
// step would overflow, or memory runs out; no exception leaves them.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include <opencv2/core.hpp>

class CImage {
 public:
  enum Origin { kTopLeft = 0, kBottomLeft = 1 };

  // Row step of an image of width pixels with channels bytes each, padded to align
  // bytes; 0 when it cannot be represented.
  static std::size_t RowStep(int width, int channels, int align);

  // A header over pixels (depth must be 8); null when pixels is null or the sizes are
  // not usable.
  static std::unique_ptr<CImage> Wrap(void* pixels, int width, int height, int depth, int channels, Origin origin,
                                      int align);
  // An image with pixels of its own (4-byte aligned rows, contents unspecified).
  static std::unique_ptr<CImage> Create(int width, int height, int channels, Origin origin);

  CImage(const CImage&) = delete;
  CImage& operator=(const CImage&) = delete;

  int Width() const { return m_mat.cols; }
  int Height() const { return m_mat.rows; }
  int Channels() const { return m_mat.channels(); }
  Origin GetOrigin() const { return m_origin; }
  std::size_t Step() const { return m_mat.step[0]; }
  std::size_t ByteSize() const { return Step() * static_cast<std::size_t>(Height()); }
  bool OwnsPixels() const { return !m_storage.empty(); }
  cv::Mat& Mat() { return m_mat; }
  const cv::Mat& Mat() const { return m_mat; }

 private:
  CImage() = default;

  cv::Mat m_mat;
  Origin m_origin = kTopLeft;
  std::vector<std::uint8_t> m_storage;
};

// Image library failures come back as results (caught exceptions), never as text on the
// host's error stream: called once at module start-up, before any picture work.
void SilenceImageLibraryErrors();
