// Who may open the channel's named objects (the frame region, its mutexes and its
// events), as a Windows access list in SDDL text.
//
//   const std::wstring sddl = platform::ChannelObjectSddl(platform::KernelObjectKind::kMutex,
//                                                         L"S-1-5-21-1-2-3-1001");
//   // "D:P(A;;0x1f0001;;;S-1-5-21-1-2-3-1001)(A;;0x1f0001;;;SY)(A;;0x100001;;;AC)"
//
// The list is protected (inherits nothing) and grants the creating user and SYSTEM every
// right on the object, and every AppContainer process (ALL APPLICATION PACKAGES,
// S-1-15-2-1) exactly the rights the platform classes' Open asks for: map the region for
// reading and writing; wait on and release a mutex; wait on, set and reset an event.
// Nobody else is named, so other users (Everyone, Authenticated Users) get nothing. The
// Windows backend's Create gives every object it creates this list, with the process
// token's user (CChannelObjectSecurity); the POSIX backend has no access lists (its
// objects have mode 0600). ChannelObjectSddl is a pure function: any thread, no failure.
#pragma once

#include <string>

#ifdef _WIN32
#include "platform/windows_types.h"
#endif

namespace platform {

enum class KernelObjectKind { kFileMapping, kMutex, kEvent };

// userSid: the creating user's SID as text ("S-1-5-21-...").
std::wstring ChannelObjectSddl(KernelObjectKind kind, const std::wstring& userSid);

#ifdef _WIN32
namespace win32 {

// The security attributes a Create passes for an object of one kind: ChannelObjectSddl
// with the process token's user. When the user or the descriptor cannot be made (the
// system refused; it never does for a process's own token) Attributes() is null and the
// object gets the token's default list, as it did before there was this list. Owns the
// descriptor; one thread, for the one call that creates the object.
class CChannelObjectSecurity {
 public:
  explicit CChannelObjectSecurity(KernelObjectKind kind);
  ~CChannelObjectSecurity();
  CChannelObjectSecurity(const CChannelObjectSecurity&) = delete;
  CChannelObjectSecurity& operator=(const CChannelObjectSecurity&) = delete;

  SECURITY_ATTRIBUTES* Attributes() { return m_descriptor != nullptr ? &m_attributes : nullptr; }

 private:
  PSECURITY_DESCRIPTOR m_descriptor = nullptr;
  SECURITY_ATTRIBUTES m_attributes{};
};

// The process token's user as SID text; empty when it cannot be read.
std::wstring ProcessUserSid();

}  // namespace win32
#endif

}  // namespace platform
