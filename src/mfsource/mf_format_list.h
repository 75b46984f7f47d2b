// The video formats the Media Foundation camera offers, in order of preference: the
// producer's own size (when it has announced one) and then 640x480, 1280x720, 1920x1080,
// each in NV12 and RGB32, each at 30, 25 and 15 frames a second. A size appears once; NV12
// is offered only at even sizes. CreateMfMediaType describes one entry as a media type
// (RGB32 rows top-down: a positive default stride); ReadMfFormat reads a media type back
// and refuses one the camera cannot fill (another subtype, a size that is not positive or
// larger than 16384, an odd NV12 size, a rate that is not a positive whole number of
// frames a second, a default stride that is not positive: rows bottom-up).
// Windows only. Plain functions, no state.
#pragma once

#include <mfapi.h>
#include <mfidl.h>

#include <cstdint>
#include <vector>

#include "composer/output_picture.h"

struct MfFormat {
  std::int32_t width = 0;
  std::int32_t height = 0;
  PixelFormat format = PixelFormat::kNv12;  // kNv12 or kBgra (RGB32)
  std::uint32_t framesPerSecond = 30;
};

std::vector<MfFormat> MfFormatList(std::int32_t producerWidth, std::int32_t producerHeight);
HRESULT CreateMfMediaType(const MfFormat& format, IMFMediaType** type);
HRESULT ReadMfFormat(IMFMediaType* type, MfFormat* format);
// The picture of one frame of the format in a buffer of its PictureBytes, top-down.
OutputPicture MfOutputPicture(const MfFormat& format, std::uint8_t* buffer, std::size_t bytes);

// Whether two entries are the same format (size, pixel format and rate).
bool SameFormat(const MfFormat& a, const MfFormat& b);
// The attributes the camera's stream and stream descriptor carry: capture category,
// stream id 0, shared by the frame server, colour frames.
HRESULT SetStreamAttributes(IMFAttributes* attributes);
// Whether the one stream of a presentation descriptor handed to Start is selected, and the
// format of its current media type. E_INVALIDARG for another number of streams,
// MF_E_INVALIDSTREAMNUMBER for a stream this source does not have.
HRESULT ReadStartSelection(IMFPresentationDescriptor* descriptor, bool* selected, MfFormat* format);
// Stream 0 with every format as a media type (the first one current) and the stream
// attributes; E_INVALIDARG for no format.
HRESULT CreateMfStreamDescriptor(const std::vector<MfFormat>& formats, IMFStreamDescriptor** descriptor);
