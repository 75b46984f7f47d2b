// Identifiers of the media pipeline: interface identifiers (those the system implements
// or calls, and those the interface-name dump spells out), media types and subtypes,
// format types, classes and device categories, pin categories, property sets and time
// formats, all with their published values.
//
// On Windows they come from the SDK headers and the import libraries (strmiids, uuid);
// the one the included headers do not declare is declared below. Elsewhere they are
// declared here and defined once in posix/dshow_guids_posix.cpp. IID_IUnknown and
// IID_IClassFactory are in com_ids.h.
#pragma once

#include "platform/com_ids.h"
#include "platform/windows_types.h"

#ifdef _WIN32

#include <strmif.h>
#include <uuids.h>

// Declared only by ksproxy.h, which would also bring in the kernel-streaming headers;
// the value is in strmiids.
EXTERN_C const IID IID_IKsPin;

#else  // !_WIN32


// Interface identifiers.
extern const GUID IID_IPersist;
extern const GUID IID_IMediaFilter;
extern const GUID IID_IBaseFilter;
extern const GUID IID_IAMovieSetup;
extern const GUID IID_IPin;
extern const GUID IID_IQualityControl;
extern const GUID IID_IEnumPins;
extern const GUID IID_IEnumMediaTypes;
extern const GUID IID_IMemInputPin;
extern const GUID IID_IMemAllocator;
extern const GUID IID_IMemAllocatorCallbackTemp;
extern const GUID IID_IMemAllocatorNotifyCallbackTemp;
extern const GUID IID_IMediaSample;
extern const GUID IID_IMediaSample2;
extern const GUID IID_IReferenceClock;
extern const GUID IID_IMediaEventSink;
extern const GUID IID_IFilterGraph;
extern const GUID IID_IGraphBuilder;
extern const GUID IID_IFilterGraph2;
extern const GUID IID_IFilterMapper;
extern const GUID IID_IFilterMapper2;
extern const GUID IID_IEnumRegFilters;
extern const GUID IID_IAMStreamControl;
extern const GUID IID_IKsPropertySet;
extern const GUID IID_IAMStreamConfig;
extern const GUID IID_IAMPushSource;
extern const GUID IID_IAMLatency;
extern const GUID IID_IPersistPropertyBag;
extern const GUID IID_IPropertyBag;
extern const GUID IID_IErrorLog;
extern const GUID IID_IAMFilterMiscFlags;
extern const GUID IID_IMediaSeeking;
extern const GUID IID_IMediaPosition;
extern const GUID IID_IDispatch;
extern const GUID IID_IMediaControl;
extern const GUID IID_IMediaEvent;
extern const GUID IID_IEnumFilters;
extern const GUID IID_IEnumMoniker;
extern const GUID IID_IPersistStream;
extern const GUID IID_IMoniker;
extern const GUID IID_ICreateDevEnum;
extern const GUID IID_IBindCtx;
extern const GUID IID_IAMAnalogVideoDecoder;
extern const GUID IID_IAMBufferNegotiation;
extern const GUID IID_IAMCameraControl;
extern const GUID IID_IAMDeviceRemoval;
extern const GUID IID_IAMDroppedFrames;
extern const GUID IID_IAMExtDevice;
extern const GUID IID_IAMExtTransport;
extern const GUID IID_IAMOpenProgress;
extern const GUID IID_IAMTimecodeReader;
extern const GUID IID_IAMVideoControl;
extern const GUID IID_IAMVideoCompression;
extern const GUID IID_IAMVideoProcAmp;
extern const GUID IID_IBasicAudio;
extern const GUID IID_IBasicVideo;
extern const GUID IID_IKsPin;
extern const GUID IID_ISpecifyPropertyPages;
extern const GUID IID_IVideoWindow;

// Media types, subtypes and format types.
extern const GUID MEDIATYPE_Video;
extern const GUID MEDIATYPE_Audio;
extern const GUID MEDIATYPE_Stream;
extern const GUID MEDIASUBTYPE_RGB1;
extern const GUID MEDIASUBTYPE_RGB4;
extern const GUID MEDIASUBTYPE_RGB8;
extern const GUID MEDIASUBTYPE_RGB555;
extern const GUID MEDIASUBTYPE_RGB565;
extern const GUID MEDIASUBTYPE_RGB24;
extern const GUID MEDIASUBTYPE_RGB32;
extern const GUID MEDIASUBTYPE_ARGB32;
extern const GUID MEDIASUBTYPE_YUY2;
extern const GUID MEDIASUBTYPE_UYVY;
extern const GUID MEDIASUBTYPE_IYUV;
extern const GUID MEDIASUBTYPE_NV12;
extern const GUID MEDIASUBTYPE_YV12;
extern const GUID MEDIASUBTYPE_MJPG;
extern const GUID MEDIASUBTYPE_PCM;
extern const GUID FORMAT_VideoInfo;
extern const GUID FORMAT_VideoInfo2;
extern const GUID FORMAT_None;
extern const GUID FORMAT_WaveFormatEx;

// Classes and categories.
extern const GUID CLSID_VideoInputDeviceCategory;
extern const GUID CLSID_LegacyAmFilterCategory;
extern const GUID CLSID_FilterMapper2;
extern const GUID CLSID_FilterMapper;
extern const GUID CLSID_SystemDeviceEnum;
extern const GUID CLSID_FilterGraph;
extern const GUID CLSID_SystemClock;
extern const GUID CLSID_MemoryAllocator;

// Pin categories and property sets.
extern const GUID PIN_CATEGORY_CAPTURE;
extern const GUID PIN_CATEGORY_PREVIEW;
extern const GUID AMPROPSETID_Pin;

// Time formats.
extern const GUID TIME_FORMAT_MEDIA_TIME;
extern const GUID TIME_FORMAT_NONE;
extern const GUID TIME_FORMAT_FRAME;
extern const GUID TIME_FORMAT_SAMPLE;
extern const GUID TIME_FORMAT_FIELD;
extern const GUID TIME_FORMAT_BYTE;

// Other.
extern const GUID GUID_NULL;

#endif  // _WIN32
