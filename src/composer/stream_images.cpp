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

// Blends count bytes of one row: frame[k] = Mix(logo[k], frame[k], alpha[k]), where
// weighted[k] = logo[k] x alpha[k] and inverse[k] = 255 - alpha[k].
void BlendRow(const std::uint8_t* logo, const std::uint8_t* alpha, const std::uint16_t* weighted,
              const std::uint8_t* inverse, std::uint8_t* frame, std::size_t count) {
  std::size_t k = 0;
#if defined(__SSE2__)
  const __m128i zero = _mm_setzero_si128();
  const __m128i all255 = _mm_set1_epi16(255);
  const __m128i one = _mm_set1_epi16(1);
  for (; k + 16 <= count; k += 16) {
    // Groups wholly transparent or wholly opaque need no arithmetic: the frame stays, or
    // the logo replaces it, exactly as the formula gives.
    const __m128i a8 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(alpha + k));
    const int transparent = _mm_movemask_epi8(_mm_cmpeq_epi8(a8, zero));
    if (transparent == 0xFFFF) continue;
    if (_mm_movemask_epi8(_mm_cmpeq_epi8(a8, _mm_set1_epi8(-1))) == 0xFFFF) {
      std::memcpy(frame + k, logo + k, 16);
      continue;
    }
    const __m128i f8 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(frame + k));
    const __m128i inv8 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(inverse + k));
    // exact = l x a + f x (255 - a) <= 65025 fits 16 bits; quotient = floor(exact / 255)
    // as (exact + 1 + (exact >> 8)) >> 8, which holds for every such value.
    const __m128i exactLo =
        _mm_add_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(weighted + k)),
                      _mm_mullo_epi16(_mm_unpacklo_epi8(f8, zero), _mm_unpacklo_epi8(inv8, zero)));
    const __m128i exactHi =
        _mm_add_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(weighted + k + 8)),
                      _mm_mullo_epi16(_mm_unpackhi_epi8(f8, zero), _mm_unpackhi_epi8(inv8, zero)));
    const __m128i qLo = _mm_srli_epi16(_mm_add_epi16(_mm_add_epi16(exactLo, one), _mm_srli_epi16(exactLo, 8)), 8);
    const __m128i qHi = _mm_srli_epi16(_mm_add_epi16(_mm_add_epi16(exactHi, one), _mm_srli_epi16(exactHi, 8)), 8);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(frame + k), _mm_packus_epi16(qLo, qHi));
    // Whole-number results of a partial alpha are where rounding can land below.
    const __m128i wholeLo = _mm_cmpeq_epi16(_mm_mullo_epi16(qLo, all255), exactLo);
    const __m128i wholeHi = _mm_cmpeq_epi16(_mm_mullo_epi16(qHi, all255), exactHi);
    const __m128i whole = _mm_packs_epi16(wholeLo, wholeHi);
    const int opaque = _mm_movemask_epi8(_mm_cmpeq_epi8(inv8, zero));
    unsigned check = static_cast<unsigned>(_mm_movemask_epi8(whole) & ~transparent & ~opaque) & 0xFFFFu;
    if (check == 0) continue;
    std::uint8_t original[16];
    _mm_storeu_si128(reinterpret_cast<__m128i*>(original), f8);
    while (check != 0) {
      const unsigned lane = static_cast<unsigned>(__builtin_ctz(check));
      check &= check - 1;
      const std::size_t i = k + lane;
      frame[i] = MixFloat(logo[i], original[lane], Alphas().a[alpha[i]], Alphas().inverse[alpha[i]]);
    }
  }
#else
  (void)weighted;
  (void)inverse;
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

void CStreamImages::SetPlaceholder(std::unique_ptr<CImage> placeholder) {
  m_pPlaceholder = std::move(placeholder);
  m_pScaledPlaceholder.reset();
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
  if (m_pScaledPlaceholder == nullptr || m_pScaledPlaceholder->Width() != width ||
      m_pScaledPlaceholder->Height() != height) {
    m_pScaledPlaceholder = CImage::Create(width, height, 3, CImage::kBottomLeft);
    if (m_pScaledPlaceholder == nullptr) return false;
    try {
      cv::resize(m_pPlaceholder->Mat(), m_pScaledPlaceholder->Mat(), cv::Size(width, height), 0, 0, cv::INTER_LINEAR);
    } catch (...) {
      m_pScaledPlaceholder.reset();
      return false;
    }
  }
  // The kept picture has the buffer's row step; only the pixels of each row are copied,
  // as the scaler would have written them.
  const std::size_t rowBytes = static_cast<std::size_t>(width) * 3;
  const cv::Mat& scaled = m_pScaledPlaceholder->Mat();
  if (scaled.step[0] == rowBytes) {
    std::memcpy(buffer, scaled.data, rowBytes * static_cast<std::size_t>(height));
  } else {
    for (int row = 0; row < height; ++row) std::memcpy(destination->Mat().ptr(row), scaled.ptr(row), rowBytes);
  }
  return true;
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

bool CStreamImages::PrepareScaledLogo(int lw, int lh) {
  if (m_pScaledLogo != nullptr && m_pScaledLogo->Width() == lw && m_pScaledLogo->Height() == lh) return true;
  try {
    m_pScaledLogo = CImage::Create(lw, lh, 4, m_pLogo->GetOrigin());
    if (m_pScaledLogo == nullptr) return false;
    cv::resize(m_pLogo->Mat(), m_pScaledLogo->Mat(), cv::Size(lw, lh), 0, 0, cv::INTER_LINEAR);
    const std::size_t rowBytes = static_cast<std::size_t>(lw) * 3;
    const std::size_t bytes = rowBytes * static_cast<std::size_t>(lh);
    m_logoBgr.resize(bytes);
    m_logoAlpha.resize(bytes);
    m_logoWeighted.resize(bytes);
    m_logoInverse.resize(bytes);
    m_logoSpans.assign(static_cast<std::size_t>(lh), {0, 0});
    for (int i = 0; i < lh; ++i) {
      const std::uint8_t* s = m_pScaledLogo->Mat().ptr(i);
      const std::size_t at = static_cast<std::size_t>(i) * rowBytes;
      int first = -1, last = -1;
      for (int j = 0; j < lw; ++j, s += 4) {
        const std::uint8_t bgr[3] = {s[2], s[1], s[0]};
        for (int c = 0; c < 3; ++c) {
          const std::size_t k = at + static_cast<std::size_t>(j) * 3 + static_cast<std::size_t>(c);
          m_logoBgr[k] = bgr[c];
          m_logoAlpha[k] = s[3];
          m_logoWeighted[k] = static_cast<std::uint16_t>(bgr[c] * s[3]);
          m_logoInverse[k] = static_cast<std::uint8_t>(255 - s[3]);
        }
        if (s[3] != 0) {
          if (first < 0) first = j;
          last = j;
        }
      }
      if (first >= 0) m_logoSpans[static_cast<std::size_t>(i)] = {first * 3, (last + 1) * 3};
    }
    return true;
  } catch (...) {
    m_pScaledLogo.reset();
    m_logoBgr.clear();
    m_logoAlpha.clear();
    m_logoWeighted.clear();
    m_logoInverse.clear();
    m_logoSpans.clear();
    return false;
  }
}

bool CStreamImages::BlendLogo(void* buffer, int width, int height) {
  if (m_pLogo == nullptr || buffer == nullptr || width <= 0 || height <= 0) return false;
  std::unique_ptr<CImage> destination = CImage::Wrap(buffer, width, height, 8, 3, CImage::kBottomLeft, 4);
  if (destination == nullptr) return false;
  int lw = 0, lh = 0;
  LogoSize(m_pLogo->Width(), m_pLogo->Height(), width, &lw, &lh);
  if (lw <= 0 || lh <= 0) return false;
  if (!PrepareScaledLogo(lw, lh)) return false;
  // Logo column j lands on frame column left + j; only what lies inside the frame is
  // drawn. Rows and columns are independent, so rows run outermost for the cache.
  const int left = width - lw - 1;
  const int firstColumn = std::max(0, -left);
  const int lastColumn = std::min(lw, width - left);  // exclusive
  const int rows = std::min(lh, height);
  if (firstColumn >= lastColumn || rows <= 0) return false;
  const std::size_t logoStep = static_cast<std::size_t>(lw) * 3;
  for (int i = 0; i < rows; ++i) {
    // Of the drawn columns, only those from the row's first to its last visible pixel.
    const std::pair<int, int> span = m_logoSpans[static_cast<std::size_t>(i)];
    const int begin = std::max(firstColumn * 3, span.first);
    const int end = std::min(lastColumn * 3, span.second);
    if (begin >= end) continue;
    const std::size_t at = static_cast<std::size_t>(i) * logoStep + static_cast<std::size_t>(begin);
    BlendRow(m_logoBgr.data() + at, m_logoAlpha.data() + at, m_logoWeighted.data() + at, m_logoInverse.data() + at,
             destination->Mat().ptr(i) + static_cast<std::ptrdiff_t>(left) * 3 + begin,
             static_cast<std::size_t>(end - begin));
  }
  return true;
}
