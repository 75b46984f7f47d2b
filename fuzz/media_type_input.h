// A media type as a peer filter hands it over, built from fuzz input: known and unknown
// GUIDs, any flags and sample size, and a format block of any length (including none, or
// a length without a block) whose video-info fields (biSize, biWidth, biHeight,
// biBitCount, biSizeImage, ...) take hostile values. The block lies at any byte offset of
// its allocation and ends exactly where the allocation ends, so any read past cbFormat
// is caught.
#pragma once

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "framework/media_type.h"
#include "platform/dshow_types.h"

namespace fuzz_support {

// A well-formed RGB24 video-info type of the given size, as an application proposes it.
inline CMediaType VideoType(LONG width, LONG height) {
  CMediaType type;
  type.SetType(&MEDIATYPE_Video);
  type.SetSubtype(&MEDIASUBTYPE_RGB24);
  type.SetFormatType(&FORMAT_VideoInfo);
  auto* format = reinterpret_cast<VIDEOINFOHEADER*>(type.AllocFormatBuffer(sizeof(VIDEOINFOHEADER)));
  std::memset(format, 0, sizeof(VIDEOINFOHEADER));
  format->AvgTimePerFrame = 400000;
  format->bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
  format->bmiHeader.biWidth = width;
  format->bmiHeader.biHeight = height;
  format->bmiHeader.biPlanes = 1;
  format->bmiHeader.biBitCount = 24;
  format->bmiHeader.biSizeImage = GetBitmapSize(&format->bmiHeader);
  type.SetSampleSize(format->bmiHeader.biSizeImage);
  return type;
}

class CFuzzMediaType {
 public:
  explicit CFuzzMediaType(FuzzedDataProvider& input) {
    std::memset(&m_type, 0, sizeof m_type);
    m_type.majortype = ConsumeGuid(input, {GUID_NULL, MEDIATYPE_Video, MEDIATYPE_Audio});
    m_type.subtype = ConsumeGuid(input, {GUID_NULL, MEDIASUBTYPE_RGB24, MEDIASUBTYPE_RGB32});
    m_type.formattype = ConsumeGuid(input, {GUID_NULL, FORMAT_VideoInfo, FORMAT_WaveFormatEx});
    m_type.bFixedSizeSamples = input.ConsumeBool() ? TRUE : input.ConsumeIntegral<BOOL>();
    m_type.bTemporalCompression = input.ConsumeIntegral<BOOL>();
    m_type.lSampleSize = input.ConsumeIntegral<ULONG>();

    // A well-formed 320 x 240 block that the input then changes field by field.
    VIDEOINFOHEADER vih;
    std::memset(&vih, 0, sizeof vih);
    vih.AvgTimePerFrame = 400000;
    vih.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    vih.bmiHeader.biWidth = 320;
    vih.bmiHeader.biHeight = 240;
    vih.bmiHeader.biPlanes = 1;
    vih.bmiHeader.biBitCount = 24;
    vih.bmiHeader.biSizeImage = 230400;
    const int changes = input.ConsumeIntegralInRange<int>(0, 8);
    for (int i = 0; i < changes; ++i) {
      switch (input.ConsumeIntegralInRange<int>(0, 7)) {
        case 0: vih.bmiHeader.biWidth = ConsumeSize(input); break;
        case 1: vih.bmiHeader.biHeight = ConsumeSize(input); break;
        case 2: vih.bmiHeader.biBitCount = input.ConsumeIntegral<WORD>(); break;
        case 3: vih.bmiHeader.biSizeImage = input.ConsumeIntegral<DWORD>(); break;
        case 4: vih.bmiHeader.biSize = input.ConsumeIntegral<DWORD>(); break;
        case 5: vih.bmiHeader.biCompression = input.ConsumeIntegral<DWORD>(); break;
        case 6: vih.AvgTimePerFrame = input.ConsumeIntegral<REFERENCE_TIME>(); break;
        case 7: {
          const std::size_t at = input.ConsumeIntegralInRange<std::size_t>(0, sizeof vih - 1);
          reinterpret_cast<std::uint8_t*>(&vih)[at] = input.ConsumeIntegral<std::uint8_t>();
          break;
        }
      }
    }
    // Mostly the full block, sometimes shorter or longer (masks or garbage after it).
    std::size_t length = sizeof vih;
    switch (input.ConsumeIntegralInRange<int>(0, 3)) {
      case 0: break;
      case 1: length = input.ConsumeIntegralInRange<std::size_t>(0, sizeof vih); break;
      case 2: length = input.ConsumeIntegralInRange<std::size_t>(sizeof vih, 2 * sizeof vih); break;
      case 3: length = 0; break;
    }
    const std::size_t misalignment = input.ConsumeIntegralInRange<std::size_t>(0, 7);
    const bool lengthWithoutBlock = length != 0 && input.ConsumeProbability<float>() < 0.05f;
    if (lengthWithoutBlock) {
      m_type.cbFormat = static_cast<ULONG>(length);
      m_type.pbFormat = nullptr;
      return;
    }
    m_storage = std::make_unique<std::uint8_t[]>(misalignment + length);
    std::uint8_t* block = m_storage.get() + misalignment;
    const std::size_t copied = std::min(length, sizeof vih);
    std::memcpy(block, &vih, copied);
    for (std::size_t i = copied; i < length; ++i) block[i] = input.ConsumeIntegral<std::uint8_t>();
    m_type.cbFormat = static_cast<ULONG>(length);
    m_type.pbFormat = length != 0 ? block : nullptr;
  }
  CFuzzMediaType(const CFuzzMediaType&) = delete;
  CFuzzMediaType& operator=(const CFuzzMediaType&) = delete;

  AM_MEDIA_TYPE* Get() { return &m_type; }

  // A size: mostly near the accepted range, sometimes any value at all.
  static LONG ConsumeSize(FuzzedDataProvider& input) {
    if (input.ConsumeBool()) return input.ConsumeIntegralInRange<LONG>(-2, 2000);
    return input.ConsumeIntegral<LONG>();
  }

 private:
  static GUID ConsumeGuid(FuzzedDataProvider& input, std::initializer_list<GUID> known) {
    const std::size_t choice = input.ConsumeIntegralInRange<std::size_t>(0, known.size());
    if (choice < known.size()) return *(known.begin() + choice);
    GUID guid;
    const std::vector<std::uint8_t> bytes = input.ConsumeBytes<std::uint8_t>(sizeof guid);
    std::memset(&guid, 0, sizeof guid);
    if (!bytes.empty()) std::memcpy(&guid, bytes.data(), bytes.size());
    return guid;
  }

  AM_MEDIA_TYPE m_type;
  std::unique_ptr<std::uint8_t[]> m_storage;
};

}  // namespace fuzz_support
