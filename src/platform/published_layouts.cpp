// Compile-time layout of the published records that pass between this module and the
// processes or components around it: the platform's records as the SDK declares them in
// a Windows build of either bitness, and the platform layer's own declarations
// elsewhere. A record that contains pointers has one layout per pointer size; every
// other record has one layout. A build whose declarations differ does not compile.
// (The shared frame region's records are checked where they are declared, in
// channel/frame_region.h.)
#include <cstddef>

#include "platform/dshow_types.h"

namespace {

constexpr bool k64 = sizeof(void*) == 8;
static_assert(sizeof(void*) == 4 || sizeof(void*) == 8);

// Offset or size in a 64-bit build, or in a 32-bit build.
constexpr std::size_t Bits(std::size_t in64, std::size_t in32) { return k64 ? in64 : in32; }

static_assert(sizeof(GUID) == 16);
static_assert(sizeof(RECT) == 16);
static_assert(sizeof(SIZE) == 8);
static_assert(sizeof(LARGE_INTEGER) == 8);
static_assert(sizeof(FILETIME) == 8);
static_assert(sizeof(FILTER_STATE) == 4);
static_assert(sizeof(PIN_DIRECTION) == 4);

static_assert(sizeof(BITMAPINFOHEADER) == 40);
static_assert(offsetof(BITMAPINFOHEADER, biWidth) == 4);
static_assert(offsetof(BITMAPINFOHEADER, biHeight) == 8);
static_assert(offsetof(BITMAPINFOHEADER, biPlanes) == 12);
static_assert(offsetof(BITMAPINFOHEADER, biBitCount) == 14);
static_assert(offsetof(BITMAPINFOHEADER, biCompression) == 16);
static_assert(offsetof(BITMAPINFOHEADER, biSizeImage) == 20);
static_assert(offsetof(BITMAPINFOHEADER, biXPelsPerMeter) == 24);
static_assert(offsetof(BITMAPINFOHEADER, biClrUsed) == 32);
static_assert(offsetof(BITMAPINFOHEADER, biClrImportant) == 36);

static_assert(sizeof(VIDEOINFOHEADER) == 88);
static_assert(offsetof(VIDEOINFOHEADER, rcTarget) == 16);
static_assert(offsetof(VIDEOINFOHEADER, dwBitRate) == 32);
static_assert(offsetof(VIDEOINFOHEADER, dwBitErrorRate) == 36);
static_assert(offsetof(VIDEOINFOHEADER, AvgTimePerFrame) == 40);
static_assert(offsetof(VIDEOINFOHEADER, bmiHeader) == 48);

static_assert(sizeof(VIDEO_STREAM_CONFIG_CAPS) == 128);
static_assert(offsetof(VIDEO_STREAM_CONFIG_CAPS, VideoStandard) == 16);
static_assert(offsetof(VIDEO_STREAM_CONFIG_CAPS, InputSize) == 20);
static_assert(offsetof(VIDEO_STREAM_CONFIG_CAPS, MinCroppingSize) == 28);
static_assert(offsetof(VIDEO_STREAM_CONFIG_CAPS, CropGranularityX) == 44);
static_assert(offsetof(VIDEO_STREAM_CONFIG_CAPS, MinOutputSize) == 60);
static_assert(offsetof(VIDEO_STREAM_CONFIG_CAPS, MaxOutputSize) == 68);
static_assert(offsetof(VIDEO_STREAM_CONFIG_CAPS, OutputGranularityX) == 76);
static_assert(offsetof(VIDEO_STREAM_CONFIG_CAPS, ShrinkTapsY) == 96);
static_assert(offsetof(VIDEO_STREAM_CONFIG_CAPS, MinFrameInterval) == 104);
static_assert(offsetof(VIDEO_STREAM_CONFIG_CAPS, MaxFrameInterval) == 112);
static_assert(offsetof(VIDEO_STREAM_CONFIG_CAPS, MinBitsPerSecond) == 120);
static_assert(offsetof(VIDEO_STREAM_CONFIG_CAPS, MaxBitsPerSecond) == 124);

static_assert(sizeof(ALLOCATOR_PROPERTIES) == 16);
static_assert(offsetof(ALLOCATOR_PROPERTIES, cbBuffer) == 4);
static_assert(offsetof(ALLOCATOR_PROPERTIES, cbAlign) == 8);
static_assert(offsetof(ALLOCATOR_PROPERTIES, cbPrefix) == 12);

static_assert(sizeof(AM_STREAM_INFO) == 32);
static_assert(offsetof(AM_STREAM_INFO, tStop) == 8);
static_assert(offsetof(AM_STREAM_INFO, dwStartCookie) == 16);
static_assert(offsetof(AM_STREAM_INFO, dwStopCookie) == 20);
static_assert(offsetof(AM_STREAM_INFO, dwFlags) == 24);

static_assert(sizeof(Quality) == 24);
static_assert(offsetof(Quality, Proportion) == 4);
static_assert(offsetof(Quality, Late) == 8);
static_assert(offsetof(Quality, TimeStamp) == 16);

static_assert(sizeof(REGPINMEDIUM) == 24);

// Records with pointers.
static_assert(sizeof(AM_MEDIA_TYPE) == Bits(88, 72));
static_assert(offsetof(AM_MEDIA_TYPE, subtype) == 16);
static_assert(offsetof(AM_MEDIA_TYPE, bFixedSizeSamples) == 32);
static_assert(offsetof(AM_MEDIA_TYPE, bTemporalCompression) == 36);
static_assert(offsetof(AM_MEDIA_TYPE, lSampleSize) == 40);
static_assert(offsetof(AM_MEDIA_TYPE, formattype) == 44);
static_assert(offsetof(AM_MEDIA_TYPE, pUnk) == Bits(64, 60));
static_assert(offsetof(AM_MEDIA_TYPE, cbFormat) == Bits(72, 64));
static_assert(offsetof(AM_MEDIA_TYPE, pbFormat) == Bits(80, 68));

static_assert(sizeof(AM_SAMPLE2_PROPERTIES) == Bits(64, 48));
static_assert(offsetof(AM_SAMPLE2_PROPERTIES, dwTypeSpecificFlags) == 4);
static_assert(offsetof(AM_SAMPLE2_PROPERTIES, dwSampleFlags) == 8);
static_assert(offsetof(AM_SAMPLE2_PROPERTIES, lActual) == 12);
static_assert(offsetof(AM_SAMPLE2_PROPERTIES, tStart) == 16);
static_assert(offsetof(AM_SAMPLE2_PROPERTIES, tStop) == 24);
static_assert(offsetof(AM_SAMPLE2_PROPERTIES, dwStreamId) == 32);
static_assert(offsetof(AM_SAMPLE2_PROPERTIES, pMediaType) == Bits(40, 36));
static_assert(offsetof(AM_SAMPLE2_PROPERTIES, pbBuffer) == Bits(48, 40));
static_assert(offsetof(AM_SAMPLE2_PROPERTIES, cbBuffer) == Bits(56, 44));

static_assert(offsetof(PIN_INFO, dir) == Bits(8, 4));
static_assert(offsetof(PIN_INFO, achName) == Bits(12, 8));

static_assert(sizeof(REGPINTYPES) == Bits(16, 8));

static_assert(sizeof(REGFILTERPINS) == Bits(56, 36));
static_assert(offsetof(REGFILTERPINS, bRendered) == Bits(8, 4));
static_assert(offsetof(REGFILTERPINS, clsConnectsToFilter) == Bits(24, 20));
static_assert(offsetof(REGFILTERPINS, strConnectsToPin) == Bits(32, 24));
static_assert(offsetof(REGFILTERPINS, nMediaTypes) == Bits(40, 28));
static_assert(offsetof(REGFILTERPINS, lpMediaType) == Bits(48, 32));

static_assert(sizeof(REGFILTERPINS2) == Bits(48, 28));
static_assert(offsetof(REGFILTERPINS2, cInstances) == 4);
static_assert(offsetof(REGFILTERPINS2, nMediaTypes) == 8);
static_assert(offsetof(REGFILTERPINS2, lpMediaType) == Bits(16, 12));
static_assert(offsetof(REGFILTERPINS2, nMediums) == Bits(24, 16));
static_assert(offsetof(REGFILTERPINS2, lpMedium) == Bits(32, 20));
static_assert(offsetof(REGFILTERPINS2, clsPinCategory) == Bits(40, 24));

static_assert(sizeof(REGFILTER2) == Bits(24, 16));
static_assert(offsetof(REGFILTER2, dwMerit) == 4);
static_assert(offsetof(REGFILTER2, cPins) == 8);
static_assert(offsetof(REGFILTER2, rgPins) == Bits(16, 12));
static_assert(offsetof(REGFILTER2, cPins2) == 8);
static_assert(offsetof(REGFILTER2, rgPins2) == Bits(16, 12));

static_assert(sizeof(REGFILTER) == Bits(24, 20));

static_assert(sizeof(AMOVIESETUP_FILTER) == Bits(32, 20));
static_assert(offsetof(AMOVIESETUP_FILTER, dwMerit) == Bits(16, 8));
static_assert(offsetof(AMOVIESETUP_FILTER, nPins) == Bits(20, 12));
static_assert(offsetof(AMOVIESETUP_FILTER, lpPin) == Bits(24, 16));

static_assert(sizeof(VARIANT) == Bits(24, 16));
static_assert(offsetof(VARIANT, lVal) == 8);
static_assert(offsetof(VARIANT, bstrVal) == 8);

}  // namespace
