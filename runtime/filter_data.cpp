#include "runtime/filter_data.h"

#include <cstring>
#include <new>

namespace {

constexpr std::size_t kPinHeaderBytes = 5 * 4;
constexpr std::size_t kMediaTypeBytes = 4 + 2 * sizeof(GUID);
constexpr std::size_t kMediumBytes = sizeof(GUID) + 2 * 4;

void PutWord(std::vector<BYTE>* out, DWORD value) {
  for (int shift = 0; shift < 32; shift += 8) out->push_back(static_cast<BYTE>(value >> shift));
}

void PutGuid(std::vector<BYTE>* out, const GUID& guid) {
  const auto* bytes = reinterpret_cast<const BYTE*>(&guid);
  out->insert(out->end(), bytes, bytes + sizeof(GUID));
}

void PutMediaTypes(std::vector<BYTE>* out, UINT count, const REGPINTYPES* types) {
  for (UINT i = 0; i < count; ++i) {
    const REGPINTYPES& type = types[i];
    PutWord(out, (type.clsMajorType != nullptr ? 1u : 0u) | (type.clsMinorType != nullptr ? 2u : 0u));
    PutGuid(out, type.clsMajorType != nullptr ? *type.clsMajorType : GUID{});
    PutGuid(out, type.clsMinorType != nullptr ? *type.clsMinorType : GUID{});
  }
}

// Reads words and GUIDs from a byte range, refusing to read past its end.
class CReader {
 public:
  CReader(const BYTE* data, std::size_t size) : m_data(data), m_left(size) {}
  bool Word(DWORD* value) {
    if (m_left < 4) return false;
    *value = static_cast<DWORD>(m_data[0]) | static_cast<DWORD>(m_data[1]) << 8 |
             static_cast<DWORD>(m_data[2]) << 16 | static_cast<DWORD>(m_data[3]) << 24;
    Advance(4);
    return true;
  }
  bool Guid(GUID* guid) {
    if (m_left < sizeof(GUID)) return false;
    std::memcpy(guid, m_data, sizeof(GUID));
    Advance(sizeof(GUID));
    return true;
  }
  // True when count items of at least itemBytes each can still follow.
  bool Fits(DWORD count, std::size_t itemBytes) const {
    return static_cast<unsigned long long>(count) * itemBytes <= m_left;
  }
  bool AtEnd() const { return m_left == 0; }

 private:
  void Advance(std::size_t bytes) {
    m_data += bytes;
    m_left -= bytes;
  }
  const BYTE* m_data;
  std::size_t m_left;
};

bool ReadPin(CReader* reader, CFilterData::Pin* pin) {
  DWORD typeCount = 0, mediumCount = 0, categoryMarker = 0;
  if (!reader->Word(&pin->flags) || !reader->Word(&pin->instances) || !reader->Word(&typeCount) ||
      !reader->Word(&mediumCount) || !reader->Word(&categoryMarker) || categoryMarker > 1)
    return false;
  pin->hasCategory = categoryMarker == 1;
  if (pin->hasCategory && !reader->Guid(&pin->category)) return false;
  if (!reader->Fits(typeCount, kMediaTypeBytes)) return false;
  pin->mediaTypes.resize(typeCount);
  for (CFilterData::MediaType& type : pin->mediaTypes) {
    DWORD presence = 0;
    if (!reader->Word(&presence) || presence > 3 || !reader->Guid(&type.major) || !reader->Guid(&type.subtype))
      return false;
    type.hasMajor = (presence & 1u) != 0;
    type.hasSubtype = (presence & 2u) != 0;
  }
  if (!reader->Fits(mediumCount, kMediumBytes)) return false;
  pin->mediums.resize(mediumCount);
  for (CFilterData::Medium& medium : pin->mediums)
    if (!reader->Guid(&medium.medium) || !reader->Word(&medium.dw1) || !reader->Word(&medium.dw2)) return false;
  return true;
}

}  // namespace

HRESULT CFilterData::Serialize(const REGFILTER2& record, std::vector<BYTE>* bytes) {
  if (bytes == nullptr) return E_POINTER;
  bytes->clear();
  if (record.dwVersion != 1 && record.dwVersion != 2) return E_INVALIDARG;
  try {
    PutWord(bytes, kMagic);
    PutWord(bytes, kVersion);
    PutWord(bytes, record.dwMerit);
    if (record.dwVersion == 1) {
      if (record.cPins != 0 && record.rgPins == nullptr) return E_POINTER;
      PutWord(bytes, record.cPins);
      for (ULONG i = 0; i < record.cPins; ++i) {
        const REGFILTERPINS& pin = record.rgPins[i];
        if (pin.nMediaTypes != 0 && pin.lpMediaType == nullptr) return E_POINTER;
        PutWord(bytes, (pin.bZero ? REG_PINFLAG_B_ZERO : 0) | (pin.bRendered ? REG_PINFLAG_B_RENDERER : 0) |
                           (pin.bMany ? REG_PINFLAG_B_MANY : 0) | (pin.bOutput ? REG_PINFLAG_B_OUTPUT : 0));
        PutWord(bytes, 0);
        PutWord(bytes, pin.nMediaTypes);
        PutWord(bytes, 0);
        PutWord(bytes, 0);
        PutMediaTypes(bytes, pin.nMediaTypes, pin.lpMediaType);
      }
      return S_OK;
    }
    if (record.cPins2 != 0 && record.rgPins2 == nullptr) return E_POINTER;
    PutWord(bytes, record.cPins2);
    for (ULONG i = 0; i < record.cPins2; ++i) {
      const REGFILTERPINS2& pin = record.rgPins2[i];
      if ((pin.nMediaTypes != 0 && pin.lpMediaType == nullptr) || (pin.nMediums != 0 && pin.lpMedium == nullptr))
        return E_POINTER;
      PutWord(bytes, pin.dwFlags);
      PutWord(bytes, pin.cInstances);
      PutWord(bytes, pin.nMediaTypes);
      PutWord(bytes, pin.nMediums);
      PutWord(bytes, pin.clsPinCategory != nullptr ? 1u : 0u);
      if (pin.clsPinCategory != nullptr) PutGuid(bytes, *pin.clsPinCategory);
      PutMediaTypes(bytes, pin.nMediaTypes, pin.lpMediaType);
      for (UINT m = 0; m < pin.nMediums; ++m) {
        PutGuid(bytes, pin.lpMedium[m].clsMedium);
        PutWord(bytes, pin.lpMedium[m].dw1);
        PutWord(bytes, pin.lpMedium[m].dw2);
      }
    }
    return S_OK;
  } catch (const std::bad_alloc&) {
    bytes->clear();
    return E_OUTOFMEMORY;
  }
}

bool CFilterData::Parse(const BYTE* data, std::size_t size) {
  m_merit = 0;
  m_pins.clear();
  if (data == nullptr) return false;
  CReader reader(data, size);
  DWORD magic = 0, version = 0, merit = 0, pinCount = 0;
  if (!reader.Word(&magic) || magic != kMagic || !reader.Word(&version) || version != kVersion ||
      !reader.Word(&merit) || !reader.Word(&pinCount) || !reader.Fits(pinCount, kPinHeaderBytes))
    return false;
  std::vector<Pin> pins;
  try {
    pins.resize(pinCount);
    for (Pin& pin : pins)
      if (!ReadPin(&reader, &pin)) return false;
  } catch (const std::bad_alloc&) {
    return false;
  }
  if (!reader.AtEnd()) return false;
  m_merit = merit;
  m_pins = std::move(pins);
  return true;
}
