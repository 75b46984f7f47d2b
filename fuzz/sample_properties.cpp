// AM_SAMPLE2_PROPERTIES records given to a sample's SetProperties by a peer: any byte
// count and cbData, any flags, lengths, times and stream id, a buffer pointer that may
// point anywhere (it is compared, never followed) and, when the record says the type
// changed, a media type from the input or none.
//
// What the caller vouches for, and so what the target gives: cbProperties bytes at the
// record's address (never more than a whole record is handed over; a larger count may
// only be followed as far as the record's own cbData allows), and a pMediaType that is
// null or a whole media type.
//
// Checked besides the sanitizers: a refused record changes nothing; the actual length
// always lies inside the buffer; GetProperties reports what was accepted.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>

#include "framework/dumps.h"
#include "framework/mem_allocator.h"
#include "fuzz_support.h"
#include "media_type_input.h"

namespace {

using fuzz_support::Check;

constexpr LONG kBufferBytes = 4096;

struct CSampleWorld {
  CMemAllocator* allocator = nullptr;
  CSampleWorld() {
    fuzz_support::LogEverything(3);
    HRESULT hr = S_OK;
    allocator = new CMemAllocator(L"fuzz allocator", nullptr, &hr);
    allocator->AddRef();
    ALLOCATOR_PROPERTIES request{1, kBufferBytes, 1, 0}, actual{};
    Check(allocator->SetProperties(&request, &actual) == S_OK && allocator->Commit() == S_OK, "allocator ready");
  }
};

CSampleWorld& World() {
  static CSampleWorld* world = new CSampleWorld;  // lives until the process ends
  return *world;
}

AM_SAMPLE2_PROPERTIES Properties(IMediaSample2* sample) {
  AM_SAMPLE2_PROPERTIES properties;
  std::memset(&properties, 0, sizeof properties);
  Check(sample->GetProperties(sizeof properties, reinterpret_cast<BYTE*>(&properties)) == S_OK,
        "the whole record can be read");
  return properties;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  CSampleWorld& world = World();
  FuzzedDataProvider input(data, size);
  IMediaSample* sample = nullptr;
  Check(world.allocator->GetBuffer(&sample, nullptr, nullptr, 0) == S_OK, "a free sample");
  IMediaSample2* sample2 = nullptr;
  Check(sample->QueryInterface(IID_IMediaSample2, reinterpret_cast<void**>(&sample2)) == S_OK, "IMediaSample2");
  BYTE* buffer = nullptr;
  sample->GetPointer(&buffer);

  int records = 0;
  while (input.remaining_bytes() > 0 && ++records <= 4) {
    AM_SAMPLE2_PROPERTIES record;
    std::memset(&record, 0, sizeof record);
    const std::vector<std::uint8_t> raw = input.ConsumeBytes<std::uint8_t>(sizeof record);
    if (!raw.empty()) std::memcpy(&record, raw.data(), raw.size());
    // The pointers: the buffer pointer may be anything; the media type is a real one or
    // none, since SetProperties copies it.
    switch (input.ConsumeIntegralInRange<int>(0, 2)) {
      case 0: record.pbBuffer = nullptr; break;
      case 1: record.pbBuffer = buffer; break;
      case 2: break;
    }
    std::unique_ptr<fuzz_support::CFuzzMediaType> type;
    if (input.ConsumeBool()) {
      type = std::make_unique<fuzz_support::CFuzzMediaType>(input);
      record.pMediaType = type->Get();
    } else {
      record.pMediaType = nullptr;
    }
    if (input.ConsumeBool()) record.cbData = input.ConsumeIntegralInRange<DWORD>(0, sizeof record + 4);
    const DWORD count = input.ConsumeBool() ? input.ConsumeIntegralInRange<DWORD>(0, sizeof record)
                                            : input.ConsumeIntegral<DWORD>();
    // Exactly the bytes the count covers, at most one record.
    const std::size_t given = std::min<std::size_t>(count, sizeof record);
    auto bytes = std::make_unique<BYTE[]>(given == 0 ? 1 : given);
    std::memcpy(bytes.get(), &record, given);

    const AM_SAMPLE2_PROPERTIES before = Properties(sample2);
    const HRESULT hr = sample2->SetProperties(count, given == 0 ? nullptr : bytes.get());
    const AM_SAMPLE2_PROPERTIES after = Properties(sample2);
    if (FAILED(hr)) {
      // The record's own pMediaType is a fresh pointer only when a copy was attached.
      Check(std::memcmp(&before, &after, sizeof before) == 0, "a refused record changes nothing");
    }
    Check(after.lActual >= 0 && after.lActual <= sample->GetSize(), "the actual length lies inside the buffer");
    Check(after.pbBuffer == buffer && after.cbBuffer == sample->GetSize(), "buffer and size are the sample's own");
    Check(((after.dwSampleFlags & 0x08) != 0) == (after.pMediaType != nullptr), "type changed exactly with a type");

    AM_MEDIA_TYPE* attached = nullptr;
    if (sample->GetMediaType(&attached) == S_OK) DeleteMediaType(attached);
    LogMediaSample(3, sample);

    const DWORD readCount = input.ConsumeIntegralInRange<DWORD>(0, sizeof record + 8);
    auto readBack = std::make_unique<BYTE[]>(readCount == 0 ? 1 : readCount);
    sample2->GetProperties(readCount, readBack.get());
  }
  sample2->Release();
  sample->Release();
  return 0;
}
