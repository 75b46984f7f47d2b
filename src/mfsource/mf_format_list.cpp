#include "mfsource/mf_format_list.h"

#include <mferror.h>

#include <array>
#include <utility>

#include "com/com_ptr.h"
#include "platform/mf_virtual_camera.h"

namespace {

constexpr std::int32_t kMaxSide = 16384;
constexpr std::array<std::pair<std::int32_t, std::int32_t>, 3> kLadder{{{640, 480}, {1280, 720}, {1920, 1080}}};
constexpr std::array<std::uint32_t, 3> kRates{30, 25, 15};

bool Fits(const MfFormat& f) {
  if (f.width <= 0 || f.height <= 0 || f.width > kMaxSide || f.height > kMaxSide || f.framesPerSecond == 0) {
    return false;
  }
  return f.format != PixelFormat::kNv12 || (f.width % 2 == 0 && f.height % 2 == 0);
}

}  // namespace

std::vector<MfFormat> MfFormatList(std::int32_t producerWidth, std::int32_t producerHeight) {
  std::vector<std::pair<std::int32_t, std::int32_t>> sizes;
  if (producerWidth > 0 && producerHeight > 0 && producerWidth <= kMaxSide && producerHeight <= kMaxSide) {
    sizes.emplace_back(producerWidth, producerHeight);
  }
  for (const auto& size : kLadder) {
    if (size != std::pair{producerWidth, producerHeight}) sizes.push_back(size);
  }
  std::vector<MfFormat> list;
  for (const auto& [width, height] : sizes) {
    for (PixelFormat format : {PixelFormat::kNv12, PixelFormat::kBgra}) {
      for (std::uint32_t rate : kRates) {
        const MfFormat entry{width, height, format, rate};
        if (Fits(entry)) list.push_back(entry);
      }
    }
  }
  return list;
}

OutputPicture MfOutputPicture(const MfFormat& format, std::uint8_t* buffer, std::size_t bytes) {
  return OutputPicture{format.width,
                       format.height,
                       format.format,
                       static_cast<std::int32_t>(PackedStride(format.format, format.width)),
                       /*bottomUp=*/false,
                       buffer,
                       bytes};
}

HRESULT CreateMfMediaType(const MfFormat& format, IMFMediaType** type) {
  if (type == nullptr) return E_POINTER;
  *type = nullptr;
  if (!Fits(format)) return E_INVALIDARG;
  CComPtr<IMFMediaType> made;
  HRESULT hr = MFCreateMediaType(made.Receive());
  if (FAILED(hr)) return hr;
  const OutputPicture picture = MfOutputPicture(format, nullptr, 0);
  const auto sampleBytes = static_cast<UINT32>(PictureBytes(picture));
  const GUID subtype = format.format == PixelFormat::kNv12 ? MFVideoFormat_NV12 : MFVideoFormat_RGB32;
  if (SUCCEEDED(hr)) hr = made->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Video);
  if (SUCCEEDED(hr)) hr = made->SetGUID(MF_MT_SUBTYPE, subtype);
  if (SUCCEEDED(hr)) {
    hr = MFSetAttributeSize(made.Get(), MF_MT_FRAME_SIZE, static_cast<UINT32>(format.width),
                            static_cast<UINT32>(format.height));
  }
  if (SUCCEEDED(hr)) hr = MFSetAttributeRatio(made.Get(), MF_MT_FRAME_RATE, format.framesPerSecond, 1);
  if (SUCCEEDED(hr)) hr = MFSetAttributeRatio(made.Get(), MF_MT_PIXEL_ASPECT_RATIO, 1, 1);
  if (SUCCEEDED(hr)) hr = made->SetUINT32(MF_MT_INTERLACE_MODE, MFVideoInterlace_Progressive);
  if (SUCCEEDED(hr)) hr = made->SetUINT32(MF_MT_ALL_SAMPLES_INDEPENDENT, TRUE);
  if (SUCCEEDED(hr)) hr = made->SetUINT32(MF_MT_FIXED_SIZE_SAMPLES, TRUE);
  if (SUCCEEDED(hr)) hr = made->SetUINT32(MF_MT_SAMPLE_SIZE, sampleBytes);
  if (SUCCEEDED(hr)) hr = made->SetUINT32(MF_MT_DEFAULT_STRIDE, static_cast<UINT32>(picture.stride));
  if (FAILED(hr)) return hr;
  *type = made.Detach();
  return S_OK;
}

HRESULT ReadMfFormat(IMFMediaType* type, MfFormat* format) {
  if (type == nullptr || format == nullptr) return E_POINTER;
  GUID major{};
  GUID subtype{};
  UINT32 width = 0;
  UINT32 height = 0;
  UINT32 numerator = 0;
  UINT32 denominator = 0;
  if (FAILED(type->GetGUID(MF_MT_MAJOR_TYPE, &major)) || major != MFMediaType_Video ||
      FAILED(type->GetGUID(MF_MT_SUBTYPE, &subtype)) ||
      FAILED(MFGetAttributeSize(type, MF_MT_FRAME_SIZE, &width, &height)) ||
      FAILED(MFGetAttributeRatio(type, MF_MT_FRAME_RATE, &numerator, &denominator)) || denominator == 0 ||
      numerator % denominator != 0 ||
      width > static_cast<UINT32>(kMaxSide) || height > static_cast<UINT32>(kMaxSide)) {
    return MF_E_INVALIDMEDIATYPE;
  }
  MfFormat read;
  if (subtype == MFVideoFormat_NV12) {
    read.format = PixelFormat::kNv12;
  } else if (subtype == MFVideoFormat_RGB32) {
    read.format = PixelFormat::kBgra;
  } else {
    return MF_E_INVALIDMEDIATYPE;
  }
  read.width = static_cast<std::int32_t>(width);
  read.height = static_cast<std::int32_t>(height);
  read.framesPerSecond = numerator / denominator;
  if (!Fits(read)) return MF_E_INVALIDMEDIATYPE;
  // Rows are written top-down: a type that asks for bottom-up rows (a negative default
  // stride) would show every frame upside down.
  UINT32 stride = 0;
  if (SUCCEEDED(type->GetUINT32(MF_MT_DEFAULT_STRIDE, &stride)) && static_cast<INT32>(stride) <= 0) {
    return MF_E_INVALIDMEDIATYPE;
  }
  *format = read;
  return S_OK;
}

HRESULT SetStreamAttributes(IMFAttributes* attributes) {
  HRESULT hr = attributes->SetGUID(MF_DEVICESTREAM_STREAM_CATEGORY, AMBERLINE_PINNAME_VIDEO_CAPTURE);
  if (SUCCEEDED(hr)) hr = attributes->SetUINT32(MF_DEVICESTREAM_STREAM_ID, 0);
  if (SUCCEEDED(hr)) hr = attributes->SetUINT32(MF_DEVICESTREAM_FRAMESERVER_SHARED, 1);
  if (SUCCEEDED(hr)) hr = attributes->SetUINT32(MF_DEVICESTREAM_ATTRIBUTE_FRAMESOURCE_TYPES, MFFrameSourceTypes_Color);
  return hr;
}

bool SameFormat(const MfFormat& a, const MfFormat& b) {
  return a.width == b.width && a.height == b.height && a.format == b.format &&
         a.framesPerSecond == b.framesPerSecond;
}

HRESULT ReadStartSelection(IMFPresentationDescriptor* descriptor, bool* selected, MfFormat* format) {
  DWORD count = 0;
  HRESULT hr = descriptor->GetStreamDescriptorCount(&count);
  if (FAILED(hr)) return hr;
  if (count != 1) return E_INVALIDARG;
  BOOL isSelected = FALSE;
  CComPtr<IMFStreamDescriptor> streamDescriptor;
  hr = descriptor->GetStreamDescriptorByIndex(0, &isSelected, streamDescriptor.Receive());
  if (FAILED(hr)) return hr;
  if (!streamDescriptor) return E_INVALIDARG;
  DWORD id = 1;
  hr = streamDescriptor->GetStreamIdentifier(&id);
  if (FAILED(hr)) return hr;
  if (id != 0) return MF_E_INVALIDSTREAMNUMBER;
  CComPtr<IMFMediaTypeHandler> handler;
  CComPtr<IMFMediaType> type;
  hr = streamDescriptor->GetMediaTypeHandler(handler.Receive());
  if (SUCCEEDED(hr) && !handler) hr = E_INVALIDARG;
  if (SUCCEEDED(hr)) hr = handler->GetCurrentMediaType(type.Receive());
  if (SUCCEEDED(hr)) hr = ReadMfFormat(type.Get(), format);
  if (FAILED(hr)) return hr;
  *selected = isSelected != FALSE;
  return S_OK;
}

HRESULT CreateMfStreamDescriptor(const std::vector<MfFormat>& formats, IMFStreamDescriptor** descriptor) {
  *descriptor = nullptr;
  if (formats.empty()) return E_INVALIDARG;
  std::vector<CComPtr<IMFMediaType>> types;
  std::vector<IMFMediaType*> typePointers;
  for (const MfFormat& format : formats) {
    CComPtr<IMFMediaType> type;
    const HRESULT hr = CreateMfMediaType(format, type.Receive());
    if (FAILED(hr)) return hr;
    typePointers.push_back(type.Get());
    types.push_back(std::move(type));
  }
  CComPtr<IMFStreamDescriptor> made;
  HRESULT hr = MFCreateStreamDescriptor(0, static_cast<DWORD>(typePointers.size()), typePointers.data(), made.Receive());
  if (SUCCEEDED(hr)) hr = SetStreamAttributes(made.Get());
  CComPtr<IMFMediaTypeHandler> handler;
  if (SUCCEEDED(hr)) hr = made->GetMediaTypeHandler(handler.Receive());
  if (SUCCEEDED(hr)) hr = handler->SetCurrentMediaType(typePointers.front());
  if (FAILED(hr)) return hr;
  *descriptor = made.Detach();
  return S_OK;
}
