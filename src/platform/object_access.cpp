#include "platform/object_access.h"

namespace platform {
namespace {

struct KindRights {
  const wchar_t* all;     // every right of the object type
  const wchar_t* opener;  // what Open asks for
};

// SECTION_ALL_ACCESS / SECTION_MAP_READ | SECTION_MAP_WRITE (a section has no SYNCHRONIZE);
// MUTANT_ALL_ACCESS / SYNCHRONIZE | MUTEX_MODIFY_STATE;
// EVENT_ALL_ACCESS / SYNCHRONIZE | EVENT_MODIFY_STATE.
KindRights RightsOf(KernelObjectKind kind) {
  switch (kind) {
    case KernelObjectKind::kMutex:
      return {L"0x1f0001", L"0x100001"};
    case KernelObjectKind::kEvent:
      return {L"0x1f0003", L"0x100002"};
    case KernelObjectKind::kFileMapping:
    default:
      return {L"0xf001f", L"0x6"};
  }
}

}  // namespace

std::wstring ChannelObjectSddl(KernelObjectKind kind, const std::wstring& userSid) {
  const KindRights rights = RightsOf(kind);
  std::wstring sddl = std::wstring(L"D:P(A;;") + rights.all + L";;;" + userSid + L")";
  sddl += std::wstring(L"(A;;") + rights.all + L";;;SY)";
  // ALL APPLICATION PACKAGES (S-1-15-2-1). A system older than AppContainers does not
  // know the alias, and its Create then falls back to the default list.
  sddl += std::wstring(L"(A;;") + rights.opener + L";;;AC)";
  return sddl;
}

}  // namespace platform
