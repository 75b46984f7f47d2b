#include "platform/guid.h"

#include <cwchar>

namespace platform {
namespace {

int HexValue(wchar_t c) {
  if (c >= L'0' && c <= L'9') return c - L'0';
  if (c >= L'a' && c <= L'f') return c - L'a' + 10;
  if (c >= L'A' && c <= L'F') return c - L'A' + 10;
  return -1;
}

// Reads 2 * bytes hex digits at text into value (big-endian as written).
bool ReadHex(const wchar_t* text, int digits, unsigned long long* value) {
  unsigned long long v = 0;
  for (int i = 0; i < digits; ++i) {
    const int h = HexValue(text[i]);
    if (h < 0) return false;
    v = (v << 4) | static_cast<unsigned>(h);
  }
  *value = v;
  return true;
}

// Parses exactly 36 characters "XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX"; text must hold
// at least that many characters (the callers check the length first).
bool ParseBody(const wchar_t* text, GUID* guid) {
  if (text[8] != L'-' || text[13] != L'-' || text[18] != L'-' || text[23] != L'-') return false;
  unsigned long long a = 0, b = 0, c = 0, d = 0, e = 0;
  if (!ReadHex(text, 8, &a) || !ReadHex(text + 9, 4, &b) || !ReadHex(text + 14, 4, &c) ||
      !ReadHex(text + 19, 4, &d) || !ReadHex(text + 24, 12, &e))
    return false;
  GUID g{};
  g.Data1 = static_cast<std::uint32_t>(a);
  g.Data2 = static_cast<std::uint16_t>(b);
  g.Data3 = static_cast<std::uint16_t>(c);
  g.Data4[0] = static_cast<std::uint8_t>(d >> 8);
  g.Data4[1] = static_cast<std::uint8_t>(d);
  for (int i = 0; i < 6; ++i) g.Data4[2 + i] = static_cast<std::uint8_t>(e >> (8 * (5 - i)));
  *guid = g;
  return true;
}

}  // namespace

LONG UuidFromString(const wchar_t* text, GUID* guid) {
  if (guid == nullptr) return ERROR_INVALID_PARAMETER;
  *guid = GUID{};
  if (text == nullptr || std::wcslen(text) != 36 || !ParseBody(text, guid)) return RPC_S_INVALID_STRING_UUID;
  return ERROR_SUCCESS;
}

bool GuidFromRegistryString(const wchar_t* text, GUID* guid) {
  if (guid == nullptr) return false;
  *guid = GUID{};
  if (text == nullptr || std::wcslen(text) != 38 || text[0] != L'{' || text[37] != L'}') return false;
  return ParseBody(text + 1, guid);
}

std::wstring GuidToRegistryString(const GUID& g) {
  wchar_t buffer[40];
  std::swprintf(buffer, 40, L"{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", static_cast<unsigned>(g.Data1),
                static_cast<unsigned>(g.Data2), static_cast<unsigned>(g.Data3), static_cast<unsigned>(g.Data4[0]),
                static_cast<unsigned>(g.Data4[1]), static_cast<unsigned>(g.Data4[2]),
                static_cast<unsigned>(g.Data4[3]), static_cast<unsigned>(g.Data4[4]),
                static_cast<unsigned>(g.Data4[5]), static_cast<unsigned>(g.Data4[6]),
                static_cast<unsigned>(g.Data4[7]));
  return buffer;
}

}  // namespace platform
