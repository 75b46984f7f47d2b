// Redirects the predefined roots to private keys under
// HKEY_CURRENT_USER\Software\Amberline Test Registry\<folder>, so that processes given
// the same folder share one private registry. The object that created the keys removes
// them when it ends.
#include <string>

#include "platform/registry_override.h"
#include "platform/wide_string.h"
#include "platform/windows_types.h"

namespace {

constexpr const wchar_t* kTestRoot = L"Software\\Amberline Test Registry";
const HKEY kRoots[] = {HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE, HKEY_CLASSES_ROOT};
const wchar_t* const kRootNames[] = {L"HKEY_CURRENT_USER", L"HKEY_LOCAL_MACHINE", L"HKEY_CLASSES_ROOT"};

// One override at a time: ending it gives the roots back to the real registry.
struct State {
  std::wstring privateKey;
  HKEY keys[3] = {};
  bool created = false;
};

// A key name for folder: its characters, with the separators a key name cannot hold
// replaced.
std::wstring PrivateKeyName(const std::string& folder) {
  std::wstring name = platform::Utf8ToWide(folder);
  for (wchar_t& c : name)
    if (c == L'\\' || c == L'/' || c == L':') c = L'_';
  if (name.size() > 200) name.erase(0, name.size() - 200);
  return std::wstring(kTestRoot) + L"\\" + name;
}

}  // namespace

CRegistryOverride::CRegistryOverride(const std::string& folder) {
  // Open the private keys through the real roots first, then point the roots at them.
  auto* state = new State;
  state->privateKey = PrivateKeyName(folder);
  bool ok = true;
  for (int i = 0; i < 3 && ok; ++i) {
    const std::wstring path = state->privateKey + L"\\" + kRootNames[i];
    DWORD disposition = 0;
    ok = ::RegCreateKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr,
                           &state->keys[i], &disposition) == ERROR_SUCCESS;
    state->created = state->created || disposition == REG_CREATED_NEW_KEY;
  }
  for (int i = 0; i < 3 && ok; ++i) ok = ::RegOverridePredefKey(kRoots[i], state->keys[i]) == ERROR_SUCCESS;
  m_state = state;
  m_active = true;
  m_hadPrevious = ok;
}

CRegistryOverride::~CRegistryOverride() { Restore(); }

CRegistryOverride::CRegistryOverride(CRegistryOverride&& other) noexcept
    : m_state(other.m_state), m_active(other.m_active), m_hadPrevious(other.m_hadPrevious) {
  other.m_state = nullptr;
  other.m_active = false;
}

CRegistryOverride& CRegistryOverride::operator=(CRegistryOverride&& other) noexcept {
  if (this != &other) {
    Restore();
    m_state = other.m_state;
    m_active = other.m_active;
    m_hadPrevious = other.m_hadPrevious;
    other.m_state = nullptr;
    other.m_active = false;
  }
  return *this;
}

void CRegistryOverride::Restore() noexcept {
  if (!m_active) return;
  m_active = false;
  State* state = static_cast<State*>(m_state);
  m_state = nullptr;
  if (state == nullptr) return;
  for (HKEY root : kRoots) ::RegOverridePredefKey(root, nullptr);
  for (HKEY key : state->keys)
    if (key != nullptr) ::RegCloseKey(key);
  if (state->created) ::RegDeleteTreeW(HKEY_CURRENT_USER, state->privateKey.c_str());
  delete state;
}
