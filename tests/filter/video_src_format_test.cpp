// The camera's formats: what it offers with and without an announced producer size,
// which proposals it accepts, how a set format becomes its frame size and pace, the
// buffer it asks for, stream configuration (IAMStreamConfig), the pin category and the
// push-source answers; and format changes racing state changes without a deadlock.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "camera_fixture.h"
#include "support/log_capture.h"

namespace camera_test {
namespace {

using CameraFormatTest = CameraTest;

// An allocator that grants a buffer size of its own choosing.
class CGrantingAllocator final : public IMemAllocator {
 public:
  explicit CGrantingAllocator(LONG grant) : m_grant(grant) {}
  STDMETHODIMP QueryInterface(REFIID, void** ppv) override {
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return 1; }
  STDMETHODIMP_(ULONG) Release() override { return 1; }
  STDMETHODIMP SetProperties(ALLOCATOR_PROPERTIES* pRequest, ALLOCATOR_PROPERTIES* pActual) override {
    m_request = *pRequest;
    *pActual = *pRequest;
    pActual->cbBuffer = m_grant;
    return S_OK;
  }
  STDMETHODIMP GetProperties(ALLOCATOR_PROPERTIES*) override { return E_NOTIMPL; }
  STDMETHODIMP Commit() override { return E_NOTIMPL; }
  STDMETHODIMP Decommit() override { return E_NOTIMPL; }
  STDMETHODIMP GetBuffer(IMediaSample**, REFERENCE_TIME*, REFERENCE_TIME*, DWORD) override { return E_NOTIMPL; }
  STDMETHODIMP ReleaseBuffer(IMediaSample*) override { return E_NOTIMPL; }

  LONG m_grant;
  ALLOCATOR_PROPERTIES m_request{};
};

TEST_F(CameraFormatTest, WithoutAnnouncedSizeOffers320x240Rgb24AtFortyMilliseconds) {
  CMediaType offered;
  ASSERT_EQ(Stream()->GetMediaType(0, &offered), S_OK);
  EXPECT_TRUE(IsEqualGUID(offered.majortype, MEDIATYPE_Video));
  EXPECT_TRUE(IsEqualGUID(offered.subtype, MEDIASUBTYPE_RGB24));
  EXPECT_TRUE(IsEqualGUID(offered.formattype, FORMAT_VideoInfo));
  EXPECT_TRUE(offered.IsFixedSize());
  EXPECT_FALSE(offered.IsTemporalCompressed());
  EXPECT_EQ(offered.lSampleSize, 230400u);
  ASSERT_EQ(offered.cbFormat, 88u);
  const VIDEOINFOHEADER& format = VideoInfo(offered);
  EXPECT_EQ(format.AvgTimePerFrame, 400000);
  EXPECT_EQ(format.bmiHeader.biSize, 40u);
  EXPECT_EQ(format.bmiHeader.biWidth, 320);
  EXPECT_EQ(format.bmiHeader.biHeight, 240);
  EXPECT_EQ(format.bmiHeader.biPlanes, 1);
  EXPECT_EQ(format.bmiHeader.biBitCount, 24);
  EXPECT_EQ(format.bmiHeader.biCompression, static_cast<DWORD>(BI_RGB));
  EXPECT_EQ(format.bmiHeader.biSizeImage, 230400u);
  EXPECT_EQ(format.rcSource.right, 0);
  EXPECT_EQ(format.dwBitRate, 0u);

  EXPECT_EQ(Stream()->GetMediaType(1, &offered), VFW_S_NO_MORE_ITEMS);
  EXPECT_EQ(Stream()->GetMediaType(-1, &offered), E_INVALIDARG);
  EXPECT_EQ(Stream()->GetMediaType(0, nullptr), E_POINTER);
  EXPECT_EQ(Stream()->CheckMediaType(nullptr), E_POINTER);
}

struct AnnouncedCase {
  const char* name;
  int width, height;            // announced
  int offeredWidth, offeredHeight;
  int maxWidth, maxHeight;      // accepted by CheckMediaType
  bool capsFixed;               // the capability record allows only the announced size
};

class CameraAnnouncedSizeTest : public CameraTest, public testing::WithParamInterface<AnnouncedCase> {};

TEST_P(CameraAnnouncedSizeTest, OfferAcceptedRangeAndCapabilitiesFollowTheAnnouncement) {
  const AnnouncedCase& c = GetParam();
  Announce(c.width, c.height);
  CMediaType offered;
  ASSERT_EQ(Stream()->GetMediaType(0, &offered), S_OK);
  EXPECT_EQ(VideoInfo(offered).bmiHeader.biWidth, c.offeredWidth);
  EXPECT_EQ(VideoInfo(offered).bmiHeader.biHeight, c.offeredHeight);
  EXPECT_EQ(offered.lSampleSize, FrameBytes(c.offeredWidth, c.offeredHeight));

  const auto accepts = [this](LONG w, LONG h) {
    const CMediaType type = VideoType(w, h);
    return Stream()->CheckMediaType(&type) == S_OK;
  };
  // The range, and what position 0 offers whatever its shape; around both, nothing else.
  const auto acceptable = [&c](LONG w, LONG h) {
    return (w >= 160 && w <= c.maxWidth && h >= 120 && h <= c.maxHeight) ||
           (w == c.offeredWidth && h == c.offeredHeight);
  };
  EXPECT_TRUE(accepts(160, 120));
  EXPECT_TRUE(accepts(c.maxWidth, c.maxHeight));
  EXPECT_TRUE(accepts(c.offeredWidth, c.offeredHeight));
  const int ow = c.offeredWidth, oh = c.offeredHeight;
  for (const auto& [w, h] : {std::pair{ow + 1, oh}, std::pair{ow - 1, oh}, std::pair{ow, oh + 1}, std::pair{ow, oh - 1},
                             std::pair{159, 120}, std::pair{160, 119}, std::pair{c.maxWidth + 1, c.maxHeight},
                             std::pair{c.maxWidth, c.maxHeight + 1}}) {
    EXPECT_EQ(accepts(w, h), acceptable(w, h)) << w << "x" << h;
  }
  CMediaType offeredCopy(offered);
  EXPECT_EQ(Config()->SetFormat(&offeredCopy), S_OK) << "SetFormat takes what is offered";
  ASSERT_EQ(Config()->SetFormat(nullptr), S_OK);

  AM_MEDIA_TYPE* type = nullptr;
  VIDEO_STREAM_CONFIG_CAPS caps;
  std::memset(&caps, 0xEE, sizeof(caps));
  ASSERT_EQ(Config()->GetStreamCaps(0, &type, reinterpret_cast<BYTE*>(&caps)), S_OK);
  ASSERT_NE(type, nullptr);
  EXPECT_EQ(VideoInfo(*type).bmiHeader.biWidth, c.offeredWidth);
  DeleteMediaType(type);
  EXPECT_TRUE(IsEqualGUID(caps.guid, FORMAT_VideoInfo));
  EXPECT_EQ(caps.VideoStandard, 0u);
  const LONG minW = c.capsFixed ? c.width : 160, minH = c.capsFixed ? c.height : 120;
  const LONG maxW = c.capsFixed ? c.width : 640, maxH = c.capsFixed ? c.height : 480;
  EXPECT_EQ(caps.InputSize.cx, maxW);
  EXPECT_EQ(caps.InputSize.cy, maxH);
  EXPECT_EQ(caps.MinOutputSize.cx, minW);
  EXPECT_EQ(caps.MinOutputSize.cy, minH);
  EXPECT_EQ(caps.MaxOutputSize.cx, maxW);
  EXPECT_EQ(caps.MaxOutputSize.cy, maxH);
  EXPECT_EQ(caps.MinCroppingSize.cx, minW);
  EXPECT_EQ(caps.MaxCroppingSize.cy, maxH);
  EXPECT_EQ(caps.OutputGranularityX, c.capsFixed ? 0 : 8);
  EXPECT_EQ(caps.CropGranularityY, c.capsFixed ? 0 : 8);
  EXPECT_EQ(caps.CropAlignX, 8);
  EXPECT_EQ(caps.CropAlignY, 1);
  EXPECT_EQ(caps.StretchTapsX, 0);
  EXPECT_EQ(caps.MinFrameInterval, 333667);
  EXPECT_EQ(caps.MaxFrameInterval, 640000000);
  EXPECT_EQ(caps.MinBitsPerSecond, 13824000);
  EXPECT_EQ(caps.MaxBitsPerSecond, 248832000);
}

INSTANTIATE_TEST_SUITE_P(
    Announcements, CameraAnnouncedSizeTest,
    testing::Values(AnnouncedCase{"none", 0, 0, 320, 240, 640, 480, false},
                    AnnouncedCase{"hd", 1280, 720, 1280, 720, 1280, 720, true},
                    AnnouncedCase{"small", 320, 240, 320, 240, 640, 480, true},
                    AnnouncedCase{"only_wider", 800, 400, 800, 400, 640, 480, true},
                    // Shapes outside the range that a producer may still announce.
                    AnnouncedCase{"wide_700x400", 700, 400, 700, 400, 640, 480, true},
                    AnnouncedCase{"one_column_more", 641, 480, 641, 480, 640, 480, true},
                    AnnouncedCase{"one_line_more", 640, 481, 640, 481, 640, 480, true},
                    AnnouncedCase{"below_the_minimum", 100, 100, 100, 100, 640, 480, true},
                    AnnouncedCase{"strip_1920x200", 1920, 200, 1920, 200, 640, 480, true},
                    AnnouncedCase{"portrait", 480, 640, 480, 640, 640, 480, true},
                    // Sizes no frame can have are no announcement at all.
                    AnnouncedCase{"negative", -1280, 720, 320, 240, 640, 480, false},
                    AnnouncedCase{"beyond_a_frame_area", 100000, 100000, 320, 240, 640, 480, false}),
    [](const testing::TestParamInfo<AnnouncedCase>& info) { return std::string(info.param.name); });

TEST_F(CameraFormatTest, ProposalsAreCheckedLevelByLevel) {
  CMediaType partial;
  EXPECT_EQ(Stream()->CheckMediaType(&partial), S_OK) << "major type GUID_NULL";
  partial.SetType(&MEDIATYPE_Audio);
  EXPECT_EQ(Stream()->CheckMediaType(&partial), E_INVALIDARG);
  partial.SetType(&MEDIATYPE_Video);
  EXPECT_EQ(Stream()->CheckMediaType(&partial), S_OK) << "subtype GUID_NULL";
  partial.SetSubtype(&MEDIASUBTYPE_RGB32);
  EXPECT_EQ(Stream()->CheckMediaType(&partial), E_INVALIDARG);
  partial.SetSubtype(&MEDIASUBTYPE_RGB24);
  EXPECT_EQ(Stream()->CheckMediaType(&partial), S_OK) << "format type GUID_NULL";
  partial.SetVariableSize();
  EXPECT_EQ(Stream()->CheckMediaType(&partial), E_INVALIDARG);
  partial.SetSampleSize(1);
  partial.SetFormatType(&FORMAT_VideoInfo);
  EXPECT_EQ(Stream()->CheckMediaType(&partial), E_INVALIDARG) << "no format block";

  CMediaType shortBlock = VideoType(320, 240);
  shortBlock.ReallocFormatBuffer(87);
  EXPECT_EQ(Stream()->CheckMediaType(&shortBlock), E_INVALIDARG);
  const CMediaType topDown = VideoType(320, -240);
  EXPECT_EQ(Stream()->CheckMediaType(&topDown), E_INVALIDARG);
  const CMediaType anyBits = VideoType(320, 240, 8);
  EXPECT_EQ(Stream()->CheckMediaType(&anyBits), S_OK) << "the bit count is not examined here";
}

TEST_F(CameraFormatTest, WhileConnectedAProposalLargerThanTheBuffersIsRefused) {
  ASSERT_EQ(Connect(), S_OK);
  const CMediaType large = VideoType(640, 480);
  EXPECT_EQ(Stream()->CheckMediaType(&large), E_INVALIDARG);
  // A bit count that makes the picture overflow 32 bits must not slip through.
  const CMediaType hugeBits = VideoType(640, 480, 0xFFFF);
  EXPECT_EQ(Stream()->CheckMediaType(&hugeBits), E_INVALIDARG);
  const CMediaType same = VideoType(320, 240);
  EXPECT_EQ(Stream()->CheckMediaType(&same), S_OK);
  ASSERT_EQ(Pin()->Disconnect(), S_OK);
  ASSERT_EQ(m_renderer->Pin()->Disconnect(), S_OK);
  EXPECT_EQ(Stream()->CheckMediaType(&large), S_OK);
}

TEST_F(CameraFormatTest, SetMediaTypeFixesSizeAndPaceAndRefusesWhatItCannotDeliver) {
  struct Case {
    REFERENCE_TIME avg;
    std::int32_t interval;
  };
  for (const Case c : {Case{333333, 33}, Case{0, 40}, Case{20000000, 40}, Case{95000, 10}, Case{9995000, 1000}}) {
    const CMediaType type = VideoType(640, 480, 24, c.avg);
    ASSERT_EQ(Stream()->SetMediaType(&type), S_OK);
    EXPECT_EQ(Stream()->FrameInterval(), c.interval) << c.avg;
  }
  EXPECT_EQ(Stream()->Width(), 640);
  EXPECT_EQ(Stream()->Height(), 480);
  EXPECT_EQ(Stream()->CurrentMediaType().lSampleSize, 921600u);

  CMediaType wrongSize = VideoType(352, 288, 24, 333333);
  VIDEOINFOHEADER* format = reinterpret_cast<VIDEOINFOHEADER*>(wrongSize.pbFormat);
  format->bmiHeader.biSizeImage = 5;
  ASSERT_EQ(Stream()->SetMediaType(&wrongSize), S_OK);
  EXPECT_EQ(VideoInfo(Stream()->CurrentMediaType()).bmiHeader.biSizeImage, FrameBytes(352, 288));

  const CMediaType bits32 = VideoType(320, 240, 32);
  EXPECT_EQ(Stream()->SetMediaType(&bits32), E_UNEXPECTED);
  CMediaType audio = VideoType(320, 240);
  audio.SetType(&MEDIATYPE_Audio);
  EXPECT_EQ(Stream()->SetMediaType(&audio), E_INVALIDARG);
  const CMediaType topDown = VideoType(320, -240);
  EXPECT_EQ(Stream()->SetMediaType(&topDown), E_INVALIDARG);
  EXPECT_EQ(Stream()->SetMediaType(nullptr), E_POINTER);
  // No failure changes the size or the pace.
  EXPECT_EQ(Stream()->Width(), 352);
  EXPECT_EQ(Stream()->Height(), 288);
  EXPECT_EQ(Stream()->FrameInterval(), 33);
}

TEST_F(CameraFormatTest, FormatBlockAtAnUnalignedAddressIsReadWhereItStands) {
  // A peer's format block may sit at any address; its fields are read from there.
  for (const auto& [width, expected] : {std::pair{352, S_OK}, std::pair{100, E_INVALIDARG}}) {
    const CMediaType aligned = VideoType(width, 288);
    std::vector<BYTE> storage(sizeof(VIDEOINFOHEADER) + 1);
    std::memcpy(storage.data() + 1, aligned.pbFormat, sizeof(VIDEOINFOHEADER));
    AM_MEDIA_TYPE proposal = aligned;
    proposal.pbFormat = storage.data() + 1;
    const auto* type = static_cast<const CMediaType*>(&proposal);
    EXPECT_EQ(Stream()->CheckMediaType(type), expected) << width;
    EXPECT_EQ(Pin()->QueryAccept(&proposal), expected == S_OK ? S_OK : S_FALSE) << width;
    EXPECT_EQ(Stream()->SetMediaType(type), S_OK) << width;
    EXPECT_EQ(Stream()->Width(), width);
    EXPECT_EQ(Stream()->Height(), 288);
  }
}

TEST_F(CameraFormatTest, PictureTooLargeToCountIsRefused) {
  // 1,995,896,566 x 1,995,896,566 pixels of 24 bits: more bytes than 64 bits count.
  const CMediaType huge = VideoType(1995896566, 1995896566);
  EXPECT_EQ(Stream()->CheckMediaType(&huge), E_INVALIDARG);
  EXPECT_EQ(Stream()->SetMediaType(&huge), E_INVALIDARG);
  EXPECT_EQ(Stream()->Width(), 320);
}

TEST_F(CameraFormatTest, DecideBufferSizeAsksForTheDownstreamsBufferCountAtLeastTwoOfTheImageSize) {
  testing_support::CLogCapture log(1);
  const CMediaType type = VideoType(640, 480);
  ASSERT_EQ(Stream()->SetMediaType(&type), S_OK);
  CGrantingAllocator enough(921600);
  for (const auto& [asked, expected] : {std::pair{0, 2}, std::pair{1, 2}, std::pair{2, 2}, std::pair{3, 3}}) {
    ALLOCATOR_PROPERTIES request{asked, 7, 16, 32};
    EXPECT_EQ(Stream()->DecideBufferSize(&enough, &request), S_OK);
    EXPECT_EQ(enough.m_request.cBuffers, expected) << "downstream asked for " << asked;
  }
  ALLOCATOR_PROPERTIES request{5, 7, 16, 32};
  EXPECT_EQ(Stream()->DecideBufferSize(&enough, &request), S_OK);
  EXPECT_EQ(enough.m_request.cBuffers, 5);
  EXPECT_EQ(enough.m_request.cbBuffer, 921600);
  EXPECT_EQ(enough.m_request.cbAlign, 16);
  EXPECT_EQ(enough.m_request.cbPrefix, 32);
  CGrantingAllocator tooLittle(921599);
  EXPECT_EQ(Stream()->DecideBufferSize(&tooLittle, &request), E_FAIL);
  EXPECT_EQ(Stream()->DecideBufferSize(nullptr, &request), E_POINTER);
  EXPECT_EQ(Stream()->DecideBufferSize(&enough, nullptr), E_POINTER);
  const std::string messages = log.Messages();
  EXPECT_NE(messages.find("Requesting buffer size 921600\n"), std::string::npos);
  EXPECT_NE(messages.find("Actual buffer size 921599\n"), std::string::npos);
}

TEST_F(CameraFormatTest, SetFormatFixesTheOfferUntilItIsClearedAndOnlyWhileStopped) {
  CMediaType fixed = VideoType(640, 480, 24, 333333);
  ASSERT_EQ(Config()->SetFormat(&fixed), S_OK);
  CMediaType offered;
  ASSERT_EQ(Stream()->GetMediaType(0, &offered), S_OK);
  EXPECT_TRUE(offered == fixed);
  EXPECT_EQ(Stream()->GetMediaType(1, &offered), VFW_S_NO_MORE_ITEMS);
  const CMediaType other = VideoType(320, 240);
  EXPECT_EQ(Stream()->CheckMediaType(&other), E_INVALIDARG);
  AM_MEDIA_TYPE* current = nullptr;
  ASSERT_EQ(Config()->GetFormat(&current), S_OK);
  EXPECT_TRUE(fixed == *current);
  DeleteMediaType(current);

  // A different format replaces a fixed one.
  ASSERT_EQ(Config()->SetFormat(const_cast<CMediaType*>(&other)), S_OK);
  EXPECT_EQ(Stream()->Width(), 320);

  ASSERT_EQ(Config()->SetFormat(nullptr), S_OK);
  EXPECT_EQ(Stream()->CheckMediaType(&fixed), S_OK);
  ASSERT_EQ(Config()->GetFormat(&current), S_OK);
  EXPECT_EQ(VideoInfo(*current).bmiHeader.biWidth, 320);
  EXPECT_EQ(VideoInfo(*current).AvgTimePerFrame, 400000);
  DeleteMediaType(current);

  CMediaType tooSmall = VideoType(100, 100);
  EXPECT_EQ(Config()->SetFormat(&tooSmall), static_cast<HRESULT>(0x80040248u));
  EXPECT_EQ(Config()->GetFormat(nullptr), E_POINTER);

  ASSERT_EQ(Connect(), S_OK);
  ASSERT_EQ(Pause(), S_OK);
  EXPECT_EQ(Config()->SetFormat(&fixed), VFW_E_NOT_STOPPED);
  EXPECT_EQ(Config()->SetFormat(nullptr), VFW_E_NOT_STOPPED);
  ASSERT_EQ(Stop(), S_OK);
}

TEST_F(CameraFormatTest, SetFormatWhileConnectedAsksThePeer) {
  ASSERT_EQ(Connect(), S_OK);
  Input()->AcceptOnly(MEDIASUBTYPE_RGB24, 320, 240);
  CMediaType slower = VideoType(320, 240, 24, 666666);
  EXPECT_EQ(Config()->SetFormat(&slower), S_OK);
  EXPECT_EQ(Stream()->FrameInterval(), 67);
  CMediaType smaller = VideoType(160, 120);
  EXPECT_EQ(Config()->SetFormat(&smaller), static_cast<HRESULT>(0x80040248u)) << "the renderer refuses it";
  EXPECT_EQ(Stream()->Width(), 320);
  AM_MEDIA_TYPE* current = nullptr;
  ASSERT_EQ(Config()->GetFormat(&current), S_OK);
  EXPECT_TRUE(slower == *current);
  DeleteMediaType(current);
}

// A format set while connected is the one the reconnection negotiates: both pins carry
// it afterwards.
TEST_F(CameraFormatTest, SetFormatWhileConnectedReconnectsWithTheNewType) {
  ASSERT_EQ(Connect(), S_OK);
  CMediaType smaller = VideoType(160, 120);
  ASSERT_EQ(Config()->SetFormat(&smaller), S_OK);
  EXPECT_EQ(m_graph.ReconnectCount(), 1);
  CMediaType connected;
  ASSERT_EQ(Input()->ConnectionMediaType(&connected), S_OK);
  EXPECT_EQ(VideoInfo(connected).bmiHeader.biWidth, 160) << "the renderer reads what the camera writes";
  EXPECT_EQ(VideoInfo(connected).bmiHeader.biHeight, 120);
  EXPECT_TRUE(Stream()->CurrentMediaType() == connected);

  // Setting the type the connection already has asks for no reconnection.
  ASSERT_EQ(Config()->SetFormat(&smaller), S_OK);
  EXPECT_EQ(m_graph.ReconnectCount(), 1);
}

TEST_F(CameraFormatTest, AFailedReconnectionRestoresTheTypeTheFixingAndTheConnection) {
  Announce(320, 240);
  Publish(320, 240, SolidFrame(320, 240, 10, 20, 30));
  ASSERT_EQ(Connect(), S_OK);
  const CMediaType before = Stream()->CurrentMediaType();
  CMediaType smaller = VideoType(160, 120);
  const CMediaType other = VideoType(200, 150);
  for (const bool dropConnection : {false, true}) {
    SCOPED_TRACE(dropConnection ? "the graph lost the connection" : "the graph left the connection");
    m_graph.FailReconnect(E_FAIL, dropConnection);
    EXPECT_EQ(Config()->SetFormat(&smaller), E_FAIL);
    EXPECT_TRUE(Stream()->CurrentMediaType() == before);
    EXPECT_EQ(Stream()->Width(), 320);
    EXPECT_EQ(Stream()->Height(), 240);
    EXPECT_EQ(Stream()->CheckMediaType(&other), S_OK) << "the format is not left fixed";
    ASSERT_TRUE(Stream()->IsConnected());
    CMediaType connected;
    ASSERT_EQ(Input()->ConnectionMediaType(&connected), S_OK);
    EXPECT_TRUE(connected == before);
  }
  m_graph.FailReconnect(S_OK, false);
  const auto copies = Capture(2);
  ASSERT_FALSE(copies.empty());
  for (const auto& copy : copies) EXPECT_EQ(copy.bytes, SolidFrame(320, 240, 10, 20, 30)) << copy.index;

  // A fixed format stays fixed when a change of it fails.
  CMediaType slower = VideoType(320, 240, 24, 666666);
  ASSERT_EQ(Config()->SetFormat(&slower), S_OK);
  m_graph.FailReconnect(E_FAIL, true);
  EXPECT_EQ(Config()->SetFormat(&smaller), E_FAIL);
  EXPECT_EQ(Stream()->CheckMediaType(&other), E_INVALIDARG);
  EXPECT_TRUE(Stream()->CurrentMediaType() == slower);
  EXPECT_EQ(Stream()->FrameInterval(), 67);
  EXPECT_TRUE(Stream()->IsConnected());
}

TEST_F(CameraFormatTest, CapabilityQueriesCheckTheirArguments) {
  int count = 0, size = 0;
  EXPECT_EQ(Config()->GetNumberOfCapabilities(&count, &size), S_OK);
  EXPECT_EQ(count, 1);
  EXPECT_EQ(size, 128);
  EXPECT_EQ(Config()->GetNumberOfCapabilities(nullptr, &size), E_INVALIDARG);
  EXPECT_EQ(Config()->GetNumberOfCapabilities(&count, nullptr), E_INVALIDARG);
  AM_MEDIA_TYPE* type = nullptr;
  BYTE caps[128];
  EXPECT_EQ(Config()->GetStreamCaps(1, &type, caps), E_INVALIDARG);
  EXPECT_EQ(Config()->GetStreamCaps(0, nullptr, caps), E_INVALIDARG);
  EXPECT_EQ(Config()->GetStreamCaps(0, &type, nullptr), E_INVALIDARG);
}

TEST_F(CameraFormatTest, PinCategoryIsCapture) {
  auto* properties = static_cast<IKsPropertySet*>(Stream());
  DWORD returned = 0;
  EXPECT_EQ(properties->Get(AMPROPSETID_Pin, AMPROPERTY_PIN_CATEGORY, nullptr, 0, nullptr, 0, &returned), S_OK);
  EXPECT_EQ(returned, 16u);
  GUID category = GUID_NULL;
  EXPECT_EQ(properties->Get(AMPROPSETID_Pin, AMPROPERTY_PIN_CATEGORY, nullptr, 0, &category, 15, nullptr),
            E_UNEXPECTED);
  EXPECT_TRUE(IsEqualGUID(category, GUID_NULL));
  EXPECT_EQ(properties->Get(AMPROPSETID_Pin, AMPROPERTY_PIN_CATEGORY, nullptr, 0, &category, 16, nullptr), S_OK);
  EXPECT_TRUE(IsEqualGUID(category, PIN_CATEGORY_CAPTURE));
  EXPECT_EQ(properties->Get(AMPROPSETID_Pin, AMPROPERTY_PIN_CATEGORY, nullptr, 0, nullptr, 0, nullptr), E_POINTER);
  EXPECT_EQ(properties->Get(AMPROPSETID_Pin, AMPROPERTY_PIN_MEDIUM, nullptr, 0, &category, 16, nullptr),
            E_PROP_ID_UNSUPPORTED);
  EXPECT_EQ(properties->Get(GUID_NULL, 0, nullptr, 0, &category, 16, nullptr), E_PROP_SET_UNSUPPORTED);

  DWORD support = 0;
  EXPECT_EQ(properties->QuerySupported(AMPROPSETID_Pin, AMPROPERTY_PIN_CATEGORY, &support), S_OK);
  EXPECT_EQ(support, static_cast<DWORD>(KSPROPERTY_SUPPORT_GET));
  EXPECT_EQ(properties->QuerySupported(AMPROPSETID_Pin, AMPROPERTY_PIN_CATEGORY, nullptr), S_OK);
  EXPECT_EQ(properties->QuerySupported(AMPROPSETID_Pin, 1, &support), E_PROP_ID_UNSUPPORTED);
  EXPECT_EQ(properties->QuerySupported(GUID_NULL, 0, &support), E_PROP_SET_UNSUPPORTED);
  EXPECT_EQ(properties->Set(AMPROPSETID_Pin, 0, nullptr, 0, &category, 16), E_PROP_ID_UNSUPPORTED);
  EXPECT_EQ(properties->Set(GUID_NULL, 0, nullptr, 0, &category, 16), E_PROP_SET_UNSUPPORTED);
}

TEST_F(CameraFormatTest, PushSourceAndPinInterfacesAnswerAsALiveCapturePin) {
  IAMPushSource* push = nullptr;
  ASSERT_EQ(Pin()->QueryInterface(IID_IAMPushSource, reinterpret_cast<void**>(&push)), S_OK);
  REFERENCE_TIME value = -1;
  EXPECT_EQ(push->GetLatency(&value), S_OK);
  EXPECT_EQ(value, 666666);
  ULONG flags = 0;
  EXPECT_EQ(push->GetPushSourceFlags(&flags), S_OK);
  EXPECT_EQ(flags, 4u);
  EXPECT_EQ(push->SetPushSourceFlags(0), E_NOTIMPL);
  EXPECT_EQ(push->SetStreamOffset(5), S_OK);
  value = -1;
  EXPECT_EQ(push->GetStreamOffset(&value), E_FAIL);
  EXPECT_EQ(value, 0);
  value = -1;
  EXPECT_EQ(push->GetMaxStreamOffset(&value), S_OK);
  EXPECT_EQ(value, 0);
  EXPECT_EQ(push->SetMaxStreamOffset(5), E_FAIL);
  EXPECT_EQ(push->GetLatency(nullptr), E_POINTER);
  EXPECT_EQ(push->GetStreamOffset(nullptr), E_POINTER);
  push->Release();

  void* out = nullptr;
  for (const GUID* iid : {&IID_IKsPropertySet, &IID_IAMStreamConfig, &IID_IAMStreamControl,
                          &IID_IPersistPropertyBag, &IID_IPin, &IID_IQualityControl}) {
    EXPECT_EQ(Pin()->QueryInterface(*iid, &out), S_OK);
    static_cast<IUnknown*>(out)->Release();
  }
  EXPECT_EQ(Pin()->QueryInterface(IID_IEnumMediaTypes, &out), E_NOINTERFACE);
  EXPECT_EQ(Pin()->QueryInterface(IID_IAMLatency, &out), E_NOINTERFACE);

  IPersistPropertyBag* bag = nullptr;
  ASSERT_EQ(Pin()->QueryInterface(IID_IPersistPropertyBag, reinterpret_cast<void**>(&bag)), S_OK);
  CLSID clsid = GUID_NULL, filterClsid = GUID_NULL;
  EXPECT_EQ(bag->GetClassID(&clsid), S_OK);
  EXPECT_EQ(m_filter->GetClassID(&filterClsid), S_OK);
  EXPECT_TRUE(IsEqualGUID(clsid, filterClsid));
  EXPECT_EQ(bag->GetClassID(nullptr), E_POINTER);
  EXPECT_EQ(bag->InitNew(), S_OK);
  EXPECT_EQ(bag->Load(nullptr, nullptr), S_OK);
  EXPECT_EQ(bag->Save(nullptr, TRUE, TRUE), S_OK);
  bag->Release();
}

// One thread changes formats while another changes the filter's state: both take the
// filter's state lock before the stream's own lock, so neither can wait for the other.
TEST_F(CameraFormatTest, FormatChangesAndStateChangesOnTwoThreadsDoNotDeadlock) {
  ASSERT_EQ(Connect(), S_OK);
  std::atomic<bool> done{false};
  std::atomic<int> formatCalls{0};
  std::thread formats([&] {
    CMediaType same = VideoType(320, 240);
    while (!done.load()) {
      AM_MEDIA_TYPE* current = nullptr;
      if (SUCCEEDED(Config()->GetFormat(&current))) DeleteMediaType(current);
      Config()->SetFormat(&same);
      Config()->SetFormat(nullptr);
      AM_MEDIA_TYPE* caps = nullptr;
      BYTE record[128];
      if (SUCCEEDED(Config()->GetStreamCaps(0, &caps, record))) DeleteMediaType(caps);
      formatCalls.fetch_add(1);
    }
  });
  const HRESULT hr = testing_support::CallWithin(60s, [this] {
    for (int i = 0; i < 40; ++i) {
      HRESULT result = Pause();
      if (FAILED(result)) return result;
      if (i % 2 == 0 && FAILED(result = Run())) return result;
      if (FAILED(result = Stop())) return result;
    }
    return S_OK;
  });
  done.store(true);
  formats.join();
  EXPECT_EQ(hr, S_OK);
  EXPECT_GT(formatCalls.load(), 0);
}

}  // namespace
}  // namespace camera_test
