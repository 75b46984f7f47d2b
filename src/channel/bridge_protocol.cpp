#include "channel/bridge_protocol.h"

#include "channel/frame_region.h"

namespace bridge {

namespace {

MessageHeader Header(MessageKind kind) {
  MessageHeader header{};
  header.Magic = kMagic;
  header.Version = kVersion;
  header.Kind = static_cast<std::uint16_t>(kind);
  return header;
}

bool KnownFormat(std::uint32_t format) {
  return format == static_cast<std::uint32_t>(Format::kNv12) || format == static_cast<std::uint32_t>(Format::kRgb32);
}

bool FrameStatus(std::uint32_t status) {
  return status >= static_cast<std::uint32_t>(Status::kLive) &&
         status <= static_cast<std::uint32_t>(Status::kNoNewFrame);
}

// Magic, version and kind: the fields every message is checked for first.
Field CheckFrame(const MessageHeader& header, MessageKind kind) {
  if (header.Magic != kMagic) return Field::kMagic;
  if (header.Version != kVersion) return Field::kVersion;
  if (header.Kind != static_cast<std::uint16_t>(kind)) return Field::kKind;
  return Field::kNone;
}

// The shape fields against the shape asked for.
Field CheckShape(const MessageHeader& header, const FrameShape& shape) {
  if (header.Format != static_cast<std::uint32_t>(shape.format)) return Field::kFormat;
  if (header.Width != shape.width) return Field::kWidth;
  if (header.Height != shape.height) return Field::kHeight;
  return Field::kNone;
}

}  // namespace

std::int64_t FramePayloadBytes(const FrameShape& shape) {
  const std::int64_t w = shape.width;
  const std::int64_t h = shape.height;
  if (w < 1 || h < 1 || w > kMaxSide || h > kMaxSide) return -1;
  switch (shape.format) {
    case Format::kRgb32: return w * h * 4;
    case Format::kNv12:
      if (w % 2 != 0 || h % 2 != 0) return -1;
      return w * h + w * (h / 2);
  }
  return -1;
}

const wchar_t* FieldName(Field field) {
  switch (field) {
    case Field::kNone: return L"none";
    case Field::kMagic: return L"magic";
    case Field::kVersion: return L"version";
    case Field::kKind: return L"message kind";
    case Field::kStatus: return L"status";
    case Field::kFormat: return L"format";
    case Field::kWidth: return L"width";
    case Field::kHeight: return L"height";
    case Field::kSequence: return L"sequence";
    case Field::kPayloadBytes: return L"payload length";
  }
  return L"unknown field";
}

const wchar_t* StatusName(Status status) {
  switch (status) {
    case Status::kAccepted: return L"accepted";
    case Status::kLive: return L"live";
    case Status::kNoProducer: return L"no producer";
    case Status::kProducerStopped: return L"producer stopped";
    case Status::kNoNewFrame: return L"no new frame";
    case Status::kRefused: return L"refused";
  }
  return L"unknown status";
}

const wchar_t* FormatName(Format format) {
  switch (format) {
    case Format::kNv12: return L"NV12";
    case Format::kRgb32: return L"RGB32";
  }
  return L"unknown format";
}

MessageHeader MakeHello(const FrameShape& shape) {
  MessageHeader hello = Header(MessageKind::kHello);
  hello.Format = static_cast<std::uint32_t>(shape.format);
  hello.Width = shape.width;
  hello.Height = shape.height;
  return hello;
}

MessageHeader MakeHelloReply(const MessageHeader& hello, Status status) {
  MessageHeader reply = Header(MessageKind::kHelloReply);
  reply.Status = static_cast<std::uint32_t>(status);
  reply.Format = hello.Format;
  reply.Width = hello.Width;
  reply.Height = hello.Height;
  return reply;
}

MessageHeader MakeFrameRequest(std::uint32_t sequence) {
  MessageHeader request = Header(MessageKind::kFrameRequest);
  request.Sequence = sequence;
  return request;
}

MessageHeader MakeFrameReply(const FrameShape& shape, std::uint32_t sequence, Status status) {
  MessageHeader reply = Header(MessageKind::kFrameReply);
  reply.Status = static_cast<std::uint32_t>(status);
  reply.Format = static_cast<std::uint32_t>(shape.format);
  reply.Width = shape.width;
  reply.Height = shape.height;
  reply.Sequence = sequence;
  const std::int64_t bytes = FramePayloadBytes(shape);
  reply.PayloadBytes = status == Status::kLive && bytes > 0 ? static_cast<std::uint32_t>(bytes) : 0;
  return reply;
}

Field CheckHello(const MessageHeader& hello, FrameShape* shape) {
  if (const Field field = CheckFrame(hello, MessageKind::kHello); field != Field::kNone) return field;
  if (hello.PayloadBytes != 0) return Field::kPayloadBytes;
  if (!KnownFormat(hello.Format)) return Field::kFormat;
  const FrameShape asked{static_cast<Format>(hello.Format), hello.Width, hello.Height};
  if (hello.Width < 1 || hello.Width > kMaxSide) return Field::kWidth;
  if (hello.Height < 1 || hello.Height > kMaxSide) return Field::kHeight;
  if (FramePayloadBytes(asked) < 0) return hello.Width % 2 != 0 ? Field::kWidth : Field::kHeight;
  if (shape != nullptr) *shape = asked;
  return Field::kNone;
}

Field CheckFrameRequest(const MessageHeader& request) {
  if (const Field field = CheckFrame(request, MessageKind::kFrameRequest); field != Field::kNone) return field;
  if (request.PayloadBytes != 0) return Field::kPayloadBytes;
  return Field::kNone;
}

Field CheckHelloReply(const MessageHeader& reply, const FrameShape& shape) {
  if (const Field field = CheckFrame(reply, MessageKind::kHelloReply); field != Field::kNone) return field;
  if (reply.Status != static_cast<std::uint32_t>(Status::kAccepted)) return Field::kStatus;
  if (const Field field = CheckShape(reply, shape); field != Field::kNone) return field;
  if (reply.PayloadBytes != 0) return Field::kPayloadBytes;
  return Field::kNone;
}

Field CheckFrameReply(const MessageHeader& reply, const FrameShape& shape, std::uint32_t sequence) {
  if (const Field field = CheckFrame(reply, MessageKind::kFrameReply); field != Field::kNone) return field;
  // Nothing answers a request for a frame the protocol cannot state, not even a reply
  // without one.
  const std::int64_t frameBytes = FramePayloadBytes(shape);
  if (frameBytes < 0) return Field::kPayloadBytes;
  if (!FrameStatus(reply.Status)) return Field::kStatus;
  if (const Field field = CheckShape(reply, shape); field != Field::kNone) return field;
  if (reply.Sequence != sequence) return Field::kSequence;
  const std::int64_t expected = reply.Status == static_cast<std::uint32_t>(Status::kLive) ? frameBytes : 0;
  if (static_cast<std::int64_t>(reply.PayloadBytes) != expected) return Field::kPayloadBytes;
  return Field::kNone;
}

std::wstring PipeSddl(const std::wstring& userSid, const std::wstring& serviceSid, bool grantLocalService) {
  std::wstring text = L"O:" + userSid + L"G:" + userSid + L"D:P(A;;GA;;;SY)(A;;GA;;;" + userSid + L")";
  if (!serviceSid.empty()) text += L"(A;;" + std::wstring(kServiceAccess) + L";;;" + serviceSid + L")";
  if (grantLocalService || serviceSid.empty()) text += L"(A;;" + std::wstring(kServiceAccess) + L";;;LS)";
  return text + L"S:(ML;;NWNR;;;ME)";
}

std::wstring PipeName(std::uint32_t session) { return PipeName(session, std::nullopt); }

std::wstring PipeName(std::uint32_t session, const std::optional<std::wstring>& nameSpace) {
  return L"\\\\.\\pipe\\" + channel::ObjectName(nameSpace, L"Trelvox_FileMapping_MFBridge_S") +
         std::to_wstring(session);
}

}  // namespace bridge
