// Media types offered to the camera's pin by a peer or an application: CheckMediaType,
// SetMediaType, QueryAccept, IAMStreamConfig::SetFormat, DecideBufferSize, and types
// attached to the samples FillBuffer fills, with the producer's announced size and
// frames also from the input.
//
// Checked besides the sanitizers: whatever was proposed, the stream's size stays
// positive, and a sample filled with S_OK reports a length inside its buffer.
#include <cstdint>
#include <cstring>
#include <vector>

#include "channel/file_mapping.h"
#include "composer/image.h"
#include "filter/video_src_filter.h"
#include "filter/video_src_stream.h"
#include "framework/mem_allocator.h"
#include "fuzz_support.h"
#include "media_type_input.h"

namespace {

using fuzz_support::Check;
using fuzz_support::CFuzzMediaType;

struct CStreamAccess : CVideoSrcStream {
  using CVideoSrcStream::FillBuffer;
};

constexpr LONG kSampleBytes = 640 * 480 * 3;

struct CCameraWorld {
  CFileMapping producer;
  CVideoSrcFilter* filter = nullptr;
  CMemAllocator* allocator = nullptr;

  CCameraWorld() {
    fuzz_support::UsePrivateChannelNames("media_type");
    fuzz_support::LogEverything(3);
    Check(producer.Init(false, nullptr) == 0, "producer channel opens");
    HRESULT hr = E_FAIL;
    filter = static_cast<CVideoSrcFilter*>(CVideoSrcFilter::CreateInstance(nullptr, &hr));
    Check(filter != nullptr && hr == S_OK, "camera filter created");
    filter->AddRef();
    Stream()->SkipPacing(true);
    auto placeholder = CImage::Create(64, 48, 3, CImage::kBottomLeft);
    auto logo = CImage::Create(64, 32, 4, CImage::kTopLeft);
    Check(placeholder != nullptr && logo != nullptr, "pictures made");
    placeholder->Mat().setTo(cv::Scalar(10, 20, 30));
    logo->Mat().setTo(cv::Scalar(200, 100, 50, 128));
    Stream()->Images().SetPlaceholder(std::move(placeholder));
    Stream()->Images().SetLogo(std::move(logo));
    hr = S_OK;
    allocator = new CMemAllocator(L"fuzz allocator", nullptr, &hr);
    allocator->AddRef();
    ALLOCATOR_PROPERTIES request{1, kSampleBytes, 1, 0}, actual{};
    Check(allocator->SetProperties(&request, &actual) == S_OK && allocator->Commit() == S_OK, "allocator ready");
  }
  ~CCameraWorld() {
    allocator->Decommit();
    allocator->Release();
    filter->Release();
  }
  CVideoSrcStream* Stream() { return filter->Stream(); }
  IPin* Pin() { return static_cast<IPin*>(static_cast<CBasePin*>(Stream())); }
};

CCameraWorld& World() { return fuzz_support::ProcessWorld<CCameraWorld>(); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  CCameraWorld& world = World();
  CVideoSrcStream* stream = world.Stream();
  FuzzedDataProvider input(data, size);

  // Every input starts from the default format, no announcement and no frame.
  world.producer.SetServerResolution(0, 0);
  world.producer.SetServerEvent(false);
  Check(stream->SetFormat(nullptr) == S_OK, "back to the default format");

  int operations = 0;
  while (input.remaining_bytes() > 0 && ++operations <= 8) {
    const int operation = input.ConsumeIntegralInRange<int>(0, 7);
    if (operation == 6) {
      world.producer.SetServerResolution(CFuzzMediaType::ConsumeSize(input), CFuzzMediaType::ConsumeSize(input));
      continue;
    }
    if (operation == 7) {
      // A frame of a small size (the letterbox path when it differs from the stream's).
      const int width = input.ConsumeIntegralInRange<int>(1, 64);
      const int height = input.ConsumeIntegralInRange<int>(1, 64);
      std::vector<std::uint8_t> frame(static_cast<std::size_t>(channel::FrameBytes(width, height)), 0x3C);
      world.producer.SetMediaSample(0, width, height, frame.data(), static_cast<std::int32_t>(frame.size()), 0,
                                    nullptr, nullptr);
      continue;
    }
    CFuzzMediaType type(input);
    const auto* proposed = static_cast<const CMediaType*>(type.Get());
    switch (operation) {
      case 0:
        stream->CheckMediaType(proposed);
        break;
      case 1:
        stream->SetMediaType(proposed);
        break;
      case 2:
        world.Pin()->QueryAccept(type.Get());
        break;
      case 3: {
        IAMStreamConfig* config = stream;
        config->SetFormat(type.Get());
        AM_MEDIA_TYPE* format = nullptr;
        if (config->GetFormat(&format) == S_OK) DeleteMediaType(format);
        BYTE caps[128];
        if (config->GetStreamCaps(0, &format, caps) == S_OK) DeleteMediaType(format);
        break;
      }
      case 4: {
        HRESULT hr = S_OK;
        auto* allocator = new CMemAllocator(L"fuzz decide", nullptr, &hr);
        allocator->AddRef();
        stream->SetMediaType(proposed);
        ALLOCATOR_PROPERTIES request{1, 0, 1, 0};
        stream->DecideBufferSize(allocator, &request);
        allocator->Release();
        break;
      }
      case 5: {
        IMediaSample* sample = nullptr;
        Check(world.allocator->GetBuffer(&sample, nullptr, nullptr, 0) == S_OK, "a free sample");
        sample->SetMediaType(type.Get());
        const HRESULT hr = (stream->*&CStreamAccess::FillBuffer)(sample);
        if (hr == S_OK) {
          Check(sample->GetActualDataLength() > 0 && sample->GetActualDataLength() <= sample->GetSize(),
                "a filled sample's length lies inside its buffer");
        }
        sample->Release();
        break;
      }
    }
    Check(stream->Width() > 0 && stream->Height() > 0, "the stream's size stays positive");
  }
  return 0;
}
