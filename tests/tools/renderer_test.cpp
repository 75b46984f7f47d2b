// The host-side renderer on its own: which types it takes, its allocator side of
// IMemInputPin, what it makes of (possibly malformed) samples and stream notifications,
// and its scripted behaviours.
#include "common/renderer_filter.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "com/base_object.h"
#include "com/com_ptr.h"
#include "framework/media_sample.h"
#include "framework/mem_allocator.h"
#include "support/event_sink_graph.h"
#include "support/numbered_source.h"
#include "support/scripted_renderer_filter.h"

namespace {

using namespace std::chrono_literals;
using testing_support::CEventSinkGraph;
using testing_support::CNumberedSource;
using testing_support::CScriptedRendererFilter;
using testing_support::CScriptedRendererInputPin;
using testing_support::MakeRgb24Type;

constexpr auto kDeadline = 10s;

VIDEOINFOHEADER* Vih(CMediaType& type) { return reinterpret_cast<VIDEOINFOHEADER*>(type.Format()); }

// ---------------------------------------------------------------------------------------
// Types

struct TypeCase {
  const char* name;
  void (*change)(CMediaType& type);
  bool accepted;
};

class RendererFixture : public testing::Test {
 protected:
  CComPtr<CRendererFilter> m_renderer{CRendererFilter::Create(), kAdoptRef};
};

class RendererTypeTest : public RendererFixture, public testing::WithParamInterface<TypeCase> {};

TEST_P(RendererTypeTest, TakesOnlySaneVideoInfoTypes) {
  CMediaType type = MakeRgb24Type(64, 48);
  GetParam().change(type);
  const HRESULT check = m_renderer->InputPin()->CheckMediaType(&type);
  EXPECT_EQ(check, GetParam().accepted ? S_OK : VFW_E_TYPE_NOT_ACCEPTED);
  EXPECT_EQ(m_renderer->Pin()->QueryAccept(&type), GetParam().accepted ? S_OK : S_FALSE);
}

INSTANTIATE_TEST_SUITE_P(
    Formats, RendererTypeTest,
    testing::Values(
        TypeCase{"Rgb24", [](CMediaType&) {}, true},
        TypeCase{"TopDownRows", [](CMediaType& t) { Vih(t)->bmiHeader.biHeight = -48; }, true},
        TypeCase{"NoImageSizeGiven", [](CMediaType& t) { Vih(t)->bmiHeader.biSizeImage = 0; }, true},
        TypeCase{"LongerBlockWithPalette", [](CMediaType& t) { t.ReallocFormatBuffer(sizeof(VIDEOINFOHEADER) + 64); },
                 true},
        TypeCase{"Audio", [](CMediaType& t) { t.SetType(&MEDIATYPE_Audio); }, false},
        TypeCase{"NoFormatType", [](CMediaType& t) { t.SetFormatType(&GUID_NULL); }, false},
        TypeCase{"BlockShorterThanTheHeader",
                 [](CMediaType& t) { t.ReallocFormatBuffer(sizeof(VIDEOINFOHEADER) - 1); }, false},
        TypeCase{"LengthWithoutBlock",
                 [](CMediaType& t) {
                   t.ResetFormatBuffer();
                   t.cbFormat = sizeof(VIDEOINFOHEADER);
                 },
                 false},
        TypeCase{"BitmapHeaderBeyondTheBlock", [](CMediaType& t) { Vih(t)->bmiHeader.biSize += 4; }, false},
        TypeCase{"BitmapHeaderTooShort", [](CMediaType& t) { Vih(t)->bmiHeader.biSize = 8; }, false},
        TypeCase{"ZeroWidth", [](CMediaType& t) { Vih(t)->bmiHeader.biWidth = 0; }, false},
        TypeCase{"NegativeWidth", [](CMediaType& t) { Vih(t)->bmiHeader.biWidth = -64; }, false},
        TypeCase{"ZeroHeight", [](CMediaType& t) { Vih(t)->bmiHeader.biHeight = 0; }, false},
        TypeCase{"ZeroBitCount", [](CMediaType& t) { Vih(t)->bmiHeader.biBitCount = 0; }, false},
        TypeCase{"PictureTooLargeToCount",
                 [](CMediaType& t) {
                   Vih(t)->bmiHeader.biWidth = 0x7FFFFFFF;
                   Vih(t)->bmiHeader.biHeight = 0x7FFFFFFF;
                   Vih(t)->bmiHeader.biSizeImage = 0;
                 },
                 false},
        TypeCase{"PictureOverTwoGigabytes",
                 [](CMediaType& t) {
                   Vih(t)->bmiHeader.biWidth = 32768;
                   Vih(t)->bmiHeader.biHeight = 32768;
                   Vih(t)->bmiHeader.biSizeImage = 0;
                 },
                 false},
        TypeCase{"ImageSizeSmallerThanThePicture", [](CMediaType& t) { Vih(t)->bmiHeader.biSizeImage -= 1; }, false}),
    [](const testing::TestParamInfo<TypeCase>& info) { return std::string(info.param.name); });

struct RestrictionCase {
  const char* name;
  GUID subtype;
  LONG width, height;
  bool accepted;
};

class RendererRestrictionTest : public RendererFixture, public testing::WithParamInterface<RestrictionCase> {};

TEST_P(RendererRestrictionTest, AcceptOnlyNarrowsToOneSubtypeAndSize) {
  const RestrictionCase& r = GetParam();
  m_renderer->InputPin()->AcceptOnly(r.subtype, r.width, r.height);
  CMediaType bottomUp = MakeRgb24Type(64, 48);
  CMediaType topDown = MakeRgb24Type(64, -48);
  EXPECT_EQ(m_renderer->InputPin()->CheckMediaType(&bottomUp) == S_OK, r.accepted);
  EXPECT_EQ(m_renderer->InputPin()->CheckMediaType(&topDown) == S_OK, r.accepted);
}

INSTANTIATE_TEST_SUITE_P(Restrictions, RendererRestrictionTest,
                         testing::Values(RestrictionCase{"Open", GUID_NULL, 0, 0, true},
                                         RestrictionCase{"SameSize", GUID_NULL, 64, 48, true},
                                         RestrictionCase{"SameSizeTopDown", MEDIASUBTYPE_RGB24, 64, -48, true},
                                         RestrictionCase{"OtherWidth", GUID_NULL, 80, 0, false},
                                         RestrictionCase{"OtherHeight", GUID_NULL, 0, 60, false},
                                         RestrictionCase{"OtherSubtype", MEDIASUBTYPE_RGB32, 0, 0, false}),
                         [](const testing::TestParamInfo<RestrictionCase>& info) {
                           return std::string(info.param.name);
                         });

TEST(RendererTypes, RefusingEveryTypeAnswersTheGivenCodeAndQueryAcceptSFalse) {
  CComPtr<CScriptedRendererFilter> renderer(CScriptedRendererFilter::Create(), kAdoptRef);
  CMediaType type = MakeRgb24Type(64, 48);
  for (HRESULT code : {S_FALSE, E_OUTOFMEMORY, VFW_E_TYPE_NOT_ACCEPTED}) {
    renderer->InputPin()->RefuseAllTypes(code);
    EXPECT_EQ(renderer->InputPin()->CheckMediaType(&type), code);
    EXPECT_EQ(renderer->Pin()->QueryAccept(&type), S_FALSE);
  }
  renderer->InputPin()->RefuseAllTypes(S_OK);
  EXPECT_EQ(renderer->Pin()->QueryAccept(&type), S_OK);
  renderer.Reset();
}

TEST(RendererTypes, OffersNoTypesUntilToldAndThenExactlyThoseInOrder) {
  CComPtr<CScriptedRendererFilter> renderer(CScriptedRendererFilter::Create(), kAdoptRef);
  CComPtr<IEnumMediaTypes> types;
  ASSERT_EQ(renderer->Pin()->EnumMediaTypes(types.Receive()), S_OK);
  AM_MEDIA_TYPE* got[3] = {};
  ULONG fetched = 7;
  EXPECT_EQ(types->Next(3, got, &fetched), S_FALSE);
  EXPECT_EQ(fetched, 0u);

  renderer->InputPin()->SetPreferredTypes({MakeRgb24Type(80, 60), MakeRgb24Type(64, 48)});
  // An enumerator of the old list says so until it is reset.
  EXPECT_EQ(types->Next(1, got, nullptr), VFW_E_ENUM_OUT_OF_SYNC);
  ASSERT_EQ(types->Reset(), S_OK);
  EXPECT_EQ(types->Next(3, got, &fetched), S_FALSE);
  ASSERT_EQ(fetched, 2u);
  EXPECT_TRUE(static_cast<CMediaType*>(got[0])->operator==(MakeRgb24Type(80, 60)));
  EXPECT_TRUE(static_cast<CMediaType*>(got[1])->operator==(MakeRgb24Type(64, 48)));
  DeleteMediaType(got[0]);
  DeleteMediaType(got[1]);
  renderer.Reset();
}

// ---------------------------------------------------------------------------------------
// Filter and allocator side

TEST(RendererFilter, HasOneInputPinInThatAnswersIMemInputPin) {
  const LONG objects = CBaseObject::ObjectsActive();
  CComPtr<CRendererFilter> renderer(CRendererFilter::Create(), kAdoptRef);
  EXPECT_EQ(renderer->GetPinCount(), 1);
  CComPtr<IPin> found;
  ASSERT_EQ(renderer->FindPin(L"In", found.Receive()), S_OK);
  EXPECT_EQ(found, renderer->Pin());
  found.Reset();
  PIN_DIRECTION direction = PINDIR_OUTPUT;
  renderer->Pin()->QueryDirection(&direction);
  EXPECT_EQ(direction, PINDIR_INPUT);

  CComPtr<IMemInputPin> input;
  ASSERT_EQ(renderer->Pin()->QueryInterface(IID_IMemInputPin, input.ReceiveVoid()), S_OK);
  CComPtr<IPin> back;
  ASSERT_EQ(input->QueryInterface(IID_IPin, back.ReceiveVoid()), S_OK);
  EXPECT_EQ(back, renderer->Pin());
  CComPtr<IBaseFilter> filter;
  ASSERT_EQ(input->QueryInterface(IID_IBaseFilter, filter.ReceiveVoid()), E_NOINTERFACE);
  back.Reset();
  input.Reset();
  renderer.Reset();
  EXPECT_EQ(CBaseObject::ObjectsActive(), objects);
}

TEST(RendererFilter, RecordsEveryStateChangeIncludingThePauseOfARunFromStopped) {
  CComPtr<CScriptedRendererFilter> renderer(CScriptedRendererFilter::Create(), kAdoptRef);
  ASSERT_EQ(renderer->Run(0), S_OK);
  ASSERT_EQ(renderer->Stop(), S_OK);
  const auto changes = renderer->StateChanges();
  ASSERT_EQ(changes.size(), 3u);
  EXPECT_EQ(changes[0].requested, State_Paused);
  EXPECT_EQ(changes[1].requested, State_Running);
  EXPECT_EQ(changes[2].requested, State_Stopped);
  for (const auto& change : changes) EXPECT_EQ(change.result, S_OK);
  renderer.Reset();
}

TEST(RendererAllocator, OffersOneOwnAllocatorMadeOnDemandOrRefuses) {
  const LONG objects = CBaseObject::ObjectsActive();
  CComPtr<CScriptedRendererFilter> renderer(CScriptedRendererFilter::Create(), kAdoptRef);
  CScriptedRendererInputPin* pin = renderer->InputPin();
  EXPECT_EQ(pin->OwnAllocator(), nullptr);
  IMemAllocator* first = nullptr;
  IMemAllocator* second = nullptr;
  ASSERT_EQ(pin->GetAllocator(&first), S_OK);
  ASSERT_EQ(pin->GetAllocator(&second), S_OK);
  EXPECT_NE(first, nullptr);
  EXPECT_EQ(first, second);
  second->Release();

  pin->RefuseAllocator(true);
  IMemAllocator* refused = first;
  EXPECT_EQ(pin->GetAllocator(&refused), VFW_E_NO_ALLOCATOR);
  EXPECT_EQ(refused, nullptr);
  EXPECT_EQ(pin->GetAllocator(nullptr), E_POINTER);

  // The pin keeps its allocator after the caller lets go.
  first->Release();
  IMemAllocator* own = pin->OwnAllocator();
  EXPECT_EQ(own, first);
  own->Release();
  renderer.Reset();
  EXPECT_EQ(CBaseObject::ObjectsActive(), objects);
}

TEST(RendererAllocator, NotifyAllocatorKeepsAReferenceAndRequirementsAreScripted) {
  CComPtr<CScriptedRendererFilter> renderer(CScriptedRendererFilter::Create(), kAdoptRef);
  CScriptedRendererInputPin* pin = renderer->InputPin();
  ALLOCATOR_PROPERTIES props{9, 9, 9, 9};
  EXPECT_EQ(pin->GetAllocatorRequirements(&props), E_NOTIMPL);
  pin->SetAllocatorRequirements({3, 0, 0, 0});
  ASSERT_EQ(pin->GetAllocatorRequirements(&props), S_OK);
  EXPECT_EQ(props.cBuffers, 3);
  EXPECT_EQ(props.cbAlign, 0);

  HRESULT hr = S_OK;
  IMemAllocator* foreign = nullptr;
  ASSERT_EQ(CMemAllocator::CreateInstance(nullptr, &hr)->NonDelegatingQueryInterface(
                IID_IMemAllocator, reinterpret_cast<void**>(&foreign)),
            S_OK);
  EXPECT_EQ(pin->NotifyAllocator(nullptr, FALSE), E_POINTER);
  ASSERT_EQ(pin->NotifyAllocator(foreign, TRUE), S_OK);
  EXPECT_FALSE(pin->NotifiedOwnAllocator());
  EXPECT_TRUE(pin->NotifiedReadOnly());
  EXPECT_EQ(foreign->AddRef(), 3u);  // ours, the pin's, this one
  foreign->Release();
  EXPECT_EQ(foreign->Release(), 1u);  // the pin's is left

  IMemAllocator* own = nullptr;
  ASSERT_EQ(pin->GetAllocator(&own), S_OK);
  ASSERT_EQ(pin->NotifyAllocator(own, FALSE), S_OK);
  EXPECT_TRUE(pin->NotifiedOwnAllocator());
  EXPECT_EQ(pin->NotifyAllocatorCount(), 2);
  own->Release();
  // The foreign allocator's last reference went with the second notification.
  renderer.Reset();
}

// ---------------------------------------------------------------------------------------
// Samples

// A sample that says whatever a test wants it to say about its buffer.
class CFakeSample final : public IMediaSample {
 public:
  CFakeSample(BYTE* data, LONG size, LONG actual) : m_data(data), m_size(size), m_actual(actual) {}
  ~CFakeSample() { DeleteMediaType(m_type); }
  void Attach(const CMediaType& type) { m_type = CreateMediaType(&type); }

  STDMETHODIMP QueryInterface(REFIID, void** ppv) override {
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(++m_refs); }
  STDMETHODIMP_(ULONG) Release() override { return static_cast<ULONG>(--m_refs); }
  STDMETHODIMP GetPointer(BYTE** ppBuffer) override {
    *ppBuffer = m_data;
    return m_data != nullptr ? S_OK : E_POINTER;
  }
  STDMETHODIMP_(LONG) GetSize() override { return m_size; }
  STDMETHODIMP GetTime(REFERENCE_TIME*, REFERENCE_TIME*) override { return VFW_E_SAMPLE_TIME_NOT_SET; }
  STDMETHODIMP SetTime(REFERENCE_TIME*, REFERENCE_TIME*) override { return E_NOTIMPL; }
  STDMETHODIMP IsSyncPoint() override { return S_FALSE; }
  STDMETHODIMP SetSyncPoint(BOOL) override { return E_NOTIMPL; }
  STDMETHODIMP IsPreroll() override { return S_FALSE; }
  STDMETHODIMP SetPreroll(BOOL) override { return E_NOTIMPL; }
  STDMETHODIMP_(LONG) GetActualDataLength() override { return m_actual; }
  STDMETHODIMP SetActualDataLength(LONG) override { return E_NOTIMPL; }
  STDMETHODIMP GetMediaType(AM_MEDIA_TYPE** ppMediaType) override {
    *ppMediaType = m_type != nullptr ? CreateMediaType(m_type) : nullptr;
    return m_type != nullptr ? S_OK : S_FALSE;
  }
  STDMETHODIMP SetMediaType(AM_MEDIA_TYPE*) override { return E_NOTIMPL; }
  STDMETHODIMP IsDiscontinuity() override { return S_OK; }
  STDMETHODIMP SetDiscontinuity(BOOL) override { return E_NOTIMPL; }
  STDMETHODIMP GetMediaTime(LONGLONG*, LONGLONG*) override { return VFW_E_MEDIA_TIME_NOT_SET; }
  STDMETHODIMP SetMediaTime(LONGLONG*, LONGLONG*) override { return E_NOTIMPL; }

  int m_refs = 1;

 private:
  BYTE* m_data;
  LONG m_size;
  LONG m_actual;
  AM_MEDIA_TYPE* m_type = nullptr;
};

// A renderer connected to a numbered source and paused on its own (no worker runs), fed
// samples by hand from an allocator of the test's.
class RendererReceiveTest : public testing::Test {
 protected:
  void SetUp() override {
    m_objects = CBaseObject::ObjectsActive();
    m_source.Reset(CNumberedSource::Create(), kAdoptRef);
    m_renderer.Reset(CScriptedRendererFilter::Create(), kAdoptRef);
    ASSERT_EQ(static_cast<IPin*>(m_source->Stream())->Connect(m_renderer->Pin(), nullptr), S_OK);
    ASSERT_EQ(m_renderer->JoinFilterGraph(&m_graph, L"renderer"), S_OK);
    ASSERT_EQ(m_renderer->Pause(), S_OK);
    HRESULT hr = S_OK;
    ASSERT_EQ(CMemAllocator::CreateInstance(nullptr, &hr)->NonDelegatingQueryInterface(
                  IID_IMemAllocator, m_allocator.ReceiveVoid()),
              S_OK);
    ALLOCATOR_PROPERTIES request{4, 64, 1, 0};
    ALLOCATOR_PROPERTIES actual{};
    ASSERT_EQ(m_allocator->SetProperties(&request, &actual), S_OK);
    ASSERT_EQ(m_allocator->Commit(), S_OK);
  }

  void TearDown() override {
    m_renderer->Stop();
    static_cast<IPin*>(m_source->Stream())->Disconnect();
    m_renderer->Pin()->Disconnect();
    m_renderer->JoinFilterGraph(nullptr, nullptr);
    m_allocator->Decommit();
    m_allocator.Reset();
    m_source.Reset();
    m_renderer.Reset();
    EXPECT_EQ(CBaseObject::ObjectsActive(), m_objects);
  }

  // A sample from the test's allocator holding number n in its first four bytes.
  IMediaSample* Sample(std::uint32_t n) {
    IMediaSample* sample = nullptr;
    EXPECT_EQ(m_allocator->GetBuffer(&sample, nullptr, nullptr, AM_GBF_NOWAIT), S_OK);
    BYTE* data = nullptr;
    sample->GetPointer(&data);
    std::memset(data, static_cast<int>(n & 0xFF), 64);
    std::memcpy(data, &n, sizeof n);
    sample->SetActualDataLength(64);
    REFERENCE_TIME start = n * 10, stop = n * 10 + 10;
    sample->SetTime(&start, &stop);
    return sample;
  }
  HRESULT Deliver(std::uint32_t n) {
    IMediaSample* sample = Sample(n);
    const HRESULT hr = m_renderer->InputPin()->Receive(sample);
    sample->Release();
    return hr;
  }
  LONG FreeBuffers() {
    const auto callback = m_allocator.As<IMemAllocatorCallbackTemp>(IID_IMemAllocatorCallbackTemp);
    LONG free = -1;
    callback->GetFreeCount(&free);
    return free;
  }
  CScriptedRendererInputPin* Pin() { return m_renderer->InputPin(); }

  LONG m_objects = 0;
  CEventSinkGraph m_graph;
  CComPtr<CNumberedSource> m_source;
  CComPtr<CScriptedRendererFilter> m_renderer;
  CComPtr<IMemAllocator> m_allocator;
};

TEST_F(RendererReceiveTest, RecordsWhatEachSampleSays) {
  ASSERT_EQ(Deliver(5), S_OK);
  ASSERT_EQ(Pin()->SampleCount(), 1);
  const auto record = Pin()->Samples()[0];
  EXPECT_EQ(record.index, 0);
  EXPECT_EQ(record.number, 5);
  EXPECT_EQ(record.actual, 64);
  EXPECT_TRUE(record.lengthValid);
  EXPECT_EQ(record.firstByteCount, CRendererInputPin::kFirstBytes);
  EXPECT_EQ(record.firstBytes[4], 5);
  EXPECT_EQ(record.timeResult, S_OK);
  EXPECT_EQ(record.start, 50);
  EXPECT_EQ(record.stop, 60);
  EXPECT_NE(record.mediaTimeResult, S_OK);
  EXPECT_FALSE(record.typeAttached);
  EXPECT_EQ(FreeBuffers(), 4);
}

struct Malformed {
  const char* name;
  LONG size, actual;
  bool buffer;
};

class RendererMalformedSampleTest : public RendererReceiveTest, public testing::WithParamInterface<Malformed> {};

TEST_P(RendererMalformedSampleTest, IsRefusedWithoutReadingItsBuffer) {
  const Malformed& m = GetParam();
  // Exactly size bytes: any read beyond them is caught by the address sanitizer.
  std::vector<BYTE> storage(static_cast<std::size_t>(m.size > 0 ? m.size : 1), 0xAB);
  CFakeSample sample(m.buffer ? storage.data() : nullptr, m.size, m.actual);
  Pin()->KeepDataCopies(4);
  EXPECT_EQ(Pin()->Receive(&sample), E_INVALIDARG);
  ASSERT_EQ(Pin()->SampleCount(), 1);
  const auto record = Pin()->Samples()[0];
  EXPECT_FALSE(record.lengthValid);
  EXPECT_EQ(record.firstByteCount, 0u);
  EXPECT_EQ(record.number, -1);
  EXPECT_TRUE(Pin()->DataCopies().empty());
  EXPECT_EQ(sample.m_refs, 1);
}

INSTANTIATE_TEST_SUITE_P(Lengths, RendererMalformedSampleTest,
                         testing::Values(Malformed{"ActualBeyondBuffer", 16, 17, true},
                                         Malformed{"NegativeActual", 16, -1, true},
                                         Malformed{"NegativeSize", -16, 0, true},
                                         Malformed{"DataWithoutBuffer", 16, 8, false}),
                         [](const testing::TestParamInfo<Malformed>& info) { return std::string(info.param.name); });

TEST_F(RendererReceiveTest, AnAttachedTypeIsCheckedLikeAConnectionType) {
  BYTE data[8] = {1, 0, 0, 0, 9, 9, 9, 9};
  CFakeSample good(data, 8, 8);
  good.Attach(MakeRgb24Type(80, 60));
  EXPECT_EQ(Pin()->Receive(&good), S_OK);
  CMediaType broken = MakeRgb24Type(80, 60);
  reinterpret_cast<VIDEOINFOHEADER*>(broken.Format())->bmiHeader.biWidth = -80;
  CFakeSample bad(data, 8, 8);
  bad.Attach(broken);
  EXPECT_EQ(Pin()->Receive(&bad), VFW_E_INVALIDMEDIATYPE);
  const auto records = Pin()->Samples();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_TRUE(records[0].typeAttached);
  EXPECT_TRUE(records[0].typeAccepted);
  EXPECT_TRUE(records[0].discontinuity);
  EXPECT_EQ(records[0].number, 1);
  EXPECT_EQ(records[0].timeResult, VFW_E_SAMPLE_TIME_NOT_SET);
  EXPECT_TRUE(records[1].typeAttached);
  EXPECT_FALSE(records[1].typeAccepted);
}

TEST_F(RendererReceiveTest, IsRefusedWhileStoppedAndIgnoredWhileFlushing) {
  ASSERT_EQ(Pin()->BeginFlush(), S_OK);
  EXPECT_EQ(Deliver(1), S_FALSE);
  ASSERT_EQ(Pin()->EndFlush(), S_OK);
  EXPECT_EQ(Deliver(2), S_OK);
  ASSERT_EQ(m_renderer->Stop(), S_OK);
  EXPECT_EQ(Deliver(3), VFW_E_WRONG_STATE);
  EXPECT_EQ(Pin()->SampleCount(), 1);
  EXPECT_EQ(Pin()->BeginFlushCount(), 1);
  EXPECT_EQ(Pin()->EndFlushCount(), 1);
}


TEST_F(RendererReceiveTest, ReceiveMultipleStopsAtTheFirstScriptedResult) {
  Pin()->SetReceiveResult(1, E_FAIL);
  IMediaSample* samples[3] = {Sample(0), Sample(1), Sample(2)};
  LONG processed = -1;
  EXPECT_EQ(Pin()->ReceiveMultiple(samples, 3, &processed), E_FAIL);
  EXPECT_EQ(processed, 1);
  for (IMediaSample* sample : samples) sample->Release();
  const auto records = Pin()->Samples();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].result, S_OK);
  EXPECT_EQ(records[1].result, E_FAIL);
  EXPECT_EQ(Pin()->ReceiveMultiple(nullptr, 1, &processed), E_POINTER);
  EXPECT_EQ(Pin()->ReceiveMultiple(samples, 0, nullptr), E_POINTER);
}

TEST_F(RendererReceiveTest, KeepsCopiesOfTheLastSamplesOnlyAndBoundsItsRecords) {
  Pin()->KeepDataCopies(2);
  Pin()->SetMaxRecords(3);
  for (std::uint32_t n = 0; n < 5; ++n) ASSERT_EQ(Deliver(n), S_OK);
  EXPECT_EQ(Pin()->SampleCount(), 5);
  EXPECT_EQ(Pin()->Samples().size(), 3u);
  const auto copies = Pin()->DataCopies();
  ASSERT_EQ(copies.size(), 2u);
  for (std::size_t i = 0; i < 2; ++i) {
    const LONG index = static_cast<LONG>(3 + i);
    EXPECT_EQ(copies[i].index, index);
    ASSERT_EQ(copies[i].bytes.size(), 64u);
    EXPECT_EQ(copies[i].bytes[0], index);
    EXPECT_EQ(copies[i].bytes[63], index);
  }
}

TEST_F(RendererReceiveTest, HeldSamplesStayOutOfTheAllocatorUntilReleasedOrStopped) {
  Pin()->HoldSamples(2);
  for (std::uint32_t n = 0; n < 3; ++n) ASSERT_EQ(Deliver(n), S_OK);
  EXPECT_EQ(Pin()->HeldSampleCount(), 2);
  EXPECT_EQ(FreeBuffers(), 2);
  Pin()->ReleaseHeldSamples();
  EXPECT_EQ(FreeBuffers(), 4);
  ASSERT_EQ(Deliver(3), S_OK);
  EXPECT_EQ(FreeBuffers(), 3);
  ASSERT_EQ(m_renderer->Stop(), S_OK);
  EXPECT_EQ(FreeBuffers(), 4);
}

enum class Unblocking { Unblock, Flush, Stop };

class RendererBlockingTest : public RendererReceiveTest, public testing::WithParamInterface<Unblocking> {};

TEST_P(RendererBlockingTest, ABlockedReceiveHoldsItsSampleUntilReleased) {
  Pin()->BlockReceive(true);
  EXPECT_EQ(Pin()->ReceiveCanBlock(), S_OK);
  IMediaSample* sample = Sample(1);
  std::future<HRESULT> result = std::async(std::launch::async, [&] { return Pin()->Receive(sample); });
  ASSERT_TRUE(Pin()->WaitForBlockedReceive(kDeadline));
  EXPECT_EQ(result.wait_for(0s), std::future_status::timeout);
  HRESULT expected = S_OK;
  switch (GetParam()) {
    case Unblocking::Unblock:
      Pin()->BlockReceive(false);
      EXPECT_EQ(Pin()->ReceiveCanBlock(), S_FALSE);
      break;
    case Unblocking::Flush:
      Pin()->BeginFlush();
      expected = S_FALSE;
      break;
    case Unblocking::Stop:
      m_renderer->Stop();
      expected = VFW_E_WRONG_STATE;
      break;
  }
  ASSERT_EQ(result.wait_for(kDeadline), std::future_status::ready);
  EXPECT_EQ(result.get(), expected);
  EXPECT_EQ(Pin()->Samples()[0].result, expected);
  EXPECT_EQ(Pin()->BlockedReceives(), 0);
  sample->Release();
}

INSTANTIATE_TEST_SUITE_P(Releases, RendererBlockingTest, testing::Values(Unblocking::Unblock, Unblocking::Flush, Unblocking::Stop));

TEST_F(RendererReceiveTest, EndOfStreamCompletesThroughTheGraphOnlyWhileActiveAndNotFlushing) {
  EXPECT_EQ(m_renderer->Pin()->EndOfStream(), S_OK);
  ASSERT_TRUE(Pin()->WaitForEndOfStream(kDeadline));
  Pin()->BeginFlush();
  EXPECT_EQ(m_renderer->Pin()->EndOfStream(), S_FALSE);
  Pin()->EndFlush();
  m_renderer->Stop();
  EXPECT_EQ(m_renderer->Pin()->EndOfStream(), VFW_E_WRONG_STATE);
  EXPECT_EQ(Pin()->EndOfStreamCount(), 3);
  const auto events = m_graph.Events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].code, EC_COMPLETE);
  EXPECT_EQ(events[0].param1, S_OK);
  EXPECT_EQ(events[0].param2, reinterpret_cast<LONG_PTR>(m_renderer->Filter()));
}

}  // namespace
