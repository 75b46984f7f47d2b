// CPngWriter: saves a CRgbPicture as an 8-bit RGB PNG file (stb_image_write, whose
// implementation this pair compiles, private to it).
// Stateless; any thread. Failure: false when the picture is empty or the file cannot be
// encoded or written (a partly written file may remain).
#pragma once

#include <string>
#include <vector>

#include "rgb_picture.h"

class CPngWriter {
 public:
  static bool Write(const std::string& path, const CRgbPicture& picture);
  // The encoded file in memory; empty on failure.
  static std::vector<unsigned char> Encode(const CRgbPicture& picture);
};
