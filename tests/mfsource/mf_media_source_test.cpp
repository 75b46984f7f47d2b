// The camera's Media Foundation source through its interfaces, on the platform's own
// Media Foundation (event queues, attribute stores, descriptors, samples): the formats it
// offers, its states and the events that tell them, paced and stamped samples, the
// client table, and shutting down, explicitly or by the last release, while requests and
// event readers wait.
#include <gtest/gtest.h>

#include <mfapi.h>
#include <mferror.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <future>
#include <string>
#include <vector>

#include "channel/file_mapping.h"
#include "channel/frame_region.h"
#include "com/com_ptr.h"
#include "mfsource/mf_event_waiter.h"
#include "mfsource/mf_media_source.h"
#include "platform/named_sync.h"
#include "platform/reg_key.h"
#include "platform/shared_memory.h"
#include "platform/wide_string.h"
#include "support/channel_fixture.h"
#include "support/test_support.h"

namespace {

using namespace std::chrono_literals;

constexpr auto kDeadline = 60s;

// Media Foundation started for one test, channel names of its own, and the channel made
// (as the producer or a DirectShow camera makes it): a source only ever opens it.
class MfMediaSourceTest : public testing::Test {
 protected:
  void SetUp() override {
    m_started = MFStartup(MF_VERSION, MFSTARTUP_LITE);
    ASSERT_EQ(m_started, S_OK);
    ASSERT_EQ(m_channel.Init(false, nullptr), 0);
  }
  void TearDown() override {
    m_channel.Destroy();
    if (SUCCEEDED(m_started)) MFShutdown();
  }

  CComPtr<CMfMediaSource> MakeSource() {
    CComPtr<CMfMediaSource> source;
    EXPECT_EQ(CMfMediaSource::Create(std::wstring(), source.Receive()), S_OK);
    return source;
  }

  // The presentation descriptor with the stream's current type set to the given entry.
  static CComPtr<IMFPresentationDescriptor> DescriptorWithType(CMfMediaSource* source, DWORD typeIndex) {
    CComPtr<IMFPresentationDescriptor> descriptor;
    EXPECT_EQ(source->CreatePresentationDescriptor(descriptor.Receive()), S_OK);
    if (!descriptor) return {};
    BOOL selected = FALSE;
    CComPtr<IMFStreamDescriptor> stream;
    CComPtr<IMFMediaTypeHandler> handler;
    CComPtr<IMFMediaType> type;
    EXPECT_EQ(descriptor->GetStreamDescriptorByIndex(0, &selected, stream.Receive()), S_OK);
    EXPECT_TRUE(selected);
    EXPECT_EQ(stream->GetMediaTypeHandler(handler.Receive()), S_OK);
    EXPECT_EQ(handler->GetMediaTypeByIndex(typeIndex, type.Receive()), S_OK);
    EXPECT_EQ(handler->SetCurrentMediaType(type.Get()), S_OK);
    return descriptor;
  }

  static HRESULT StartAt(CMfMediaSource* source, IMFPresentationDescriptor* descriptor) {
    PROPVARIANT position;
    PropVariantInit(&position);
    return source->Start(descriptor, &GUID_NULL, &position);
  }

  // The type of the next event already queued, or 0 when none is (so that events that
  // must not be there show).
  static MediaEventType NextQueued(IMFMediaEventGenerator* generator, CComPtr<IMFMediaEvent>* keep = nullptr) {
    CComPtr<IMFMediaEvent> event;
    if (FAILED(generator->GetEvent(MF_EVENT_FLAG_NO_WAIT, event.Receive()))) return 0;
    MediaEventType type = 0;
    EXPECT_EQ(event->GetType(&type), S_OK);
    HRESULT status = E_FAIL;
    EXPECT_EQ(event->GetStatus(&status), S_OK);
    EXPECT_EQ(status, S_OK) << "event " << type;
    if (keep != nullptr) *keep = event;
    return type;
  }

  // Starts the source at the given type and takes the stream from its MENewStream event;
  // the source's MESourceStarted and the stream's MEStreamStarted are taken too.
  static CComPtr<IMFMediaStream> StartStream(CMfMediaSource* source, DWORD typeIndex) {
    CComPtr<IMFPresentationDescriptor> descriptor = DescriptorWithType(source, typeIndex);
    if (!descriptor || StartAt(source, descriptor.Get()) != S_OK) return {};
    CComPtr<IMFMediaEvent> newStream;
    EXPECT_EQ(NextQueued(source, &newStream), static_cast<MediaEventType>(MENewStream));
    CComPtr<IMFMediaStream> stream = StreamOf(newStream.Get());
    EXPECT_EQ(NextQueued(source), static_cast<MediaEventType>(MESourceStarted));
    if (stream) {
      EXPECT_EQ(NextQueued(stream.Get()), static_cast<MediaEventType>(MEStreamStarted));
    }
    return stream;
  }

  // The stream an MENewStream or MEUpdatedStream event carries.
  static CComPtr<IMFMediaStream> StreamOf(IMFMediaEvent* event) {
    PROPVARIANT value;
    PropVariantInit(&value);
    CComPtr<IMFMediaStream> stream;
    if (event != nullptr && SUCCEEDED(event->GetValue(&value)) && value.vt == VT_UNKNOWN) {
      stream = QueryAs<IMFMediaStream>(value.punkVal, IID_IMFMediaStream);
    }
    PropVariantClear(&value);
    return stream;
  }

  // The producer's client entries as any consumer of the channel reads them.
  static std::vector<channel::ClientEntry> ClientEntries() {
    CFileMapping reader;
    EXPECT_EQ(reader.Init(false, nullptr), 0);
    std::vector<channel::ClientEntry> clients;
    reader.GetClientInfo(&clients);
    return clients;
  }

  HRESULT m_started = E_FAIL;
  testing_support::CChannelNamespace m_names;
  CFileMapping m_channel;
};

// ---- the formats ----

struct FormatListCase {
  const char* name;
  const wchar_t* lastSize;  // the value the user's side keeps; null: none
  std::vector<std::pair<int, int>> sizes;
  bool firstWithoutNv12;  // the producer's size is odd
};

class MfMediaSourceFormatTest : public MfMediaSourceTest, public testing::WithParamInterface<FormatListCase> {};

TEST_P(MfMediaSourceFormatTest, DescriptorListsTheLastProducerSizeThenTheLadderInNv12AndRgb32AtEachRate) {
  const FormatListCase& c = GetParam();
  // Another size in the channel's header: a source being made never reads the channel.
  CFileMapping producer;
  ASSERT_EQ(producer.Init(true, nullptr), 0);
  ASSERT_EQ(producer.SetServerResolution(800, 600), 1);  // header setters give 1
  const std::wstring valueName = channel::ObjectName(L"LastProducerSize");
  CRegKey key;
  ASSERT_EQ(key.Create(HKEY_CURRENT_USER, L"Software\\Trelvox\\Amberline", KEY_SET_VALUE), ERROR_SUCCESS);
  if (c.lastSize != nullptr) {
    ASSERT_EQ(key.SetString(valueName.c_str(), c.lastSize), ERROR_SUCCESS);
  }
  CComPtr<CMfMediaSource> source = MakeSource();
  key.DeleteValue(valueName.c_str());
  ASSERT_TRUE(source);
  CComPtr<IMFPresentationDescriptor> descriptor;
  ASSERT_EQ(source->CreatePresentationDescriptor(descriptor.Receive()), S_OK);
  DWORD count = 0;
  ASSERT_EQ(descriptor->GetStreamDescriptorCount(&count), S_OK);
  ASSERT_EQ(count, 1u);
  BOOL selected = FALSE;
  CComPtr<IMFStreamDescriptor> stream;
  ASSERT_EQ(descriptor->GetStreamDescriptorByIndex(0, &selected, stream.Receive()), S_OK);
  EXPECT_TRUE(selected);
  DWORD id = 99;
  EXPECT_EQ(stream->GetStreamIdentifier(&id), S_OK);
  EXPECT_EQ(id, 0u);

  // The stream attributes, on the stream descriptor and from GetStreamAttributes alike.
  CComPtr<IMFAttributes> streamAttributes;
  ASSERT_EQ(source->GetStreamAttributes(0, streamAttributes.Receive()), S_OK);
  EXPECT_EQ(source->GetStreamAttributes(1, CComPtr<IMFAttributes>().Receive()), MF_E_INVALIDSTREAMNUMBER);
  for (IMFAttributes* attributes : {static_cast<IMFAttributes*>(stream.Get()), streamAttributes.Get()}) {
    GUID category{};
    EXPECT_EQ(attributes->GetGUID(MF_DEVICESTREAM_STREAM_CATEGORY, &category), S_OK);
    EXPECT_TRUE(category == AMBERLINE_PINNAME_VIDEO_CAPTURE);
    EXPECT_EQ(MFGetAttributeUINT32(attributes, MF_DEVICESTREAM_STREAM_ID, 99), 0u);
    EXPECT_EQ(MFGetAttributeUINT32(attributes, MF_DEVICESTREAM_FRAMESERVER_SHARED, 0), 1u);
    EXPECT_EQ(MFGetAttributeUINT32(attributes, MF_DEVICESTREAM_ATTRIBUTE_FRAMESOURCE_TYPES, 0),
              static_cast<UINT32>(MFFrameSourceTypes_Color));
  }

  struct Expected {
    int width, height;
    GUID subtype;
    UINT32 rate;
  };
  std::vector<Expected> expected;
  for (std::size_t i = 0; i < c.sizes.size(); ++i) {
    const auto [width, height] = c.sizes[i];
    for (const GUID& subtype : {MFVideoFormat_NV12, MFVideoFormat_RGB32}) {
      if (i == 0 && c.firstWithoutNv12 && subtype == MFVideoFormat_NV12) continue;
      for (UINT32 rate : {30u, 25u, 15u}) expected.push_back({width, height, subtype, rate});
    }
  }
  CComPtr<IMFMediaTypeHandler> handler;
  ASSERT_EQ(stream->GetMediaTypeHandler(handler.Receive()), S_OK);
  DWORD types = 0;
  ASSERT_EQ(handler->GetMediaTypeCount(&types), S_OK);
  ASSERT_EQ(types, expected.size());
  for (DWORD i = 0; i < types; ++i) {
    SCOPED_TRACE("type " + std::to_string(i));
    CComPtr<IMFMediaType> type;
    ASSERT_EQ(handler->GetMediaTypeByIndex(i, type.Receive()), S_OK);
    GUID major{}, subtype{};
    UINT32 width = 0, height = 0, numerator = 0, denominator = 0;
    EXPECT_EQ(type->GetGUID(MF_MT_MAJOR_TYPE, &major), S_OK);
    EXPECT_TRUE(major == MFMediaType_Video);
    EXPECT_EQ(type->GetGUID(MF_MT_SUBTYPE, &subtype), S_OK);
    EXPECT_TRUE(subtype == expected[i].subtype);
    EXPECT_EQ(MFGetAttributeSize(type.Get(), MF_MT_FRAME_SIZE, &width, &height), S_OK);
    EXPECT_EQ(static_cast<int>(width), expected[i].width);
    EXPECT_EQ(static_cast<int>(height), expected[i].height);
    EXPECT_EQ(MFGetAttributeRatio(type.Get(), MF_MT_FRAME_RATE, &numerator, &denominator), S_OK);
    EXPECT_EQ(numerator, expected[i].rate);
    EXPECT_EQ(denominator, 1u);
    // RGB32 rows top-down: a positive stride of four bytes a pixel.
    const UINT32 stride = MFGetAttributeUINT32(type.Get(), MF_MT_DEFAULT_STRIDE, 0);
    EXPECT_EQ(static_cast<INT32>(stride), subtype == MFVideoFormat_RGB32 ? 4 * expected[i].width : expected[i].width);
  }
  EXPECT_EQ(source->Shutdown(), S_OK);
}

INSTANTIATE_TEST_SUITE_P(
    Producers, MfMediaSourceFormatTest,
    testing::Values(FormatListCase{"none", nullptr, {{640, 480}, {1280, 720}, {1920, 1080}}, false},
                    FormatListCase{"own_size", L"320x240", {{320, 240}, {640, 480}, {1280, 720}, {1920, 1080}}, false},
                    FormatListCase{"ladder_size_once", L"1280x720", {{1280, 720}, {640, 480}, {1920, 1080}}, false},
                    FormatListCase{"odd_size_rgb32_only", L"321x241", {{321, 241}, {640, 480}, {1280, 720}, {1920, 1080}},
                                   true},
                    FormatListCase{"largest_side", L"16384x2", {{16384, 2}, {640, 480}, {1280, 720}, {1920, 1080}},
                                   false},
                    FormatListCase{"side_too_large", L"16385x2", {{640, 480}, {1280, 720}, {1920, 1080}}, false},
                    FormatListCase{"zero_side", L"0x480", {{640, 480}, {1280, 720}, {1920, 1080}}, false},
                    FormatListCase{"trailing_text", L"320x240 ", {{640, 480}, {1280, 720}, {1920, 1080}}, false},
                    FormatListCase{"signed", L"+320x240", {{640, 480}, {1280, 720}, {1920, 1080}}, false},
                    FormatListCase{"one_side", L"320x", {{640, 480}, {1280, 720}, {1920, 1080}}, false}),
    [](const testing::TestParamInfo<FormatListCase>& info) { return std::string(info.param.name); });

TEST_F(MfMediaSourceTest, StartRefusesATypeTheDescriptorDoesNotOffer) {
  CComPtr<CMfMediaSource> source = MakeSource();
  ASSERT_TRUE(source);
  CComPtr<IMFPresentationDescriptor> descriptor = DescriptorWithType(source.Get(), 0);
  BOOL selected = FALSE;
  CComPtr<IMFStreamDescriptor> stream;
  CComPtr<IMFMediaTypeHandler> handler;
  CComPtr<IMFMediaType> type;
  ASSERT_EQ(descriptor->GetStreamDescriptorByIndex(0, &selected, stream.Receive()), S_OK);
  ASSERT_EQ(stream->GetMediaTypeHandler(handler.Receive()), S_OK);
  ASSERT_EQ(MFCreateMediaType(type.Receive()), S_OK);
  CComPtr<IMFMediaType> offered;
  ASSERT_EQ(handler->GetMediaTypeByIndex(0, offered.Receive()), S_OK);
  ASSERT_EQ(offered->CopyAllItems(type.Get()), S_OK);
  ASSERT_EQ(MFSetAttributeSize(type.Get(), MF_MT_FRAME_SIZE, 800, 600), S_OK);
  ASSERT_EQ(handler->SetCurrentMediaType(type.Get()), S_OK);
  EXPECT_EQ(StartAt(source.Get(), descriptor.Get()), MF_E_INVALIDMEDIATYPE);
  // An offered RGB32 type that asks for its rows bottom-up.
  CComPtr<IMFMediaType> bottomUp;
  ASSERT_EQ(MFCreateMediaType(bottomUp.Receive()), S_OK);
  offered = nullptr;
  ASSERT_EQ(handler->GetMediaTypeByIndex(3, offered.Receive()), S_OK);
  ASSERT_EQ(offered->CopyAllItems(bottomUp.Get()), S_OK);
  ASSERT_EQ(bottomUp->SetUINT32(MF_MT_DEFAULT_STRIDE, static_cast<UINT32>(-640 * 4)), S_OK);
  ASSERT_EQ(handler->SetCurrentMediaType(bottomUp.Get()), S_OK);
  EXPECT_EQ(StartAt(source.Get(), descriptor.Get()), MF_E_INVALIDMEDIATYPE);
  EXPECT_EQ(NextQueued(source.Get()), 0u) << "a refused start posts nothing";
  EXPECT_TRUE(ClientEntries().empty());
  EXPECT_EQ(source->Shutdown(), S_OK);
}

TEST_F(MfMediaSourceTest, StartRefusesWhatItCannotHonourAndPostsNothing) {
  CComPtr<CMfMediaSource> source = MakeSource();
  ASSERT_TRUE(source);
  CComPtr<IMFPresentationDescriptor> offered = DescriptorWithType(source.Get(), 0);
  ASSERT_TRUE(offered);
  PROPVARIANT now;
  PropVariantInit(&now);
  EXPECT_EQ(source->Start(nullptr, &GUID_NULL, &now), E_INVALIDARG);
  EXPECT_EQ(source->Start(offered.Get(), &GUID_NULL, nullptr), E_INVALIDARG);
  EXPECT_EQ(source->Start(offered.Get(), &MFVideoFormat_NV12, &now), MF_E_UNSUPPORTED_TIME_FORMAT);
  PROPVARIANT text;
  PropVariantInit(&text);
  text.vt = VT_LPWSTR;
  text.pwszVal = const_cast<LPWSTR>(L"soon");
  EXPECT_EQ(source->Start(offered.Get(), &GUID_NULL, &text), MF_E_UNSUPPORTED_TIME_FORMAT);

  // Descriptors of streams it never offered: another stream number, two streams.
  CComPtr<IMFStreamDescriptor> ours;
  BOOL selected = FALSE;
  ASSERT_EQ(offered->GetStreamDescriptorByIndex(0, &selected, ours.Receive()), S_OK);
  CComPtr<IMFMediaTypeHandler> handler;
  CComPtr<IMFMediaType> type;
  ASSERT_EQ(ours->GetMediaTypeHandler(handler.Receive()), S_OK);
  ASSERT_EQ(handler->GetCurrentMediaType(type.Receive()), S_OK);
  IMFMediaType* types[] = {type.Get()};
  CComPtr<IMFStreamDescriptor> other;
  ASSERT_EQ(MFCreateStreamDescriptor(1, 1, types, other.Receive()), S_OK);
  CComPtr<IMFMediaTypeHandler> otherHandler;
  ASSERT_EQ(other->GetMediaTypeHandler(otherHandler.Receive()), S_OK);
  ASSERT_EQ(otherHandler->SetCurrentMediaType(type.Get()), S_OK);
  IMFStreamDescriptor* one[] = {other.Get()};
  IMFStreamDescriptor* two[] = {ours.Get(), other.Get()};
  CComPtr<IMFPresentationDescriptor> wrongNumber, twoStreams;
  ASSERT_EQ(MFCreatePresentationDescriptor(1, one, wrongNumber.Receive()), S_OK);
  ASSERT_EQ(wrongNumber->SelectStream(0), S_OK);
  ASSERT_EQ(MFCreatePresentationDescriptor(2, two, twoStreams.Receive()), S_OK);
  EXPECT_EQ(StartAt(source.Get(), wrongNumber.Get()), MF_E_INVALIDSTREAMNUMBER);
  EXPECT_EQ(StartAt(source.Get(), twoStreams.Get()), E_INVALIDARG);

  EXPECT_EQ(NextQueued(source.Get()), 0u) << "a refused start posts nothing";
  EXPECT_TRUE(ClientEntries().empty());
  // A position in time is accepted (a live camera starts now whatever it is).
  PROPVARIANT later;
  PropVariantInit(&later);
  later.vt = VT_I8;
  later.hVal.QuadPart = 10'000'000;
  EXPECT_EQ(source->Start(offered.Get(), nullptr, &later), S_OK);
  EXPECT_EQ(NextQueued(source.Get()), static_cast<MediaEventType>(MENewStream));
  ASSERT_EQ(source->Shutdown(), S_OK);
  EXPECT_EQ(source->Start(offered.Get(), &MFVideoFormat_NV12, &text), MF_E_SHUTDOWN);
}

// ---- states, events and the client table ----

TEST_F(MfMediaSourceTest, StartStopStartPostsTheEventsInOrderAndKeepsOneClientEntryWhileStarted) {
  CComPtr<CMfMediaSource> source = MakeSource();
  ASSERT_TRUE(source);
  CComPtr<IMFPresentationDescriptor> descriptor = DescriptorWithType(source.Get(), 3);  // 640x480 RGB32 30
  EXPECT_EQ(source->Pause(), MF_E_INVALID_STATE_TRANSITION) << "stopped";

  ASSERT_EQ(StartAt(source.Get(), descriptor.Get()), S_OK);
  CComPtr<IMFMediaEvent> newStream;
  EXPECT_EQ(NextQueued(source.Get(), &newStream), static_cast<MediaEventType>(MENewStream));
  EXPECT_EQ(NextQueued(source.Get()), static_cast<MediaEventType>(MESourceStarted));
  CComPtr<IMFMediaStream> stream = StreamOf(newStream.Get());
  ASSERT_TRUE(stream);
  newStream = nullptr;
  EXPECT_EQ(NextQueued(stream.Get()), static_cast<MediaEventType>(MEStreamStarted));
  MF_STREAM_STATE state = MF_STREAM_STATE_STOPPED;
  CComPtr<IMFMediaStream2> stream2 = stream.As<IMFMediaStream2>(__uuidof(IMFMediaStream2));
  ASSERT_TRUE(stream2);
  EXPECT_EQ(stream2->GetStreamState(&state), S_OK);
  EXPECT_EQ(state, MF_STREAM_STATE_RUNNING);
  std::vector<channel::ClientEntry> clients = ClientEntries();
  ASSERT_EQ(clients.size(), 1u);
  EXPECT_EQ(clients[0].Width, 640);
  EXPECT_EQ(clients[0].Height, 480);
  const std::wstring name = platform::Utf16ToWide(clients[0].Name, std::char_traits<char16_t>::length(clients[0].Name));
  EXPECT_NE(name.find(L".exe-"), std::wstring::npos) << "host name and a GUID: " << platform::WideToUtf8(name);
  EXPECT_EQ(source->Pause(), MF_E_INVALID_STATE_TRANSITION) << "started";

  ASSERT_EQ(source->Stop(), S_OK);
  EXPECT_EQ(NextQueued(stream.Get()), static_cast<MediaEventType>(MEStreamStopped));
  EXPECT_EQ(NextQueued(source.Get()), static_cast<MediaEventType>(MESourceStopped));
  EXPECT_TRUE(ClientEntries().empty()) << "withdrawn on stop";
  EXPECT_EQ(stream->RequestSample(nullptr), MF_E_MEDIA_SOURCE_WRONGSTATE);

  // The second start updates the stream it announced, at another size.
  descriptor = DescriptorWithType(source.Get(), 9);  // 1280x720 RGB32 30
  ASSERT_EQ(StartAt(source.Get(), descriptor.Get()), S_OK);
  CComPtr<IMFMediaEvent> updated;
  EXPECT_EQ(NextQueued(source.Get(), &updated), static_cast<MediaEventType>(MEUpdatedStream));
  EXPECT_TRUE(StreamOf(updated.Get()) == stream.Get()) << "the same stream object";
  updated = nullptr;
  EXPECT_EQ(NextQueued(source.Get()), static_cast<MediaEventType>(MESourceStarted));
  EXPECT_EQ(NextQueued(stream.Get()), static_cast<MediaEventType>(MEStreamStarted));
  clients = ClientEntries();
  ASSERT_EQ(clients.size(), 1u);
  EXPECT_EQ(clients[0].Width, 1280);

  // The stream stopped on its own, and started again, while the source runs.
  EXPECT_EQ(stream2->SetStreamState(MF_STREAM_STATE_PAUSED), MF_E_INVALID_STATE_TRANSITION);
  EXPECT_EQ(stream2->SetStreamState(MF_STREAM_STATE_STOPPED), S_OK);
  EXPECT_EQ(NextQueued(stream.Get()), static_cast<MediaEventType>(MEStreamStopped));
  EXPECT_TRUE(ClientEntries().empty());
  EXPECT_EQ(stream2->SetStreamState(MF_STREAM_STATE_RUNNING), S_OK);
  EXPECT_EQ(NextQueued(stream.Get()), static_cast<MediaEventType>(MEStreamStarted));
  EXPECT_EQ(ClientEntries().size(), 1u);

  EXPECT_EQ(source->Shutdown(), S_OK);
  EXPECT_TRUE(ClientEntries().empty()) << "withdrawn on shutdown";
  // A camera's stream never ends: nothing else was posted.
  EXPECT_EQ(NextQueued(source.Get()), 0u);
  EXPECT_EQ(NextQueued(stream.Get()), 0u);
  stream2 = nullptr;
  EXPECT_EQ(stream.Detach()->Release(), 0u);
  EXPECT_EQ(source.Detach()->Release(), 0u);
}

TEST_F(MfMediaSourceTest, ControlsAndServicesAreRefusedAndEverythingAnswersShutdownAfterwards) {
  CComPtr<CMfMediaSource> source = MakeSource();
  ASSERT_TRUE(source);
  CComPtr<IKsControl> control = source.As<IKsControl>(IID_IKsControl);
  CComPtr<IMFGetService> services = source.As<IMFGetService>(IID_IMFGetService);
  CComPtr<IMFMediaSourceEx> sourceEx = source.As<IMFMediaSourceEx>(IID_IMFMediaSourceEx);
  ASSERT_TRUE(control && services && sourceEx);
  KSPROPERTY property{};
  ULONG returned = 7;
  EXPECT_EQ(control->KsProperty(&property, sizeof property, nullptr, 0, &returned),
            static_cast<HRESULT>(0x80070492));
  EXPECT_EQ(returned, 0u);
  KSMETHOD method{};
  EXPECT_EQ(control->KsMethod(&method, sizeof method, nullptr, 0, &returned), static_cast<HRESULT>(0x80070492));
  KSEVENT event{};
  EXPECT_EQ(control->KsEvent(&event, sizeof event, nullptr, 0, &returned), static_cast<HRESULT>(0x80070492));
  void* object = &returned;
  EXPECT_EQ(services->GetService(MF_RATE_CONTROL_SERVICE, IID_IUnknown, &object), MF_E_UNSUPPORTED_SERVICE);
  EXPECT_EQ(object, nullptr);

  CComPtr<IMFMediaStream> stream = StartStream(source.Get(), 0);
  ASSERT_TRUE(stream);
  CComPtr<IMFPresentationDescriptor> descriptor = DescriptorWithType(source.Get(), 0);
  CComPtr<IMFMediaStream2> stream2 = stream.As<IMFMediaStream2>(__uuidof(IMFMediaStream2));
  ASSERT_TRUE(stream2);

  ASSERT_EQ(source->Shutdown(), S_OK);
  const HRESULT shutdown = MF_E_SHUTDOWN;
  DWORD characteristics = 0;
  PROPVARIANT position;
  PropVariantInit(&position);
  CComPtr<IMFMediaEvent> none;
  EXPECT_EQ(source->Shutdown(), shutdown);
  EXPECT_EQ(source->Start(descriptor.Get(), &GUID_NULL, &position), shutdown);
  EXPECT_EQ(source->Stop(), shutdown);
  EXPECT_EQ(source->Pause(), shutdown);
  EXPECT_EQ(source->GetCharacteristics(&characteristics), shutdown);
  EXPECT_EQ(source->CreatePresentationDescriptor(CComPtr<IMFPresentationDescriptor>().Receive()), shutdown);
  EXPECT_EQ(source->GetEvent(MF_EVENT_FLAG_NO_WAIT, none.Receive()), shutdown);
  EXPECT_EQ(source->GetEvent(0, none.Receive()), shutdown) << "a blocking read returns at once";
  EXPECT_EQ(source->QueueEvent(MEError, GUID_NULL, S_OK, nullptr), shutdown);
  EXPECT_EQ(sourceEx->GetSourceAttributes(CComPtr<IMFAttributes>().Receive()), shutdown);
  EXPECT_EQ(sourceEx->GetStreamAttributes(0, CComPtr<IMFAttributes>().Receive()), shutdown);
  EXPECT_EQ(sourceEx->SetD3DManager(nullptr), shutdown);
  EXPECT_EQ(services->GetService(MF_RATE_CONTROL_SERVICE, IID_IUnknown, &object), shutdown);
  EXPECT_EQ(control->KsProperty(&property, sizeof property, nullptr, 0, &returned), shutdown);
  EXPECT_EQ(control->KsMethod(&method, sizeof method, nullptr, 0, &returned), shutdown);
  EXPECT_EQ(control->KsEvent(&event, sizeof event, nullptr, 0, &returned), shutdown);
  MF_STREAM_STATE state = MF_STREAM_STATE_RUNNING;
  EXPECT_EQ(stream->RequestSample(nullptr), shutdown);
  EXPECT_EQ(stream->GetMediaSource(CComPtr<IMFMediaSource>().Receive()), shutdown);
  EXPECT_EQ(stream->GetStreamDescriptor(CComPtr<IMFStreamDescriptor>().Receive()), shutdown);
  EXPECT_EQ(stream->GetEvent(0, none.Receive()), shutdown);
  EXPECT_EQ(stream->QueueEvent(MEError, GUID_NULL, S_OK, nullptr), shutdown);
  EXPECT_EQ(stream2->SetStreamState(MF_STREAM_STATE_RUNNING), shutdown);
  EXPECT_EQ(stream2->GetStreamState(&state), shutdown);
}

// ---- samples ----

TEST_F(MfMediaSourceTest, RequestsAreAnsweredInOrderAtTheFrameRateWithTimeDurationAndToken) {
  CComPtr<CMfMediaSource> source = MakeSource();
  ASSERT_TRUE(source);
  CComPtr<IMFMediaStream> stream = StartStream(source.Get(), 2);  // 640x480 NV12 15
  ASSERT_TRUE(stream);

  // A reader that asks for every frame at once: tokens are any objects of the caller's.
  constexpr int kFrames = 6;
  constexpr LONGLONG kInterval = 10'000'000 / 15;
  std::vector<CComPtr<IUnknown>> tokens;
  const LONGLONG asked = MFGetSystemTime();
  for (int i = 0; i < kFrames; ++i) {
    CComPtr<IMFAttributes> token;
    if (i != 2) {  // a null token is a request too
      ASSERT_EQ(MFCreateAttributes(token.Receive(), 0), S_OK);
    }
    tokens.push_back(CComPtr<IUnknown>(token.Get(), kAddRef));
    ASSERT_EQ(stream->RequestSample(token.Get()), S_OK);
  }
  CComPtr<CMfEventWaiter> waiter = CMfEventWaiter::Create(stream.Get());
  std::vector<LONGLONG> times;
  for (int i = 0; i < kFrames; ++i) {
    CComPtr<IMFMediaEvent> event = waiter->Next(kDeadline);
    ASSERT_TRUE(event) << "frame " << i << ": " << std::hex << waiter->Status();
    const LONGLONG received = MFGetSystemTime();
    MediaEventType type = 0;
    ASSERT_EQ(event->GetType(&type), S_OK);
    ASSERT_EQ(type, static_cast<MediaEventType>(MEMediaSample));
    PROPVARIANT value;
    PropVariantInit(&value);
    ASSERT_EQ(event->GetValue(&value), S_OK);
    ASSERT_EQ(value.vt, VT_UNKNOWN);
    CComPtr<IMFSample> sample = QueryAs<IMFSample>(value.punkVal, IID_IMFSample);
    PropVariantClear(&value);
    ASSERT_TRUE(sample);
    LONGLONG time = 0, duration = 0;
    ASSERT_EQ(sample->GetSampleTime(&time), S_OK);
    ASSERT_EQ(sample->GetSampleDuration(&duration), S_OK);
    EXPECT_EQ(duration, kInterval);
    // On the system clock's timeline: made after it was asked for, before it arrived.
    EXPECT_GE(time, asked);
    EXPECT_LE(time, received);
    CComPtr<IUnknown> token;
    const HRESULT tokenResult = sample->GetUnknown(MFSampleExtension_Token, IID_IUnknown, token.ReceiveVoid());
    if (tokens[i]) {
      EXPECT_EQ(tokenResult, S_OK) << "frame " << i;
      EXPECT_TRUE(token == tokens[i].Get()) << "frame " << i << " carries its own request's token";
    } else {
      EXPECT_EQ(tokenResult, MF_E_ATTRIBUTENOTFOUND) << "a null token is not set";
    }
    CComPtr<IMFMediaBuffer> buffer;
    ASSERT_EQ(sample->GetBufferByIndex(0, buffer.Receive()), S_OK);
    DWORD length = 0;
    EXPECT_EQ(buffer->GetCurrentLength(&length), S_OK);
    EXPECT_EQ(length, 640u * 480u * 3u / 2u);
    // Neither a producer nor pictures: black, which BT.601 limited range writes as Y 16
    // and chroma 128, in every byte (never what the buffer held before).
    BYTE* bytes = nullptr;
    DWORD capacity = 0, filled = 0;
    ASSERT_EQ(buffer->Lock(&bytes, &capacity, &filled), S_OK);
    constexpr std::ptrdiff_t kLuma = 640 * 480;
    EXPECT_EQ(filled, 640u * 480u * 3u / 2u);
    EXPECT_EQ(std::count(bytes, bytes + kLuma, BYTE{16}), kLuma) << "frame " << i;
    EXPECT_EQ(std::count(bytes + kLuma, bytes + kLuma * 3 / 2, BYTE{128}), kLuma / 2) << "frame " << i;
    EXPECT_EQ(buffer->Unlock(), S_OK);
    times.push_back(time);
  }
  // Frames come no faster than the rate: however late the first was made, the last is
  // at least kFrames - 2 intervals after it (a reader that asks fast is not flooded).
  EXPECT_GE(times.back() - times.front(), (kFrames - 2) * kInterval);
  EXPECT_EQ(source->Shutdown(), S_OK);
}

TEST_F(MfMediaSourceTest, RequestsBeyondSixtyFourWaitingAreRefusedAndStopGivesBackEveryToken) {
  CComPtr<CMfMediaSource> source = MakeSource();
  ASSERT_TRUE(source);
  CComPtr<IMFMediaStream> stream = StartStream(source.Get(), 2);  // 640x480 NV12 15
  ASSERT_TRUE(stream);

  // A reader far ahead of the camera: the source keeps 64 requests and refuses the next
  // without taking its token.
  std::vector<CComPtr<IMFAttributes>> tokens(65);
  for (std::size_t i = 0; i < tokens.size(); ++i) {
    ASSERT_EQ(MFCreateAttributes(tokens[i].Receive(), 0), S_OK);
    const HRESULT expected = i < 64 ? S_OK : MF_E_NOTACCEPTING;
    ASSERT_EQ(stream->RequestSample(tokens[i].Get()), expected) << "request " << i;
  }
  // The token's count as it stands: AddRef answers it plus one.
  auto references = [](IUnknown* object) {
    const ULONG count = object->AddRef() - 1;
    object->Release();
    return count;
  };
  EXPECT_EQ(references(tokens[64].Get()), 1u) << "a refused request keeps nothing";

  ASSERT_EQ(source->Stop(), S_OK);
  // Samples made before the stop hold their tokens until they are read; the rest came back
  // with Stop itself, answered or not.
  for (CComPtr<IMFMediaEvent> event; SUCCEEDED(stream->GetEvent(MF_EVENT_FLAG_NO_WAIT, event.Receive()));) {
  }
  for (std::size_t i = 0; i < tokens.size(); ++i) {
    EXPECT_EQ(references(tokens[i].Get()), 1u) << "token " << i << " is still held after Stop";
  }
  EXPECT_EQ(source->Shutdown(), S_OK);
}

TEST_F(MfMediaSourceTest, ShutdownWhileARequestAndEventReadersWaitReturnsAndReleasesThem) {
  CComPtr<CMfMediaSource> source = MakeSource();
  ASSERT_TRUE(source);
  CComPtr<IMFMediaStream> stream = StartStream(source.Get(), 11);  // 1280x720 RGB32 15
  ASSERT_TRUE(stream);

  // Readers blocked in GetEvent on both queues, and a request waiting for its deadline.
  auto blockedRead = [](IMFMediaEventGenerator* generator) {
    CComPtr<IMFMediaEvent> event;
    return generator->GetEvent(0, event.Receive());
  };
  std::future<HRESULT> sourceReader = std::async(std::launch::async, blockedRead, source.Get());
  std::future<HRESULT> streamReader = std::async(std::launch::async, blockedRead, stream.Get());
  ASSERT_EQ(stream->RequestSample(nullptr), S_OK);
  std::future<HRESULT> shutdown = std::async(std::launch::async, [&] { return source->Shutdown(); });
  ASSERT_EQ(shutdown.wait_for(kDeadline), std::future_status::ready) << "Shutdown hangs";
  EXPECT_EQ(shutdown.get(), S_OK);
  ASSERT_EQ(sourceReader.wait_for(kDeadline), std::future_status::ready) << "a source event reader hangs";
  ASSERT_EQ(streamReader.wait_for(kDeadline), std::future_status::ready) << "a stream event reader hangs";
  EXPECT_EQ(sourceReader.get(), MF_E_SHUTDOWN);
  // The stream's reader either took the sample made before the shutdown or was released.
  const HRESULT streamRead = streamReader.get();
  EXPECT_TRUE(streamRead == MF_E_SHUTDOWN || streamRead == S_OK) << std::hex << streamRead;
  EXPECT_EQ(stream.Detach()->Release(), 0u);
  EXPECT_EQ(source.Detach()->Release(), 0u);
}

// An event reader's callback whose last release asks the source something, as a reader
// that owns its source may when the queue lets it go.
class CAskingCallback final : public IMFAsyncCallback {
 public:
  CAskingCallback(CMfMediaSource* source, std::promise<HRESULT>* answer) : m_source(source), m_answer(answer) {}
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (iid != IID_IUnknown && iid != IID_IMFAsyncCallback) return E_NOINTERFACE;
    *object = static_cast<IMFAsyncCallback*>(this);
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++m_refs; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG refs = --m_refs;
    if (refs == 0) {
      DWORD characteristics = 0;
      m_answer->set_value(m_source->GetCharacteristics(&characteristics));
      delete this;
    }
    return refs;
  }
  HRESULT STDMETHODCALLTYPE GetParameters(DWORD*, DWORD*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Invoke(IMFAsyncResult*) override { return S_OK; }

 private:
  std::atomic<ULONG> m_refs{1};
  CMfMediaSource* m_source;
  std::promise<HRESULT>* m_answer;
};

TEST_F(MfMediaSourceTest, ReadersReleasedByShutdownMayCallTheSourceAgain) {
  CComPtr<CMfMediaSource> source = MakeSource();
  ASSERT_TRUE(source);
  CComPtr<IMFMediaStream> stream = StartStream(source.Get(), 0);
  ASSERT_TRUE(stream);
  // Readers waiting on both queues, held by the queues alone.
  std::promise<HRESULT> sourceAnswer, streamAnswer;
  auto* onSource = new CAskingCallback(source.Get(), &sourceAnswer);
  auto* onStream = new CAskingCallback(source.Get(), &streamAnswer);
  ASSERT_EQ(source->BeginGetEvent(onSource, nullptr), S_OK);
  ASSERT_EQ(stream->BeginGetEvent(onStream, nullptr), S_OK);
  onSource->Release();
  onStream->Release();

  std::future<HRESULT> shutdown = std::async(std::launch::async, [&] { return source->Shutdown(); });
  ASSERT_EQ(shutdown.wait_for(kDeadline), std::future_status::ready) << "Shutdown hangs in a reader's release";
  EXPECT_EQ(shutdown.get(), S_OK);
  std::future<HRESULT> sourceAsked = sourceAnswer.get_future(), streamAsked = streamAnswer.get_future();
  ASSERT_EQ(sourceAsked.wait_for(kDeadline), std::future_status::ready);
  ASSERT_EQ(streamAsked.wait_for(kDeadline), std::future_status::ready);
  EXPECT_EQ(sourceAsked.get(), MF_E_SHUTDOWN);
  EXPECT_EQ(streamAsked.get(), MF_E_SHUTDOWN);
  EXPECT_EQ(stream.Detach()->Release(), 0u);
  EXPECT_EQ(source.Detach()->Release(), 0u);
}

TEST_F(MfMediaSourceTest, LastReleaseWithoutShutdownShutsDownFreesTheSourceAndWithdrawsTheClient) {
  CComPtr<CMfMediaSource> source = MakeSource();
  ASSERT_TRUE(source);
  CComPtr<IMFMediaStream> stream = StartStream(source.Get(), 0);
  ASSERT_TRUE(stream);
  // The stream's source is the source itself, and handing it out takes a reference.
  CComPtr<IMFMediaSource> same;
  ASSERT_EQ(stream->GetMediaSource(same.Receive()), S_OK);
  EXPECT_TRUE(QueryAs<IUnknown>(same.Get(), IID_IUnknown) ==
              QueryAs<IUnknown>(static_cast<IMFMediaSourceEx*>(source.Get()), IID_IUnknown));
  same = nullptr;
  ASSERT_EQ(stream->RequestSample(nullptr), S_OK);
  ASSERT_EQ(stream->RequestSample(nullptr), S_OK);
  ASSERT_EQ(ClientEntries().size(), 1u);

  // Events still queued (the stream in MENewStream's value, samples) keep nothing alive.
  std::future<ULONG> release =
      std::async(std::launch::async, [&] { return static_cast<IMFMediaSource*>(source.Detach())->Release(); });
  ASSERT_EQ(release.wait_for(kDeadline), std::future_status::ready) << "the last release hangs";
  EXPECT_EQ(release.get(), 0u);
  EXPECT_TRUE(ClientEntries().empty());
  EXPECT_EQ(stream->RequestSample(nullptr), MF_E_SHUTDOWN);
  EXPECT_EQ(stream->GetMediaSource(CComPtr<IMFMediaSource>().Receive()), MF_E_SHUTDOWN);
  EXPECT_EQ(stream.Detach()->Release(), 0u);
}

TEST_F(MfMediaSourceTest, SourceNeverMakesTheChannelAndJoinsItOnceSomeoneHasMadeIt) {
  testing_support::CChannelNamespace fresh;  // names under which no channel exists
  CComPtr<CMfMediaSource> source = MakeSource();
  ASSERT_TRUE(source);
  CComPtr<IMFMediaStream> stream = StartStream(source.Get(), 3);  // 640x480 RGB32 30
  ASSERT_TRUE(stream);
  CComPtr<CMfEventWaiter> waiter = CMfEventWaiter::Create(stream.Get());
  const auto nextSample = [&] {
    if (stream->RequestSample(nullptr) != S_OK) return false;
    CComPtr<IMFMediaEvent> event = waiter->Next(kDeadline);
    MediaEventType type = 0;
    return event && SUCCEEDED(event->GetType(&type)) && type == static_cast<MediaEventType>(MEMediaSample);
  };
  // Frames without a channel are frames all the same, and the channel stays unmade.
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(nextSample()) << "frame " << i;
  CSharedMemory region;
  EXPECT_NE(region.Open(channel::ObjectName(L"Trelvox_FileMapping")), ERROR_SUCCESS);
  CNamedMutex mutex;
  EXPECT_NE(mutex.Open(channel::ObjectName(L"Trelvox_FileMapping_AccessMutex")), ERROR_SUCCESS);
  EXPECT_NE(mutex.Open(channel::ObjectName(L"Trelvox_FileMapping_ProducerMutex")), ERROR_SUCCESS);
  CNamedEvent event;
  EXPECT_NE(event.Open(channel::ObjectName(L"Trelvox_FileMapping_ServerEvent")), ERROR_SUCCESS);
  EXPECT_NE(event.Open(channel::ObjectName(L"Trelvox_FileMapping_ClientEvent")), ERROR_SUCCESS);

  // Once a producer has made it, a later frame opens it and the stream is listed.
  CFileMapping producer;
  ASSERT_EQ(producer.Init(true, nullptr), 0);
  std::vector<channel::ClientEntry> clients;
  const auto deadline = std::chrono::steady_clock::now() + kDeadline;
  while (clients.empty() && std::chrono::steady_clock::now() < deadline) {
    ASSERT_TRUE(nextSample());
    producer.GetClientInfo(&clients);
  }
  ASSERT_EQ(clients.size(), 1u);
  EXPECT_EQ(clients[0].Width, 640);
  EXPECT_EQ(source->Shutdown(), S_OK);
  clients.clear();
  producer.GetClientInfo(&clients);
  EXPECT_TRUE(clients.empty()) << "withdrawn on shutdown";
}

}  // namespace
