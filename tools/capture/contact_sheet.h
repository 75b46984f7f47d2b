// CContactSheet: a single picture that shows a capture at a glance — up to a fixed
// number of thumbnails spread evenly over the frames offered, in a grid, each with its
// frame number drawn in its top-left corner (white digits on a black box).
//
// Frames are offered one by one as they arrive (their number only ever grows); the sheet
// keeps a bounded set of thumbnails: every step-th frame from the first, with the step doubling whenever
// more than twice the wanted count are kept, plus always the latest frame. Render picks
// the wanted count evenly from those, the first and the last frame included, so memory
// stays bounded however long the capture runs. Layout: at most kColumns thumbnails per
// row, kMargin pixels around and between them on a dark grey ground; a thumbnail is
// kThumbnailWidth pixels wide and as high as the frames' aspect ratio makes it.
// Ownership: owns its thumbnails. One thread at a time. Failure: none; Render of a sheet
// with no frames gives an empty picture.
#pragma once

#include <string>
#include <vector>

#include "rgb_picture.h"

class CContactSheet {
 public:
  static constexpr int kColumns = 6;
  static constexpr int kMargin = 8;
  static constexpr int kThumbnailWidth = 160;
  static constexpr int kLabelScale = 2;
  static constexpr int kLabelPadding = 2;

  struct Layout {
    int columns = 0;
    int rows = 0;
    int thumbnailWidth = 0;
    int thumbnailHeight = 0;
    int width = 0;
    int height = 0;
    // Top-left corner of thumbnail i.
    int CellX(int i) const { return kMargin + (i % columns) * (thumbnailWidth + kMargin); }
    int CellY(int i) const { return kMargin + (i / columns) * (thumbnailHeight + kMargin); }
  };

  explicit CContactSheet(int maxThumbnails = 24);

  // The grid for count thumbnails of frames of the given size.
  static Layout Plan(int count, int frameWidth, int frameHeight);
  // The count numbers chosen evenly from the sorted candidates, first and last included.
  static std::vector<long long> Spread(const std::vector<long long>& candidates, int count);

  void Offer(long long frameNumber, const CRgbPicture& frame);
  // The frame numbers the sheet would show now, in order.
  std::vector<long long> Chosen() const;
  CRgbPicture Render() const;

 private:
  struct Thumbnail {
    long long number = 0;
    CRgbPicture picture;
  };

  int m_max;
  long long m_step = 1;
  long long m_first = 0;  // the first number offered; kept numbers are m_first + k * m_step
  int m_frameWidth = 0;
  int m_frameHeight = 0;
  std::vector<Thumbnail> m_kept;
  Thumbnail m_last;
  bool m_haveLast = false;
};
