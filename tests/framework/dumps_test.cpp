#include "framework/dumps.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <regex>
#include <string>

#include "framework/media_type.h"
#include "support/log_capture.h"

namespace {

using testing_support::CLogCapture;

// An IUnknown that only counts references; hung on attached media types to see that the
// dump frees the copy a sample hands out.
class CCountingUnknown : public IUnknown {
 public:
  STDMETHODIMP QueryInterface(REFIID, void** ppv) override {
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(++m_refs); }
  STDMETHODIMP_(ULONG) Release() override { return static_cast<ULONG>(--m_refs); }
  int m_refs = 1;
};

// A sample whose every answer the test chooses.
class CFakeSample : public IMediaSample2 {
 public:
  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
    if (IsEqualGUID(riid, IID_IMediaSample2) && m_hasSample2) {
      *ppv = static_cast<IMediaSample2*>(this);
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(++m_refs); }
  STDMETHODIMP_(ULONG) Release() override { return static_cast<ULONG>(--m_refs); }

  STDMETHODIMP GetPointer(BYTE** ppBuffer) override {
    *ppBuffer = m_pointerResult == S_OK ? reinterpret_cast<BYTE*>(static_cast<ULONG_PTR>(0x1234ABCD)) : nullptr;
    return m_pointerResult;
  }
  STDMETHODIMP_(LONG) GetSize() override { return 230400; }
  STDMETHODIMP GetTime(REFERENCE_TIME* pStart, REFERENCE_TIME* pEnd) override {
    *pStart = 4000000;
    *pEnd = 4400000;
    return m_timeResult;
  }
  STDMETHODIMP SetTime(REFERENCE_TIME*, REFERENCE_TIME*) override { return E_NOTIMPL; }
  STDMETHODIMP IsSyncPoint() override { return m_syncPoint; }
  STDMETHODIMP SetSyncPoint(BOOL) override { return E_NOTIMPL; }
  STDMETHODIMP IsPreroll() override { return S_FALSE; }
  STDMETHODIMP SetPreroll(BOOL) override { return E_NOTIMPL; }
  STDMETHODIMP_(LONG) GetActualDataLength() override { return 230400; }
  STDMETHODIMP SetActualDataLength(LONG) override { return E_NOTIMPL; }
  STDMETHODIMP GetMediaType(AM_MEDIA_TYPE** ppMediaType) override {
    *ppMediaType = m_attached ? CreateMediaType(&m_type) : nullptr;
    return m_attached ? S_OK : S_FALSE;
  }
  STDMETHODIMP SetMediaType(AM_MEDIA_TYPE*) override { return E_NOTIMPL; }
  STDMETHODIMP IsDiscontinuity() override { return m_discontinuity; }
  STDMETHODIMP SetDiscontinuity(BOOL) override { return E_NOTIMPL; }
  STDMETHODIMP GetMediaTime(LONGLONG* pStart, LONGLONG* pEnd) override {
    *pStart = 100;
    *pEnd = 101;
    return m_mediaTimeResult;
  }
  STDMETHODIMP SetMediaTime(LONGLONG*, LONGLONG*) override { return E_NOTIMPL; }
  STDMETHODIMP GetProperties(DWORD cbProperties, BYTE* pbProperties) override {
    m_propertiesSize = cbProperties;
    if (m_propertiesResult != S_OK) return m_propertiesResult;
    AM_SAMPLE2_PROPERTIES props{};
    props.cbData = sizeof(props);
    props.dwTypeSpecificFlags = 0xA5;
    props.dwSampleFlags = AM_SAMPLE_TIMEVALID | AM_SAMPLE_STOPVALID | AM_SAMPLE_SPLICEPOINT;
    props.lActual = 230400;
    std::memcpy(pbProperties, &props, std::min<std::size_t>(cbProperties, sizeof(props)));
    return S_OK;
  }
  STDMETHODIMP SetProperties(DWORD, const BYTE*) override { return E_NOTIMPL; }

  int m_refs = 1;
  bool m_hasSample2 = true;
  HRESULT m_pointerResult = S_OK;
  HRESULT m_timeResult = S_OK;
  HRESULT m_mediaTimeResult = S_OK;
  HRESULT m_syncPoint = S_OK;
  HRESULT m_discontinuity = E_UNEXPECTED;  // any answer but S_OK reads as 0
  HRESULT m_propertiesResult = S_OK;
  DWORD m_propertiesSize = 0;
  bool m_attached = false;
  CMediaType m_type;
};

// The camera's own kind of type: RGB24 video with a full video format block.
CMediaType CameraType() {
  CMediaType mt;
  mt.SetType(&MEDIATYPE_Video);
  mt.SetSubtype(&MEDIASUBTYPE_RGB24);
  mt.SetFormatType(&FORMAT_VideoInfo);
  mt.SetSampleSize(230400);
  VIDEOINFOHEADER vih{};
  vih.rcSource = {0, 0, 320, 240};
  vih.rcTarget = {1, 2, 3, 4};
  vih.dwBitRate = 55296000;
  vih.dwBitErrorRate = 7;
  vih.AvgTimePerFrame = 400000;
  vih.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
  vih.bmiHeader.biWidth = 320;
  vih.bmiHeader.biHeight = -240;
  vih.bmiHeader.biPlanes = 1;
  vih.bmiHeader.biBitCount = 24;
  vih.bmiHeader.biCompression = 0x32595559;
  vih.bmiHeader.biSizeImage = 230400;
  vih.bmiHeader.biXPelsPerMeter = 2835;
  vih.bmiHeader.biYPelsPerMeter = -1;
  vih.bmiHeader.biClrUsed = 4000000000u;
  vih.bmiHeader.biClrImportant = 3;
  EXPECT_TRUE(mt.SetFormat(reinterpret_cast<const BYTE*>(&vih), sizeof(vih)));
  return mt;
}

// The lines of a type dump up to and including the format type.
std::string TypeDumpHead(const std::string& major, const std::string& sub, const std::string& flagsAndSize,
                         const std::string& format) {
  return "=== Mediatype Dump: ===\n  Major type = " + major + "\n  Subtype = " + sub + "\n" + flagsAndSize +
         "  Format type = " + format + "\n";
}

const char kCameraFlagsAndSize[] = "  Fixed size samples = 1\n  Temporal compression = 0\n  Sample size = 230400\n";
const char kEnd[] = "=== End Mediatype Dump ===\n";

const std::string kCameraTypeDump =
    TypeDumpHead("MEDIATYPE_Video", "MEDIASUBTYPE_RGB24", kCameraFlagsAndSize, "FORMAT_VideoInfo") +
    "  Bit rate = 55296000\n"
    "  Bit error rate = 7\n"
    "  Planes = 1\n"
    "  Bit count = 24\n"
    "  Compression = 32595559\n"
    "  Frame size = 320x-240\n"
    "  SrcRect={0,0,320,240}\n"
    "  TargetRect={1,2,3,4}\n"
    "  Image size = 230400\n"
    "  Colors used = 4000000000\n"
    "  Important colors = 3\n"
    "  X Pels per meter = 2835\n"
    "  Y Pels per meter = -1\n"
    "=== End Mediatype Dump ===\n";

TEST(InterfaceNameDumpTest, KnownNameFollowsTheQueryTextOnTheSameLineEachWithItsPrefix) {
  CLogCapture log(1);
  LogInterfaceName(1, IID_IBaseFilter);
  EXPECT_TRUE(std::regex_match(log.Text(), std::regex(R"(\| [0-9/]{8} [0-9:]{8} \| Querying interface: )"
                                                      R"(\| [0-9/]{8} [0-9:]{8} \| IBaseFilter\n)")))
      << log.Text();
}

TEST(InterfaceNameDumpTest, NamesTheListedInterfacesAndSpellsOutOthers) {
  CLogCapture log(1);
  LogInterfaceName(1, IID_IUnknown);
  LogInterfaceName(1, IID_IKsPin);
  LogInterfaceName(1, IID_IVideoWindow);
  LogInterfaceName(1, IID_IMemInputPin);
  EXPECT_EQ(log.Messages(),
            "Querying interface: IUnknown\n"
            "Querying interface: IKsPin\n"
            "Querying interface: IVideoWindow\n"
            "Querying interface: {56A8689D-0AD4-11CE-B03A-0020AF0BA770}\n");
}

TEST(MediaTypeDumpTest, VideoTypeIsSpelledOutWithItsFormatBlock) {
  CLogCapture log(1);
  const CMediaType mt = CameraType();
  LogMediaType(1, &mt);
  EXPECT_EQ(log.Messages(), kCameraTypeDump);
}

// Without a whole video format block there are no video details, whatever cbFormat says.
TEST(MediaTypeDumpTest, ShortOrMissingVideoBlockGivesNoDetails) {
  const std::string withoutDetails =
      TypeDumpHead("MEDIATYPE_Video", "MEDIASUBTYPE_RGB24", kCameraFlagsAndSize, "FORMAT_VideoInfo") + kEnd;
  CMediaType shortBlock = CameraType();
  shortBlock.ReallocFormatBuffer(sizeof(VIDEOINFOHEADER) - 1);
  CMediaType lengthWithoutBlock = CameraType();
  AM_MEDIA_TYPE missing = lengthWithoutBlock;
  missing.pbFormat = nullptr;
  const AM_MEDIA_TYPE* cases[] = {&shortBlock, &missing};
  for (const AM_MEDIA_TYPE* mt : cases) {
    CLogCapture log(1);
    LogMediaType(1, mt);
    EXPECT_EQ(log.Messages(), withoutDetails);
  }
}

TEST(MediaTypeDumpTest, NullIdentifiersAndUnlistedOnesHaveTheirOwnLines) {
  CMediaType empty;
  CMediaType audio;
  audio.SetType(&MEDIATYPE_Audio);
  audio.SetSubtype(&MEDIASUBTYPE_PCM);
  audio.SetFormatType(&FORMAT_WaveFormatEx);
  audio.SetVariableSize();
  audio.SetTemporalCompression(TRUE);
  CMediaType other;
  other.SetType(&MEDIATYPE_Stream);
  other.SetSubtype(&MEDIASUBTYPE_YUY2);
  other.SetFormatType(&FORMAT_VideoInfo2);
  CLogCapture log(1);
  LogMediaType(1, &empty);
  LogMediaType(1, &audio);
  LogMediaType(1, &other);
  LogMediaType(1, nullptr);
  const std::string plain = "  Fixed size samples = 1\n  Temporal compression = 0\n  Sample size = 1\n";
  EXPECT_EQ(log.Messages(),
            TypeDumpHead("GUID_NULL", "GUID_NULL", plain, "GUID_NULL") + kEnd +
                TypeDumpHead("MEDIATYPE_Audio", "MEDIASUBTYPE_PCM",
                             "  Fixed size samples = 0\n  Temporal compression = 1\n  Sample size = 1\n",
                             "FORMAT_WaveFormatEx") +
                kEnd +
                TypeDumpHead("{E436EB83-524F-11CE-9F53-0020AF0BA770}", "{32595559-0000-0010-8000-00AA00389B71}",
                             plain, "{F72A76A0-EB0A-11D0-ACE4-0000C0CC16BA}") +
                kEnd);
}

TEST(MediaSampleDumpTest, FullSampleWithTypeAndProperties) {
  CCountingUnknown unknown;
  CFakeSample sample;
  sample.m_attached = true;
  sample.m_type = CameraType();
  sample.m_type.pUnk = &unknown;
  unknown.AddRef();
  CLogCapture log(3);
  LogMediaSample(3, &sample);
  EXPECT_EQ(log.Messages(), std::string("=== MediaSample dump ===\n"
                                        "  Start media time = 100\n"
                                        "  Stop media time  = 101\n"
                                        "  Start time = 4000000\n"
                                        "  Stop time  = 4400000\n"
                                        "  Buffer pointer = 1234ABCD\n"
                                        "  Buffer size = 230400\n"
                                        "  Actual data length = 230400\n"
                                        "  Data discontinuity = 0\n"
                                        "  Preroll = 0\n"
                                        "  Sync point = 1\n") +
                                kCameraTypeDump +
                                "  SAMPLE2: Type-specific flags = A5.\n"
                                "  SAMPLE2: Sample flags = 111.\n"
                                "  SAMPLE2: Actual data length = 230400.\n"
                                "=== End MediaSample dump ===\n");
  EXPECT_EQ(sample.m_propertiesSize, sizeof(AM_SAMPLE2_PROPERTIES));
  // The handed-out copy was freed and the IMediaSample2 reference given back.
  EXPECT_EQ(unknown.m_refs, 2);
  EXPECT_EQ(sample.m_refs, 1);
  FreeMediaType(sample.m_type);
}

TEST(MediaSampleDumpTest, MissingStopTimeTypeAndSample2AreSaidSo) {
  CFakeSample sample;
  sample.m_timeResult = VFW_S_NO_STOP_TIME;
  sample.m_mediaTimeResult = VFW_E_MEDIA_TIME_NOT_SET;
  sample.m_pointerResult = E_POINTER;
  sample.m_discontinuity = S_OK;
  sample.m_syncPoint = S_FALSE;
  sample.m_hasSample2 = false;
  CLogCapture log(3);
  LogMediaSample(3, &sample);
  EXPECT_EQ(log.Messages(),
            "=== MediaSample dump ===\n"
            "  Media times are not set\n"
            "  Start time = 4000000\n"
            "  The sample has no valid stop time.\n"
            "  Buffer pointer couldn't be retrieved.\n"
            "  Buffer size = 230400\n"
            "  Actual data length = 230400\n"
            "  Data discontinuity = 1\n"
            "  Preroll = 0\n"
            "  Sync point = 0\n"
            "  Media type is not attached.\n"
            "  IMediaSample2 interface is not supported.\n"
            "=== End MediaSample dump ===\n");
}

TEST(MediaSampleDumpTest, UnsetTimesAndUnreadablePropertiesAreSaidSo) {
  CFakeSample sample;
  sample.m_timeResult = VFW_E_SAMPLE_TIME_NOT_SET;
  sample.m_propertiesResult = E_INVALIDARG;
  CLogCapture log(3);
  LogMediaSample(3, &sample);
  const std::string text = log.Messages();
  EXPECT_NE(text.find("  Stop media time  = 101\n  Time stamps are not set\n  Buffer pointer"), std::string::npos) << text;
  EXPECT_NE(text.find("  Media type is not attached.\n"
                      "  IMediaSample2 properties couldn't be retrieved.\n"
                      "=== End MediaSample dump ===\n"),
            std::string::npos)
      << text;
  EXPECT_EQ(sample.m_refs, 1);
}

// Above the configured level nothing is written, but the sample is still asked and what
// it hands out is still given back.
TEST(MediaSampleDumpTest, AboveTheLevelNothingIsWrittenAndNothingLeaks) {
  CCountingUnknown unknown;
  CFakeSample sample;
  sample.m_attached = true;
  sample.m_type = CameraType();
  sample.m_type.pUnk = &unknown;
  unknown.AddRef();
  CLogCapture log(1);
  LogMediaSample(3, &sample);
  LogMediaSample(1, nullptr);
  EXPECT_EQ(log.Text(), "");
  EXPECT_EQ(sample.m_propertiesSize, sizeof(AM_SAMPLE2_PROPERTIES));
  EXPECT_EQ(unknown.m_refs, 2);
  EXPECT_EQ(sample.m_refs, 1);
  FreeMediaType(sample.m_type);
}

}  // namespace
