// The frame bridge's wire format: how the camera's source in the system's camera service
// (session 0, Windows 11) asks the bridge agent in the user's session for frames over a
// named pipe, and how every message is checked before anything in it is used.
//
// Every message is one MessageHeader (32 bytes, little-endian, fixed-width fields, the
// same for 32- and 64-bit peers), a frame reply followed by exactly PayloadBytes bytes:
//
//   source                                     agent
//   kHello  {format, width, height}     ──▶    CheckHello; refuses what it cannot compose
//                                       ◀──    kHelloReply {status kAccepted, same format/size}
//   kFrameRequest {sequence n}          ──▶
//                                       ◀──    kFrameReply {status, sequence n, format/size,
//                                                           PayloadBytes} + payload
//
// A frame reply's status says what the payload is: kLive carries exactly FramePayloadBytes
// of the negotiated format and size (rows top-down, packed: NV12 is the Y plane then the
// interleaved UV plane, both width bytes a row; RGB32 is B, G, R, 255 per pixel); the
// other statuses carry no payload and tell the source which placeholder case it is in.
// The source accepts a reply only when every field is exactly what it asked for
// (CheckFrameReply), so a peer it does not trust can make it show the placeholder, never
// make it read or allocate anything it did not plan for.
//
// Threading: plain functions over values, any thread. No OS.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace bridge {

inline constexpr std::uint32_t kMagic = 0x4246'4C41;  // "ALFB" in memory order
inline constexpr std::uint16_t kVersion = 1;
// The largest side a bridged frame may have; 4096 x 4096 RGB32 is 64 MiB, the largest
// payload a reply can announce.
inline constexpr std::int32_t kMaxSide = 4096;

enum class MessageKind : std::uint16_t { kHello = 1, kHelloReply = 2, kFrameRequest = 3, kFrameReply = 4 };
enum class Format : std::uint32_t { kNv12 = 1, kRgb32 = 2 };
// Hello replies: kAccepted, or kRefused for a format or size the agent does not compose.
// Frame replies: the other four.
enum class Status : std::uint32_t {
  kAccepted = 0,
  kLive = 1,             // the producer's frame, composed
  kNoProducer = 2,       // no channel to read (no producer has run in this session)
  kProducerStopped = 3,  // the channel is there, but its producer stopped or ended
  kNoNewFrame = 4,       // the producer runs, but no frame could be had this time
  kRefused = 5,
};

struct MessageHeader {
  std::uint32_t Magic;
  std::uint16_t Version;
  std::uint16_t Kind;
  std::uint32_t Status;
  std::uint32_t Format;
  std::int32_t Width;
  std::int32_t Height;
  std::uint32_t Sequence;
  std::uint32_t PayloadBytes;
};
static_assert(sizeof(MessageHeader) == 32, "the header is a wire format");
static_assert(offsetof(MessageHeader, PayloadBytes) == 28, "the header is a wire format");

// What a session's source asks its agent for.
struct FrameShape {
  Format format = Format::kRgb32;
  std::int32_t width = 0;
  std::int32_t height = 0;
};

// The bytes of one packed frame of that shape; -1 for a format this protocol does not
// know, a side outside 1..kMaxSide, or an NV12 frame with an odd side.
std::int64_t FramePayloadBytes(const FrameShape& shape);

// The field of a message that made it unacceptable (kNone: acceptable).
enum class Field { kNone, kMagic, kVersion, kKind, kStatus, kFormat, kWidth, kHeight, kSequence, kPayloadBytes };
// The field's name as the log says it ("magic", "payload length", ...).
const wchar_t* FieldName(Field field);
const wchar_t* StatusName(Status status);
const wchar_t* FormatName(Format format);

// Messages as their senders make them.
MessageHeader MakeHello(const FrameShape& shape);
MessageHeader MakeHelloReply(const MessageHeader& hello, Status status);
MessageHeader MakeFrameRequest(std::uint32_t sequence);
// payloadBytes is FramePayloadBytes(shape) for kLive and 0 otherwise.
MessageHeader MakeFrameReply(const FrameShape& shape, std::uint32_t sequence, Status status);

// Agent side: a hello is acceptable when it is a kHello of this version with no payload,
// asking for a shape FramePayloadBytes accepts; *shape then holds it.
Field CheckHello(const MessageHeader& hello, FrameShape* shape);
// Agent side: a frame request of this version, no payload.
Field CheckFrameRequest(const MessageHeader& request);
// Source side: the agent's answer to the hello for shape: kAccepted for that shape (a
// kRefused answer is reported as kStatus).
Field CheckHelloReply(const MessageHeader& reply, const FrameShape& shape);
// Source side: the reply to request sequence for shape: one of the four frame statuses,
// the same shape and sequence, and PayloadBytes exactly FramePayloadBytes(shape) for kLive
// and 0 for the others.
Field CheckFrameReply(const MessageHeader& reply, const FrameShape& shape, std::uint32_t sequence);

// What the frame service's identity may do on the pipe: read, write data, write
// attributes (0x0012018B), never FILE_CREATE_PIPE_INSTANCE (which the generic write right
// includes), so it can neither make nor take over an instance.
inline constexpr const wchar_t* kServiceAccess = L"0x0012018b";
// The pipe's security descriptor as text: owned by the user; full access for SYSTEM and
// the user; kServiceAccess for the camera service (serviceSid, and LOCAL SERVICE as well
// when grantLocalService or when serviceSid is empty); nobody else; a medium integrity
// label that keeps lower-integrity processes (sandboxed or low-integrity programs of the
// same user) from reading or writing.
std::wstring PipeSddl(const std::wstring& userSid, const std::wstring& serviceSid, bool grantLocalService);

// The agent's pipe for a session: \\.\pipe\<namespace>Trelvox_FileMapping_MFBridge_S<session>,
// where <namespace> is this process's channel namespace (channel::ObjectName:
// AMBERLINE_CHANNEL_NAMESPACE for tests, then "<channel>_" for a named channel), or the
// given one: one pipe per channel.
std::wstring PipeName(std::uint32_t session);
std::wstring PipeName(std::uint32_t session, const std::optional<std::wstring>& nameSpace);

}  // namespace bridge
