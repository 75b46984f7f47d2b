// clang-format off
#include "platform/windows_types.h"
#include <aclapi.h>
#include <sddl.h>
// clang-format on

#include <utility>
#include <vector>

#include "platform/named_sync.h"

namespace {

HANDLE Handle(std::intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }

void CloseKeepingError(std::intptr_t handle) {
  if (handle == 0) return;
  const DWORD saved = ::GetLastError();
  ::CloseHandle(Handle(handle));
  ::SetLastError(saved);
}

LONG InvalidName() {
  ::SetLastError(ERROR_INVALID_PARAMETER);
  return ERROR_INVALID_PARAMETER;
}

}  // namespace

// --- CNamedMutex -----------------------------------------------------------------------

LONG CNamedMutex::Open(const std::wstring& name) {
  if (name.empty()) return InvalidName();
  const HANDLE handle = ::OpenMutexW(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, name.c_str());
  if (handle == nullptr) return static_cast<LONG>(::GetLastError());
  Close();
  m_handle = reinterpret_cast<std::intptr_t>(handle);
  return ERROR_SUCCESS;
}

LONG CNamedMutex::Create(const std::wstring& name, bool* created) {
  if (name.empty()) return InvalidName();
  const HANDLE handle = ::CreateMutexW(nullptr, FALSE, name.c_str());
  if (handle == nullptr) return static_cast<LONG>(::GetLastError());
  const bool existed = ::GetLastError() == ERROR_ALREADY_EXISTS;
  Close();
  m_handle = reinterpret_cast<std::intptr_t>(handle);
  if (created != nullptr) *created = !existed;
  return ERROR_SUCCESS;
}

void CNamedMutex::Close() {
  CloseKeepingError(std::exchange(m_handle, 0));
}

bool CNamedMutex::IsOpen() const { return m_handle != 0; }

WaitResult CNamedMutex::Wait(DWORD timeoutMs) {
  if (m_handle == 0) {
    ::SetLastError(ERROR_INVALID_HANDLE);
    return WaitResult::kFailed;
  }
  switch (::WaitForSingleObject(Handle(m_handle), timeoutMs)) {
    case WAIT_OBJECT_0:
      return WaitResult::kAcquired;
    case WAIT_ABANDONED:
      return WaitResult::kAbandoned;
    case WAIT_TIMEOUT:
      return WaitResult::kTimeout;
    default:
      return WaitResult::kFailed;
  }
}

bool CNamedMutex::Release() {
  if (m_handle == 0) {
    ::SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  return ::ReleaseMutex(Handle(m_handle)) != FALSE;
}

// --- CNamedEvent -----------------------------------------------------------------------

LONG CNamedEvent::Open(const std::wstring& name) {
  if (name.empty()) return InvalidName();
  const HANDLE handle = ::OpenEventW(SYNCHRONIZE | EVENT_MODIFY_STATE, FALSE, name.c_str());
  if (handle == nullptr) return static_cast<LONG>(::GetLastError());
  Close();
  m_handle = reinterpret_cast<std::intptr_t>(handle);
  return ERROR_SUCCESS;
}

LONG CNamedEvent::Create(const std::wstring& name, bool manualReset, bool initialState, bool* created) {
  if (name.empty()) return InvalidName();
  const HANDLE handle = ::CreateEventW(nullptr, manualReset ? TRUE : FALSE, initialState ? TRUE : FALSE, name.c_str());
  if (handle == nullptr) return static_cast<LONG>(::GetLastError());
  const bool existed = ::GetLastError() == ERROR_ALREADY_EXISTS;
  Close();
  m_handle = reinterpret_cast<std::intptr_t>(handle);
  if (created != nullptr) *created = !existed;
  return ERROR_SUCCESS;
}

void CNamedEvent::Close() { CloseKeepingError(std::exchange(m_handle, 0)); }

bool CNamedEvent::IsOpen() const { return m_handle != 0; }

bool CNamedEvent::Set() {
  if (m_handle == 0) {
    ::SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  return ::SetEvent(Handle(m_handle)) != FALSE;
}

bool CNamedEvent::Reset() {
  if (m_handle == 0) {
    ::SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  return ::ResetEvent(Handle(m_handle)) != FALSE;
}

bool CNamedEvent::Wait(DWORD timeoutMs) {
  if (m_handle == 0) {
    ::SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  return ::WaitForSingleObject(Handle(m_handle), timeoutMs) == WAIT_OBJECT_0;
}

namespace platform {

void ApplyLowIntegrityLabel(const std::wstring& name, KernelObjectKind) {
  if (name.empty()) return;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(L"S:(ML;;NW;;;LW)", SDDL_REVISION_1, &descriptor,
                                                              nullptr))
    return;
  PACL sacl = nullptr;
  BOOL present = FALSE;
  BOOL defaulted = FALSE;
  if (::GetSecurityDescriptorSacl(descriptor, &present, &sacl, &defaulted) && present) {
    std::vector<wchar_t> writable(name.begin(), name.end());
    writable.push_back(L'\0');
    ::SetNamedSecurityInfoW(writable.data(), SE_KERNEL_OBJECT, LABEL_SECURITY_INFORMATION, nullptr, nullptr,
                            nullptr, sacl);
  }
  ::LocalFree(descriptor);
}

}  // namespace platform
