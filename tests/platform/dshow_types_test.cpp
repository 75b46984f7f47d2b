// Checks the component-object and media-pipeline declarations against the published
// facts: identifier values, status codes, structure layouts of a 64-bit build and the
// vtable slot of every method. The same literals run against the SDK in the Windows build
// and against the platform layer's own declarations in the Linux build, so a difference
// between the two shows up as a failure in one of them.
#include "platform/dshow_types.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <set>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "platform/guid.h"

namespace {

struct PublishedGuid {
  const char* name;
  const GUID* value;
  const wchar_t* text;
};

const PublishedGuid kPublishedGuids[] = {
    {"IID_IBaseFilter", &IID_IBaseFilter, L"{56A86895-0AD4-11CE-B03A-0020AF0BA770}"},
    {"IID_IMediaFilter", &IID_IMediaFilter, L"{56A86899-0AD4-11CE-B03A-0020AF0BA770}"},
    {"IID_IPin", &IID_IPin, L"{56A86891-0AD4-11CE-B03A-0020AF0BA770}"},
    {"IID_IMemInputPin", &IID_IMemInputPin, L"{56A8689D-0AD4-11CE-B03A-0020AF0BA770}"},
    {"IID_IMemAllocator", &IID_IMemAllocator, L"{56A8689C-0AD4-11CE-B03A-0020AF0BA770}"},
    {"IID_IMediaSample2", &IID_IMediaSample2, L"{36B73884-C2C8-11CF-8B46-00805F6CEF60}"},
    {"IID_IMediaEventSink", &IID_IMediaEventSink, L"{56A868A2-0AD4-11CE-B03A-0020AF0BA770}"},
    {"IID_IAMStreamControl", &IID_IAMStreamControl, L"{36B73881-C2C8-11CF-8B46-00805F6CEF60}"},
    {"IID_IAMStreamConfig", &IID_IAMStreamConfig, L"{C6E13340-30AC-11D0-A18C-00A0C9118956}"},
    {"IID_IKsPropertySet", &IID_IKsPropertySet, L"{31EFAC30-515C-11D0-A9AA-00AA0061BE93}"},
    {"IID_IAMPushSource", &IID_IAMPushSource, L"{F185FE76-E64E-11D2-B76E-00C04FB6BD3D}"},
    {"IID_IAMLatency", &IID_IAMLatency, L"{62EA93BA-EC62-11D2-B770-00C04FB6BD3D}"},
    {"IID_IAMFilterMiscFlags", &IID_IAMFilterMiscFlags, L"{2DD74950-A890-11D1-ABE8-00A0C905F375}"},
    {"IID_IPersistPropertyBag", &IID_IPersistPropertyBag, L"{37D84F60-42CB-11CE-8135-00AA004BB851}"},
    {"IID_IMediaSeeking", &IID_IMediaSeeking, L"{36B73880-C2C8-11CF-8B46-00805F6CEF60}"},
    {"IID_IMediaPosition", &IID_IMediaPosition, L"{56A868B2-0AD4-11CE-B03A-0020AF0BA770}"},
    {"IID_IFilterMapper2", &IID_IFilterMapper2, L"{B79BB0B0-33C1-11D1-ABE1-00A0C905F375}"},
    {"IID_ICreateDevEnum", &IID_ICreateDevEnum, L"{29840822-5B84-11D0-BD3B-00A0C911CE86}"},
    {"IID_IKsPin", &IID_IKsPin, L"{B61178D1-A2D9-11CF-9E53-00AA00A216A1}"},
    {"IID_IAMDeviceRemoval", &IID_IAMDeviceRemoval, L"{F90A6130-B658-11D2-AE49-0000F8754B99}"},
    {"IID_IVideoWindow", &IID_IVideoWindow, L"{56A868B4-0AD4-11CE-B03A-0020AF0BA770}"},
    {"GUID_NULL", &GUID_NULL, L"{00000000-0000-0000-0000-000000000000}"},
    {"MEDIATYPE_Video", &MEDIATYPE_Video, L"{73646976-0000-0010-8000-00AA00389B71}"},
    {"MEDIASUBTYPE_RGB24", &MEDIASUBTYPE_RGB24, L"{E436EB7D-524F-11CE-9F53-0020AF0BA770}"},
    {"MEDIASUBTYPE_RGB32", &MEDIASUBTYPE_RGB32, L"{E436EB7E-524F-11CE-9F53-0020AF0BA770}"},
    {"MEDIASUBTYPE_RGB565", &MEDIASUBTYPE_RGB565, L"{E436EB7B-524F-11CE-9F53-0020AF0BA770}"},
    {"MEDIASUBTYPE_YUY2", &MEDIASUBTYPE_YUY2, L"{32595559-0000-0010-8000-00AA00389B71}"},
    {"FORMAT_VideoInfo", &FORMAT_VideoInfo, L"{05589F80-C356-11CE-BF01-00AA0055595A}"},
    {"FORMAT_None", &FORMAT_None, L"{0F6417D6-C318-11D0-A43F-00A0C9223196}"},
    {"CLSID_VideoInputDeviceCategory", &CLSID_VideoInputDeviceCategory, L"{860BB310-5D01-11D0-BD3B-00A0C911CE86}"},
    {"CLSID_FilterMapper2", &CLSID_FilterMapper2, L"{CDA42200-BD88-11D0-BD4E-00A0C911CE86}"},
    {"CLSID_SystemDeviceEnum", &CLSID_SystemDeviceEnum, L"{62BE5D10-60EB-11D0-BD3B-00A0C911CE86}"},
    {"CLSID_FilterGraph", &CLSID_FilterGraph, L"{E436EBB3-524F-11CE-9F53-0020AF0BA770}"},
    {"CLSID_SystemClock", &CLSID_SystemClock, L"{E436EBB1-524F-11CE-9F53-0020AF0BA770}"},
    {"PIN_CATEGORY_CAPTURE", &PIN_CATEGORY_CAPTURE, L"{FB6C4281-0353-11D1-905F-0000C0CC16BA}"},
    {"PIN_CATEGORY_PREVIEW", &PIN_CATEGORY_PREVIEW, L"{FB6C4282-0353-11D1-905F-0000C0CC16BA}"},
    {"AMPROPSETID_Pin", &AMPROPSETID_Pin, L"{9B00F101-1567-11D1-B3F1-00AA003761C5}"},
    {"TIME_FORMAT_MEDIA_TIME", &TIME_FORMAT_MEDIA_TIME, L"{7B785574-8C82-11CF-BC0C-00AA00AC74F6}"},
};

TEST(DshowGuidTest, IdentifiersHaveTheirPublishedValues) {
  for (const auto& published : kPublishedGuids) {
    SCOPED_TRACE(published.name);
    EXPECT_EQ(platform::GuidToRegistryString(*published.value), published.text);
  }
}

TEST(DshowGuidTest, InterfaceNamesOfTheDumpAreThirtyDistinctIdentifiers) {
  const GUID* const dumped[] = {
      &IID_IUnknown,          &IID_IAMAnalogVideoDecoder, &IID_IAMBufferNegotiation, &IID_IAMCameraControl,
      &IID_IAMDeviceRemoval,  &IID_IAMDroppedFrames,      &IID_IAMExtDevice,         &IID_IAMExtTransport,
      &IID_IAMFilterMiscFlags, &IID_IAMOpenProgress,      &IID_IAMPushSource,        &IID_IAMStreamConfig,
      &IID_IAMStreamControl,  &IID_IAMTimecodeReader,     &IID_IAMVideoControl,      &IID_IAMVideoCompression,
      &IID_IAMVideoProcAmp,   &IID_IBaseFilter,           &IID_IBasicAudio,          &IID_IBasicVideo,
      &IID_IKsPin,            &IID_IKsPropertySet,        &IID_IMediaSeeking,        &IID_IMediaPosition,
      &IID_IPersistPropertyBag, &IID_IReferenceClock,     &IID_ISpecifyPropertyPages, &IID_IPin,
      &IID_IQualityControl,   &IID_IVideoWindow};
  std::set<std::wstring> texts;
  for (const GUID* iid : dumped) {
    EXPECT_NE(*iid, GUID_NULL);
    texts.insert(platform::GuidToRegistryString(*iid));
  }
  EXPECT_EQ(texts.size(), 30u);
}

TEST(DshowStatusTest, CodesHaveTheirPublishedValues) {
  const std::pair<HRESULT, std::uint32_t> codes[] = {
      {VFW_S_NO_MORE_ITEMS, 0x00040103u},       {VFW_S_CANT_CUE, 0x00040268u},
      {VFW_S_NO_STOP_TIME, 0x00040270u},        {VFW_E_INVALIDMEDIATYPE, 0x80040200u},
      {VFW_E_ENUM_OUT_OF_SYNC, 0x80040203u},    {VFW_E_ALREADY_CONNECTED, 0x80040204u},
      {VFW_E_NO_ACCEPTABLE_TYPES, 0x80040207u}, {VFW_E_INVALID_DIRECTION, 0x80040208u},
      {VFW_E_NOT_CONNECTED, 0x80040209u},       {VFW_E_NO_ALLOCATOR, 0x8004020Au},
      {VFW_E_BADALIGN, 0x8004020Eu},            {VFW_E_ALREADY_COMMITTED, 0x8004020Fu},
      {VFW_E_BUFFERS_OUTSTANDING, 0x80040210u}, {VFW_E_NOT_COMMITTED, 0x80040211u},
      {VFW_E_SIZENOTSET, 0x80040212u},          {VFW_E_NO_CLOCK, 0x80040213u},
      {VFW_E_NOT_FOUND, 0x80040216u},           {VFW_E_NOT_STOPPED, 0x80040224u},
      {VFW_E_TYPE_NOT_ACCEPTED, 0x8004022Au},   {VFW_E_TIMEOUT, 0x8004022Eu},
      {VFW_E_BUFFER_OVERFLOW, 0x8004020Du},     {VFW_E_SAMPLE_TIME_NOT_SET, 0x80040249u},
      {VFW_E_MEDIA_TIME_NOT_SET, 0x80040251u},  {E_PROP_ID_UNSUPPORTED, 0x80070490u},
      {E_PROP_SET_UNSUPPORTED, 0x80070492u},    {EC_COMPLETE, 0x01u},
      {EC_ERRORABORT, 0x03u},                   {EC_STREAM_CONTROL_STOPPED, 0x1Au},
      {EC_STREAM_CONTROL_STARTED, 0x1Bu},       {MERIT_DO_NOT_USE, 0x00200000u},
      {REG_PINFLAG_B_OUTPUT, 0x8u},             {AM_FILTER_MISC_FLAGS_IS_SOURCE, 0x2u},
      {AM_PUSHSOURCECAPS_PRIVATE_CLOCK, 0x4u},  {AM_STREAM_INFO_STOP_SEND_EXTRA, 0x10u},
      {AM_GBF_NOWAIT, 0x4u},                    {KSPROPERTY_SUPPORT_GET, 0x1u},
      {AMPROPERTY_PIN_CATEGORY, 0x0u},          {AM_SEEKING_CanDoSegments, 0x80u},
      {AM_SAMPLE_STOPVALID, 0x100u},            {State_Running, 0x2u},
      {PINDIR_OUTPUT, 0x1u}};
  for (const auto& [actual, published] : codes) EXPECT_EQ(static_cast<std::uint32_t>(actual), published);
}

TEST(ComRuntimeTest, StringFromGuid2WritesTheBracedFormOnlyWhenItFits) {
  wchar_t text[64];
  EXPECT_EQ(StringFromGUID2(PIN_CATEGORY_CAPTURE, text, 39), 39);
  EXPECT_EQ(std::wstring(text), L"{FB6C4281-0353-11D1-905F-0000C0CC16BA}");

  std::wmemset(text, L'#', 64);
  EXPECT_EQ(StringFromGUID2(PIN_CATEGORY_CAPTURE, text, 38), 0);
  EXPECT_EQ(text[0], L'#');
  EXPECT_EQ(StringFromGUID2(GUID_NULL, text, 64), 39);
  EXPECT_EQ(std::wstring(text), L"{00000000-0000-0000-0000-000000000000}");
}

TEST(ComRuntimeTest, TaskMemoryKeepsItsContentsAcrossReallocation) {
  auto* block = static_cast<unsigned char*>(CoTaskMemAlloc(16));
  ASSERT_NE(block, nullptr);
  for (int i = 0; i < 16; ++i) block[i] = static_cast<unsigned char>(i + 1);
  auto* grown = static_cast<unsigned char*>(CoTaskMemRealloc(block, 4096));
  ASSERT_NE(grown, nullptr);
  for (int i = 0; i < 16; ++i) EXPECT_EQ(grown[i], i + 1);
  CoTaskMemFree(grown);
  CoTaskMemFree(nullptr);

  void* empty = CoTaskMemAlloc(0);
  EXPECT_NE(empty, nullptr);
  CoTaskMemFree(empty);
}

TEST(ComRuntimeTest, ThreadInitialisationSucceedsAndBalances) {
  const HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  EXPECT_TRUE(SUCCEEDED(hr));
  if (SUCCEEDED(hr)) CoUninitialize();
}

// Counts references so that variant copies and clears can be checked.
class CountingObject : public IUnknown {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** ppv) override {
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++m_refs; }
  ULONG STDMETHODCALLTYPE Release() override { return --m_refs; }
  ULONG m_refs = 1;
};

TEST(ComRuntimeTest, BstrCarriesItsByteLengthInFrontOfTheText) {
  BSTR text = SysAllocString(L"Trelvox Amberline");
  ASSERT_NE(text, nullptr);
  EXPECT_EQ(SysStringLen(text), 17u);
  EXPECT_EQ(SysStringByteLen(text), 17u * sizeof(OLECHAR));
  std::uint32_t prefix = 0;
  std::memcpy(&prefix, reinterpret_cast<const unsigned char*>(text) - sizeof prefix, sizeof prefix);
  EXPECT_EQ(prefix, 17u * sizeof(OLECHAR));
  EXPECT_EQ(text[17], L'\0');
  SysFreeString(text);

  BSTR withZero = SysAllocStringLen(L"a\0b", 3);
  ASSERT_NE(withZero, nullptr);
  EXPECT_EQ(SysStringLen(withZero), 3u);
  EXPECT_EQ(withZero[2], L'b');
  SysFreeString(withZero);

  EXPECT_EQ(SysAllocString(nullptr), nullptr);
  EXPECT_EQ(SysStringLen(nullptr), 0u);
  SysFreeString(nullptr);
}

TEST(ComRuntimeTest, VariantCopyDuplicatesOwnedValuesAndClearReleasesThem) {
  VARIANT source;
  VariantInit(&source);
  EXPECT_EQ(source.vt, VT_EMPTY);
  source.vt = VT_BSTR;
  source.bstrVal = SysAllocString(L"{860BB310-5D01-11D0-BD3B-00A0C911CE86}");

  VARIANT copy;
  VariantInit(&copy);
  ASSERT_EQ(VariantCopy(&copy, &source), S_OK);
  ASSERT_EQ(copy.vt, VT_BSTR);
  EXPECT_NE(copy.bstrVal, source.bstrVal);
  EXPECT_EQ(std::wstring(copy.bstrVal), std::wstring(source.bstrVal));
  EXPECT_EQ(VariantClear(&source), S_OK);
  EXPECT_EQ(source.vt, VT_EMPTY);
  EXPECT_EQ(std::wstring(copy.bstrVal), L"{860BB310-5D01-11D0-BD3B-00A0C911CE86}");

  // Copying over a variant that owns a string frees that string first (no leak under the
  // sanitizer build), and an object reference is shared, not duplicated.
  CountingObject object;
  source.vt = VT_UNKNOWN;
  source.punkVal = &object;
  ASSERT_EQ(VariantCopy(&copy, &source), S_OK);
  EXPECT_EQ(copy.vt, VT_UNKNOWN);
  EXPECT_EQ(object.m_refs, 2u);
  EXPECT_EQ(VariantClear(&copy), S_OK);
  EXPECT_EQ(object.m_refs, 1u);

  VARIANT number;
  VariantInit(&number);
  number.vt = VT_I4;
  number.lVal = -7;
  ASSERT_EQ(VariantCopy(&copy, &number), S_OK);
  EXPECT_EQ(copy.vt, VT_I4);
  EXPECT_EQ(copy.lVal, -7);
}

struct LayoutFact {
  const char* what;
  std::size_t actual;
  std::size_t published;
};
#define AMBERLINE_SIZE(type, size) LayoutFact{"sizeof(" #type ")", sizeof(type), size}
#define AMBERLINE_OFFSET(type, field, offset) LayoutFact{#type "::" #field, offsetof(type, field), offset}

// Sizes and offsets of a 64-bit Windows build, taken from the SDK's declarations.
TEST(DshowLayoutTest, RecordsHaveTheLayoutOfA64BitWindowsBuild) {
  if constexpr (sizeof(void*) != 8) GTEST_SKIP() << "the published figures are those of 64-bit builds";
  const LayoutFact facts[] = {
      AMBERLINE_SIZE(GUID, 16),
      AMBERLINE_SIZE(AM_MEDIA_TYPE, 88),
      AMBERLINE_OFFSET(AM_MEDIA_TYPE, subtype, 16),
      AMBERLINE_OFFSET(AM_MEDIA_TYPE, bFixedSizeSamples, 32),
      AMBERLINE_OFFSET(AM_MEDIA_TYPE, bTemporalCompression, 36),
      AMBERLINE_OFFSET(AM_MEDIA_TYPE, lSampleSize, 40),
      AMBERLINE_OFFSET(AM_MEDIA_TYPE, formattype, 44),
      AMBERLINE_OFFSET(AM_MEDIA_TYPE, pUnk, 64),
      AMBERLINE_OFFSET(AM_MEDIA_TYPE, cbFormat, 72),
      AMBERLINE_OFFSET(AM_MEDIA_TYPE, pbFormat, 80),
      AMBERLINE_SIZE(RECT, 16),
      AMBERLINE_SIZE(SIZE, 8),
      AMBERLINE_SIZE(BITMAPINFOHEADER, 40),
      AMBERLINE_OFFSET(BITMAPINFOHEADER, biWidth, 4),
      AMBERLINE_OFFSET(BITMAPINFOHEADER, biHeight, 8),
      AMBERLINE_OFFSET(BITMAPINFOHEADER, biPlanes, 12),
      AMBERLINE_OFFSET(BITMAPINFOHEADER, biBitCount, 14),
      AMBERLINE_OFFSET(BITMAPINFOHEADER, biCompression, 16),
      AMBERLINE_OFFSET(BITMAPINFOHEADER, biSizeImage, 20),
      AMBERLINE_OFFSET(BITMAPINFOHEADER, biXPelsPerMeter, 24),
      AMBERLINE_OFFSET(BITMAPINFOHEADER, biClrUsed, 32),
      AMBERLINE_OFFSET(BITMAPINFOHEADER, biClrImportant, 36),
      AMBERLINE_SIZE(VIDEOINFOHEADER, 88),
      AMBERLINE_OFFSET(VIDEOINFOHEADER, rcTarget, 16),
      AMBERLINE_OFFSET(VIDEOINFOHEADER, dwBitRate, 32),
      AMBERLINE_OFFSET(VIDEOINFOHEADER, dwBitErrorRate, 36),
      AMBERLINE_OFFSET(VIDEOINFOHEADER, AvgTimePerFrame, 40),
      AMBERLINE_OFFSET(VIDEOINFOHEADER, bmiHeader, 48),
      AMBERLINE_SIZE(ALLOCATOR_PROPERTIES, 16),
      AMBERLINE_OFFSET(ALLOCATOR_PROPERTIES, cbBuffer, 4),
      AMBERLINE_OFFSET(ALLOCATOR_PROPERTIES, cbAlign, 8),
      AMBERLINE_OFFSET(ALLOCATOR_PROPERTIES, cbPrefix, 12),
      AMBERLINE_SIZE(AM_SAMPLE2_PROPERTIES, 64),
      AMBERLINE_OFFSET(AM_SAMPLE2_PROPERTIES, dwTypeSpecificFlags, 4),
      AMBERLINE_OFFSET(AM_SAMPLE2_PROPERTIES, dwSampleFlags, 8),
      AMBERLINE_OFFSET(AM_SAMPLE2_PROPERTIES, lActual, 12),
      AMBERLINE_OFFSET(AM_SAMPLE2_PROPERTIES, tStart, 16),
      AMBERLINE_OFFSET(AM_SAMPLE2_PROPERTIES, tStop, 24),
      AMBERLINE_OFFSET(AM_SAMPLE2_PROPERTIES, dwStreamId, 32),
      AMBERLINE_OFFSET(AM_SAMPLE2_PROPERTIES, pMediaType, 40),
      AMBERLINE_OFFSET(AM_SAMPLE2_PROPERTIES, pbBuffer, 48),
      AMBERLINE_OFFSET(AM_SAMPLE2_PROPERTIES, cbBuffer, 56),
      AMBERLINE_OFFSET(PIN_INFO, dir, 8),
      AMBERLINE_OFFSET(PIN_INFO, achName, 12),
      AMBERLINE_SIZE(AM_STREAM_INFO, 32),
      AMBERLINE_OFFSET(AM_STREAM_INFO, tStop, 8),
      AMBERLINE_OFFSET(AM_STREAM_INFO, dwStartCookie, 16),
      AMBERLINE_OFFSET(AM_STREAM_INFO, dwStopCookie, 20),
      AMBERLINE_OFFSET(AM_STREAM_INFO, dwFlags, 24),
      AMBERLINE_SIZE(Quality, 24),
      AMBERLINE_OFFSET(Quality, Proportion, 4),
      AMBERLINE_OFFSET(Quality, Late, 8),
      AMBERLINE_OFFSET(Quality, TimeStamp, 16),
      AMBERLINE_SIZE(VIDEO_STREAM_CONFIG_CAPS, 128),
      AMBERLINE_OFFSET(VIDEO_STREAM_CONFIG_CAPS, VideoStandard, 16),
      AMBERLINE_OFFSET(VIDEO_STREAM_CONFIG_CAPS, InputSize, 20),
      AMBERLINE_OFFSET(VIDEO_STREAM_CONFIG_CAPS, MinCroppingSize, 28),
      AMBERLINE_OFFSET(VIDEO_STREAM_CONFIG_CAPS, CropGranularityX, 44),
      AMBERLINE_OFFSET(VIDEO_STREAM_CONFIG_CAPS, MinOutputSize, 60),
      AMBERLINE_OFFSET(VIDEO_STREAM_CONFIG_CAPS, MaxOutputSize, 68),
      AMBERLINE_OFFSET(VIDEO_STREAM_CONFIG_CAPS, OutputGranularityX, 76),
      AMBERLINE_OFFSET(VIDEO_STREAM_CONFIG_CAPS, ShrinkTapsY, 96),
      AMBERLINE_OFFSET(VIDEO_STREAM_CONFIG_CAPS, MinFrameInterval, 104),
      AMBERLINE_OFFSET(VIDEO_STREAM_CONFIG_CAPS, MaxFrameInterval, 112),
      AMBERLINE_OFFSET(VIDEO_STREAM_CONFIG_CAPS, MinBitsPerSecond, 120),
      AMBERLINE_OFFSET(VIDEO_STREAM_CONFIG_CAPS, MaxBitsPerSecond, 124),
      AMBERLINE_SIZE(REGPINTYPES, 16),
      AMBERLINE_SIZE(REGPINMEDIUM, 24),
      AMBERLINE_SIZE(REGFILTERPINS, 56),
      AMBERLINE_OFFSET(REGFILTERPINS, bRendered, 8),
      AMBERLINE_OFFSET(REGFILTERPINS, clsConnectsToFilter, 24),
      AMBERLINE_OFFSET(REGFILTERPINS, strConnectsToPin, 32),
      AMBERLINE_OFFSET(REGFILTERPINS, nMediaTypes, 40),
      AMBERLINE_OFFSET(REGFILTERPINS, lpMediaType, 48),
      AMBERLINE_SIZE(REGFILTERPINS2, 48),
      AMBERLINE_OFFSET(REGFILTERPINS2, cInstances, 4),
      AMBERLINE_OFFSET(REGFILTERPINS2, nMediaTypes, 8),
      AMBERLINE_OFFSET(REGFILTERPINS2, lpMediaType, 16),
      AMBERLINE_OFFSET(REGFILTERPINS2, nMediums, 24),
      AMBERLINE_OFFSET(REGFILTERPINS2, lpMedium, 32),
      AMBERLINE_OFFSET(REGFILTERPINS2, clsPinCategory, 40),
      AMBERLINE_SIZE(REGFILTER2, 24),
      AMBERLINE_OFFSET(REGFILTER2, dwMerit, 4),
      AMBERLINE_OFFSET(REGFILTER2, cPins, 8),
      AMBERLINE_OFFSET(REGFILTER2, rgPins, 16),
      AMBERLINE_OFFSET(REGFILTER2, cPins2, 8),
      AMBERLINE_OFFSET(REGFILTER2, rgPins2, 16),
      AMBERLINE_SIZE(REGFILTER, 24),
      AMBERLINE_SIZE(VARIANT, 24),
      AMBERLINE_OFFSET(VARIANT, lVal, 8),
      AMBERLINE_OFFSET(VARIANT, bstrVal, 8),
      AMBERLINE_SIZE(LARGE_INTEGER, 8),
      AMBERLINE_SIZE(FILETIME, 8),
      AMBERLINE_SIZE(FILTER_STATE, 4),
      AMBERLINE_SIZE(PIN_DIRECTION, 4),
      AMBERLINE_SIZE(AMOVIESETUP_FILTER, 32),
      AMBERLINE_OFFSET(AMOVIESETUP_FILTER, dwMerit, 16),
      AMBERLINE_OFFSET(AMOVIESETUP_FILTER, nPins, 20),
      AMBERLINE_OFFSET(AMOVIESETUP_FILTER, lpPin, 24),
  };
  for (const auto& fact : facts) EXPECT_EQ(fact.actual, fact.published) << fact.what;
}

TEST(DshowLayoutTest, NameArraysHoldTheirCountOfWideCharacters) {
  // Wide characters are 2 bytes on Windows and 4 on Linux, so these two records differ
  // in size between the systems; they never leave the process.
  EXPECT_EQ(sizeof(PIN_INFO::achName), MAX_PIN_NAME * sizeof(WCHAR));
  EXPECT_EQ(sizeof(FILTER_INFO::achName), MAX_FILTER_NAME * sizeof(WCHAR));
  EXPECT_EQ(offsetof(FILTER_INFO, pGraph), MAX_FILTER_NAME * sizeof(WCHAR));
}

TEST(DshowLayoutTest, OwnSetupRecordsAliasTheMapperRecordsOfTheSdk) {
  if (!platform::kIsWindows) {
    GTEST_SKIP() << "only a Windows build has the SDK's mapper records to compare with; elsewhere the records "
                    "are the platform layer's own and are checked against the published layout above";
  }
  EXPECT_TRUE((std::is_same_v<AMOVIESETUP_PIN, REGFILTERPINS>));
  EXPECT_TRUE((std::is_same_v<AMOVIESETUP_MEDIATYPE, REGPINTYPES>));
  // Declared by the platform layer on Windows too (the header that declares it is not
  // included); it must resolve to the SDK library's value.
  EXPECT_EQ(platform::GuidToRegistryString(IID_IKsPin), L"{B61178D1-A2D9-11CF-9E53-00AA00A216A1}");
}

// The vtable slot a pointer to a virtual member designates. GCC represents such a
// pointer, on Linux and in MinGW alike, as 1 + the slot's byte offset in the vtable.
template <typename Method>
std::ptrdiff_t SlotOf(Method method) {
  static_assert(sizeof(Method) == 2 * sizeof(std::ptrdiff_t), "pointer to member of the Itanium C++ ABI");
  std::ptrdiff_t representation[2];
  std::memcpy(representation, &method, sizeof representation);
  if ((representation[0] & 1) == 0) return -1;  // not virtual
  return (representation[0] - 1) / static_cast<std::ptrdiff_t>(sizeof(void*));
}

struct InterfaceOrder {
  const char* name;
  std::ptrdiff_t firstSlot;
  std::vector<std::pair<const char*, std::ptrdiff_t>> methods;
};

#define AMBERLINE_SLOT(method) std::pair<const char*, std::ptrdiff_t>(#method, SlotOf(&Interface::method))

std::vector<InterfaceOrder> PublishedOrders() {
  std::vector<InterfaceOrder> orders;
  {
    using Method = HRESULT (STDMETHODCALLTYPE IUnknown::*)(REFIID, void**);
    orders.push_back({"IUnknown", 0,
                      {{"QueryInterface", SlotOf(static_cast<Method>(&IUnknown::QueryInterface))},
                       {"AddRef", SlotOf(&IUnknown::AddRef)},
                       {"Release", SlotOf(&IUnknown::Release)}}});
  }
  {
    using Interface = IClassFactory;
    orders.push_back({"IClassFactory", 3, {AMBERLINE_SLOT(CreateInstance), AMBERLINE_SLOT(LockServer)}});
  }
  {
    using Interface = IBaseFilter;
    orders.push_back({"IBaseFilter",
                      3,
                      {AMBERLINE_SLOT(GetClassID), AMBERLINE_SLOT(Stop), AMBERLINE_SLOT(Pause), AMBERLINE_SLOT(Run),
                       AMBERLINE_SLOT(GetState), AMBERLINE_SLOT(SetSyncSource), AMBERLINE_SLOT(GetSyncSource),
                       AMBERLINE_SLOT(EnumPins), AMBERLINE_SLOT(FindPin), AMBERLINE_SLOT(QueryFilterInfo),
                       AMBERLINE_SLOT(JoinFilterGraph), AMBERLINE_SLOT(QueryVendorInfo)}});
  }
  {
    using Interface = IAMovieSetup;
    orders.push_back({"IAMovieSetup", 3, {AMBERLINE_SLOT(Register), AMBERLINE_SLOT(Unregister)}});
  }
  {
    using Interface = IPin;
    orders.push_back(
        {"IPin",
         3,
         {AMBERLINE_SLOT(Connect), AMBERLINE_SLOT(ReceiveConnection), AMBERLINE_SLOT(Disconnect),
          AMBERLINE_SLOT(ConnectedTo), AMBERLINE_SLOT(ConnectionMediaType), AMBERLINE_SLOT(QueryPinInfo),
          AMBERLINE_SLOT(QueryDirection), AMBERLINE_SLOT(QueryId), AMBERLINE_SLOT(QueryAccept),
          AMBERLINE_SLOT(EnumMediaTypes), AMBERLINE_SLOT(QueryInternalConnections), AMBERLINE_SLOT(EndOfStream),
          AMBERLINE_SLOT(BeginFlush), AMBERLINE_SLOT(EndFlush), AMBERLINE_SLOT(NewSegment)}});
  }
  {
    using Interface = IQualityControl;
    orders.push_back({"IQualityControl", 3, {AMBERLINE_SLOT(Notify), AMBERLINE_SLOT(SetSink)}});
  }
  {
    using Interface = IEnumPins;
    orders.push_back({"IEnumPins",
                      3,
                      {AMBERLINE_SLOT(Next), AMBERLINE_SLOT(Skip), AMBERLINE_SLOT(Reset), AMBERLINE_SLOT(Clone)}});
  }
  {
    using Interface = IEnumMediaTypes;
    orders.push_back({"IEnumMediaTypes",
                      3,
                      {AMBERLINE_SLOT(Next), AMBERLINE_SLOT(Skip), AMBERLINE_SLOT(Reset), AMBERLINE_SLOT(Clone)}});
  }
  {
    using Interface = IEnumFilters;
    orders.push_back({"IEnumFilters",
                      3,
                      {AMBERLINE_SLOT(Next), AMBERLINE_SLOT(Skip), AMBERLINE_SLOT(Reset), AMBERLINE_SLOT(Clone)}});
  }
  {
    using Interface = IEnumMoniker;
    orders.push_back({"IEnumMoniker",
                      3,
                      {AMBERLINE_SLOT(Next), AMBERLINE_SLOT(Skip), AMBERLINE_SLOT(Reset), AMBERLINE_SLOT(Clone)}});
  }
  {
    using Interface = IMemInputPin;
    orders.push_back({"IMemInputPin",
                      3,
                      {AMBERLINE_SLOT(GetAllocator), AMBERLINE_SLOT(NotifyAllocator),
                       AMBERLINE_SLOT(GetAllocatorRequirements), AMBERLINE_SLOT(Receive),
                       AMBERLINE_SLOT(ReceiveMultiple), AMBERLINE_SLOT(ReceiveCanBlock)}});
  }
  {
    using Interface = IMemAllocatorCallbackTemp;
    orders.push_back({"IMemAllocatorCallbackTemp",
                      3,
                      {AMBERLINE_SLOT(SetProperties), AMBERLINE_SLOT(GetProperties), AMBERLINE_SLOT(Commit),
                       AMBERLINE_SLOT(Decommit), AMBERLINE_SLOT(GetBuffer), AMBERLINE_SLOT(ReleaseBuffer),
                       AMBERLINE_SLOT(SetNotify), AMBERLINE_SLOT(GetFreeCount)}});
  }
  {
    using Interface = IMemAllocatorNotifyCallbackTemp;
    orders.push_back({"IMemAllocatorNotifyCallbackTemp", 3, {AMBERLINE_SLOT(NotifyRelease)}});
  }
  {
    using Interface = IMediaSample2;
    orders.push_back(
        {"IMediaSample2",
         3,
         {AMBERLINE_SLOT(GetPointer), AMBERLINE_SLOT(GetSize), AMBERLINE_SLOT(GetTime), AMBERLINE_SLOT(SetTime),
          AMBERLINE_SLOT(IsSyncPoint), AMBERLINE_SLOT(SetSyncPoint), AMBERLINE_SLOT(IsPreroll),
          AMBERLINE_SLOT(SetPreroll), AMBERLINE_SLOT(GetActualDataLength), AMBERLINE_SLOT(SetActualDataLength),
          AMBERLINE_SLOT(GetMediaType), AMBERLINE_SLOT(SetMediaType), AMBERLINE_SLOT(IsDiscontinuity),
          AMBERLINE_SLOT(SetDiscontinuity), AMBERLINE_SLOT(GetMediaTime), AMBERLINE_SLOT(SetMediaTime),
          AMBERLINE_SLOT(GetProperties), AMBERLINE_SLOT(SetProperties)}});
  }
  {
    using Interface = IReferenceClock;
    orders.push_back({"IReferenceClock",
                      3,
                      {AMBERLINE_SLOT(GetTime), AMBERLINE_SLOT(AdviseTime), AMBERLINE_SLOT(AdvisePeriodic),
                       AMBERLINE_SLOT(Unadvise)}});
  }
  {
    using Interface = IMediaEventSink;
    orders.push_back({"IMediaEventSink", 3, {AMBERLINE_SLOT(Notify)}});
  }
  {
    using Interface = IFilterGraph2;
    orders.push_back(
        {"IFilterGraph2",
         3,
         {AMBERLINE_SLOT(AddFilter), AMBERLINE_SLOT(RemoveFilter), AMBERLINE_SLOT(EnumFilters),
          AMBERLINE_SLOT(FindFilterByName), AMBERLINE_SLOT(ConnectDirect), AMBERLINE_SLOT(Reconnect),
          AMBERLINE_SLOT(Disconnect), AMBERLINE_SLOT(SetDefaultSyncSource), AMBERLINE_SLOT(Connect),
          AMBERLINE_SLOT(Render), AMBERLINE_SLOT(RenderFile), AMBERLINE_SLOT(AddSourceFilter),
          AMBERLINE_SLOT(SetLogFile), AMBERLINE_SLOT(Abort), AMBERLINE_SLOT(ShouldOperationContinue),
          AMBERLINE_SLOT(AddSourceFilterForMoniker), AMBERLINE_SLOT(ReconnectEx), AMBERLINE_SLOT(RenderEx)}});
  }
  {
    using Interface = IFilterMapper;
    orders.push_back({"IFilterMapper",
                      3,
                      {AMBERLINE_SLOT(RegisterFilter), AMBERLINE_SLOT(RegisterFilterInstance),
                       AMBERLINE_SLOT(RegisterPin), AMBERLINE_SLOT(RegisterPinType), AMBERLINE_SLOT(UnregisterFilter),
                       AMBERLINE_SLOT(UnregisterFilterInstance), AMBERLINE_SLOT(UnregisterPin),
                       AMBERLINE_SLOT(EnumMatchingFilters)}});
  }
  {
    using Interface = IFilterMapper2;
    orders.push_back({"IFilterMapper2",
                      3,
                      {AMBERLINE_SLOT(CreateCategory), AMBERLINE_SLOT(UnregisterFilter),
                       AMBERLINE_SLOT(RegisterFilter), AMBERLINE_SLOT(EnumMatchingFilters)}});
  }
  {
    using Interface = ICreateDevEnum;
    orders.push_back({"ICreateDevEnum", 3, {AMBERLINE_SLOT(CreateClassEnumerator)}});
  }
  {
    using Interface = IAMStreamControl;
    orders.push_back(
        {"IAMStreamControl", 3, {AMBERLINE_SLOT(StartAt), AMBERLINE_SLOT(StopAt), AMBERLINE_SLOT(GetInfo)}});
  }
  {
    using Interface = IKsPropertySet;
    orders.push_back(
        {"IKsPropertySet", 3, {AMBERLINE_SLOT(Set), AMBERLINE_SLOT(Get), AMBERLINE_SLOT(QuerySupported)}});
  }
  {
    using Interface = IAMStreamConfig;
    orders.push_back({"IAMStreamConfig",
                      3,
                      {AMBERLINE_SLOT(SetFormat), AMBERLINE_SLOT(GetFormat), AMBERLINE_SLOT(GetNumberOfCapabilities),
                       AMBERLINE_SLOT(GetStreamCaps)}});
  }
  {
    using Interface = IAMPushSource;
    orders.push_back({"IAMPushSource",
                      3,
                      {AMBERLINE_SLOT(GetLatency), AMBERLINE_SLOT(GetPushSourceFlags),
                       AMBERLINE_SLOT(SetPushSourceFlags), AMBERLINE_SLOT(SetStreamOffset),
                       AMBERLINE_SLOT(GetStreamOffset), AMBERLINE_SLOT(GetMaxStreamOffset),
                       AMBERLINE_SLOT(SetMaxStreamOffset)}});
  }
  {
    using Interface = IAMFilterMiscFlags;
    orders.push_back({"IAMFilterMiscFlags", 3, {AMBERLINE_SLOT(GetMiscFlags)}});
  }
  {
    using Interface = IPersistPropertyBag;
    orders.push_back({"IPersistPropertyBag",
                      3,
                      {AMBERLINE_SLOT(GetClassID), AMBERLINE_SLOT(InitNew), AMBERLINE_SLOT(Load),
                       AMBERLINE_SLOT(Save)}});
  }
  {
    using Interface = IPropertyBag;
    orders.push_back({"IPropertyBag", 3, {AMBERLINE_SLOT(Read), AMBERLINE_SLOT(Write)}});
  }
  {
    using Interface = IErrorLog;
    orders.push_back({"IErrorLog", 3, {AMBERLINE_SLOT(AddError)}});
  }
  {
    using Interface = IMediaSeeking;
    orders.push_back(
        {"IMediaSeeking",
         3,
         {AMBERLINE_SLOT(GetCapabilities), AMBERLINE_SLOT(CheckCapabilities), AMBERLINE_SLOT(IsFormatSupported),
          AMBERLINE_SLOT(QueryPreferredFormat), AMBERLINE_SLOT(GetTimeFormat), AMBERLINE_SLOT(IsUsingTimeFormat),
          AMBERLINE_SLOT(SetTimeFormat), AMBERLINE_SLOT(GetDuration), AMBERLINE_SLOT(GetStopPosition),
          AMBERLINE_SLOT(GetCurrentPosition), AMBERLINE_SLOT(ConvertTimeFormat), AMBERLINE_SLOT(SetPositions),
          AMBERLINE_SLOT(GetPositions), AMBERLINE_SLOT(GetAvailable), AMBERLINE_SLOT(SetRate),
          AMBERLINE_SLOT(GetRate), AMBERLINE_SLOT(GetPreroll)}});
  }
  {
    using Interface = IMediaPosition;
    orders.push_back(
        {"IMediaPosition",
         3,
         {AMBERLINE_SLOT(GetTypeInfoCount), AMBERLINE_SLOT(GetTypeInfo), AMBERLINE_SLOT(GetIDsOfNames),
          AMBERLINE_SLOT(Invoke), AMBERLINE_SLOT(get_Duration), AMBERLINE_SLOT(put_CurrentPosition),
          AMBERLINE_SLOT(get_CurrentPosition), AMBERLINE_SLOT(get_StopTime), AMBERLINE_SLOT(put_StopTime),
          AMBERLINE_SLOT(get_PrerollTime), AMBERLINE_SLOT(put_PrerollTime), AMBERLINE_SLOT(put_Rate),
          AMBERLINE_SLOT(get_Rate), AMBERLINE_SLOT(CanSeekForward), AMBERLINE_SLOT(CanSeekBackward)}});
  }
  {
    using Interface = IMediaControl;
    orders.push_back({"IMediaControl",
                      7,
                      {AMBERLINE_SLOT(Run), AMBERLINE_SLOT(Pause), AMBERLINE_SLOT(Stop), AMBERLINE_SLOT(GetState),
                       AMBERLINE_SLOT(RenderFile), AMBERLINE_SLOT(AddSourceFilter),
                       AMBERLINE_SLOT(get_FilterCollection), AMBERLINE_SLOT(get_RegFilterCollection),
                       AMBERLINE_SLOT(StopWhenReady)}});
  }
  {
    using Interface = IMediaEvent;
    orders.push_back({"IMediaEvent",
                      7,
                      {AMBERLINE_SLOT(GetEventHandle), AMBERLINE_SLOT(GetEvent), AMBERLINE_SLOT(WaitForCompletion),
                       AMBERLINE_SLOT(CancelDefaultHandling), AMBERLINE_SLOT(RestoreDefaultHandling),
                       AMBERLINE_SLOT(FreeEventParams)}});
  }
  {
    using Interface = IMoniker;
    orders.push_back(
        {"IMoniker",
         3,
         {AMBERLINE_SLOT(GetClassID), AMBERLINE_SLOT(IsDirty), AMBERLINE_SLOT(Load), AMBERLINE_SLOT(Save),
          AMBERLINE_SLOT(GetSizeMax), AMBERLINE_SLOT(BindToObject), AMBERLINE_SLOT(BindToStorage),
          AMBERLINE_SLOT(Reduce), AMBERLINE_SLOT(ComposeWith), AMBERLINE_SLOT(Enum), AMBERLINE_SLOT(IsEqual),
          AMBERLINE_SLOT(Hash), AMBERLINE_SLOT(IsRunning), AMBERLINE_SLOT(GetTimeOfLastChange),
          AMBERLINE_SLOT(Inverse), AMBERLINE_SLOT(CommonPrefixWith), AMBERLINE_SLOT(RelativePathTo),
          AMBERLINE_SLOT(GetDisplayName), AMBERLINE_SLOT(ParseDisplayName), AMBERLINE_SLOT(IsSystemMoniker)}});
  }
  {
    using Interface = IBindCtx;
    orders.push_back({"IBindCtx",
                      3,
                      {AMBERLINE_SLOT(RegisterObjectBound), AMBERLINE_SLOT(RevokeObjectBound),
                       AMBERLINE_SLOT(ReleaseBoundObjects), AMBERLINE_SLOT(SetBindOptions),
                       AMBERLINE_SLOT(GetBindOptions), AMBERLINE_SLOT(GetRunningObjectTable),
                       AMBERLINE_SLOT(RegisterObjectParam), AMBERLINE_SLOT(GetObjectParam),
                       AMBERLINE_SLOT(EnumObjectParam), AMBERLINE_SLOT(RevokeObjectParam)}});
  }
  return orders;
}

#undef AMBERLINE_SLOT

// Every method sits in the slot of the published order: the list of each interface runs
// from its first own (or first inherited beyond IUnknown) method without gaps.
TEST(DshowInterfaceTest, MethodsSitInTheirPublishedVtableSlots) {
  for (const auto& order : PublishedOrders()) {
    SCOPED_TRACE(order.name);
    std::ptrdiff_t expected = order.firstSlot;
    for (const auto& [method, slot] : order.methods) {
      EXPECT_EQ(slot, expected) << method;
      ++expected;
    }
  }
}

}  // namespace
