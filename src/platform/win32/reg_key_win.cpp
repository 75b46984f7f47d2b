// CRegKey over the real Windows registry: each operation is the registry call it names.
#include <utility>

#include "platform/reg_key.h"

namespace {

bool IsPredefined(HKEY key) {
  return key == HKEY_CLASSES_ROOT || key == HKEY_CURRENT_USER || key == HKEY_LOCAL_MACHINE || key == HKEY_USERS;
}

}  // namespace

CRegKey::~CRegKey() { Close(); }

CRegKey::CRegKey(CRegKey&& other) noexcept : m_key(std::exchange(other.m_key, nullptr)) {}

CRegKey& CRegKey::operator=(CRegKey&& other) noexcept {
  if (this != &other) {
    Close();
    m_key = std::exchange(other.m_key, nullptr);
  }
  return *this;
}

LONG CRegKey::Fail(LONG code) {
  if (code != ERROR_SUCCESS) ::SetLastError(static_cast<DWORD>(code));
  return code;
}

LONG CRegKey::Open(HKEY root, const wchar_t* subKey, REGSAM access) {
  HKEY key = nullptr;
  const LONG result = ::RegOpenKeyExW(root, subKey, 0, access, &key);
  if (result != ERROR_SUCCESS) return Fail(result);
  Close();
  m_key = key;
  return ERROR_SUCCESS;
}

LONG CRegKey::Open(const CRegKey& parent, const wchar_t* subKey, REGSAM access) {
  if (parent.m_key == nullptr) return Fail(ERROR_INVALID_HANDLE);
  return Open(parent.m_key, subKey, access);
}

LONG CRegKey::Create(HKEY root, const wchar_t* subKey, REGSAM access) {
  HKEY key = nullptr;
  const LONG result =
      ::RegCreateKeyExW(root, subKey, 0, nullptr, REG_OPTION_NON_VOLATILE, access, nullptr, &key, nullptr);
  if (result != ERROR_SUCCESS) return Fail(result);
  Close();
  m_key = key;
  return ERROR_SUCCESS;
}

LONG CRegKey::Create(const CRegKey& parent, const wchar_t* subKey, REGSAM access) {
  if (parent.m_key == nullptr) return Fail(ERROR_INVALID_HANDLE);
  return Create(parent.m_key, subKey, access);
}

void CRegKey::Close() {
  if (m_key != nullptr && !IsPredefined(m_key)) {
    const DWORD saved = ::GetLastError();
    ::RegCloseKey(m_key);
    ::SetLastError(saved);
  }
  m_key = nullptr;
}

LONG CRegKey::EnumKey(DWORD index, wchar_t* name, DWORD* nameChars) const {
  if (m_key == nullptr) return Fail(ERROR_INVALID_HANDLE);
  if (name == nullptr || nameChars == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  const DWORD capacity = *nameChars;
  const LONG result = ::RegEnumKeyExW(m_key, index, name, nameChars, nullptr, nullptr, nullptr, nullptr);
  if (result != ERROR_SUCCESS && capacity > 0) name[0] = L'\0';
  return Fail(result);
}

LONG CRegKey::EnumValue(DWORD index, std::wstring* name, DWORD* type) const {
  if (m_key == nullptr) return Fail(ERROR_INVALID_HANDLE);
  if (name == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  // Value names are at most 16383 characters.
  std::wstring buffer(16384, L'\0');
  DWORD chars = static_cast<DWORD>(buffer.size());
  DWORD valueType = REG_NONE;
  const LONG result = ::RegEnumValueW(m_key, index, buffer.data(), &chars, nullptr, &valueType, nullptr, nullptr);
  if (result != ERROR_SUCCESS) return Fail(result);
  buffer.resize(chars);
  *name = std::move(buffer);
  if (type != nullptr) *type = valueType;
  return ERROR_SUCCESS;
}

LONG CRegKey::QueryValue(const wchar_t* name, DWORD* type, std::vector<BYTE>* data) const {
  if (m_key == nullptr) return Fail(ERROR_INVALID_HANDLE);
  // The value can change between the size query and the read; retry until they agree.
  for (int attempt = 0; attempt < 8; ++attempt) {
    DWORD bytes = 0;
    DWORD valueType = REG_NONE;
    LONG result = ::RegQueryValueExW(m_key, name, nullptr, &valueType, nullptr, &bytes);
    if (result != ERROR_SUCCESS) return Fail(result);
    std::vector<BYTE> buffer(bytes);
    result = ::RegQueryValueExW(m_key, name, nullptr, &valueType, buffer.empty() ? nullptr : buffer.data(), &bytes);
    if (result == ERROR_MORE_DATA) continue;
    if (result != ERROR_SUCCESS) return Fail(result);
    buffer.resize(bytes);
    if (type != nullptr) *type = valueType;
    if (data != nullptr) *data = std::move(buffer);
    return ERROR_SUCCESS;
  }
  return Fail(ERROR_MORE_DATA);
}

LONG CRegKey::SetValue(const wchar_t* name, DWORD type, const BYTE* data, DWORD bytes) {
  if (m_key == nullptr) return Fail(ERROR_INVALID_HANDLE);
  if (data == nullptr && bytes != 0) return Fail(ERROR_INVALID_PARAMETER);
  return Fail(::RegSetValueExW(m_key, name, 0, type, data, bytes));
}

LONG CRegKey::DeleteValue(const wchar_t* name) {
  if (m_key == nullptr) return Fail(ERROR_INVALID_HANDLE);
  return Fail(::RegDeleteValueW(m_key, name));
}

LONG CRegKey::DeleteTree(const wchar_t* subKey) {
  if (m_key == nullptr) return Fail(ERROR_INVALID_HANDLE);
  // With a subkey name, that key goes too; without one, this key is emptied and stays.
  return Fail(::RegDeleteTreeW(m_key, subKey != nullptr && *subKey != L'\0' ? subKey : nullptr));
}

namespace platform {

std::string RegistryRootFolder() { return std::string(); }

std::vector<std::string> RegistryFileProblems() { return {}; }

}  // namespace platform
