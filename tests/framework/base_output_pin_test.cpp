// Connection and allocator negotiation of an output pin (a push stream of the numbered
// test source) with the host-side renderer's input pin, connected directly without a
// graph.
#include "framework/base_output_pin.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <vector>

#include "com/base_object.h"
#include "framework/media_type.h"
#include "support/numbered_source.h"
#include "support/scripted_renderer_filter.h"
#include "support/test_support.h"

namespace {

using testing_support::CNumberedSource;
using testing_support::CNumberedStream;
using testing_support::CScriptedRendererFilter;
using testing_support::CScriptedRendererInputPin;
using testing_support::MakeRgb24Type;

CMediaType MakeRgb32Type(LONG width, LONG height) {
  CMediaType type = MakeRgb24Type(width, height);
  type.SetSubtype(&MEDIASUBTYPE_RGB32);
  auto* format = reinterpret_cast<VIDEOINFOHEADER*>(type.Format());
  format->bmiHeader.biBitCount = 32;
  format->bmiHeader.biSizeImage = GetBitmapSize(&format->bmiHeader);
  type.SetSampleSize(format->bmiHeader.biSizeImage);
  return type;
}

// Same format block as a video type, but audio: only a partial match on the major type
// tells them apart.
CMediaType MakeAudioType() {
  CMediaType type = MakeRgb24Type(32, 32);
  type.SetType(&MEDIATYPE_Audio);
  return type;
}

std::string Describe(const AM_MEDIA_TYPE& type) {
  std::string text = IsEqualGUID(type.majortype, MEDIATYPE_Audio) ? "audio" : "video";
  if (IsEqualGUID(type.subtype, MEDIASUBTYPE_RGB24)) text += " RGB24";
  if (IsEqualGUID(type.subtype, MEDIASUBTYPE_RGB32)) text += " RGB32";
  if (type.cbFormat >= sizeof(VIDEOINFOHEADER) && type.pbFormat != nullptr) {
    const auto* format = reinterpret_cast<const VIDEOINFOHEADER*>(type.pbFormat);
    text += " " + std::to_string(format->bmiHeader.biWidth);
  }
  return text;
}

LONG WidthOf(const AM_MEDIA_TYPE& type) {
  return reinterpret_cast<const VIDEOINFOHEADER*>(type.pbFormat)->bmiHeader.biWidth;
}

// A numbered stream that takes any RGB24 video size and records every type it is asked
// to check, in order.
class CTypeRecordingStream : public CNumberedStream {
 public:
  CTypeRecordingStream(HRESULT* phr, CNumberedSource* source, bool tryMyTypesFirst)
      : CNumberedStream(phr, source, L"Recording") {
    m_bTryMyTypesFirst = tryMyTypesFirst;
  }

  HRESULT CheckMediaType(const CMediaType* pMediaType) override {
    m_checked.push_back(Describe(*pMediaType));
    if (m_checkResult != S_OK) return m_checkResult;
    const bool video = IsEqualGUID(pMediaType->majortype, MEDIATYPE_Video) &&
                       IsEqualGUID(pMediaType->subtype, MEDIASUBTYPE_RGB24) &&
                       IsEqualGUID(pMediaType->formattype, FORMAT_VideoInfo) &&
                       pMediaType->cbFormat >= sizeof(VIDEOINFOHEADER) && pMediaType->pbFormat != nullptr;
    return video ? S_OK : E_FAIL;
  }

  std::vector<std::string> m_checked;
};

class OutputPinConnectionTest : public testing::Test {
 protected:
  void SetUp() override {
    m_objects = CBaseObject::ObjectsActive();
    m_source = NewSource(1);
    m_renderer = NewRenderer();
  }

  void TearDown() override {
    for (CNumberedSource* source : m_sources) source->Stop();
    for (CScriptedRendererFilter* renderer : m_renderers) renderer->Stop();
    for (CNumberedSource* source : m_sources) {
      for (int i = 0; i < source->GetPinCount(); ++i) source->GetPin(i)->Disconnect();
    }
    for (CScriptedRendererFilter* renderer : m_renderers) renderer->Pin()->Disconnect();
    for (CNumberedSource* source : m_sources) source->Release();
    for (CScriptedRendererFilter* renderer : m_renderers) renderer->Release();
    EXPECT_EQ(CBaseObject::ObjectsActive(), m_objects) << "a filter, pin or allocator was not freed";
  }

  CNumberedSource* NewSource(int streams) {
    m_sources.push_back(CNumberedSource::Create(streams));
    return m_sources.back();
  }
  CScriptedRendererFilter* NewRenderer() {
    m_renderers.push_back(CScriptedRendererFilter::Create());
    return m_renderers.back();
  }
  // A source whose single stream records the types it checks.
  CTypeRecordingStream* NewRecordingStream(bool tryMyTypesFirst) {
    CNumberedSource* source = NewSource(0);
    HRESULT hr = S_OK;
    auto* stream = new CTypeRecordingStream(&hr, source, tryMyTypesFirst);
    EXPECT_EQ(hr, S_OK);
    return stream;
  }

  CNumberedStream* Stream() { return m_source->Stream(); }
  IPin* StreamPin() { return static_cast<IPin*>(Stream()); }
  CScriptedRendererInputPin* Input() { return m_renderer->InputPin(); }
  IPin* InputPin() { return m_renderer->Pin(); }
  IMemAllocator* OwnAllocator() {
    IMemAllocator* own = Input()->OwnAllocator();
    if (own != nullptr) own->Release();  // the pin keeps it alive
    return own;
  }

  LONG m_objects = 0;
  CNumberedSource* m_source = nullptr;
  CScriptedRendererFilter* m_renderer = nullptr;
  std::vector<CNumberedSource*> m_sources;
  std::vector<CScriptedRendererFilter*> m_renderers;
};

TEST_F(OutputPinConnectionTest, ACompleteTypeTheStreamRejectsIsTheOnlyTypeTried) {
  Input()->SetPreferredTypes({MakeRgb24Type(64, 48)});
  Stream()->m_checkResult = S_FALSE;
  const CMediaType type = MakeRgb24Type(64, 48);
  EXPECT_EQ(StreamPin()->Connect(InputPin(), &type), VFW_E_TYPE_NOT_ACCEPTED);
  EXPECT_FALSE(Stream()->IsConnected());
  EXPECT_FALSE(Input()->IsConnected());
  EXPECT_EQ(Input()->EnumerationCount(), 0);
  EXPECT_TRUE(Input()->OfferedSubtypes().empty());
  EXPECT_TRUE(Stream()->m_decideRequests.empty());
}

struct Negotiation {
  const char* name;
  bool tryMyTypesFirst;
  bool partial;  // else no type at all
  GUID partialSubtype;
  std::vector<std::string> checked;
  LONG connectedWidth;
};

class OutputPinNegotiationTest : public OutputPinConnectionTest, public testing::WithParamInterface<Negotiation> {};

// The renderer prefers: an audio type, RGB32 80 (both refused by the stream), RGB24 80;
// the stream itself offers RGB24 64.
TEST_P(OutputPinNegotiationTest, TriesThePeersTypesThenItsOwnFilteredByThePartialType) {
  const Negotiation& n = GetParam();
  CTypeRecordingStream* stream = NewRecordingStream(n.tryMyTypesFirst);
  Input()->SetPreferredTypes({MakeAudioType(), MakeRgb32Type(80, 60), MakeRgb24Type(80, 60)});
  CMediaType partial;
  partial.InitMediaType();
  partial.SetType(&MEDIATYPE_Video);
  partial.SetSubtype(&n.partialSubtype);
  ASSERT_EQ(static_cast<IPin*>(stream)->Connect(InputPin(), n.partial ? &partial : nullptr), S_OK);
  EXPECT_EQ(stream->m_checked, n.checked);
  EXPECT_EQ(WidthOf(stream->CurrentMediaType()), n.connectedWidth);
  EXPECT_EQ(WidthOf(Input()->CurrentMediaType()), n.connectedWidth);
}

INSTANTIATE_TEST_SUITE_P(
    Orders, OutputPinNegotiationTest,
    testing::Values(Negotiation{"PartialMajorType", false, true, GUID_NULL, {"video RGB32 80", "video RGB24 80"}, 80},
                    Negotiation{"PartialSubtype", false, true, MEDIASUBTYPE_RGB24, {"video RGB24 80"}, 80},
                    Negotiation{"NoType", false, false, GUID_NULL, {"audio RGB24 32", "video RGB32 80", "video RGB24 80"}, 80},
                    Negotiation{"OwnTypesFirst", true, true, GUID_NULL, {"video RGB24 64"}, 64}),
    [](const testing::TestParamInfo<Negotiation>& info) { return std::string(info.param.name); });

TEST_F(OutputPinConnectionTest, FallsBackToItsOwnTypesWhenThePeersAreAllRefused) {
  CTypeRecordingStream* stream = NewRecordingStream(false);
  Input()->SetPreferredTypes({MakeRgb32Type(80, 60)});
  CMediaType partial;
  partial.InitMediaType();
  partial.SetType(&MEDIATYPE_Video);
  ASSERT_EQ(static_cast<IPin*>(stream)->Connect(InputPin(), &partial), S_OK);
  EXPECT_EQ(stream->m_checked, (std::vector<std::string>{"video RGB32 80", "video RGB24 64"}));
  EXPECT_EQ(Input()->OfferedSubtypes().size(), 1u);
}

struct OutOfMemory {
  const char* name;
  int type;  // 0 none, 1 partial, 2 full
  bool tryMyTypesFirst;
  bool rendererPrefers;
};

class OutputPinTypeCheckFailureTest : public OutputPinConnectionTest,
                                      public testing::WithParamInterface<OutOfMemory> {};

TEST_P(OutputPinTypeCheckFailureTest, AFailureOtherThanARefusalIsWhatConnectReports) {
  const OutOfMemory& p = GetParam();
  CTypeRecordingStream* stream = NewRecordingStream(p.tryMyTypesFirst);
  stream->m_checkResult = E_OUTOFMEMORY;
  if (p.rendererPrefers) Input()->SetPreferredTypes({MakeRgb24Type(80, 60)});
  CMediaType partial;
  partial.InitMediaType();
  partial.SetType(&MEDIATYPE_Video);
  const CMediaType full = MakeRgb24Type(64, 48);
  const AM_MEDIA_TYPE* type = p.type == 0 ? nullptr : p.type == 1 ? &partial : &full;
  EXPECT_EQ(static_cast<IPin*>(stream)->Connect(InputPin(), type), E_OUTOFMEMORY);
  EXPECT_FALSE(stream->IsConnected());
  EXPECT_FALSE(stream->m_checked.empty());
}

INSTANTIATE_TEST_SUITE_P(Types, OutputPinTypeCheckFailureTest,
                         testing::Values(OutOfMemory{"NoType", 0, false, false}, OutOfMemory{"Partial", 1, false, true},
                                         OutOfMemory{"Full", 2, false, false},
                                         OutOfMemory{"OwnFirstPeerOffersNothing", 0, true, false},
                                         OutOfMemory{"OwnFirstPeerOffersOne", 1, true, true}),
                         [](const testing::TestParamInfo<OutOfMemory>& info) { return std::string(info.param.name); });

TEST_F(OutputPinConnectionTest, QueryAcceptAnswersSFalseForARefusedType) {
  const CMediaType own = MakeRgb24Type(64, 48);
  const CMediaType other = MakeRgb24Type(80, 60);
  EXPECT_EQ(StreamPin()->QueryAccept(&own), S_OK);
  EXPECT_EQ(StreamPin()->QueryAccept(&other), S_FALSE);
  Stream()->m_checkResult = E_OUTOFMEMORY;
  EXPECT_EQ(StreamPin()->QueryAccept(&own), S_FALSE);
}

TEST_F(OutputPinConnectionTest, DisconnectIsSFalseWhenUnconnectedAndRefusedWhileActive) {
  EXPECT_EQ(StreamPin()->Disconnect(), S_FALSE);
  EXPECT_EQ(InputPin()->Disconnect(), S_FALSE);
  ASSERT_EQ(StreamPin()->Connect(InputPin(), nullptr), S_OK);
  ASSERT_EQ(m_renderer->Pause(), S_OK);
  EXPECT_EQ(InputPin()->Disconnect(), VFW_E_NOT_STOPPED);
  ASSERT_EQ(m_source->Pause(), S_OK);
  EXPECT_EQ(StreamPin()->Disconnect(), VFW_E_NOT_STOPPED);
  EXPECT_TRUE(Stream()->IsConnected());
  EXPECT_TRUE(Input()->IsConnected());
  EXPECT_EQ(m_source->Stop(), S_OK);
  EXPECT_EQ(m_renderer->Stop(), S_OK);
  EXPECT_EQ(StreamPin()->Disconnect(), S_OK);
  EXPECT_EQ(InputPin()->Disconnect(), S_OK);
}

TEST_F(OutputPinConnectionTest, DisconnectOfAnUnconnectedPinIsRefusedWhileItsFilterIsPaused) {
  ASSERT_EQ(m_source->Pause(), S_OK);
  EXPECT_EQ(StreamPin()->Disconnect(), VFW_E_NOT_STOPPED);
  ASSERT_EQ(m_source->Stop(), S_OK);
  EXPECT_EQ(StreamPin()->Disconnect(), S_FALSE);
}

// ConnectedTo takes no pin lock. While another thread connects to peers that die with
// the disconnection (the pin holds their last reference), every answer is either a
// peer that is alive and referenced until the caller lets go, or no peer at all.
TEST_F(OutputPinConnectionTest, ConnectedToWhileTheConnectionIsMadeAndBrokenGivesALivePeerOrNone) {
  std::atomic<int> wrong{0};
  const auto read = [&] {
    IPin* peer = reinterpret_cast<IPin*>(1);
    const HRESULT hr = StreamPin()->ConnectedTo(&peer);
    if (hr == S_OK && peer != nullptr) {
      PIN_DIRECTION direction = PINDIR_OUTPUT;
      if (peer->QueryDirection(&direction) != S_OK || direction != PINDIR_INPUT) ++wrong;
      peer->Release();
    } else if (hr != VFW_E_NOT_CONNECTED || peer != nullptr) {
      ++wrong;
    }
  };
  const auto connectAndBreak = [&](int) {
    CScriptedRendererFilter* renderer = CScriptedRendererFilter::Create();
    bool ok = StreamPin()->Connect(renderer->Pin(), nullptr) == S_OK;
    ok = renderer->Pin()->Disconnect() == S_OK && ok;
    renderer->Release();
    // The renderer dies here unless the reader holds it.
    return StreamPin()->Disconnect() == S_OK && ok;
  };
  EXPECT_TRUE(testing_support::RaceReaderAgainstWriter(read, connectAndBreak, 500, 5000));
  EXPECT_EQ(wrong.load(), 0);
  IPin* peer = nullptr;
  EXPECT_EQ(StreamPin()->ConnectedTo(&peer), VFW_E_NOT_CONNECTED);
}

TEST_F(OutputPinConnectionTest, ConnectionMediaTypeOfAnUnconnectedPinIsTheEmptyType) {
  for (IPin* pin : {StreamPin(), InputPin()}) {
    AM_MEDIA_TYPE type;
    std::memset(&type, 0xCD, sizeof type);
    EXPECT_EQ(pin->ConnectionMediaType(&type), VFW_E_NOT_CONNECTED);
    EXPECT_TRUE(IsEqualGUID(type.majortype, GUID_NULL));
    EXPECT_TRUE(IsEqualGUID(type.subtype, GUID_NULL));
    EXPECT_TRUE(IsEqualGUID(type.formattype, GUID_NULL));
    EXPECT_EQ(type.bFixedSizeSamples, TRUE);
    EXPECT_EQ(type.bTemporalCompression, FALSE);
    EXPECT_EQ(type.lSampleSize, 1u);
    EXPECT_EQ(type.cbFormat, 0u);
    EXPECT_EQ(type.pbFormat, nullptr);
    EXPECT_EQ(type.pUnk, nullptr);
  }
  ASSERT_EQ(StreamPin()->Connect(InputPin(), nullptr), S_OK);
  for (IPin* pin : {StreamPin(), InputPin()}) {
    CMediaType type;
    ASSERT_EQ(pin->ConnectionMediaType(&type), S_OK);
    EXPECT_TRUE(type == MakeRgb24Type(64, 48));
  }
}

TEST_F(OutputPinConnectionTest, QueryPinInfoGivesTheFirst127CharactersOfALongName) {
  CNumberedSource* source = NewSource(0);
  std::wstring name;
  for (int i = 0; i < 200; ++i) name += static_cast<wchar_t>(L'a' + i % 26);
  HRESULT hr = S_OK;
  auto* stream = new CNumberedStream(&hr, source, name.c_str());
  PIN_INFO info{};
  ASSERT_EQ(stream->QueryPinInfo(&info), S_OK);
  EXPECT_EQ(std::wstring(info.achName), name.substr(0, 127));
  EXPECT_EQ(info.dir, PINDIR_OUTPUT);
  EXPECT_EQ(info.pFilter, static_cast<IBaseFilter*>(source));
  info.pFilter->Release();
}

TEST_F(OutputPinConnectionTest, PinsOfTheSameDirectionDoNotConnect) {
  CNumberedSource* twoStreams = NewSource(2);
  IPin* first = static_cast<IPin*>(twoStreams->Stream(0));
  IPin* second = static_cast<IPin*>(twoStreams->Stream(1));
  const CMediaType type = MakeRgb24Type(64, 48);
  EXPECT_EQ(first->Connect(second, nullptr), VFW_E_INVALID_DIRECTION);
  EXPECT_EQ(first->Connect(second, &type), VFW_E_INVALID_DIRECTION);
  CScriptedRendererFilter* other = NewRenderer();
  EXPECT_EQ(InputPin()->Connect(other->Pin(), &type), VFW_E_INVALID_DIRECTION);
  EXPECT_FALSE(twoStreams->Stream(0)->IsConnected());
  EXPECT_FALSE(twoStreams->Stream(1)->IsConnected());
  EXPECT_FALSE(Input()->IsConnected());
  EXPECT_FALSE(other->InputPin()->IsConnected());
}

TEST_F(OutputPinConnectionTest, AConnectedPinRefusesASecondConnectionOnEitherSide) {
  ASSERT_EQ(StreamPin()->Connect(InputPin(), nullptr), S_OK);
  EXPECT_EQ(StreamPin()->Connect(InputPin(), nullptr), VFW_E_ALREADY_CONNECTED);
  CNumberedSource* other = NewSource(1);
  const CMediaType type = MakeRgb24Type(64, 48);
  EXPECT_EQ(static_cast<IPin*>(other->Stream())->Connect(InputPin(), &type), VFW_E_ALREADY_CONNECTED);
  EXPECT_FALSE(other->Stream()->IsConnected());
  IPin* peer = nullptr;
  ASSERT_EQ(InputPin()->ConnectedTo(&peer), S_OK);
  EXPECT_EQ(peer, StreamPin());
  peer->Release();
}

struct Requirements {
  const char* name;
  bool given;
  ALLOCATOR_PROPERTIES downstream;
  ALLOCATOR_PROPERTIES seen;
};

class OutputPinAllocatorRequirementsTest : public OutputPinConnectionTest,
                                           public testing::WithParamInterface<Requirements> {};

TEST_P(OutputPinAllocatorRequirementsTest, DecideBufferSizeSeesTheDownstreamRequestWithAlignmentAtLeastOne) {
  const Requirements& r = GetParam();
  if (r.given) Input()->SetAllocatorRequirements(r.downstream);
  ASSERT_EQ(StreamPin()->Connect(InputPin(), nullptr), S_OK);
  ASSERT_EQ(Stream()->m_decideRequests.size(), 1u);
  const ALLOCATOR_PROPERTIES& seen = Stream()->m_decideRequests[0];
  EXPECT_EQ(seen.cBuffers, r.seen.cBuffers);
  EXPECT_EQ(seen.cbBuffer, r.seen.cbBuffer);
  EXPECT_EQ(seen.cbAlign, r.seen.cbAlign);
  EXPECT_EQ(seen.cbPrefix, r.seen.cbPrefix);
  // The downstream allocator was taken and the renderer told so.
  ASSERT_NE(OwnAllocator(), nullptr);
  EXPECT_EQ(Stream()->m_decideAllocators[0], OwnAllocator());
  EXPECT_EQ(Stream()->Allocator(), OwnAllocator());
  EXPECT_TRUE(Input()->NotifiedOwnAllocator());
  EXPECT_FALSE(Input()->NotifiedReadOnly());
  EXPECT_EQ(Input()->NotifyAllocatorCount(), 1);
}

INSTANTIATE_TEST_SUITE_P(
    Requests, OutputPinAllocatorRequirementsTest,
    testing::Values(Requirements{"None", false, {}, {0, 0, 1, 0}},
                    Requirements{"ZeroAlignment", true, {3, 0, 0, 0}, {3, 0, 1, 0}},
                    Requirements{"Given", true, {2, 4096, 16, 8}, {2, 4096, 16, 8}}),
    [](const testing::TestParamInfo<Requirements>& info) { return std::string(info.param.name); });

TEST_F(OutputPinConnectionTest, ARefusedDownstreamAllocatorIsReplacedByThePinsOwnWithTheRecordAsLeft) {
  Input()->SetAllocatorRequirements({2, 0, 0, 16});
  Stream()->m_firstDecideResult = E_FAIL;
  ASSERT_EQ(StreamPin()->Connect(InputPin(), nullptr), S_OK);
  ASSERT_EQ(Stream()->m_decideRequests.size(), 2u);
  EXPECT_EQ(Stream()->m_decideRequests[0].cBuffers, 2);
  EXPECT_EQ(Stream()->m_decideRequests[0].cbPrefix, 16);
  EXPECT_EQ(Stream()->m_decideRequests[0].cbAlign, 1);
  // The first call's changes are what the second call is given.
  EXPECT_EQ(Stream()->m_decideRequests[1].cBuffers, 7);
  EXPECT_EQ(Stream()->m_decideRequests[1].cbPrefix, 0);
  EXPECT_EQ(Stream()->m_decideRequests[1].cbAlign, 1);
  EXPECT_EQ(Stream()->m_decideAllocators[0], OwnAllocator());
  EXPECT_NE(Stream()->m_decideAllocators[1], OwnAllocator());
  EXPECT_EQ(Stream()->m_decideAllocators[1], Stream()->Allocator());
  EXPECT_EQ(Input()->NotifyAllocatorCount(), 1);
  EXPECT_FALSE(Input()->NotifiedOwnAllocator());
  IMemAllocator* notified = Input()->NotifiedAllocator();
  EXPECT_EQ(notified, Stream()->Allocator());
  if (notified != nullptr) notified->Release();
}

TEST_F(OutputPinConnectionTest, ARendererWithoutAnAllocatorIsToldOfTheSourcesOwn) {
  Input()->RefuseAllocator(true);
  ASSERT_EQ(StreamPin()->Connect(InputPin(), nullptr), S_OK);
  EXPECT_EQ(OwnAllocator(), nullptr);
  ASSERT_EQ(Stream()->m_decideRequests.size(), 1u);
  ASSERT_NE(Stream()->Allocator(), nullptr);
  EXPECT_EQ(Stream()->m_decideAllocators[0], Stream()->Allocator());
  IMemAllocator* notified = Input()->NotifiedAllocator();
  EXPECT_EQ(notified, Stream()->Allocator());
  if (notified != nullptr) notified->Release();
  EXPECT_FALSE(Input()->NotifiedOwnAllocator());
  ALLOCATOR_PROPERTIES props{};
  ASSERT_EQ(Stream()->Allocator()->GetProperties(&props), S_OK);
  EXPECT_EQ(props.cBuffers, 1);
  EXPECT_EQ(props.cbBuffer, 64 * 48 * 3);
}

TEST_F(OutputPinConnectionTest, DisconnectingDropsTheAllocatorOnBothSides) {
  ASSERT_EQ(StreamPin()->Connect(InputPin(), nullptr), S_OK);
  ASSERT_NE(Stream()->Allocator(), nullptr);
  EXPECT_EQ(StreamPin()->Disconnect(), S_OK);
  EXPECT_EQ(Stream()->Allocator(), nullptr);
  EXPECT_EQ(InputPin()->Disconnect(), S_OK);
  EXPECT_EQ(Input()->NotifiedAllocator(), nullptr);
  // Both sides can connect again, with the allocator decided anew.
  ASSERT_EQ(StreamPin()->Connect(InputPin(), nullptr), S_OK);
  EXPECT_EQ(Stream()->m_decideRequests.size(), 2u);
  EXPECT_EQ(Input()->NotifyAllocatorCount(), 2);
}

}  // namespace
