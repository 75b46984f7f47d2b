// A frame's time stamp, carried in the frame's own pixels: the producer writes it into the
// first kFrameStampBytes bytes of the frame (the first pixels of its bottom line, which a
// same-size copy delivers unchanged to the sample's first bytes), the consumer reads it at
// delivery and subtracts it from its own reading of the same clock. The region's layout
// is untouched: to every other reader the stamp is a few dark-ish pixels.
//
//   WriteFrameStamp(frame.data(), platform::MonotonicNanoseconds());   // producer
//   std::int64_t stamped = 0;                                            // consumer
//   if (ReadFrameStamp(sampleBytes, sampleLength, &stamped))
//     age = platform::MonotonicNanoseconds() - stamped;
//
// Layout: the time (nanoseconds of platform::MonotonicNanoseconds, shared by every process
// of the machine) little-endian in bytes 0..7, then a check value derived from it in bytes
// 8..15, so that a picture that carries no stamp is recognised as such (a chance of 2^-64).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

inline constexpr std::size_t kFrameStampBytes = 16;

namespace frame_stamp_detail {

inline constexpr std::uint64_t kCheckKey = 0x416D6265724C696EULL;  // "AmberLin"

inline std::uint64_t CheckOf(std::uint64_t time) { return ~(time ^ kCheckKey) * 0x9E3779B97F4A7C15ULL; }

inline void PutLittleEndian(std::uint8_t* out, std::uint64_t value) {
  for (int i = 0; i < 8; ++i) out[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

inline std::uint64_t GetLittleEndian(const std::uint8_t* in) {
  std::uint64_t value = 0;
  for (int i = 0; i < 8; ++i) value |= static_cast<std::uint64_t>(in[i]) << (8 * i);
  return value;
}

}  // namespace frame_stamp_detail

// Writes the stamp over the first kFrameStampBytes bytes of `frame`.
inline void WriteFrameStamp(std::uint8_t* frame, std::int64_t nanoseconds) {
  const auto time = static_cast<std::uint64_t>(nanoseconds);
  frame_stamp_detail::PutLittleEndian(frame, time);
  frame_stamp_detail::PutLittleEndian(frame + 8, frame_stamp_detail::CheckOf(time));
}

// The stamp at the start of `bytes` (`length` of them readable); false when they are too
// few or do not hold a stamp.
inline bool ReadFrameStamp(const std::uint8_t* bytes, std::size_t length, std::int64_t* nanoseconds) {
  if (bytes == nullptr || length < kFrameStampBytes) return false;
  const std::uint64_t time = frame_stamp_detail::GetLittleEndian(bytes);
  if (frame_stamp_detail::GetLittleEndian(bytes + 8) != frame_stamp_detail::CheckOf(time)) return false;
  *nanoseconds = static_cast<std::int64_t>(time);
  return true;
}
