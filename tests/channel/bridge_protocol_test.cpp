// The frame bridge's wire format: frame sizes at the edges of what it can state, each
// field of a reply that is not what was asked for rejected by name, hellos the agent
// refuses, and the pipe's name and access list as text.
#include "channel/bridge_protocol.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "support/channel_fixture.h"

namespace {

using bridge::Field;
using bridge::Format;
using bridge::FrameShape;
using bridge::MessageHeader;
using bridge::Status;

TEST(BridgeProtocolTest, FramePayloadBytesStatesPackedFramesWithinTheLimits) {
  struct Row {
    FrameShape shape;
    std::int64_t bytes;
  } rows[] = {
      {{Format::kRgb32, 640, 480}, 640 * 480 * 4},
      {{Format::kNv12, 640, 480}, 640 * 480 * 3 / 2},
      {{Format::kNv12, 2, 2}, 6},
      {{Format::kRgb32, 1, 1}, 4},
      {{Format::kRgb32, 3, 5}, 60},  // odd sides are fine in RGB32
      {{Format::kNv12, 3, 4}, -1},   // and not in NV12
      {{Format::kNv12, 4, 3}, -1},
      {{Format::kRgb32, bridge::kMaxSide, bridge::kMaxSide}, std::int64_t{bridge::kMaxSide} * bridge::kMaxSide * 4},
      {{Format::kRgb32, bridge::kMaxSide + 1, 1}, -1},
      {{Format::kRgb32, 1, bridge::kMaxSide + 1}, -1},
      {{Format::kRgb32, 0, 480}, -1},
      {{Format::kRgb32, 640, -2}, -1},
      {{static_cast<Format>(7), 640, 480}, -1},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(bridge::FramePayloadBytes(row.shape), row.bytes)
        << static_cast<int>(row.shape.format) << " " << row.shape.width << "x" << row.shape.height;
  }
}

TEST(BridgeProtocolTest, FrameReplyIsAcceptedOnlyWhenEveryFieldIsWhatWasAskedFor) {
  const FrameShape shape{Format::kNv12, 640, 480};
  const std::uint32_t sequence = 41;
  const MessageHeader live = bridge::MakeFrameReply(shape, sequence, Status::kLive);
  EXPECT_EQ(live.PayloadBytes, 640u * 480u * 3u / 2u);
  EXPECT_EQ(bridge::CheckFrameReply(live, shape, sequence), Field::kNone);
  for (const Status status : {Status::kNoProducer, Status::kProducerStopped, Status::kNoNewFrame}) {
    const MessageHeader reply = bridge::MakeFrameReply(shape, sequence, status);
    EXPECT_EQ(reply.PayloadBytes, 0u);
    EXPECT_EQ(bridge::CheckFrameReply(reply, shape, sequence), Field::kNone) << bridge::StatusName(status);
  }

  struct Row {
    const char* name;
    std::function<void(MessageHeader&)> spoil;
    Field field;
  } rows[] = {
      {"magic", [](MessageHeader& h) { h.Magic ^= 1; }, Field::kMagic},
      {"version", [](MessageHeader& h) { h.Version = bridge::kVersion + 1; }, Field::kVersion},
      {"kind", [](MessageHeader& h) { h.Kind = static_cast<std::uint16_t>(bridge::MessageKind::kHelloReply); },
       Field::kKind},
      {"status accepted", [](MessageHeader& h) { h.Status = 0; }, Field::kStatus},
      {"status refused", [](MessageHeader& h) { h.Status = static_cast<std::uint32_t>(Status::kRefused); },
       Field::kStatus},
      {"status unknown", [](MessageHeader& h) { h.Status = 99; }, Field::kStatus},
      {"format", [](MessageHeader& h) { h.Format = static_cast<std::uint32_t>(Format::kRgb32); }, Field::kFormat},
      {"width", [](MessageHeader& h) { h.Width += 2; }, Field::kWidth},
      {"height", [](MessageHeader& h) { h.Height -= 2; }, Field::kHeight},
      {"sequence", [](MessageHeader& h) { h.Sequence += 1; }, Field::kSequence},
      {"payload one more", [](MessageHeader& h) { h.PayloadBytes += 1; }, Field::kPayloadBytes},
      {"payload one less", [](MessageHeader& h) { h.PayloadBytes -= 1; }, Field::kPayloadBytes},
      {"payload none", [](MessageHeader& h) { h.PayloadBytes = 0; }, Field::kPayloadBytes},
      {"payload on a status without a frame",
       [](MessageHeader& h) { h.Status = static_cast<std::uint32_t>(Status::kNoProducer); }, Field::kPayloadBytes},
  };
  for (const Row& row : rows) {
    MessageHeader reply = live;
    row.spoil(reply);
    EXPECT_EQ(bridge::CheckFrameReply(reply, shape, sequence), row.field) << row.name;
    EXPECT_NE(std::wstring(bridge::FieldName(row.field)), L"none") << row.name;
  }
  // Nothing is accepted for a shape the protocol cannot state, not even a reply that
  // repeats it.
  const FrameShape odd{Format::kNv12, 3, 3};
  EXPECT_EQ(bridge::CheckFrameReply(bridge::MakeFrameReply(odd, 1, Status::kLive), odd, 1), Field::kPayloadBytes);
  const FrameShape unknown{static_cast<Format>(0), 0, 0};
  EXPECT_EQ(bridge::CheckFrameReply(bridge::MakeFrameReply(unknown, 1, Status::kNoProducer), unknown, 1),
            Field::kPayloadBytes);
}

TEST(BridgeProtocolTest, HelloAndItsAnswerAreCheckedForTheShape) {
  const FrameShape shape{Format::kRgb32, 1280, 720};
  const MessageHeader hello = bridge::MakeHello(shape);
  FrameShape read;
  ASSERT_EQ(bridge::CheckHello(hello, &read), Field::kNone);
  EXPECT_EQ(read.format, shape.format);
  EXPECT_EQ(read.width, 1280);
  EXPECT_EQ(read.height, 720);
  EXPECT_EQ(bridge::CheckHelloReply(bridge::MakeHelloReply(hello, Status::kAccepted), shape), Field::kNone);
  EXPECT_EQ(bridge::CheckHelloReply(bridge::MakeHelloReply(hello, Status::kRefused), shape), Field::kStatus);
  EXPECT_EQ(bridge::CheckHelloReply(bridge::MakeHelloReply(hello, Status::kAccepted), {Format::kNv12, 1280, 720}),
            Field::kFormat);
  EXPECT_EQ(bridge::CheckHelloReply(bridge::MakeFrameReply(shape, 0, Status::kNoProducer), shape), Field::kKind);

  struct Row {
    const char* name;
    std::function<void(MessageHeader&)> spoil;
    Field field;
  } rows[] = {
      {"widest", [](MessageHeader& h) { h.Width = bridge::kMaxSide; }, Field::kNone},
      {"too wide", [](MessageHeader& h) { h.Width = bridge::kMaxSide + 1; }, Field::kWidth},
      {"no width", [](MessageHeader& h) { h.Width = 0; }, Field::kWidth},
      {"tallest", [](MessageHeader& h) { h.Height = bridge::kMaxSide; }, Field::kNone},
      {"too tall", [](MessageHeader& h) { h.Height = bridge::kMaxSide + 1; }, Field::kHeight},
      {"negative height", [](MessageHeader& h) { h.Height = -720; }, Field::kHeight},
      {"odd NV12 width",
       [](MessageHeader& h) {
         h.Format = static_cast<std::uint32_t>(Format::kNv12);
         h.Width = 641;
       },
       Field::kWidth},
      {"odd NV12 height",
       [](MessageHeader& h) {
         h.Format = static_cast<std::uint32_t>(Format::kNv12);
         h.Height = 481;
       },
       Field::kHeight},
      {"unknown format", [](MessageHeader& h) { h.Format = 0; }, Field::kFormat},
      {"with a payload", [](MessageHeader& h) { h.PayloadBytes = 4; }, Field::kPayloadBytes},
      {"a request instead", [](MessageHeader& h) { h = bridge::MakeFrameRequest(1); }, Field::kKind},
      {"wrong magic", [](MessageHeader& h) { h.Magic = 0; }, Field::kMagic},
  };
  for (const Row& row : rows) {
    MessageHeader spoilt = hello;
    row.spoil(spoilt);
    EXPECT_EQ(bridge::CheckHello(spoilt, nullptr), row.field) << row.name;
  }
  MessageHeader request = bridge::MakeFrameRequest(5);
  EXPECT_EQ(bridge::CheckFrameRequest(request), Field::kNone);
  request.PayloadBytes = 1;
  EXPECT_EQ(bridge::CheckFrameRequest(request), Field::kPayloadBytes);
}

TEST(BridgeProtocolTest, PipeNameCarriesTheNamespaceAndTheSession) {
  EXPECT_EQ(bridge::PipeName(3), L"\\\\.\\pipe\\Trelvox_FileMapping_MFBridge_S3");
  testing_support::CChannelNamespace names;
  EXPECT_EQ(bridge::PipeName(12), L"\\\\.\\pipe\\" + names.Value() + L"Trelvox_FileMapping_MFBridge_S12");
}

TEST(BridgeProtocolTest, PipeAccessListLetsInOnlySystemTheUserAndTheCameraService) {
  const std::wstring user = L"S-1-5-21-1-2-3-1001";
  const std::wstring service = L"S-1-5-80-4-5-6";
  EXPECT_EQ(bridge::PipeSddl(user, service, false),
            L"O:" + user + L"G:" + user + L"D:P(A;;GA;;;SY)(A;;GA;;;" + user + L")(A;;0x0012018b;;;" + service +
                L")S:(ML;;NWNR;;;ME)");
  // A service without a SID of its own is reached through its account.
  EXPECT_EQ(bridge::PipeSddl(user, service, true),
            L"O:" + user + L"G:" + user + L"D:P(A;;GA;;;SY)(A;;GA;;;" + user + L")(A;;0x0012018b;;;" + service +
                L")(A;;0x0012018b;;;LS)S:(ML;;NWNR;;;ME)");
  EXPECT_EQ(bridge::PipeSddl(user, L"", false),
            L"O:" + user + L"G:" + user + L"D:P(A;;GA;;;SY)(A;;GA;;;" + user + L")(A;;0x0012018b;;;LS)S:(ML;;NWNR;;;ME)");
}

TEST(BridgeProtocolTest, HeaderFieldsHaveTheirWireValues) {
  // Peers built apart read these numbers: each is pinned here, not only compared with itself.
  const MessageHeader reply = bridge::MakeFrameReply({Format::kNv12, 2, 2}, 7, Status::kLive);
  EXPECT_EQ(reply.Magic, 0x42464C41u);
  EXPECT_EQ(reply.Version, 1u);
  EXPECT_EQ(reply.Kind, 4u);
  EXPECT_EQ(reply.Status, 1u);
  EXPECT_EQ(reply.Format, 1u);
  EXPECT_EQ(bridge::MakeHello({Format::kRgb32, 2, 2}).Kind, 1u);
  EXPECT_EQ(bridge::MakeHello({Format::kRgb32, 2, 2}).Format, 2u);
  EXPECT_EQ(bridge::MakeHelloReply(bridge::MakeHello({Format::kRgb32, 2, 2}), Status::kAccepted).Kind, 2u);
  EXPECT_EQ(bridge::MakeHelloReply(bridge::MakeHello({Format::kRgb32, 2, 2}), Status::kAccepted).Status, 0u);
  EXPECT_EQ(bridge::MakeFrameRequest(1).Kind, 3u);
  EXPECT_EQ(bridge::MakeFrameReply({Format::kNv12, 2, 2}, 7, Status::kNoProducer).Status, 2u);
  EXPECT_EQ(bridge::MakeFrameReply({Format::kNv12, 2, 2}, 7, Status::kProducerStopped).Status, 3u);
  EXPECT_EQ(bridge::MakeFrameReply({Format::kNv12, 2, 2}, 7, Status::kNoNewFrame).Status, 4u);
  EXPECT_EQ(static_cast<std::uint32_t>(Status::kRefused), 5u);
}

}  // namespace
