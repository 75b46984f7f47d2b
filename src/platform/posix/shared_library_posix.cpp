#include <dlfcn.h>

#include <utility>

#include "platform/shared_library.h"
#include "platform/wide_string.h"

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
  // Local binding keeps each copy's symbols to itself, as separate DLLs are on Windows.
  m_handle = dlopen(platform::WideToUtf8(path).c_str(), RTLD_NOW | RTLD_LOCAL);
  if (m_handle == nullptr) {
    const char* error = dlerror();
    m_error = platform::Utf8ToWide(error != nullptr ? error : "dlopen failed");
    return false;
  }
  return true;
}

void CSharedLibrary::Unload() {
  if (m_handle != nullptr) dlclose(m_handle);
  m_handle = nullptr;
}

void* CSharedLibrary::Symbol(const char* name) const {
  return m_handle != nullptr ? dlsym(m_handle, name) : nullptr;
}
