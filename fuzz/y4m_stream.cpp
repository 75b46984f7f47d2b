// YUV4MPEG2 streams as the producer reads them from a file or a pipe: the header, then
// every frame converted into the channel's layout.
//
// Checked besides the sanitizers: an accepted header gives a frame that fits the
// channel; the reader never claims more bytes than the stream holds; every damaged
// frame is reported with its byte offset; conversion writes exactly one frame's rows,
// never past them; and the same stream read in pieces of another size gives the same
// result.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "channel/frame_region.h"
#include "fuzz_support.h"
#include "y4m_reader.h"

namespace {

using fuzz_support::Check;

constexpr std::uint8_t kGuard = 0xA5;
constexpr std::size_t kGuardBytes = 64;

struct Outcome {
  bool header = false;
  std::int64_t frames = 0;
  std::string error;
  std::uint64_t offset = 0;
};

// Reads the whole stream, handing it out in pieces of at most `piece` bytes.
Outcome ReadStream(const std::uint8_t* data, std::size_t size, std::size_t piece, bool convert) {
  std::size_t position = 0;
  CY4mReader reader([&](std::uint8_t* buffer, std::size_t wanted) {
    const std::size_t n = std::min({wanted, piece, size - position});
    std::memcpy(buffer, data + position, n);
    position += n;
    return n;
  });
  Outcome outcome;
  outcome.header = reader.ReadHeader(&outcome.error);
  if (!outcome.header) {
    Check(!outcome.error.empty(), "a refused header says why");
    outcome.offset = reader.Offset();
    return outcome;
  }
  const CY4mReader::Format& format = reader.GetFormat();
  const std::int64_t bytes = reader.OutputBytes();
  Check(bytes == channel::FrameBytes(format.width, format.height) && channel::FrameFits(0, bytes),
        "an accepted stream's frame fits the channel");
  Check(format.rateNumerator > 0 && format.rateDenominator > 0, "an accepted stream has a positive rate");
  const std::size_t stride = (static_cast<std::size_t>(format.width) * 3 + 3) & ~std::size_t{3};
  std::vector<std::uint8_t> frame;
  if (convert) frame.assign(static_cast<std::size_t>(bytes) + kGuardBytes, kGuard);
  while (true) {
    const CY4mReader::Result result = reader.ReadFrame(&outcome.error);
    Check(reader.Offset() <= size, "the reader never counts bytes the stream does not hold");
    if (result == CY4mReader::Result::kEnd) break;
    if (result == CY4mReader::Result::kError) {
      Check(outcome.error.find("byte offset") != std::string::npos, "damage is reported with its byte offset");
      break;
    }
    if (convert) {
      reader.ConvertFrame(frame.data(), stride);
      for (std::size_t i = 0; i < kGuardBytes; ++i)
        Check(frame[static_cast<std::size_t>(bytes) + i] == kGuard, "conversion stays inside the frame");
    }
  }
  outcome.frames = reader.FramesRead();
  outcome.offset = reader.Offset();
  return outcome;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const Outcome whole = ReadStream(data, size, size == 0 ? 1 : size, true);
  const Outcome pieces = ReadStream(data, size, 3, false);
  Check(whole.header == pieces.header && whole.frames == pieces.frames && whole.error == pieces.error &&
            whole.offset == pieces.offset,
        "a stream reads the same whatever the size of each read");
  return 0;
}
