// What CRegKey does the same way on every system, built on the backend's
// QueryValue and SetValue.
#include "platform/reg_key.h"

#include "platform/wide_string.h"

namespace {

bool IsStringType(DWORD type) { return type == REG_SZ || type == REG_EXPAND_SZ; }

// Stored strings are UTF-16LE with a terminating NUL unit. The text is what comes before
// the first NUL; data of odd length or without the final NUL is not a string.
LONG ReadString(const CRegKey& key, const wchar_t* name, std::wstring* text, LONG (*fail)(LONG)) {
  DWORD type = REG_NONE;
  std::vector<BYTE> data;
  const LONG result = key.QueryValue(name, &type, &data);
  if (result != ERROR_SUCCESS) return result;
  if (!IsStringType(type)) return fail(ERROR_UNSUPPORTED_TYPE);
  if (data.size() < 2 || data.size() % 2 != 0 || data[data.size() - 1] != 0 || data[data.size() - 2] != 0)
    return fail(ERROR_INVALID_DATA);
  std::u16string units;
  units.reserve(data.size() / 2);
  for (std::size_t i = 0; i + 1 < data.size(); i += 2) {
    const auto unit = static_cast<char16_t>(data[i] | (data[i + 1] << 8));
    if (unit == 0) break;
    units.push_back(unit);
  }
  *text = platform::Utf16ToWide(units.data(), units.size());
  return ERROR_SUCCESS;
}

}  // namespace

LONG CRegKey::QueryDword(const wchar_t* name, DWORD* value) const {
  if (value == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  DWORD type = REG_NONE;
  std::vector<BYTE> data;
  const LONG result = QueryValue(name, &type, &data);
  if (result != ERROR_SUCCESS) return result;
  if (type != REG_DWORD) return Fail(ERROR_UNSUPPORTED_TYPE);
  if (data.size() != sizeof(DWORD)) return Fail(ERROR_INVALID_DATA);
  *value = static_cast<DWORD>(data[0]) | (static_cast<DWORD>(data[1]) << 8) | (static_cast<DWORD>(data[2]) << 16) |
           (static_cast<DWORD>(data[3]) << 24);
  return ERROR_SUCCESS;
}

LONG CRegKey::QueryString(const wchar_t* name, wchar_t* buffer, DWORD bufferChars) const {
  if (buffer == nullptr && bufferChars > 0) return Fail(ERROR_INVALID_PARAMETER);
  if (bufferChars > 0) buffer[0] = L'\0';
  try {
    std::wstring text;
    const LONG result = ReadString(*this, name, &text, &CRegKey::Fail);
    if (result != ERROR_SUCCESS) return result;
    if (text.size() >= bufferChars) return Fail(ERROR_MORE_DATA);
    text.copy(buffer, text.size());
    buffer[text.size()] = L'\0';
    return ERROR_SUCCESS;
  } catch (...) {
    return Fail(ERROR_NOT_ENOUGH_MEMORY);
  }
}

LONG CRegKey::QueryString(const wchar_t* name, std::wstring* value) const {
  if (value == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  try {
    std::wstring text;
    const LONG result = ReadString(*this, name, &text, &CRegKey::Fail);
    if (result == ERROR_SUCCESS) *value = std::move(text);
    return result;
  } catch (...) {
    return Fail(ERROR_NOT_ENOUGH_MEMORY);
  }
}

LONG CRegKey::SetString(const wchar_t* name, const std::wstring& value, DWORD type) {
  // A multi-string's own final NUL is part of value; the stored terminator closes it.
  if (!IsStringType(type) && type != REG_MULTI_SZ) return Fail(ERROR_INVALID_PARAMETER);
  try {
    const std::u16string units = platform::WideToUtf16(value);
    std::vector<BYTE> data;
    data.reserve(2 * (units.size() + 1));
    for (const char16_t unit : units) {
      data.push_back(static_cast<BYTE>(unit & 0xFF));
      data.push_back(static_cast<BYTE>(unit >> 8));
    }
    data.push_back(0);
    data.push_back(0);
    if (data.size() > 0xFFFFFFFFu) return Fail(ERROR_INVALID_PARAMETER);
    return SetValue(name, type, data.data(), static_cast<DWORD>(data.size()));
  } catch (...) {
    return Fail(ERROR_NOT_ENOUGH_MEMORY);
  }
}

LONG CRegKey::SetDword(const wchar_t* name, DWORD value) {
  const BYTE data[4] = {static_cast<BYTE>(value), static_cast<BYTE>(value >> 8), static_cast<BYTE>(value >> 16),
                        static_cast<BYTE>(value >> 24)};
  return SetValue(name, REG_DWORD, data, sizeof data);
}

namespace platform {

const wchar_t* RegistryRootName(HKEY root) {
  if (root == HKEY_CLASSES_ROOT) return L"HKEY_CLASSES_ROOT";
  if (root == HKEY_CURRENT_USER) return L"HKEY_CURRENT_USER";
  if (root == HKEY_LOCAL_MACHINE) return L"HKEY_LOCAL_MACHINE";
  return nullptr;
}

}  // namespace platform
