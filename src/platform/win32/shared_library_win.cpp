#include <utility>

#include "platform/shared_library.h"
#include "platform/system_error.h"
#include "platform/windows_types.h"

CSharedLibrary::~CSharedLibrary() { Unload(); }

CSharedLibrary::CSharedLibrary(CSharedLibrary&& other) noexcept
    : m_handle(std::exchange(other.m_handle, nullptr)), m_error(std::move(other.m_error)) {}

CSharedLibrary& CSharedLibrary::operator=(CSharedLibrary&& other) noexcept {
  if (this != &other) {
    Unload();
    m_handle = std::exchange(other.m_handle, nullptr);
    m_error = std::move(other.m_error);
  }
  return *this;
}

bool CSharedLibrary::Load(const std::wstring& path) {
  Unload();
  m_error.clear();
  m_handle = ::LoadLibraryW(path.c_str());
  if (m_handle == nullptr) {
    const DWORD code = ::GetLastError();
    m_error = platform::FormatSystemMessage(code);
    if (m_error.empty()) m_error = L"LoadLibrary failed with error " + std::to_wstring(code);
    return false;
  }
  return true;
}

void CSharedLibrary::Unload() {
  if (m_handle != nullptr) ::FreeLibrary(static_cast<HMODULE>(m_handle));
  m_handle = nullptr;
}

void* CSharedLibrary::Symbol(const char* name) const {
  return m_handle != nullptr ? reinterpret_cast<void*>(::GetProcAddress(static_cast<HMODULE>(m_handle), name))
                             : nullptr;
}
