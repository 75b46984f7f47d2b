// Loading the camera's pictures (PNG files shipped beside the module).
//
// Both loaders decode the whole file in memory with stb_image, refuse anything that is
// not a picture of a sane size (a file over kMaxFileBytes, more than kMaxPixels pixels
// or a side over kMaxSide), and flip the rows once so that the first row in memory is
// the picture's bottom line, the order in which every frame travels. A missing,
// truncated or malformed file gives null, never an exception or a crash.
#pragma once

#include <memory>
#include <string>

#include "composer/image.h"

inline constexpr std::size_t kMaxPictureFileBytes = 64u << 20;
inline constexpr long long kMaxPicturePixels = 32ll << 20;
inline constexpr int kMaxPictureSide = 16384;

// The placeholder: an owned 3-channel blue-green-red image (alpha dropped), bottom-left.
std::unique_ptr<CImage> LoadPictureBGR(const std::wstring& path);
// The logo: an owned 4-channel red-green-blue-alpha image, rows bottom line first.
std::unique_ptr<CImage> LoadPictureRGBA(const std::wstring& path);
