// CPictureConverter: writes a bottom-up BGR24 picture (the composer's working format,
// rows at any stride) into an OutputPicture of the same size in any PixelFormat, with the
// output's stride and row order. The conversions are libyuv's (BT.601, limited range for
// the YUV formats); 4:2:0 and 4:2:2 chroma is the average of each pixel block.
//
//   CPictureConverter converter;
//   if (!converter.Convert(bgr, bgrStride, picture)) ...   // picture unusable or no memory
//
// Ownership: keeps the scratch planes that NV12 and YUY2 go through, reused while the
// size stays the same. Threading: one thread at a time. Failure: false (the output then
// may be partly written) for an unusable picture or when scratch memory cannot be had;
// never throws.
#pragma once

#include <cstdint>
#include <vector>

#include "composer/output_picture.h"

class CPictureConverter {
 public:
  bool Convert(const std::uint8_t* bgr, std::int64_t bgrStride, const OutputPicture& picture);

 private:
  std::vector<std::uint8_t> m_scratch;
};
