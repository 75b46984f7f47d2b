#include "composer/stream_images.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>

#include <opencv2/imgproc.hpp>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "channel/frame_region.h"
#include "diagnostics/log_file.h"
#include "composer/install_paths.h"
#include "composer/picture_loader.h"

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
inline std::uint8_t Mix(std::uint8_t logo, std::uint8_t frame, unsigned alpha) {
  const unsigned exact = logo * alpha + frame * (255u - alpha);
  const unsigned quotient = exact / 255u;
  if (quotient * 255u != exact || alpha == 0 || alpha == 255) return static_cast<std::uint8_t>(quotient);
  return MixFloat(logo, frame, Alphas().a[alpha], Alphas().inverse[alpha]);
}

// Blends count bytes of one row: frame[k] = Mix(logo[k], frame[k], alpha[k]).
void BlendRow(const std::uint8_t* logo, const std::uint8_t* alpha, std::uint8_t* frame, std::size_t count) {
  std::size_t k = 0;
#if defined(__SSE2__)
  const __m128i zero = _mm_setzero_si128();
  const __m128i all255 = _mm_set1_epi16(255);
  const __m128i one = _mm_set1_epi16(1);
  for (; k + 8 <= count; k += 8) {
    // Groups wholly transparent or wholly opaque need no arithmetic: the frame stays, or
    // the logo replaces it, exactly as the formula gives.
    std::uint64_t alphas;
    std::memcpy(&alphas, alpha + k, 8);
    if (alphas == 0) continue;
    if (alphas == ~std::uint64_t{0}) {
      std::memcpy(frame + k, logo + k, 8);
      continue;
    }
    std::uint8_t original[8];
    std::memcpy(original, frame + k, 8);
    const __m128i l = _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(logo + k)), zero);
    const __m128i f = _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(original)), zero);
    const __m128i a = _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(alpha + k)), zero);
    // exact = l x a + f x (255 - a) <= 65025 fits 16 bits; quotient = floor(exact / 255)
    // as (exact + 1 + (exact >> 8)) >> 8, which holds for every such value.
    const __m128i exact = _mm_add_epi16(_mm_mullo_epi16(l, a), _mm_mullo_epi16(f, _mm_sub_epi16(all255, a)));
    const __m128i quotient = _mm_srli_epi16(_mm_add_epi16(_mm_add_epi16(exact, one), _mm_srli_epi16(exact, 8)), 8);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(frame + k), _mm_packus_epi16(quotient, zero));
    // Whole-number results of a partial alpha are where rounding can land below.
    const __m128i whole = _mm_cmpeq_epi16(_mm_mullo_epi16(quotient, all255), exact);
    const __m128i edge = _mm_or_si128(_mm_cmpeq_epi16(a, zero), _mm_cmpeq_epi16(a, all255));
    unsigned check = static_cast<unsigned>(_mm_movemask_epi8(_mm_andnot_si128(edge, whole)));
    while (check != 0) {
      const unsigned lane = static_cast<unsigned>(__builtin_ctz(check)) / 2;
      check &= ~(3u << (lane * 2));
      const std::size_t i = k + lane;
      frame[i] = MixFloat(logo[i], original[lane], Alphas().a[alpha[i]], Alphas().inverse[alpha[i]]);
    }
  }
#endif
  for (; k < count; ++k) frame[k] = Mix(logo[k], frame[k], alpha[k]);
}

}  // namespace

void CStreamImages::LoadPictures(const std::wstring& root) {
  const std::wstring placeholderPath = GetPlaceholderPath(root);
  // The line has always named the logo while giving the placeholder's path; readers of
  // the log know it by this text.
  g_Log.Write(0, L"Path to logo = %s\n", placeholderPath.c_str());
  m_pPlaceholder = LoadPictureBGR(placeholderPath);
  if (m_pPlaceholder == nullptr) g_Log.Write(0, L"Failed to load picture %s\n", placeholderPath.c_str());
  const std::wstring logoPath = GetLogoPath(root);
  SetLogo(LoadPictureRGBA(logoPath));
  if (m_pLogo == nullptr) g_Log.Write(0, L"Failed to load picture %s\n", logoPath.c_str());
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
  const double w = std::nearbyint(logoWidth * (frameWidth / 320.0));
  const double h = logoWidth > 0 ? std::nearbyint(static_cast<double>(logoHeight) * w / logoWidth) : 0;
  // A logo scaled past the largest picture the loader accepts has no size: a small
  // logo file in a wide frame must not make every frame ask for gigabytes (nor a size
  // that no int holds).
  const bool usable = w >= 0 && h >= 0 && w * h <= static_cast<double>(kMaxPicturePixels);
  *width = usable ? static_cast<int>(w) : 0;
  *height = usable ? static_cast<int>(h) : 0;
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
      const std::size_t bytes = static_cast<std::size_t>(lw) * static_cast<std::size_t>(lh) * 3;
      m_logoBgr.resize(bytes);
      m_logoAlpha.resize(bytes);
      for (int i = 0; i < lh; ++i) {
        const std::uint8_t* s = m_pScaledLogo->Mat().ptr(i);
        std::uint8_t* bgr = m_logoBgr.data() + static_cast<std::size_t>(i) * lw * 3;
        std::uint8_t* alpha = m_logoAlpha.data() + static_cast<std::size_t>(i) * lw * 3;
        for (int j = 0; j < lw; ++j, s += 4, bgr += 3, alpha += 3) {
          bgr[0] = s[2];
          bgr[1] = s[1];
          bgr[2] = s[0];
          alpha[0] = alpha[1] = alpha[2] = s[3];
        }
      }
    }
  } catch (...) {
    m_pScaledLogo.reset();
    m_logoBgr.clear();
    m_logoAlpha.clear();
    return false;
  }
  // Logo column j lands on frame column left + j; only what lies inside the frame is
  // drawn. Rows and columns are independent, so rows run outermost for the cache.
  const int left = width - lw - 1;
  const int firstColumn = std::max(0, -left);
  const int lastColumn = std::min(lw, width - left);  // exclusive
  const int rows = std::min(lh, height);
  if (firstColumn >= lastColumn || rows <= 0) return false;
  const std::size_t logoStep = static_cast<std::size_t>(lw) * 3;
  const std::size_t offset = static_cast<std::size_t>(firstColumn) * 3;
  const std::size_t count = static_cast<std::size_t>(lastColumn - firstColumn) * 3;
  for (int i = 0; i < rows; ++i) {
    BlendRow(m_logoBgr.data() + i * logoStep + offset, m_logoAlpha.data() + i * logoStep + offset,
             destination->Mat().ptr(i) + static_cast<std::size_t>(left + firstColumn) * 3, count);
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
