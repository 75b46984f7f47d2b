// The shared region as the producer sees it: a header whose client table and frame
// descriptors were written by untrusted consumers, then the producer's channel
// operations over it (frame writes, the client list, the announced size and logo flag,
// and the notification thread woken to read the client count).
//
// Checked besides the sanitizers: a frame write that succeeds leaves exactly the given
// descriptor and bytes behind; the client list holds the occupied entries of the table
// in table order; the reserved bytes are never touched.
#include <cstdint>
#include <cstring>
#include <vector>

#include "channel/file_mapping.h"
#include "region_header.h"

namespace {

using fuzz_support::Check;

struct CProducerWorld {
  CFileMapping writer;
  CFileMapping producer;
  CProducerWorld() {
    fuzz_support::UsePrivateChannelNames("region_producer");
    fuzz_support::LogEverything(3);
    Check(writer.Init(false, nullptr) == 0, "writer channel opens");
    Check(producer.Init(true, nullptr) == 0, "producer channel opens");
  }
};

CProducerWorld& World() { return fuzz_support::ProcessWorld<CProducerWorld>(); }

void CheckStoredFrame(CFileMapping& reader, int index, std::int32_t width, std::int32_t height, std::int32_t aux32,
                      std::int64_t aux64A, std::int64_t aux64B, const std::vector<std::uint8_t>& bytes) {
  const channel::RegionHeader header = fuzz_support::ReadHeader(reader);
  const channel::FrameDescriptor& d = header.Frames[index];
  Check(d.Valid == 1 && d.LockCount == 0 && d.Width == width && d.Height == height && d.Aux32 == aux32 &&
            d.Aux64A == aux64A && d.Aux64B == aux64B && d.Length == static_cast<std::int32_t>(bytes.size()),
        "a stored frame's descriptor is the one given");
  if (bytes.empty()) return;
  const auto [aligned, remainder] = reader.AlignOffset(static_cast<std::uint32_t>(channel::FrameOffset(index)));
  Check(reader.MapView(aligned, remainder + static_cast<std::uint32_t>(bytes.size())) == 0, "the frame maps");
  Check(std::memcmp(reader.View() + remainder, bytes.data(), bytes.size()) == 0, "a stored frame's bytes are the given ones");
  reader.UnmapView();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  CProducerWorld& world = World();
  std::size_t used = 0;
  const channel::RegionHeader written = fuzz_support::WriteHeader(world.writer, data, size, &used);
  FuzzedDataProvider input(data + used, size - used);

  int operations = 0;
  while (input.remaining_bytes() > 0 && ++operations <= 16) {
    switch (input.ConsumeIntegralInRange<int>(0, 3)) {
      case 0: {
        const int index = fuzz_support::ConsumeIndex(input);
        const std::int32_t width = input.ConsumeIntegral<std::int32_t>();
        const std::int32_t height = input.ConsumeIntegral<std::int32_t>();
        const std::int32_t length = input.ConsumeBool() ? input.ConsumeIntegralInRange<std::int32_t>(-1, 4096)
                                                        : input.ConsumeIntegral<std::int32_t>();
        const std::int32_t aux32 = input.ConsumeIntegral<std::int32_t>();
        const std::int64_t aux64A = input.ConsumeIntegral<std::int64_t>();
        const std::int64_t aux64B = input.ConsumeIntegral<std::int64_t>();
        // The frame holds exactly length bytes when that is a length a frame can have;
        // otherwise the write must be refused before a byte is read.
        const bool plausible = length >= 0 && length <= static_cast<std::int32_t>(channel::kFrameAreaSize);
        std::vector<std::uint8_t> frame(plausible ? static_cast<std::size_t>(length) : 0);
        for (std::size_t i = 0; i < frame.size(); ++i) frame[i] = static_cast<std::uint8_t>(i * 131 + length);
        const bool held = index >= 0 && index < channel::kFrameDescriptorCount &&
                          fuzz_support::ReadHeader(world.writer).Frames[index].LockCount > 0;
        const int result = world.producer.SetMediaSample(index, width, height, frame.data(), length, aux32,
                                                         &aux64A, &aux64B);
        Check(result == 0 || result == -1, "write result is 0 or -1");
        if (result == 0) {
          Check(plausible && channel::FrameFits(index, length), "only a frame that fits is stored");
          CheckStoredFrame(world.writer, index, width, height, aux32, aux64A, aux64B, frame);
        } else if (channel::FrameFits(index, length)) {
          Check(held, "a frame that fits its index is dropped only while it is held");
        }
        break;
      }
      case 1: {
        std::vector<channel::ClientEntry> clients;
        world.producer.GetClientInfo(&clients);
        const channel::RegionHeader header = fuzz_support::ReadHeader(world.writer);
        std::size_t next = 0;
        for (const channel::ClientEntry& entry : header.Clients) {
          if (entry.InUse == 0) continue;
          Check(next < clients.size() && std::memcmp(&clients[next], &entry, sizeof entry) == 0,
                "the client list is the occupied entries in table order");
          ++next;
        }
        Check(next == clients.size(), "the client list holds nothing else");
        break;
      }
      case 2: {
        const std::int32_t width = input.ConsumeIntegral<std::int32_t>();
        const std::int32_t height = input.ConsumeIntegral<std::int32_t>();
        Check(world.producer.SetServerResolution(width, height) == 1, "the size is announced");
        Check(world.producer.GetServerResolution() == std::make_pair(width, height), "the size reads back");
        const std::int32_t showLogo = input.ConsumeIntegral<std::int32_t>();
        Check(world.producer.SetShowLogo(showLogo) == 1 && world.producer.GetShowLogo() == showLogo,
              "the logo flag reads back");
        world.producer.GetClientCount();
        break;
      }
      case 3:
        // The notification thread wakes and reads the (hostile) client count.
        world.producer.SetClientEvent(true);
        break;
    }
  }
  const channel::RegionHeader after = fuzz_support::ReadHeader(world.writer);
  Check(std::memcmp(written.Reserved, after.Reserved, sizeof after.Reserved) == 0, "reserved bytes untouched");
  return 0;
}
