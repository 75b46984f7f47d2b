#include "y4m_reader.h"

#include <libyuv/convert_argb.h>

#include <cstring>
#include <limits>
#include <utility>

#include "channel/frame_region.h"
#include "sender/frame_limit.h"

namespace {

constexpr char kMagic[] = "YUV4MPEG2";
constexpr char kFrameMark[] = "FRAME";

// A decimal number of at most int's range, every character a digit.
bool ParseCount(const std::string& text, std::int64_t* value) {
  if (text.empty() || text.size() > 10) return false;
  std::int64_t result = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    result = result * 10 + (c - '0');
  }
  if (result > std::numeric_limits<int>::max()) return false;
  *value = result;
  return true;
}

// "<num>:<den>" with both parts decimal numbers.
bool ParseRatio(const std::string& text, std::int64_t* numerator, std::int64_t* denominator) {
  const std::size_t colon = text.find(':');
  return colon != std::string::npos && ParseCount(text.substr(0, colon), numerator) &&
         ParseCount(text.substr(colon + 1), denominator);
}

// The bit depth a colour-space value names after its sampling ("420p10" -> "10"), or
// empty when it names none.
std::string BitDepthOf(const std::string& value) {
  for (const char* sampling : {"420p", "422p", "444p", "mono"}) {
    const std::size_t length = std::strlen(sampling);
    if (value.size() > length && value.compare(0, length, sampling) == 0) {
      const std::string digits = value.substr(length);
      std::int64_t unused = 0;
      if (ParseCount(digits, &unused)) return digits;
    }
  }
  return {};
}

}  // namespace

CY4mReader::CY4mReader(ReadFunction read) : m_read(std::move(read)) {}

std::string CY4mReader::At(std::uint64_t offset) const { return " at byte offset " + std::to_string(offset); }

std::size_t CY4mReader::ReadExactly(std::uint8_t* buffer, std::size_t size) {
  std::size_t done = 0;
  while (done < size) {
    const std::size_t got = m_read(buffer + done, size - done);
    if (got == 0 || got > size - done) break;
    done += got;
  }
  m_offset += done;
  return done;
}

bool CY4mReader::ReadLine(std::string* line, std::string* error, const char* what) {
  line->clear();
  const std::uint64_t start = m_offset;
  std::uint8_t byte = 0;
  while (true) {
    if (ReadExactly(&byte, 1) != 1) {
      *error = std::string("the stream ends inside the ") + what + " that starts" + At(start) +
               " (truncated: the stream ends" + At(m_offset) + ")";
      return false;
    }
    if (byte == '\n') return true;
    if (line->size() + 1 >= kMaxHeaderBytes) {
      *error = std::string("the ") + what + " that starts" + At(start) + " is longer than " +
               std::to_string(kMaxHeaderBytes) + " bytes: not a YUV4MPEG2 stream, or a damaged one";
      return false;
    }
    line->push_back(static_cast<char>(byte));
  }
}

bool CY4mReader::ParseTag(const std::string& tag, std::uint64_t tagOffset, bool* sawWidth, bool* sawHeight,
                          std::string* error) {
  const std::string value = tag.substr(1);
  const auto bad = [&](const std::string& why) {
    *error = "header tag \"" + tag + "\"" + At(tagOffset) + ": " + why;
    return false;
  };
  switch (tag[0]) {
    case 'W':
    case 'H': {
      std::int64_t size = 0;
      if (!ParseCount(value, &size) || size == 0)
        return bad(std::string(tag[0] == 'W' ? "the width" : "the height") + " must be a whole number from 1 to " +
                   std::to_string(std::numeric_limits<int>::max()));
      (tag[0] == 'W' ? m_format.width : m_format.height) = static_cast<int>(size);
      *(tag[0] == 'W' ? sawWidth : sawHeight) = true;
      return true;
    }
    case 'F':
      if (!ParseRatio(value, &m_format.rateNumerator, &m_format.rateDenominator) || m_format.rateNumerator == 0 ||
          m_format.rateDenominator == 0)
        return bad("the frame rate must be two positive whole numbers, frames:seconds (30000:1001 is 29.97)");
      return true;
    case 'I':
      if (value.size() != 1 || std::strchr("ptbm?", value[0]) == nullptr)
        return bad("interlacing is one of p, t, b, m or ?");
      return true;
    case 'A': {
      std::int64_t n = 0, d = 0;
      if (!ParseRatio(value, &n, &d)) return bad("the pixel aspect must be two whole numbers, width:height");
      return true;
    }
    case 'C':
      if (value == "420" || value == "420jpeg" || value == "420paldv" || value == "420mpeg2") {
        m_format.chroma = Chroma::k420;
      } else if (value == "422") {
        m_format.chroma = Chroma::k422;
      } else if (value == "444") {
        m_format.chroma = Chroma::k444;
      } else if (value == "mono") {
        m_format.chroma = Chroma::kMono;
      } else if (const std::string depth = BitDepthOf(value); !depth.empty()) {
        return bad(depth + "-bit samples; only 8-bit streams are read (convert with ffmpeg's -pix_fmt yuv420p)");
      } else {
        return bad("colour space not supported; accepted are 420, 420jpeg, 420paldv, 420mpeg2, 422, 444 and mono "
                   "(convert with ffmpeg's -pix_fmt yuv420p)");
      }
      return true;
    case 'X':
      if (value == "COLORRANGE=FULL") m_format.fullRange = true;
      if (value == "COLORRANGE=LIMITED") m_format.fullRange = false;
      return true;
    default:
      return true;
  }
}

bool CY4mReader::ReadHeader(std::string* error) {
  std::string line;
  if (!ReadLine(&line, error, "stream header")) {
    if (m_offset == 0) *error = "the stream is empty (no YUV4MPEG2 header)";
    return false;
  }
  const std::size_t magicLength = sizeof kMagic - 1;
  if (line.compare(0, magicLength, kMagic) != 0 || (line.size() > magicLength && line[magicLength] != ' ')) {
    *error = "not a YUV4MPEG2 stream: it does not start with \"YUV4MPEG2 \"" + At(0);
    return false;
  }
  bool sawWidth = false, sawHeight = false;
  std::size_t position = magicLength;
  while (position < line.size()) {
    if (line[position] == ' ') {
      ++position;
      continue;
    }
    std::size_t end = line.find(' ', position);
    if (end == std::string::npos) end = line.size();
    if (!ParseTag(line.substr(position, end - position), position, &sawWidth, &sawHeight, error)) return false;
    position = end;
  }
  if (!sawWidth || !sawHeight) {
    *error = std::string("the stream header ending") + At(m_offset - 1) + " gives no " +
             (sawWidth ? "height (H)" : "width (W)");
    return false;
  }
  if (const std::string problem = FrameSizeProblem(m_format.width, m_format.height); !problem.empty()) {
    *error = "the stream's frames are " + problem;
    return false;
  }
  const std::size_t width = static_cast<std::size_t>(m_format.width);
  const std::size_t height = static_cast<std::size_t>(m_format.height);
  m_lumaBytes = width * height;
  switch (m_format.chroma) {
    case Chroma::k420:
      m_chromaWidth = (width + 1) / 2;
      m_chromaHeight = (height + 1) / 2;
      break;
    case Chroma::k422:
      m_chromaWidth = (width + 1) / 2;
      m_chromaHeight = height;
      break;
    case Chroma::k444:
      m_chromaWidth = width;
      m_chromaHeight = height;
      break;
    case Chroma::kMono:
      // Mono frames carry no chroma: they are converted as 4:2:0 with every chroma row
      // the same neutral row.
      m_chromaWidth = (width + 1) / 2;
      m_chromaHeight = 0;
      m_neutral.assign(m_chromaWidth, 128);
      break;
  }
  m_planes.assign(m_lumaBytes + 2 * m_chromaWidth * m_chromaHeight, 0);
  return true;
}

std::int64_t CY4mReader::OutputBytes() const { return channel::FrameBytes(m_format.width, m_format.height); }

CY4mReader::Result CY4mReader::ReadFrame(std::string* error) {
  const std::uint64_t start = m_offset;
  const std::string frameName = "frame " + std::to_string(m_framesRead + 1);
  std::uint8_t mark[sizeof kFrameMark - 1] = {};
  const std::size_t got = ReadExactly(mark, sizeof mark);
  if (got == 0) return Result::kEnd;
  if (got < sizeof mark || std::memcmp(mark, kFrameMark, sizeof mark) != 0) {
    *error = got < sizeof mark ? "truncated: the stream ends" + At(m_offset) + " inside the mark of " + frameName
                               : "no \"FRAME\" mark" + At(start) + " where " + frameName + " should start";
    return Result::kError;
  }
  std::string parameters;
  if (!ReadLine(&parameters, error, (frameName + " header").c_str())) return Result::kError;
  if (!parameters.empty() && parameters[0] != ' ') {
    *error = "no \"FRAME\" mark" + At(start) + " where " + frameName + " should start";
    return Result::kError;
  }
  const std::uint64_t planesStart = m_offset;
  const std::size_t read = ReadExactly(m_planes.data(), m_planes.size());
  if (read != m_planes.size()) {
    *error = "truncated: " + frameName + " needs " + std::to_string(m_planes.size()) +
             " bytes of samples starting" + At(planesStart) + "; the stream ends" + At(m_offset) + ", after " +
             std::to_string(read) + " of them";
    return Result::kError;
  }
  ++m_framesRead;
  return Result::kFrame;
}

void CY4mReader::ConvertFrame(std::uint8_t* destination, std::size_t stride) const {
  const int width = m_format.width;
  const int height = m_format.height;
  const std::uint8_t* y = m_planes.data();
  const std::uint8_t* u = y + m_lumaBytes;
  const std::uint8_t* v = u + m_chromaWidth * m_chromaHeight;
  int chromaStride = static_cast<int>(m_chromaWidth);
  if (m_format.chroma == Chroma::kMono) {
    u = v = m_neutral.data();
    chromaStride = 0;
  }
  const libyuv::YuvConstants* matrix = m_format.fullRange ? &libyuv::kYuvJPEGConstants : &libyuv::kYuvI601Constants;
  // libyuv's "RGB24" is B, G, R in memory, the channel's order; a negative height writes
  // the rows bottom line first.
  const int dstStride = static_cast<int>(stride);
  switch (m_format.chroma) {
    case Chroma::k420:
    case Chroma::kMono:
      libyuv::I420ToRGB24Matrix(y, width, u, chromaStride, v, chromaStride, destination, dstStride, matrix, width,
                                -height);
      break;
    case Chroma::k422:
      libyuv::I422ToRGB24Matrix(y, width, u, chromaStride, v, chromaStride, destination, dstStride, matrix, width,
                                -height);
      break;
    case Chroma::k444:
      libyuv::I444ToRGB24Matrix(y, width, u, chromaStride, v, chromaStride, destination, dstStride, matrix, width,
                                -height);
      break;
  }
}
