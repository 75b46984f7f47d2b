#include "framework/dumps.h"

#include <cstdint>
#include <cstring>

#include "diagnostics/log_file.h"
#include "com/com_ptr.h"
#include "framework/media_type.h"
#include "framework/scoped_media_type.h"

namespace {

struct InterfaceName {
  const IID* iid;
  const wchar_t* line;
};

// First match wins; the order is the one the dump has always used.
const InterfaceName kInterfaceNames[] = {
    {&IID_IUnknown, L"IUnknown\n"},
    {&IID_IAMAnalogVideoDecoder, L"IAMAnalogVideoDecoder\n"},
    {&IID_IAMBufferNegotiation, L"IAMBufferNegotiation\n"},
    {&IID_IAMCameraControl, L"IAMCameraControl\n"},
    {&IID_IAMDeviceRemoval, L"IAMDeviceRemoval\n"},
    {&IID_IAMDroppedFrames, L"IAMDroppedFrames\n"},
    {&IID_IAMExtDevice, L"IAMExtDevice\n"},
    {&IID_IAMExtTransport, L"IAMExtTransport\n"},
    {&IID_IAMFilterMiscFlags, L"IAMFilterMiscFlags\n"},
    {&IID_IAMOpenProgress, L"IAMOpenProgress\n"},
    {&IID_IAMPushSource, L"IAMPushSource\n"},
    {&IID_IAMStreamConfig, L"IAMStreamConfig\n"},
    {&IID_IAMStreamControl, L"IAMStreamControl\n"},
    {&IID_IAMTimecodeReader, L"IAMTimecodeReader\n"},
    {&IID_IAMVideoControl, L"IAMVideoControl\n"},
    {&IID_IAMVideoCompression, L"IAMVideoCompression\n"},
    {&IID_IAMVideoProcAmp, L"IAMVideoProcAmp\n"},
    {&IID_IBaseFilter, L"IBaseFilter\n"},
    {&IID_IBasicAudio, L"IBasicAudio\n"},
    {&IID_IBasicVideo, L"IBasicVideo\n"},
    {&IID_IKsPin, L"IKsPin\n"},
    {&IID_IKsPropertySet, L"IKsPropertySet\n"},
    {&IID_IMediaSeeking, L"IMediaSeeking\n"},
    {&IID_IMediaPosition, L"IMediaPosition\n"},
    {&IID_IPersistPropertyBag, L"IPersistPropertyBag\n"},
    {&IID_IReferenceClock, L"IReferenceClock\n"},
    {&IID_ISpecifyPropertyPages, L"ISpecifyPropertyPages\n"},
    {&IID_IPin, L"IPin\n"},
    {&IID_IQualityControl, L"IQualityControl\n"},
    {&IID_IVideoWindow, L"IVideoWindow\n"},
};

// The identifier in braced registry form.
struct RegistryForm {
  explicit RegistryForm(REFGUID guid) {
    if (StringFromGUID2(guid, text, static_cast<int>(sizeof(text) / sizeof(text[0]))) == 0) text[0] = L'\0';
  }
  WCHAR text[64];
};

void WriteGuidLine(int level, const wchar_t* format, REFGUID guid) {
  const RegistryForm form(guid);
  g_Log.Write(level, format, form.text);
}

void LogVideoDetails(int level, const AM_MEDIA_TYPE& mt) {
  static_assert(sizeof(VIDEOINFOHEADER) == 88, "video format block");
  if (!IsEqualGUID(mt.formattype, FORMAT_VideoInfo) || mt.pbFormat == nullptr || mt.cbFormat < sizeof(VIDEOINFOHEADER)) {
    return;
  }
  // A peer's block need not be aligned for the structure.
  VIDEOINFOHEADER vih;
  std::memcpy(&vih, mt.pbFormat, sizeof(vih));
  const BITMAPINFOHEADER& bmi = vih.bmiHeader;
  g_Log.Write(level, L"  Bit rate = %lu\n", static_cast<DWORD>(vih.dwBitRate));
  g_Log.Write(level, L"  Bit error rate = %lu\n", static_cast<DWORD>(vih.dwBitErrorRate));
  g_Log.Write(level, L"  Planes = %d\n", static_cast<int>(bmi.biPlanes));
  g_Log.Write(level, L"  Bit count = %d\n", static_cast<int>(bmi.biBitCount));
  g_Log.Write(level, L"  Compression = %X\n", static_cast<unsigned>(bmi.biCompression));
  g_Log.Write(level, L"  Frame size = %dx%d\n", static_cast<int>(bmi.biWidth), static_cast<int>(bmi.biHeight));
  g_Log.Write(level, L"  SrcRect={%d,%d,%d,%d}\n  TargetRect={%d,%d,%d,%d}\n", static_cast<int>(vih.rcSource.left),
              static_cast<int>(vih.rcSource.top), static_cast<int>(vih.rcSource.right),
              static_cast<int>(vih.rcSource.bottom), static_cast<int>(vih.rcTarget.left),
              static_cast<int>(vih.rcTarget.top), static_cast<int>(vih.rcTarget.right),
              static_cast<int>(vih.rcTarget.bottom));
  g_Log.Write(level, L"  Image size = %d\n", static_cast<int>(bmi.biSizeImage));
  g_Log.Write(level, L"  Colors used = %lu\n", static_cast<DWORD>(bmi.biClrUsed));
  g_Log.Write(level, L"  Important colors = %d\n", static_cast<int>(bmi.biClrImportant));
  g_Log.Write(level, L"  X Pels per meter = %d\n", static_cast<int>(bmi.biXPelsPerMeter));
  g_Log.Write(level, L"  Y Pels per meter = %d\n", static_cast<int>(bmi.biYPelsPerMeter));
}

void LogSample2Properties(int level, IMediaSample* pSample) {
  CComPtr<IMediaSample2> sample2;
  if (pSample->QueryInterface(IID_IMediaSample2, sample2.ReceiveVoid()) != S_OK || !sample2) {
    (void)sample2.Detach();  // only an S_OK answer counts as a reference handed over
    g_Log.Write(level, L"  IMediaSample2 interface is not supported.\n");
    return;
  }
  // The record's own size: 48 bytes in a 32-bit process, 64 in a 64-bit one.
  AM_SAMPLE2_PROPERTIES props;
  std::memset(&props, 0, sizeof(props));
  if (sample2->GetProperties(static_cast<DWORD>(sizeof(props)), reinterpret_cast<BYTE*>(&props)) != S_OK) {
    g_Log.Write(level, L"  IMediaSample2 properties couldn't be retrieved.\n");
  } else {
    g_Log.Write(level, L"  SAMPLE2: Type-specific flags = %X.\n", static_cast<unsigned>(props.dwTypeSpecificFlags));
    g_Log.Write(level, L"  SAMPLE2: Sample flags = %X.\n", static_cast<unsigned>(props.dwSampleFlags));
    g_Log.Write(level, L"  SAMPLE2: Actual data length = %d.\n", static_cast<int>(props.lActual));
  }
}

}  // namespace

void LogInterfaceName(int level, REFIID riid) {
  g_Log.Write(level, L"Querying interface: ");
  for (const InterfaceName& name : kInterfaceNames) {
    if (IsEqualGUID(riid, *name.iid)) {
      g_Log.Write(level, name.line);
      return;
    }
  }
  WriteGuidLine(level, L"%s\n", riid);
}

void LogMediaType(int level, const AM_MEDIA_TYPE* pmt) {
  if (pmt == nullptr) return;
  g_Log.Write(level, L"=== Mediatype Dump: ===\n");

  if (IsEqualGUID(pmt->majortype, GUID_NULL)) {
    g_Log.Write(level, L"  Major type = GUID_NULL\n");
  } else if (IsEqualGUID(pmt->majortype, MEDIATYPE_Video)) {
    g_Log.Write(level, L"  Major type = MEDIATYPE_Video\n");
  } else if (IsEqualGUID(pmt->majortype, MEDIATYPE_Audio)) {
    g_Log.Write(level, L"  Major type = MEDIATYPE_Audio\n");
  } else {
    WriteGuidLine(level, L"  Major type = %s\n", pmt->majortype);
  }

  if (IsEqualGUID(pmt->subtype, GUID_NULL)) {
    g_Log.Write(level, L"  Subtype = GUID_NULL\n");
  } else if (IsEqualGUID(pmt->subtype, MEDIASUBTYPE_RGB24)) {
    g_Log.Write(level, L"  Subtype = MEDIASUBTYPE_RGB24\n");
  } else if (IsEqualGUID(pmt->subtype, MEDIASUBTYPE_RGB32)) {
    g_Log.Write(level, L"  Subtype = MEDIASUBTYPE_RGB32\n");
  } else if (IsEqualGUID(pmt->subtype, MEDIASUBTYPE_PCM)) {
    g_Log.Write(level, L"  Subtype = MEDIASUBTYPE_PCM\n");
  } else {
    WriteGuidLine(level, L"  Subtype = %s\n", pmt->subtype);
  }

  g_Log.Write(level, L"  Fixed size samples = %d\n", static_cast<int>(pmt->bFixedSizeSamples));
  g_Log.Write(level, L"  Temporal compression = %d\n", static_cast<int>(pmt->bTemporalCompression));
  g_Log.Write(level, L"  Sample size = %d\n", static_cast<int>(pmt->lSampleSize));

  if (IsEqualGUID(pmt->formattype, GUID_NULL)) {
    g_Log.Write(level, L"  Format type = GUID_NULL\n");
  } else if (IsEqualGUID(pmt->formattype, FORMAT_VideoInfo)) {
    g_Log.Write(level, L"  Format type = FORMAT_VideoInfo\n");
  } else if (IsEqualGUID(pmt->formattype, FORMAT_WaveFormatEx)) {
    g_Log.Write(level, L"  Format type = FORMAT_WaveFormatEx\n");
  } else {
    WriteGuidLine(level, L"  Format type = %s\n", pmt->formattype);
  }
  LogVideoDetails(level, *pmt);

  g_Log.Write(level, L"=== End Mediatype Dump ===\n");
}

void LogMediaSample(int level, IMediaSample* pSample) {
  if (pSample == nullptr) return;
  g_Log.Write(level, L"=== MediaSample dump ===\n");

  LONGLONG mediaStart = 0;
  LONGLONG mediaStop = 0;
  if (pSample->GetMediaTime(&mediaStart, &mediaStop) == S_OK) {
    g_Log.Write(level, L"  Start media time = %I64d\n", static_cast<LONGLONG>(mediaStart));
    g_Log.Write(level, L"  Stop media time  = %I64d\n", static_cast<LONGLONG>(mediaStop));
  } else {
    g_Log.Write(level, L"  Media times are not set\n");
  }

  REFERENCE_TIME start = 0;
  REFERENCE_TIME stop = 0;
  const HRESULT timeResult = pSample->GetTime(&start, &stop);
  if (timeResult == S_OK) {
    g_Log.Write(level, L"  Start time = %I64d\n", static_cast<LONGLONG>(start));
    g_Log.Write(level, L"  Stop time  = %I64d\n", static_cast<LONGLONG>(stop));
  } else if (timeResult == VFW_S_NO_STOP_TIME) {
    g_Log.Write(level, L"  Start time = %I64d\n", static_cast<LONGLONG>(start));
    g_Log.Write(level, L"  The sample has no valid stop time.\n");
  } else {
    g_Log.Write(level, L"  Time stamps are not set\n");
  }

  BYTE* buffer = nullptr;
  if (pSample->GetPointer(&buffer) == S_OK) {
    // The whole address, whatever the pointer width.
    g_Log.Write(level, L"  Buffer pointer = %IX\n", static_cast<ULONG_PTR>(reinterpret_cast<std::uintptr_t>(buffer)));
  } else {
    g_Log.Write(level, L"  Buffer pointer couldn't be retrieved.\n");
  }

  g_Log.Write(level, L"  Buffer size = %d\n", static_cast<int>(pSample->GetSize()));
  g_Log.Write(level, L"  Actual data length = %d\n", static_cast<int>(pSample->GetActualDataLength()));
  g_Log.Write(level, L"  Data discontinuity = %d\n", pSample->IsDiscontinuity() == S_OK ? 1 : 0);
  g_Log.Write(level, L"  Preroll = %d\n", pSample->IsPreroll() == S_OK ? 1 : 0);
  g_Log.Write(level, L"  Sync point = %d\n", pSample->IsSyncPoint() == S_OK ? 1 : 0);

  CScopedMediaType type;
  const HRESULT typeResult = pSample->GetMediaType(type.Receive());
  if (FAILED(typeResult)) (void)type.Detach();  // a failure hands no record over
  if (type) {
    LogMediaType(level, type.Get());
  } else {
    g_Log.Write(level, L"  Media type is not attached.\n");
  }

  LogSample2Properties(level, pSample);

  g_Log.Write(level, L"=== End MediaSample dump ===\n");
}
