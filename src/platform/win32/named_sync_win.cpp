// clang-format off
#include "platform/windows_types.h"
#include <aclapi.h>
#include <sddl.h>
// clang-format on

#include <vector>

#include "platform/named_sync.h"

namespace {

LONG InvalidName() {
  ::SetLastError(ERROR_INVALID_PARAMETER);
  return ERROR_INVALID_PARAMETER;
}

// The object's handle, or null with ERROR_INVALID_HANDLE as the last error.
HANDLE Held(const platform::CNamedObjectHandle& object) {
  if (!object.IsValid()) ::SetLastError(ERROR_INVALID_HANDLE);
  return object.Get();
}

}  // namespace

// --- CNamedMutex -----------------------------------------------------------------------

LONG CNamedMutex::Open(const std::wstring& name) {
  if (name.empty()) return InvalidName();
  const HANDLE handle = ::OpenMutexW(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, name.c_str());
  if (handle == nullptr) return static_cast<LONG>(::GetLastError());
  m_object.Reset(handle);
  return ERROR_SUCCESS;
}

LONG CNamedMutex::Create(const std::wstring& name, bool* created) {
  if (name.empty()) return InvalidName();
  platform::win32::CChannelObjectSecurity security(platform::KernelObjectKind::kMutex);
  const HANDLE handle = ::CreateMutexW(security.Attributes(), FALSE, name.c_str());
  if (handle == nullptr) return static_cast<LONG>(::GetLastError());
  const bool existed = ::GetLastError() == ERROR_ALREADY_EXISTS;
  m_object.Reset(handle);
  if (created != nullptr) *created = !existed;
  return ERROR_SUCCESS;
}

void CNamedMutex::Close() { m_object.Reset(); }

bool CNamedMutex::IsOpen() const { return m_object.IsValid(); }

WaitResult CNamedMutex::Wait(std::chrono::milliseconds timeout) {
  const HANDLE mutex = Held(m_object);
  if (mutex == nullptr) return WaitResult::kFailed;
  switch (::WaitForSingleObject(mutex, platform::WaitMilliseconds(timeout))) {
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
  const HANDLE mutex = Held(m_object);
  return mutex != nullptr && ::ReleaseMutex(mutex) != FALSE;
}

// --- CNamedEvent -----------------------------------------------------------------------

LONG CNamedEvent::Open(const std::wstring& name) {
  if (name.empty()) return InvalidName();
  const HANDLE handle = ::OpenEventW(SYNCHRONIZE | EVENT_MODIFY_STATE, FALSE, name.c_str());
  if (handle == nullptr) return static_cast<LONG>(::GetLastError());
  m_object.Reset(handle);
  return ERROR_SUCCESS;
}

LONG CNamedEvent::Create(const std::wstring& name, bool manualReset, bool initialState, bool* created) {
  if (name.empty()) return InvalidName();
  platform::win32::CChannelObjectSecurity security(platform::KernelObjectKind::kEvent);
  const HANDLE handle =
      ::CreateEventW(security.Attributes(), manualReset ? TRUE : FALSE, initialState ? TRUE : FALSE, name.c_str());
  if (handle == nullptr) return static_cast<LONG>(::GetLastError());
  const bool existed = ::GetLastError() == ERROR_ALREADY_EXISTS;
  m_object.Reset(handle);
  if (created != nullptr) *created = !existed;
  return ERROR_SUCCESS;
}

void CNamedEvent::Close() { m_object.Reset(); }

bool CNamedEvent::IsOpen() const { return m_object.IsValid(); }

bool CNamedEvent::Set() {
  const HANDLE event = Held(m_object);
  return event != nullptr && ::SetEvent(event) != FALSE;
}

bool CNamedEvent::Reset() {
  const HANDLE event = Held(m_object);
  return event != nullptr && ::ResetEvent(event) != FALSE;
}

bool CNamedEvent::Wait(std::chrono::milliseconds timeout) {
  const HANDLE event = Held(m_object);
  return event != nullptr && ::WaitForSingleObject(event, platform::WaitMilliseconds(timeout)) == WAIT_OBJECT_0;
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
