#include "framework/media_type.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>

namespace {

// Blocks of equal length: both present and byte-equal, or both empty.
bool SameFormatBlock(const AM_MEDIA_TYPE& a, const AM_MEDIA_TYPE& b) {
  if (a.cbFormat != b.cbFormat) return false;
  if (a.cbFormat == 0) return true;
  // A length without a block is a broken record; it equals nothing.
  if (a.pbFormat == nullptr || b.pbFormat == nullptr) return false;
  return std::memcmp(a.pbFormat, b.pbFormat, a.cbFormat) == 0;
}

}  // namespace

HRESULT CopyMediaType(AM_MEDIA_TYPE* target, const AM_MEDIA_TYPE* source) {
  if (target == nullptr || source == nullptr) return E_POINTER;
  // Copying a record onto itself would orphan its block and take a second reference.
  if (target == source) return S_OK;
  *target = *source;
  // The target must never share the source's block or keep a pointer that no length
  // covers; it gets its own block or none.
  target->pbFormat = nullptr;
  target->cbFormat = 0;
  target->pUnk = nullptr;
  if (source->cbFormat != 0) {
    if (source->pbFormat == nullptr) return E_INVALIDARG;
    auto* block = static_cast<BYTE*>(CoTaskMemAlloc(source->cbFormat));
    if (block == nullptr) return E_OUTOFMEMORY;
    std::memcpy(block, source->pbFormat, source->cbFormat);
    target->pbFormat = block;
    target->cbFormat = source->cbFormat;
  }
  if (source->pUnk != nullptr) {
    target->pUnk = source->pUnk;
    target->pUnk->AddRef();  // The record's own reference (a media type record holds one on pUnk).
  }
  return S_OK;
}

void FreeMediaType(AM_MEDIA_TYPE& type) {
  // Only a block that a length covers is freed: a record with no format may carry any
  // pointer at all (peers leave it unset), which is never ours to free. Records of this
  // framework never keep a block without a length, so nothing of theirs is left behind.
  if (type.cbFormat != 0 && type.pbFormat != nullptr) CoTaskMemFree(type.pbFormat);
  type.pbFormat = nullptr;
  type.cbFormat = 0;
  if (type.pUnk != nullptr) {
    IUnknown* unknown = type.pUnk;
    type.pUnk = nullptr;
    unknown->Release();  // The record's own reference, taken by CopyMediaType.
  }
}

void DeleteMediaType(AM_MEDIA_TYPE* type) {
  if (type == nullptr) return;
  FreeMediaType(*type);
  CoTaskMemFree(type);
}

AM_MEDIA_TYPE* CreateMediaType(const AM_MEDIA_TYPE* source) {
  if (source == nullptr) return nullptr;
  auto* type = static_cast<AM_MEDIA_TYPE*>(CoTaskMemAlloc(sizeof(AM_MEDIA_TYPE)));
  if (type == nullptr) return nullptr;
  if (FAILED(CopyMediaType(type, source))) {
    FreeMediaType(*type);
    CoTaskMemFree(type);
    return nullptr;
  }
  return type;
}

CMediaType::CMediaType(const AM_MEDIA_TYPE& source, HRESULT* result) {
  InitMediaType();
  const HRESULT hr = CopyMediaType(this, &source);
  if (result != nullptr) *result = hr;
}

HRESULT CMediaType::Set(const AM_MEDIA_TYPE& source) {
  if (&source == static_cast<const AM_MEDIA_TYPE*>(this)) return S_OK;
  FreeMediaType(*this);
  return CopyMediaType(this, &source);
}

bool CMediaType::operator==(const AM_MEDIA_TYPE& other) const {
  return IsEqualGUID(majortype, other.majortype) && IsEqualGUID(subtype, other.subtype) &&
         IsEqualGUID(formattype, other.formattype) && SameFormatBlock(*this, other);
}

bool CMediaType::MatchesPartial(const AM_MEDIA_TYPE* partial) const {
  if (partial == nullptr) return false;
  if (!IsEqualGUID(partial->majortype, GUID_NULL) && !IsEqualGUID(partial->majortype, majortype)) return false;
  if (!IsEqualGUID(partial->subtype, GUID_NULL) && !IsEqualGUID(partial->subtype, subtype)) return false;
  if (!IsEqualGUID(partial->formattype, GUID_NULL)) {
    if (!IsEqualGUID(partial->formattype, formattype)) return false;
    if (!SameFormatBlock(*this, *partial)) return false;
  }
  return true;
}

bool CMediaType::IsPartiallySpecified() const {
  return IsEqualGUID(majortype, GUID_NULL) || IsEqualGUID(formattype, GUID_NULL);
}

void CMediaType::InitMediaType() {
  std::memset(static_cast<AM_MEDIA_TYPE*>(this), 0, sizeof(AM_MEDIA_TYPE));
  bFixedSizeSamples = TRUE;
  lSampleSize = 1;
}

void CMediaType::SetType(const GUID* type) {
  if (type != nullptr) majortype = *type;
}

void CMediaType::SetSubtype(const GUID* type) {
  if (type != nullptr) subtype = *type;
}

void CMediaType::SetFormatType(const GUID* type) {
  if (type != nullptr) formattype = *type;
}

void CMediaType::SetSampleSize(ULONG size) {
  if (size == 0) {
    SetVariableSize();
  } else {
    bFixedSizeSamples = TRUE;
    lSampleSize = size;
  }
}

BYTE* CMediaType::ReplaceFormatBuffer(ULONG length, const BYTE* contents, ULONG keep) {
  // No format is no block: a block of length 0 would never be freed.
  if (length == 0) {
    ResetFormatBuffer();
    return nullptr;
  }
  auto* block = static_cast<BYTE*>(CoTaskMemAlloc(length));
  if (block == nullptr) {
    // The old block serves if it is large enough; the length then says what the caller
    // asked for, so that no stale tail is copied or compared as part of the format.
    if (pbFormat == nullptr || cbFormat < length) return nullptr;
    if (keep != 0 && contents != pbFormat) std::memmove(pbFormat, contents, keep);
    cbFormat = length;
    return pbFormat;
  }
  if (keep != 0) std::memcpy(block, contents, keep);
  if (pbFormat != nullptr) CoTaskMemFree(pbFormat);
  pbFormat = block;
  cbFormat = length;
  return block;
}

BYTE* CMediaType::AllocFormatBuffer(ULONG length) {
  if (length == cbFormat && (pbFormat != nullptr || length == 0)) return pbFormat;
  return ReplaceFormatBuffer(length, nullptr, 0);
}

BYTE* CMediaType::ReallocFormatBuffer(ULONG length) {
  if (length == cbFormat && (pbFormat != nullptr || length == 0)) return pbFormat;
  const ULONG keep = pbFormat == nullptr ? 0 : std::min(cbFormat, length);
  return ReplaceFormatBuffer(length, pbFormat, keep);
}

bool CMediaType::SetFormat(const BYTE* format, ULONG length) {
  if (length == 0) {
    ResetFormatBuffer();
    return true;
  }
  if (format == nullptr) return false;
  if (length == cbFormat && pbFormat != nullptr) {
    std::memmove(pbFormat, format, length);
    return true;
  }
  // A source inside the present block stays valid: the old block is freed only after the
  // copy (or written with memmove when it is kept).
  return ReplaceFormatBuffer(length, format, length) != nullptr;
}

void CMediaType::ResetFormatBuffer() {
  if (cbFormat != 0 && pbFormat != nullptr) CoTaskMemFree(pbFormat);
  pbFormat = nullptr;
  cbFormat = 0;
}

CMediaType MakeRgb24VideoType(LONG width, LONG height, REFERENCE_TIME avgTimePerFrame) {
  CMediaType type;
  type.SetType(&MEDIATYPE_Video);
  type.SetSubtype(&MEDIASUBTYPE_RGB24);
  type.SetFormatType(&FORMAT_VideoInfo);
  auto* format = reinterpret_cast<VIDEOINFOHEADER*>(type.AllocFormatBuffer(sizeof(VIDEOINFOHEADER)));
  if (format == nullptr) return type;
  std::memset(format, 0, sizeof(VIDEOINFOHEADER));
  format->AvgTimePerFrame = avgTimePerFrame;
  BITMAPINFOHEADER& header = format->bmiHeader;
  header.biSize = sizeof(BITMAPINFOHEADER);
  header.biWidth = width;
  header.biHeight = height;
  header.biPlanes = 1;
  header.biBitCount = 24;
  header.biCompression = BI_RGB;
  header.biSizeImage = GetBitmapSize(&header);
  type.SetSampleSize(header.biSizeImage);
  return type;
}

DWORD GetBitmapSize(const BITMAPINFOHEADER* header) {
  if (header == nullptr || header->biWidth < 0) return 0;
  const std::uint64_t bitsPerRow = static_cast<std::uint64_t>(header->biWidth) * header->biBitCount;
  const std::uint64_t bytesPerRow = (bitsPerRow + 31) / 32 * 4;
  const std::int64_t height = header->biHeight;
  const std::uint64_t rows = static_cast<std::uint64_t>(height < 0 ? -height : height);
  // Both factors are below 2^48 and 2^32, so the product cannot wrap before the check.
  if (bytesPerRow != 0 && rows > std::numeric_limits<DWORD>::max() / bytesPerRow) return 0;
  return static_cast<DWORD>(bytesPerRow * rows);
}

GUID GetBitmapSubtype(const BITMAPINFOHEADER* header, std::size_t available) {
  if (header == nullptr || available < sizeof(BITMAPINFOHEADER)) return GUID_NULL;
  const DWORD compression = header->biCompression;
  if (compression != BI_RGB && compression != BI_BITFIELDS) {
    return GUID{compression, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
  }
  switch (header->biBitCount) {
    case 1:
      return MEDIASUBTYPE_RGB1;
    case 4:
      return MEDIASUBTYPE_RGB4;
    case 8:
      return MEDIASUBTYPE_RGB8;
    case 24:
      return MEDIASUBTYPE_RGB24;
    case 32:
      return MEDIASUBTYPE_RGB32;
    case 16: {
      if (compression == BI_RGB) return MEDIASUBTYPE_RGB555;
      DWORD masks[3];
      if (available - sizeof(BITMAPINFOHEADER) < sizeof(masks)) return GUID_NULL;
      // The masks follow the header directly and need not be aligned.
      std::memcpy(masks, reinterpret_cast<const BYTE*>(header) + sizeof(BITMAPINFOHEADER), sizeof(masks));
      if (masks[0] == 0x7C00 && masks[1] == 0x03E0 && masks[2] == 0x001F) return MEDIASUBTYPE_RGB555;
      if (masks[0] == 0xF800 && masks[1] == 0x07E0 && masks[2] == 0x001F) return MEDIASUBTYPE_RGB565;
      return GUID_NULL;
    }
    default:
      return GUID_NULL;
  }
}
