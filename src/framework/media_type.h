// CMediaType: the media type record that pins, samples, enumerators and the stream's
// format code exchange, and the helpers that copy, free and create such records in the
// platform's task memory; the bitmap size and subtype helpers of the format code.
//
// CMediaType is AM_MEDIA_TYPE with operations and no virtual functions, so a pointer to
// one is a pointer to the platform record. The empty type is all zero except
// bFixedSizeSamples TRUE and lSampleSize 1; a GUID_NULL identifier means "unspecified".
//
// Ownership: a record owns its format block (task memory, freed with CoTaskMemFree) and
// holds one reference on pUnk. A record handed out by CreateMediaType belongs to the
// caller, who frees it with DeleteMediaType; a record embedded in an object is emptied
// with FreeMediaType (CMediaType's destructor does it).
//
// Records that come from a peer are untrusted: a non-zero cbFormat without a block is
// refused by the copies (E_INVALIDARG) and never read by the comparisons; a block is
// never copied or compared beyond cbFormat. A block whose allocation fails leaves the
// target without a block and the copy reports E_OUTOFMEMORY.
//
// Threading: none of its own; a record is guarded by whoever owns it.
#pragma once

#include <cstddef>

#include "platform/dshow_types.h"

// Copies every field of source into target, which is overwritten without being freed:
// a new block of cbFormat bytes with the source's contents, and a reference on pUnk.
// S_OK; E_POINTER for a null argument; E_INVALIDARG when the source claims a block it
// does not have; E_OUTOFMEMORY when the block cannot be allocated. On failure target has
// the source's other fields but no block (cbFormat 0, pbFormat null) and no pUnk.
HRESULT CopyMediaType(AM_MEDIA_TYPE* target, const AM_MEDIA_TYPE* source);
// Frees the format block when cbFormat is not 0 and releases pUnk; the record is left
// without either. A pointer that no length covers is dropped, never freed: it is not
// known to be a block of task memory.
void FreeMediaType(AM_MEDIA_TYPE& type);
// Null is ignored; else FreeMediaType and frees the record itself (task memory).
void DeleteMediaType(AM_MEDIA_TYPE* type);
// A copy of source in task memory for the caller, or null on any failure.
AM_MEDIA_TYPE* CreateMediaType(const AM_MEDIA_TYPE* source);

class CMediaType : public AM_MEDIA_TYPE {
 public:
  CMediaType() { InitMediaType(); }
  // A copy of source; a copy failure is reported through result when given (the record
  // then has no format block, see CopyMediaType).
  CMediaType(const AM_MEDIA_TYPE& source, HRESULT* result = nullptr);
  CMediaType(const CMediaType& source, HRESULT* result = nullptr)
      : CMediaType(static_cast<const AM_MEDIA_TYPE&>(source), result) {}
  ~CMediaType() { FreeMediaType(*this); }

  CMediaType& operator=(const AM_MEDIA_TYPE& source) {
    Set(source);
    return *this;
  }
  CMediaType& operator=(const CMediaType& source) {
    Set(source);
    return *this;
  }

  // Replaces this record by a copy of source; assigning a record to itself does nothing.
  // Returns the result of the copy (S_OK, E_INVALIDARG, E_OUTOFMEMORY).
  HRESULT Set(const AM_MEDIA_TYPE& source);

  // Equal when the three identifiers and cbFormat are equal and the blocks are
  // byte-equal (or cbFormat is 0). Sample size and the two flags do not count.
  bool operator==(const AM_MEDIA_TYPE& other) const;
  bool operator!=(const AM_MEDIA_TYPE& other) const { return !(*this == other); }
  // Two records compare as records; without these, C++20's reversed candidates make
  // a comparison of two CMediaType ambiguous for some compilers.
  bool operator==(const CMediaType& other) const { return *this == static_cast<const AM_MEDIA_TYPE&>(other); }
  bool operator!=(const CMediaType& other) const { return !(*this == other); }
  // Whether this type fits partial, whose GUID_NULL fields match anything. The format
  // (type, length, bytes) is compared only when partial names a format type.
  bool MatchesPartial(const AM_MEDIA_TYPE* partial) const;
  // The major type or the format type is unspecified (the subtype does not count).
  bool IsPartiallySpecified() const;
  bool IsValid() const { return !IsEqualGUID(majortype, GUID_NULL); }

  // Makes the record the empty type without freeing anything it held.
  void InitMediaType();

  const GUID* Type() const { return &majortype; }
  const GUID* Subtype() const { return &subtype; }
  const GUID* FormatType() const { return &formattype; }
  ULONG FormatLength() const { return cbFormat; }
  BYTE* Format() const { return pbFormat; }
  bool IsFixedSize() const { return bFixedSizeSamples != FALSE; }
  bool IsTemporalCompressed() const { return bTemporalCompression != FALSE; }

  // Null identifiers are ignored.
  void SetType(const GUID* type);
  void SetSubtype(const GUID* type);
  void SetFormatType(const GUID* type);
  void SetTemporalCompression(BOOL compressed) { bTemporalCompression = compressed; }
  void SetVariableSize() { bFixedSizeSamples = FALSE; }
  // 0 makes the type variable-size and keeps lSampleSize; else fixed at size.
  void SetSampleSize(ULONG size);
  // lSampleSize for a fixed-size type, else 0.
  ULONG GetSampleSize() const { return IsFixedSize() ? lSampleSize : 0; }

  // A format block of length bytes, contents undefined: the present one when the length
  // is unchanged, else a new one (the old one is freed); length 0 gives no block (null).
  // When no new block can be had, the old one if it holds length bytes (cbFormat becomes
  // length), else null and the record is unchanged.
  BYTE* AllocFormatBuffer(ULONG length);
  // As AllocFormatBuffer, keeping the first min(old, new) bytes of the old block.
  BYTE* ReallocFormatBuffer(ULONG length);
  // Makes the format block a copy of length bytes at format (which may lie inside the
  // present block). Length 0 leaves the record without a block. False when no block
  // could be had or format is null with a non-zero length; the record is then unchanged.
  bool SetFormat(const BYTE* format, ULONG length);
  // Frees the format block (as FreeMediaType does); cbFormat 0, pbFormat null.
  void ResetFormatBuffer();

 private:
  // Gives the record a block of length bytes whose first keep bytes come from contents,
  // which may be the present block. See AllocFormatBuffer for what happens on failure.
  BYTE* ReplaceFormatBuffer(ULONG length, const BYTE* contents, ULONG keep);
};

static_assert(sizeof(CMediaType) == sizeof(AM_MEDIA_TYPE), "CMediaType is the platform record");

// An uncompressed RGB24 video type with a video-info format block, as an application
// proposes it: the picture size (a negative height means top-down rows), the frame time
// in 100-ns units, and the image and sample sizes that follow from them. When memory for
// the format block runs out the type has no format block (pbFormat null).
CMediaType MakeRgb24VideoType(LONG width, LONG height, REFERENCE_TIME avgTimePerFrame = 0);

// Bytes of the picture a bitmap header describes: rows of biWidth × biBitCount bits
// padded to 32-bit multiples, times |biHeight| (the sign only gives the row order).
// 0 for a null header, a negative width, or a size that does not fit in 32 bits.
DWORD GetBitmapSize(const BITMAPINFOHEADER* header);

// The media subtype for a bitmap header: a four-character-code subtype for a compressed
// format, else the RGB subtype for the bit count. For 16 bits with BI_BITFIELDS the
// three colour masks that follow the header decide between RGB555 and RGB565; they are
// read only when available (the bytes readable from header on, e.g. a format block's
// remaining size) covers them. GUID_NULL when nothing fits, for a null header, or when
// available does not cover the header.
GUID GetBitmapSubtype(const BITMAPINFOHEADER* header, std::size_t available = sizeof(BITMAPINFOHEADER));
