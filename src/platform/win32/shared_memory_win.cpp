#include "platform/shared_memory.h"
#include "platform/object_access.h"
#include "platform/windows_types.h"

// The new handle is opened before the old one is closed: reopening the name this object
// alone holds keeps the region, and a failure leaves the object as it was.
LONG CSharedMemory::Open(const std::wstring& name) {
  if (name.empty()) {
    ::SetLastError(ERROR_INVALID_PARAMETER);
    return ERROR_INVALID_PARAMETER;
  }
  const HANDLE handle = ::OpenFileMappingW(FILE_MAP_READ | FILE_MAP_WRITE, FALSE, name.c_str());
  if (handle == nullptr) return static_cast<LONG>(::GetLastError());
  m_object.Reset(handle);
  return ERROR_SUCCESS;
}

LONG CSharedMemory::Create(const std::wstring& name, std::uint64_t size, bool* created) {
  if (name.empty() || size == 0) {
    ::SetLastError(ERROR_INVALID_PARAMETER);
    return ERROR_INVALID_PARAMETER;
  }
  platform::win32::CChannelObjectSecurity security(platform::KernelObjectKind::kFileMapping);
  const HANDLE handle = ::CreateFileMappingW(INVALID_HANDLE_VALUE, security.Attributes(), PAGE_READWRITE,
                                            static_cast<DWORD>(size >> 32), static_cast<DWORD>(size), name.c_str());
  if (handle == nullptr) return static_cast<LONG>(::GetLastError());
  const bool existed = ::GetLastError() == ERROR_ALREADY_EXISTS;
  m_object.Reset(handle);
  if (created != nullptr) *created = !existed;
  return ERROR_SUCCESS;
}

void CSharedMemory::Close() { m_object.Reset(); }

bool CSharedMemory::IsOpen() const { return m_object.IsValid(); }

void* CSharedMemory::MapView(std::uint64_t offset, std::size_t size) const {
  if (!m_object.IsValid()) {
    ::SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  // Size 0 would map to the end of the region, which UnmapView's callers cannot size.
  if (size == 0) {
    ::SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  return ::MapViewOfFile(m_object.Get(), FILE_MAP_READ | FILE_MAP_WRITE, static_cast<DWORD>(offset >> 32),
                         static_cast<DWORD>(offset), size);
}

bool CSharedMemory::UnmapView(void* view, std::size_t) {
  if (view == nullptr) {
    ::SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  return ::UnmapViewOfFile(view) != FALSE;
}

namespace platform {

DWORD AllocationGranularity() {
  SYSTEM_INFO info{};
  ::GetSystemInfo(&info);
  return info.dwAllocationGranularity;
}

}  // namespace platform
