#include "filter/stream_images.h"

#include <algorithm>
#include <array>
#include <cmath>

#include <opencv2/imgproc.hpp>

#include "channel/frame_region.h"
#include "filter/install_paths.h"
#include "filter/picture_loader.h"

namespace {

// a = A / 255 and 1 - a, in single precision, for every alpha.
struct AlphaTable {
  std::array<float, 256> a;
  std::array<float, 256> inverse;
  AlphaTable() {
    for (int alpha = 0; alpha < 256; ++alpha) {
      a[alpha] = static_cast<float>(alpha / 255.0);
      inverse[alpha] = 1.0f - a[alpha];
    }
  }
};

const AlphaTable& Alphas() {
  static const AlphaTable table;
  return table;
}

// trunc(logo x a + frame x (1 - a)) in single precision, as the blend is defined.
inline std::uint8_t MixFloat(std::uint8_t logo, std::uint8_t frame, float a, float inverse) {
  return static_cast<std::uint8_t>(static_cast<int>(static_cast<float>(logo) * a + static_cast<float>(frame) * inverse));
}

// The same result from integers. The exact value is (logo x A + frame x (255 - A)) / 255;
// the single-precision sum differs from it by far less than 1/255, so its truncation is
// the integer quotient whenever the division leaves a remainder. Only when the exact
// value is a whole number can rounding land just below it; those cases take the
// floating-point path. A test compares both for every alpha, logo and frame value.
inline std::uint8_t Mix(std::uint8_t logo, std::uint8_t frame, unsigned alpha, float a, float inverse) {
  const unsigned exact = logo * alpha + frame * (255u - alpha);
  const unsigned quotient = exact / 255u;
  if (quotient * 255u != exact) return static_cast<std::uint8_t>(quotient);
  return MixFloat(logo, frame, a, inverse);
}

}  // namespace

void CStreamImages::LoadPictures(const std::wstring& root) {
  m_pPlaceholder = LoadPictureBGR(GetPlaceholderPath(root));
  SetLogo(LoadPictureRGBA(GetLogoPath(root)));
}

void CStreamImages::SetLogo(std::unique_ptr<CImage> logo) {
  m_pLogo = logo != nullptr && logo->Channels() == 4 ? std::move(logo) : nullptr;
  m_pScaledLogo.reset();
}

bool CStreamImages::FillPlaceholder(void* buffer, std::size_t bytes, int width, int height) {
  if (buffer == nullptr || bytes == 0 || m_pPlaceholder == nullptr) return false;
  const std::int64_t needed = channel::FrameBytes(width, height);
  if (needed <= 0 || static_cast<std::uint64_t>(needed) > bytes) return false;
  std::unique_ptr<CImage> destination = CImage::Wrap(buffer, width, height, 8, 3, CImage::kBottomLeft, 4);
  if (destination == nullptr) return false;
  try {
    cv::resize(m_pPlaceholder->Mat(), destination->Mat(), destination->Mat().size(), 0, 0, cv::INTER_LINEAR);
    return true;
  } catch (...) {
    return false;
  }
}

void CStreamImages::LogoSize(int logoWidth, int logoHeight, int frameWidth, int* width, int* height) {
  *width = static_cast<int>(std::nearbyint(logoWidth * (frameWidth / 320.0)));
  *height = logoWidth > 0 ? static_cast<int>(std::nearbyint(static_cast<double>(logoHeight) * *width / logoWidth)) : 0;
}

bool CStreamImages::BlendLogo(void* buffer, int width, int height) {
  if (m_pLogo == nullptr || buffer == nullptr || width <= 0 || height <= 0) return false;
  std::unique_ptr<CImage> destination = CImage::Wrap(buffer, width, height, 8, 3, CImage::kBottomLeft, 4);
  if (destination == nullptr) return false;
  int lw = 0, lh = 0;
  LogoSize(m_pLogo->Width(), m_pLogo->Height(), width, &lw, &lh);
  if (lw <= 0 || lh <= 0) return false;
  try {
    if (m_pScaledLogo == nullptr || m_pScaledLogo->Width() != lw || m_pScaledLogo->Height() != lh) {
      m_pScaledLogo = CImage::Create(lw, lh, 4, m_pLogo->GetOrigin());
      if (m_pScaledLogo == nullptr) return false;
      cv::resize(m_pLogo->Mat(), m_pScaledLogo->Mat(), cv::Size(lw, lh), 0, 0, cv::INTER_LINEAR);
    }
  } catch (...) {
    m_pScaledLogo.reset();
    return false;
  }
  // Logo column j lands on frame column left + j; only what lies inside the frame is
  // drawn. Rows and columns are independent, so rows run outermost for the cache.
  const int left = width - lw - 1;
  const int firstColumn = std::max(0, -left);
  const int lastColumn = std::min(lw, width - left);  // exclusive
  const int rows = std::min(lh, height);
  if (firstColumn >= lastColumn || rows <= 0) return false;
  const AlphaTable& alphas = Alphas();
  for (int i = 0; i < rows; ++i) {
    const std::uint8_t* s = m_pScaledLogo->Mat().ptr(i) + static_cast<std::size_t>(firstColumn) * 4;
    std::uint8_t* d = destination->Mat().ptr(i) + static_cast<std::size_t>(left + firstColumn) * 3;
    for (int j = firstColumn; j < lastColumn; ++j, s += 4, d += 3) {
      const std::uint8_t alpha = s[3];
      if (alpha == 0) continue;  // trunc(0 + d x 1.0f) = d
      if (alpha == 255) {        // trunc(v x 1.0f + d x 0.0f) = v
        d[0] = s[2];
        d[1] = s[1];
        d[2] = s[0];
        continue;
      }
      const float a = alphas.a[alpha];
      const float inverse = alphas.inverse[alpha];
      d[0] = Mix(s[2], d[0], alpha, a, inverse);
      d[1] = Mix(s[1], d[1], alpha, a, inverse);
      d[2] = Mix(s[0], d[2], alpha, a, inverse);
    }
  }
  return true;
}

CImage* CStreamImages::PrepareStagingImage(int width, int height) {
  const std::int64_t bytes = channel::FrameBytes(width, height);
  if (bytes <= 0 || bytes > static_cast<std::int64_t>(channel::kFrameAreaSize)) return nullptr;
  if (m_pStagingImage != nullptr && m_pStagingImage->Width() == width && m_pStagingImage->Height() == height)
    return m_pStagingImage.get();
  m_pStagingImage = CImage::Create(width, height, 3, CImage::kBottomLeft);
  return m_pStagingImage.get();
}
