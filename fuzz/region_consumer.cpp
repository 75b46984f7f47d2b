// The shared region as a consumer sees it: a header written by an untrusted producer
// (client table, announced size, logo flag, frame descriptors), then the consumer's
// channel operations and the camera's own FillBuffer over it.
//
// Checked besides the sanitizers: consumers change nothing of the header but the hold
// counts and the client table (the reserved bytes, announced size, logo flag and every
// other descriptor field stay as the producer wrote them), and no copy leaves the
// destination the caller gave.
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "channel/file_mapping.h"
#include "composer/image.h"
#include "filter/video_src_filter.h"
#include "filter/video_src_stream.h"
#include "framework/media_type.h"
#include "framework/mem_allocator.h"
#include "media_type_input.h"
#include "region_header.h"

namespace {

using fuzz_support::Check;

struct CStreamAccess : CVideoSrcStream {
  using CVideoSrcStream::FillBuffer;
};

// One process-wide set-up: a writer that plays the producer's part in the region, the
// consumer channel under test, and a camera filter whose stream reads the same region.
struct CConsumerWorld {
  CFileMapping writer;
  CFileMapping consumer;
  CVideoSrcFilter* filter = nullptr;
  CMemAllocator* allocator = nullptr;

  CConsumerWorld() {
    fuzz_support::UsePrivateChannelNames("region_consumer");
    fuzz_support::LogEverything(3);
    Check(writer.Init(false, nullptr) == 0, "writer channel opens");
    Check(consumer.Init(false, nullptr) == 0, "consumer channel opens");
    writer.SetServerEvent(true);
    HRESULT hr = E_FAIL;
    filter = static_cast<CVideoSrcFilter*>(CVideoSrcFilter::CreateInstance(nullptr, &hr));
    Check(filter != nullptr && hr == S_OK, "camera filter created");
    filter->AddRef();
    filter->Stream()->SkipPacing(true);
    // A placeholder and a logo of their own (the module's pictures are not installed
    // here), so that frames without a producer and the logo blend take their real paths.
    auto placeholder = CImage::Create(64, 48, 3, CImage::kBottomLeft);
    auto logo = CImage::Create(64, 32, 4, CImage::kTopLeft);
    Check(placeholder != nullptr && logo != nullptr, "pictures made");
    placeholder->Mat().setTo(cv::Scalar(10, 20, 30));
    logo->Mat().setTo(cv::Scalar(200, 100, 50, 128));
    filter->Stream()->Images().SetPlaceholder(std::move(placeholder));
    filter->Stream()->Images().SetLogo(std::move(logo));
    const CMediaType type = fuzz_support::VideoType(320, 240);
    Check(filter->Stream()->SetMediaType(&type) == S_OK, "camera takes 320x240");
    hr = S_OK;
    allocator = new CMemAllocator(L"fuzz allocator", nullptr, &hr);
    allocator->AddRef();
    ALLOCATOR_PROPERTIES request{1, 320 * 240 * 3, 1, 0}, actual{};
    Check(allocator->SetProperties(&request, &actual) == S_OK && allocator->Commit() == S_OK, "allocator ready");
  }
  ~CConsumerWorld() {
    allocator->Decommit();
    allocator->Release();
    filter->Release();
  }
};

CConsumerWorld& World() { return fuzz_support::ProcessWorld<CConsumerWorld>(); }

void CheckOnlyConsumerFieldsChanged(const channel::RegionHeader& before, const channel::RegionHeader& after) {
  Check(std::memcmp(before.Reserved, after.Reserved, sizeof before.Reserved) == 0, "reserved bytes untouched");
  Check(before.ServerWidth == after.ServerWidth && before.ServerHeight == after.ServerHeight,
        "announced size untouched");
  Check(before.ShowLogo == after.ShowLogo, "logo flag untouched");
  for (int i = 0; i < channel::kFrameDescriptorCount; ++i) {
    channel::FrameDescriptor a = before.Frames[i];
    channel::FrameDescriptor b = after.Frames[i];
    a.LockCount = b.LockCount = 0;
    Check(std::memcmp(&a, &b, sizeof a) == 0, "a consumer changes only the hold count of a descriptor");
  }
}

// A destination with guard bytes on both sides: a copy must stay inside [0, length).
struct CGuardedBuffer {
  static constexpr std::size_t kGuard = 64;
  std::vector<std::uint8_t> bytes;
  explicit CGuardedBuffer(std::size_t length) : bytes(length + 2 * kGuard, 0xA5) {}
  std::uint8_t* Data() { return bytes.data() + kGuard; }
  void CheckGuards() const {
    for (std::size_t i = 0; i < kGuard; ++i) {
      Check(bytes[i] == 0xA5 && bytes[bytes.size() - 1 - i] == 0xA5, "copy stayed inside its destination");
    }
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  CConsumerWorld& world = World();
  std::size_t used = 0;
  const channel::RegionHeader written = fuzz_support::WriteHeader(world.writer, data, size, &used);
  FuzzedDataProvider input(data + used, size - used);

  int operations = 0;
  while (input.remaining_bytes() > 0 && ++operations <= 16) {
    switch (input.ConsumeIntegralInRange<int>(0, 7)) {
      case 0: {
        world.consumer.GetClientCount();
        world.consumer.GetServerResolution();
        world.consumer.GetShowLogo();
        break;
      }
      case 1: {
        channel::FrameDescriptor d;
        std::memset(&d, 0x5A, sizeof d);
        const channel::FrameDescriptor untouched = d;
        if (world.consumer.LockMediaSample(fuzz_support::ConsumeIndex(input), &d) != 0)
          Check(std::memcmp(&d, &untouched, sizeof d) == 0, "a failed lock leaves the record alone");
        break;
      }
      case 2: {
        // A copy of a length the caller chose; the destination holds exactly that many
        // bytes when the length is one a frame can have.
        const int index = fuzz_support::ConsumeIndex(input);
        const std::int32_t length = input.ConsumeBool() ? input.ConsumeIntegralInRange<std::int32_t>(-1, 4096)
                                                        : input.ConsumeIntegral<std::int32_t>();
        const std::size_t room = length < 0 || length > static_cast<std::int32_t>(channel::kFrameAreaSize)
                                     ? 0
                                     : static_cast<std::size_t>(length);
        CGuardedBuffer destination(room);
        const std::wstring name = fuzz_support::ConsumeName(input);
        const int result = world.consumer.GetMediaSampleData(index, destination.Data(), length, name,
                                                             input.ConsumeIntegral<std::int32_t>(),
                                                             input.ConsumeIntegral<std::int32_t>());
        Check(result == 0 || result == -1, "copy result is 0 or -1");
        if (result == 0) Check(static_cast<std::size_t>(length) == room, "a copy only of a length a frame can have");
        destination.CheckGuards();
        break;
      }
      case 3:
        Check(world.consumer.UnlockMediaSample(fuzz_support::ConsumeIndex(input)) == 0, "unlock returns 0");
        break;
      case 4: {
        const bool connect = input.ConsumeBool();
        const std::wstring name = fuzz_support::ConsumeName(input);
        world.consumer.NotifyServerAboutClientConnection(connect, name, input.ConsumeIntegral<std::int32_t>(),
                                                         input.ConsumeIntegral<std::int32_t>());
        break;
      }
      case 5: {
        // The stream's own read: lock, copy the size the descriptor announces, unlock.
        channel::FrameDescriptor d{};
        if (world.consumer.LockMediaSample(0, &d) != 0) break;
        const std::int64_t bytes = channel::FrameBytes(d.Width, d.Height);
        if (bytes > 0 && bytes <= channel::kFrameAreaSize) {
          CGuardedBuffer destination(static_cast<std::size_t>(bytes));
          world.consumer.GetMediaSampleData(0, destination.Data(), static_cast<std::int32_t>(bytes), L"fuzz-client",
                                            d.Width, d.Height);
          destination.CheckGuards();
        }
        world.consumer.UnlockMediaSample(0);
        break;
      }
      case 6: {
        // The camera: FillBuffer reads descriptor 0, the logo flag and the client table.
        IMediaSample* sample = nullptr;
        Check(world.allocator->GetBuffer(&sample, nullptr, nullptr, 0) == S_OK, "a free sample");
        (world.filter->Stream()->*&CStreamAccess::FillBuffer)(sample);
        sample->Release();
        break;
      }
      case 7: {
        // A lease: only a frame whose bytes are exactly its picture, inside its area, is
        // held, and every one of those bytes is readable in place.
        const int index = fuzz_support::ConsumeIndex(input);
        const channel::RegionHeader before = fuzz_support::ReadHeader(world.writer);
        CFrameLease lease = world.consumer.LeaseFrame(index, fuzz_support::ConsumeName(input), nullptr);
        const channel::RegionHeader during = fuzz_support::ReadHeader(world.writer);
        const bool indexed = index >= 0 && index < channel::kFrameDescriptorCount;
        if (!lease.Held()) {
          Check(!indexed || before.Frames[index].LockCount == during.Frames[index].LockCount, "no lease, no hold");
          break;
        }
        const std::int64_t bytes = channel::FrameBytes(lease.Width(), lease.Height());
        Check(bytes > 0 && channel::FrameFits(index, bytes), "a leased frame fits its area");
        Check(during.Frames[index].LockCount == before.Frames[index].LockCount + 1, "a lease holds once");
        std::uint8_t fold = 0;
        for (std::int64_t i = 0; i < bytes; ++i) fold ^= lease.Pixels()[i];
        [[maybe_unused]] static volatile std::uint8_t sink;
        sink = fold;
        Check(lease.Release() == 0, "a lease's hold is dropped");
        Check(fuzz_support::ReadHeader(world.writer).Frames[index].LockCount == before.Frames[index].LockCount,
              "the hold count is back");
        break;
      }
    }
  }
  CheckOnlyConsumerFieldsChanged(written, fuzz_support::ReadHeader(world.writer));
  return 0;
}
