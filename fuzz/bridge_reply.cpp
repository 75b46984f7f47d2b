// The frame bridge's messages as an untrusted peer sends them: the first 32 bytes are a
// message header, the next bytes choose what the receiver asked for (format, size,
// sequence). Every check runs over it.
//
// Checked besides the sanitizers: a frame reply is accepted only when the length it
// announces is exactly the asked-for frame's (live) or zero (any other status), and only
// with the asked-for shape and sequence; a hello is accepted only for a shape whose frame
// size the protocol can state, and that size never exceeds a kMaxSide square of RGB32.
#include <algorithm>
#include <cstdint>
#include <cstring>

#include "channel/bridge_protocol.h"
#include "fuzz_support.h"

using fuzz_support::Check;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  bridge::MessageHeader header{};
  std::memcpy(&header, data, size < sizeof header ? size : sizeof header);
  std::uint8_t tail[13] = {};
  if (size > sizeof header) std::memcpy(tail, data + sizeof header, std::min(size - sizeof header, sizeof tail));
  bridge::FrameShape asked;
  asked.format = static_cast<bridge::Format>(tail[0] % 3);
  std::memcpy(&asked.width, tail + 1, 4);
  std::memcpy(&asked.height, tail + 5, 4);
  std::uint32_t sequence = 0;
  std::memcpy(&sequence, tail + 9, 4);

  const std::int64_t largest = std::int64_t{bridge::kMaxSide} * bridge::kMaxSide * 4;
  const std::int64_t expected = bridge::FramePayloadBytes(asked);
  Check(expected == -1 || (expected > 0 && expected <= largest), "a frame size outside its bounds");

  if (bridge::CheckFrameReply(header, asked, sequence) == bridge::Field::kNone) {
    Check(expected > 0, "a reply accepted for a shape without a frame size");
    const bool live = header.Status == static_cast<std::uint32_t>(bridge::Status::kLive);
    Check(header.PayloadBytes == (live ? static_cast<std::uint64_t>(expected) : 0u), "a payload length accepted");
    Check(header.Sequence == sequence && header.Width == asked.width && header.Height == asked.height,
          "a reply for something else accepted");
  }
  if (bridge::CheckHelloReply(header, asked) == bridge::Field::kNone) {
    Check(header.Status == 0 && header.PayloadBytes == 0, "a refused or loaded hello answer accepted");
  }
  bridge::FrameShape shape;
  if (bridge::CheckHello(header, &shape) == bridge::Field::kNone) {
    const std::int64_t bytes = bridge::FramePayloadBytes(shape);
    Check(bytes > 0 && bytes <= largest, "a hello accepted for a frame size the protocol cannot state");
  }
  if (bridge::CheckFrameRequest(header) == bridge::Field::kNone) {
    Check(header.PayloadBytes == 0, "a request with a payload accepted");
  }
  return 0;
}
