// CFilterData: the "FilterData" value that the filter mapper stores with a registered
// filter, and its reading back.
//
// Byte layout (every number a little-endian 32-bit word, every GUID its 16 bytes as laid
// out in memory):
//   word   magic 0x44464C41 ("ALFD")
//   word   format version, 2
//   word   merit
//   word   pin count P
//   P pins, each:
//     word   flags (REG_PINFLAG_B_*)
//     word   instances
//     word   media type count T
//     word   medium count M
//     word   1 when a pin category follows, else 0
//     [GUID  pin category]
//     T media types, each: word presence (bit 0 major type, bit 1 subtype), GUID major,
//                          GUID subtype (GUID_NULL where absent)
//     M mediums, each: GUID medium, word dw1, word dw2
// Nothing follows the last pin.
//
// A REGFILTER2 of version 1 is stored in the same layout: its pins' bRendered, bOutput,
// bZero and bMany become the flags, instances is 0 and there are no mediums and no pin
// category (names and "connects to" fields are not kept). Other versions are refused.
//
// Parse is for registry bytes anyone may have written: every count is checked against
// the bytes that remain before anything is allocated, and any mismatch (wrong magic or
// version, truncation, trailing bytes, an unknown presence bit or category marker) makes
// the whole record unreadable. Stateless; thread-safe.
#pragma once

#include <cstddef>
#include <vector>

#include "platform/dshow_types.h"

class CFilterData {
 public:
  struct MediaType {
    bool hasMajor = false;
    bool hasSubtype = false;
    GUID major{};
    GUID subtype{};
  };
  struct Medium {
    GUID medium{};
    DWORD dw1 = 0;
    DWORD dw2 = 0;
  };
  struct Pin {
    DWORD flags = 0;
    DWORD instances = 0;
    bool hasCategory = false;
    GUID category{};
    std::vector<MediaType> mediaTypes;
    std::vector<Medium> mediums;
  };

  static constexpr DWORD kMagic = 0x44464C41u;
  static constexpr DWORD kVersion = 2;

  // The stored bytes of record: S_OK, E_POINTER for a null pin or type array that has a
  // non-zero count, E_INVALIDARG for a version other than 1 or 2, E_OUTOFMEMORY.
  static HRESULT Serialize(const REGFILTER2& record, std::vector<BYTE>* bytes);
  // Reads bytes back; false (and *this left empty) when they are not a whole record.
  bool Parse(const BYTE* data, std::size_t size);

  DWORD Merit() const { return m_merit; }
  const std::vector<Pin>& Pins() const { return m_pins; }

 private:
  DWORD m_merit = 0;
  std::vector<Pin> m_pins;
};
