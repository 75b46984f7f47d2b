// The region's header as the fuzz input gives it: the header is zeroed, then the input's
// patches are written into it through the real channel code, exactly where another
// process would have written them.
//
// Input: a patch count byte, then per patch a 16-bit little-endian offset (taken modulo
// the header size), a length byte and that many bytes (cut at the header's end). The
// rest of the input drives the operations of each target (through FuzzedDataProvider,
// which takes integers from the end).
#pragma once

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "channel/file_mapping.h"
#include "fuzz_support.h"

namespace fuzz_support {

// Writes the header patches at the start of the input into the region through writer
// (an open channel object) and returns a copy of the header as written; *used receives
// the number of input bytes the patches took.
inline channel::RegionHeader WriteHeader(CFileMapping& writer, const std::uint8_t* data, std::size_t size,
                                         std::size_t* used) {
  Check(writer.WaitAccessMutex(1000), "the access mutex is free between operations");
  Check(writer.MapView(0, channel::kHeaderSize) == 0, "the header maps");
  std::uint8_t* header = writer.View();
  std::memset(header, 0, channel::kHeaderSize);
  std::size_t at = 0;
  const std::size_t patches = size > 0 ? data[at++] : 0;
  for (std::size_t i = 0; i < patches && size - at >= 3; ++i) {
    const std::uint32_t offset = (data[at] | (data[at + 1] << 8)) % channel::kHeaderSize;
    std::size_t length = data[at + 2];
    at += 3;
    length = std::min({length, size - at, static_cast<std::size_t>(channel::kHeaderSize - offset)});
    std::memcpy(header + offset, data + at, length);
    at += length;
  }
  channel::RegionHeader copy;
  std::memcpy(&copy, header, sizeof copy);
  writer.UnmapView();
  writer.ReleaseAccessMutex();
  *used = at;
  return copy;
}

// The header as it is now.
inline channel::RegionHeader ReadHeader(CFileMapping& reader) {
  Check(reader.WaitAccessMutex(1000), "the access mutex is free between operations");
  Check(reader.MapView(0, channel::kHeaderSize) == 0, "the header maps");
  channel::RegionHeader copy;
  std::memcpy(&copy, reader.View(), sizeof copy);
  reader.UnmapView();
  reader.ReleaseAccessMutex();
  return copy;
}

// A frame index: mostly one that can hold a frame or lies just past them, sometimes any.
inline int ConsumeIndex(FuzzedDataProvider& input) {
  if (input.ConsumeBool()) return input.ConsumeIntegralInRange<int>(-1, channel::kUsableFrameIndices + 1);
  return input.ConsumeIntegral<int>();
}

// A client name of up to 80 units (longer than the 63 units a table entry keeps).
inline std::wstring ConsumeName(FuzzedDataProvider& input) {
  const std::size_t length = input.ConsumeIntegralInRange<std::size_t>(0, 80);
  std::wstring name;
  for (std::size_t i = 0; i < length && input.remaining_bytes() > 0; ++i) {
    // Names come from the host's file name: any code unit may appear, lone surrogates
    // and values past Unicode included (0xFFFF escapes to a 32-bit value).
    std::uint32_t unit = input.ConsumeIntegral<std::uint16_t>();
    if (unit == 0xFFFF) unit = input.ConsumeIntegral<std::uint32_t>();
    name.push_back(static_cast<wchar_t>(unit));
  }
  return name;
}

}  // namespace fuzz_support
