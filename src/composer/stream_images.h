// CStreamImages: the pictures one camera stream keeps, and the picture work it does on
// its output buffers.
//
// - the placeholder (3-channel BGR, loaded once), stretched over a buffer while no
//   producer delivers (FillPlaceholder). It is scaled once per output size and kept;
//   every later frame of that size is a copy of the kept picture, byte for byte what a
//   fresh scale would give;
// - the logo (RGBA, loaded once) and its copy scaled to the last frame width used,
//   alpha-blended into the buffer's bottom-right corner, ending one column before the
//   right edge (BlendLogo).
// Buffers are width x height pixels of 3 bytes in rows padded to 4 bytes, first row =
// bottom line, and are written in place; the padding bytes at the end of each row are
// never written.
//
//   CStreamImages images;
//   images.LoadPictures(root);
//   images.FillPlaceholder(buffer, bytes, 640, 480);   // no frame
//   images.BlendLogo(buffer, 640, 480);                 // a live frame, logo wanted
//
// The blend computes, per channel, trunc(logo x a + frame x (1 - a)) with a = A / 255 in
// single precision. It gets there through 16-bit integers, sixteen channels at a time,
// from the logo's weighted values prepared once per logo size, skips the transparent
// part of each logo row, and takes the floating-point path only for the few values
// where the two could differ, so every byte is the one the formula gives (a test
// compares all 2^24 combinations). A logo that does not fit the buffer is clipped to it.
//
// Ownership: owns all its pictures. Threading: used by one stream under its lock.
// Failure: operations that cannot do their work leave the buffer untouched and say so;
// no exception leaves them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "composer/image.h"

class CStreamImages {
 public:
  CStreamImages() = default;
  CStreamImages(const CStreamImages&) = delete;
  CStreamImages& operator=(const CStreamImages&) = delete;

  // Loads both pictures below the installation root (a missing or unreadable file
  // leaves that picture absent). Logs at level 0 "Path to logo = <placeholder path>" and,
  // for each picture that could not be loaded, "Failed to load picture <path>".
  void LoadPictures(const std::wstring& root);
  void SetPlaceholder(std::unique_ptr<CImage> placeholder);
  void SetLogo(std::unique_ptr<CImage> logo);
  bool HasPlaceholder() const { return m_pPlaceholder != nullptr; }
  bool HasLogo() const { return m_pLogo != nullptr; }

  // Stretches the placeholder over the buffer; false (buffer untouched) without a
  // placeholder, a buffer, or room in it for width x height, or when the scaled copy
  // cannot be made.
  bool FillPlaceholder(void* buffer, std::size_t bytes, int width, int height);

  // Blends the logo into the buffer; false without a logo, when nothing of it fits, or
  // when it would be scaled past the picture size limit.
  bool BlendLogo(void* buffer, int width, int height);
  // The logo's size in a frame of the given width (its natural size at 320 pixels);
  // 0 x 0 when that would be more pixels than a loaded picture may have.
  static void LogoSize(int logoWidth, int logoHeight, int frameWidth, int* width, int* height);
 private:
  // Makes the blend's tables for a logo scaled to lw x lh; false when it cannot.
  bool PrepareScaledLogo(int lw, int lh);

  std::unique_ptr<CImage> m_pPlaceholder;
  std::unique_ptr<CImage> m_pScaledPlaceholder;  // the placeholder at the last output size
  std::unique_ptr<CImage> m_pLogo;
  std::unique_ptr<CImage> m_pScaledLogo;
  // The scaled logo in the frame's byte order (blue, green, red per pixel), its alpha
  // repeated for each of the three bytes, so that a logo row and a frame row line up,
  // and per byte logo x alpha (16 bits) and 255 - alpha.
  std::vector<std::uint8_t> m_logoBgr;
  std::vector<std::uint8_t> m_logoAlpha;
  std::vector<std::uint16_t> m_logoWeighted;
  std::vector<std::uint8_t> m_logoInverse;
  // Per logo row, the bytes [first, end) outside which its alpha is 0.
  std::vector<std::pair<int, int>> m_logoSpans;
};
