// ScaleFrameLetterboxed: scales a frame into a sample buffer of another size, keeping
// its aspect ratio with black bars, or stretching it when the aspects differ by a factor
// of 1.1 or less.
//
// buffer holds width x height pixels of 3 bytes (blue, green, red) in rows padded to 4
// bytes, first row = bottom line; it is written in place, never through a copy. The
// picture's place: when the source is wider, its width is the buffer's and its height
// W / sourceAspect (nearest integer, ties to even); when narrower, its height is the
// buffer's; x = W/2 - pw/2 and y = H/2 - ph/2 with integer division, y counted from the
// first row in memory. Aspects are single-precision. Linear interpolation.
// Returns false (the buffer then may be black or untouched) when the sizes are unusable
// or the image library fails; never throws.
#pragma once

#include "composer/image.h"

struct LetterboxPlacement {
  int x;
  int y;
  int width;
  int height;
};

// Where a sourceWidth x sourceHeight picture lands in a width x height buffer.
LetterboxPlacement ComputeLetterbox(int sourceWidth, int sourceHeight, int width, int height);

bool ScaleFrameLetterboxed(const CImage& source, void* buffer, int width, int height);
