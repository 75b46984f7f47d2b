// The access list on every channel object a Windows process creates, read back from the
// system: the creating user and SYSTEM with every right, ALL APPLICATION PACKAGES with
// only what an opener asks for, nobody else, nothing inherited; and the low-integrity
// label the channel adds afterwards.
#include <gtest/gtest.h>

// clang-format off
#include "platform/windows_types.h"
#include <aclapi.h>
#include <sddl.h>
// clang-format on

#include <functional>
#include <string>
#include <vector>

#include "platform/guid.h"
#include "platform/named_sync.h"
#include "platform/shared_memory.h"

namespace {

using platform::KernelObjectKind;

std::wstring UniqueName(const std::wstring& what) {
  GUID guid{};
  platform::CreateGuid(&guid);
  return L"AmberlineTest-access-" + what + L"-" + platform::GuidToRegistryString(guid).substr(1, 36);
}

// The process token's user, read here independently of the platform layer.
std::wstring TokenUserSid() {
  HANDLE token = nullptr;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) return {};
  DWORD size = 0;
  ::GetTokenInformation(token, TokenUser, nullptr, 0, &size);
  std::vector<unsigned char> buffer(size);
  std::wstring text;
  wchar_t* sid = nullptr;
  if (size != 0 && ::GetTokenInformation(token, TokenUser, buffer.data(), size, &size) &&
      ::ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid, &sid)) {
    text = sid;
    ::LocalFree(sid);
  }
  ::CloseHandle(token);
  return text;
}

std::wstring ToText(PSECURITY_DESCRIPTOR descriptor, SECURITY_INFORMATION what) {
  wchar_t* text = nullptr;
  if (!::ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor, SDDL_REVISION_1, what, &text, nullptr))
    return L"<not convertible: " + std::to_wstring(::GetLastError()) + L">";
  std::wstring result = text;
  ::LocalFree(text);
  return result;
}

// SDDL text as the system writes it back (its spelling of rights and of well-known SIDs),
// so that expected and read-back lists compare ACE for ACE.
std::wstring Normalised(const std::wstring& sddl, SECURITY_INFORMATION what) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &descriptor, nullptr))
    return L"<not parsed: " + sddl + L">";
  std::wstring text = ToText(descriptor, what);
  ::LocalFree(descriptor);
  return text;
}

// The object's own list (or label), read through a handle opened for READ_CONTROL.
std::wstring ReadBack(KernelObjectKind kind, const std::wstring& name, SECURITY_INFORMATION what) {
  HANDLE handle = nullptr;
  switch (kind) {
    case KernelObjectKind::kFileMapping:
      handle = ::OpenFileMappingW(READ_CONTROL, FALSE, name.c_str());
      break;
    case KernelObjectKind::kMutex:
      handle = ::OpenMutexW(READ_CONTROL, FALSE, name.c_str());
      break;
    case KernelObjectKind::kEvent:
      handle = ::OpenEventW(READ_CONTROL, FALSE, name.c_str());
      break;
  }
  if (handle == nullptr) return L"<not opened: " + std::to_wstring(::GetLastError()) + L">";
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  std::wstring text;
  const DWORD status = ::GetSecurityInfo(handle, SE_KERNEL_OBJECT, what, nullptr, nullptr, nullptr, nullptr,
                                         &descriptor);
  if (status == ERROR_SUCCESS) {
    text = ToText(descriptor, what);
    ::LocalFree(descriptor);
  } else {
    text = L"<not read: " + std::to_wstring(status) + L">";
  }
  ::CloseHandle(handle);
  return text;
}

struct AccessCase {
  const char* what;
  KernelObjectKind kind;
  const wchar_t* all;     // the object type's every right
  const wchar_t* opener;  // what the platform classes' Open asks for
  std::function<bool(const std::wstring&)> create;
};

TEST(ChannelObjectAccessTest, CreatedObjectsGrantTheUserSystemAndAppContainersAndNobodyElse) {
  const std::wstring user = TokenUserSid();
  ASSERT_FALSE(user.empty());
  CSharedMemory region;
  CNamedMutex mutex;
  CNamedEvent event;
  bool created = false;
  const AccessCase cases[] = {
      {"file mapping", KernelObjectKind::kFileMapping, L"0xf001f", L"0x6",
       [&](const std::wstring& name) { return region.Create(name, 65536, &created) == ERROR_SUCCESS && created; }},
      {"mutex", KernelObjectKind::kMutex, L"0x1f0001", L"0x100001",
       [&](const std::wstring& name) { return mutex.Create(name, &created) == ERROR_SUCCESS && created; }},
      {"event", KernelObjectKind::kEvent, L"0x1f0003", L"0x100002",
       [&](const std::wstring& name) { return event.Create(name, true, false, &created) == ERROR_SUCCESS && created; }},
  };
  for (const AccessCase& c : cases) {
    SCOPED_TRACE(c.what);
    const std::wstring name = UniqueName(L"object");
    ASSERT_TRUE(c.create(name));
    const std::wstring text = std::wstring(L"D:P(A;;") + c.all + L";;;" + user + L")(A;;" + c.all +
                              L";;;SY)(A;;" + c.opener + L";;;AC)";
    EXPECT_EQ(platform::ChannelObjectSddl(c.kind, user), text);
    // The same list by SIDs alone (SYSTEM, ALL APPLICATION PACKAGES): the aliases name them.
    const std::wstring bySid = std::wstring(L"D:P(A;;") + c.all + L";;;" + user + L")(A;;" + c.all +
                               L";;;S-1-5-18)(A;;" + c.opener + L";;;S-1-15-2-1)";
    const std::wstring dacl = ReadBack(c.kind, name, DACL_SECURITY_INFORMATION);
    EXPECT_EQ(dacl, Normalised(bySid, DACL_SECURITY_INFORMATION));
    EXPECT_EQ(dacl.find(L";WD)"), std::wstring::npos) << "nothing for Everyone";
    EXPECT_EQ(dacl.find(L";AU)"), std::wstring::npos) << "nothing for Authenticated Users";

    platform::ApplyLowIntegrityLabel(name, c.kind);
    EXPECT_EQ(ReadBack(c.kind, name, DACL_SECURITY_INFORMATION), dacl) << "the label leaves the list alone";
    EXPECT_EQ(ReadBack(c.kind, name, LABEL_SECURITY_INFORMATION),
              Normalised(L"S:(ML;;NW;;;LW)", LABEL_SECURITY_INFORMATION));
  }
}

}  // namespace
