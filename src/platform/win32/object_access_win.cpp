// clang-format off
#include "platform/windows_types.h"
#include <sddl.h>
// clang-format on

#include <vector>

#include "platform/object_access.h"

namespace platform::win32 {

std::wstring ProcessUserSid() {
  HANDLE token = nullptr;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) return {};
  std::wstring text;
  DWORD size = 0;
  ::GetTokenInformation(token, TokenUser, nullptr, 0, &size);
  if (size != 0) {
    std::vector<unsigned char> buffer(size);
    if (::GetTokenInformation(token, TokenUser, buffer.data(), size, &size)) {
      wchar_t* sid = nullptr;
      if (::ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid, &sid)) {
        text = sid;
        ::LocalFree(sid);
      }
    }
  }
  ::CloseHandle(token);
  return text;
}

CChannelObjectSecurity::CChannelObjectSecurity(KernelObjectKind kind) {
  const std::wstring user = ProcessUserSid();
  if (user.empty()) return;
  const std::wstring sddl = ChannelObjectSddl(kind, user);
  if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &m_descriptor,
                                                              nullptr)) {
    m_descriptor = nullptr;
    return;
  }
  m_attributes.nLength = sizeof m_attributes;
  m_attributes.lpSecurityDescriptor = m_descriptor;
  m_attributes.bInheritHandle = FALSE;
}

CChannelObjectSecurity::~CChannelObjectSecurity() {
  if (m_descriptor != nullptr) ::LocalFree(m_descriptor);
}

}  // namespace platform::win32
