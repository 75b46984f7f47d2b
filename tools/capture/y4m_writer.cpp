#include "y4m_writer.h"

#include <numeric>


std::string CY4mWriter::Header(int width, int height, std::uint32_t rateNumerator, std::uint32_t rateDenominator) {
  if (rateNumerator == 0 || rateDenominator == 0) {
    rateNumerator = 25;
    rateDenominator = 1;
  }
  return "YUV4MPEG2 W" + std::to_string(width) + " H" + std::to_string(height) + " F" +
         std::to_string(rateNumerator) + ":" + std::to_string(rateDenominator) + " Ip A1:1 C444\n";
}

void CY4mWriter::RateFromDuration(long long duration100ns, std::uint32_t* numerator, std::uint32_t* denominator) {
  if (duration100ns <= 0 || duration100ns > 0xFFFFFFFFLL) {
    *numerator = 25;
    *denominator = 1;
    return;
  }
  const long long divisor = std::gcd(10'000'000LL, duration100ns);
  *numerator = static_cast<std::uint32_t>(10'000'000LL / divisor);
  *denominator = static_cast<std::uint32_t>(duration100ns / divisor);
}

std::vector<std::uint8_t> CY4mWriter::Planes(const CRgbPicture& picture) {
  const std::size_t count = static_cast<std::size_t>(picture.Width()) * picture.Height();
  std::vector<std::uint8_t> planes(count * 3);
  std::uint8_t* y = planes.data();
  std::uint8_t* cb = y + count;
  std::uint8_t* cr = cb + count;
  const std::uint8_t* p = picture.Data();
  for (std::size_t i = 0; i < count; ++i, p += 3) {
    const int r = p[0], g = p[1], b = p[2];
    // Arithmetic shifts of negative sums round towards minus infinity, as the formula means.
    y[i] = static_cast<std::uint8_t>(16 + ((66 * r + 129 * g + 25 * b + 128) >> 8));
    cb[i] = static_cast<std::uint8_t>(128 + ((-38 * r - 74 * g + 112 * b + 128) >> 8));
    cr[i] = static_cast<std::uint8_t>(128 + ((112 * r - 94 * g - 18 * b + 128) >> 8));
  }
  return planes;
}

bool CY4mWriter::Open(const std::string& path, int width, int height, std::uint32_t rateNumerator,
                      std::uint32_t rateDenominator) {
  Close();
  m_ended = platform::COutputFile::Result::kWritten;
  if (width <= 0 || height <= 0) return false;
  if (!m_file.Create(path)) return false;
  m_width = width;
  m_height = height;
  m_frames = 0;
  const std::string header = Header(width, height, rateNumerator, rateDenominator);
  return Put(header.data(), header.size());
}

bool CY4mWriter::Put(const void* data, std::size_t size) {
  const platform::COutputFile::Result result = m_file.Write(data, size);
  if (result == platform::COutputFile::Result::kWritten) return true;
  m_ended = result;
  return false;
}

bool CY4mWriter::WriteFrame(const CRgbPicture& picture) {
  if (!m_file.IsOpen() || picture.Width() != m_width || picture.Height() != m_height) return false;
  const std::vector<std::uint8_t> planes = Planes(picture);
  if (!Put("FRAME\n", 6) || !Put(planes.data(), planes.size())) return false;
  ++m_frames;
  return true;
}

bool CY4mWriter::Close() { return m_file.Close(); }
