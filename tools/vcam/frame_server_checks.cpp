#include "frame_server_checks.h"

#include <aclapi.h>
#include <sddl.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "platform/wide_string.h"

namespace {

// The rights a folder and a DLL must grant for the DLL to be loaded from it.
constexpr ACCESS_MASK kLoadAccess = FILE_GENERIC_READ | FILE_EXECUTE;
// No import table needs more; a larger count means a damaged file.
constexpr std::size_t kMostImports = 4096;

// The groups of a LOCAL SERVICE token, as string SIDs.
constexpr const wchar_t* kLocalServiceSids[] = {
    L"S-1-5-19",      // LOCAL SERVICE
    L"S-1-1-0",       // Everyone
    L"S-1-5-6",       // SERVICE
    L"S-1-5-32-545",  // BUILTIN\Users
    L"S-1-5-11",      // Authenticated Users
    L"S-1-5-15",      // This Organization
    L"S-1-2-0",       // LOCAL
};

bool IsLocalServiceGroup(PSID sid) {
  for (const wchar_t* text : kLocalServiceSids) {
    PSID group = nullptr;
    if (!::ConvertStringSidToSidW(text, &group)) continue;
    const bool same = ::EqualSid(sid, group) != FALSE;
    ::LocalFree(group);
    if (same) return true;
  }
  return false;
}

// Little-endian reads from the file's bytes, bounds checked.
bool Read16(const std::string& bytes, std::uint64_t offset, std::uint32_t* value) {
  if (offset + 2 > bytes.size()) return false;
  *value = static_cast<std::uint8_t>(bytes[offset]) | (static_cast<std::uint8_t>(bytes[offset + 1]) << 8);
  return true;
}

bool Read32(const std::string& bytes, std::uint64_t offset, std::uint32_t* value) {
  if (offset + 4 > bytes.size()) return false;
  *value = 0;
  for (int i = 3; i >= 0; --i) *value = (*value << 8) | static_cast<std::uint8_t>(bytes[offset + i]);
  return true;
}

struct Section {
  std::uint32_t address, size, rawSize, rawOffset;
};

// The file offset of rva, or false when no section holds it.
bool FileOffset(const std::vector<Section>& sections, std::uint32_t rva, std::uint64_t* offset) {
  for (const Section& s : sections) {
    const std::uint64_t extent = std::max(s.size, s.rawSize);
    if (rva >= s.address && rva < s.address + extent) {
      if (rva - s.address >= s.rawSize) return false;  // only in memory, not in the file
      *offset = static_cast<std::uint64_t>(s.rawOffset) + (rva - s.address);
      return true;
    }
  }
  return false;
}

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
  return text;
}

std::string Utf8(const std::wstring& text) { return platform::WideToUtf8(text); }

FrameServerCheck CheckReadable(const std::wstring& path, bool folder) {
  FrameServerCheck check;
  const std::string what = (folder ? "folder " : "module ") + Utf8(path);
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  const DWORD error = ::GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                              nullptr, nullptr, nullptr, &descriptor);
  if (error != ERROR_SUCCESS) {
    check.text = what + ": its permissions could not be read (system error " + std::to_string(error) + ")";
    check.fix = "make sure the file exists and that this user may read its permissions.";
    return check;
  }
  check.passed = LocalServiceCanRead(descriptor, kLoadAccess);
  ::LocalFree(descriptor);
  check.text = what + (check.passed ? ": readable by LOCAL SERVICE" : ": not readable by LOCAL SERVICE");
  if (!check.passed)
    check.fix = "the frame server runs as LOCAL SERVICE and cannot load the camera from there: install it under "
                "C:\\Program Files, or grant read access: icacls \"" + Utf8(path) + "\" /grant \"*S-1-5-19:(RX)\"";
  return check;
}

}  // namespace

bool LocalServiceCanRead(PSECURITY_DESCRIPTOR descriptor, ACCESS_MASK access) {
  BOOL present = FALSE, defaulted = FALSE;
  PACL dacl = nullptr;
  if (!::GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted)) return false;
  if (!present || dacl == nullptr) return true;  // no DACL: everyone has every right

  GENERIC_MAPPING mapping = {FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE, FILE_ALL_ACCESS};
  ::MapGenericMask(&access, &mapping);
  ACCESS_MASK granted = 0, denied = 0;
  for (DWORD i = 0; i < dacl->AceCount; ++i) {
    void* ace = nullptr;
    if (!::GetAce(dacl, i, &ace)) return false;
    const auto* header = static_cast<const ACE_HEADER*>(ace);
    if ((header->AceFlags & INHERIT_ONLY_ACE) != 0) continue;
    if (header->AceType != ACCESS_ALLOWED_ACE_TYPE && header->AceType != ACCESS_DENIED_ACE_TYPE) continue;
    // Both ACE types share the layout: header, mask, then the SID.
    auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
    if (!IsLocalServiceGroup(reinterpret_cast<PSID>(&allowed->SidStart))) continue;
    ACCESS_MASK mask = allowed->Mask;
    ::MapGenericMask(&mask, &mapping);
    if (header->AceType == ACCESS_ALLOWED_ACE_TYPE) {
      granted |= mask & ~denied;
    } else {
      denied |= mask & ~granted;
    }
  }
  return (granted & access) == access;
}

bool PeImportedDlls(const std::string& bytes, std::vector<std::string>* dlls, std::string* problem) {
  dlls->clear();
  std::uint32_t magic = 0, peOffset = 0, signature = 0;
  if (!Read16(bytes, 0, &magic) || magic != 0x5A4D || !Read32(bytes, 0x3C, &peOffset) ||
      !Read32(bytes, peOffset, &signature) || signature != 0x00004550) {
    *problem = "not a Windows module (no PE header)";
    return false;
  }
  const std::uint64_t coff = static_cast<std::uint64_t>(peOffset) + 4;
  std::uint32_t sectionCount = 0, optionalSize = 0, optionalMagic = 0;
  if (!Read16(bytes, coff + 2, &sectionCount) || !Read16(bytes, coff + 16, &optionalSize) ||
      !Read16(bytes, coff + 20, &optionalMagic) || (optionalMagic != 0x10B && optionalMagic != 0x20B)) {
    *problem = "the PE header is damaged";
    return false;
  }
  const std::uint64_t optional = coff + 20;
  const std::uint64_t directories = optional + (optionalMagic == 0x20B ? 112 : 96);
  std::uint32_t directoryCount = 0, importRva = 0;
  if (!Read32(bytes, directories - 4, &directoryCount) || directoryCount < 2 ||
      !Read32(bytes, directories + 8, &importRva)) {
    *problem = "the module has no import directory";
    return false;
  }
  std::vector<Section> sections;
  const std::uint64_t table = optional + optionalSize;
  for (std::uint32_t i = 0; i < sectionCount; ++i) {
    const std::uint64_t entry = table + 40ull * i;
    Section s{};
    if (!Read32(bytes, entry + 8, &s.size) || !Read32(bytes, entry + 12, &s.address) ||
        !Read32(bytes, entry + 16, &s.rawSize) || !Read32(bytes, entry + 20, &s.rawOffset)) {
      *problem = "the section table lies outside the file";
      return false;
    }
    sections.push_back(s);
  }
  if (importRva == 0) return true;  // imports nothing
  std::uint64_t descriptor = 0;
  if (!FileOffset(sections, importRva, &descriptor)) {
    *problem = "the import table lies outside the file";
    return false;
  }
  for (std::size_t i = 0;; ++i, descriptor += 20) {
    std::uint32_t nameRva = 0, thunks = 0;
    if (i >= kMostImports || !Read32(bytes, descriptor, &thunks) || !Read32(bytes, descriptor + 12, &nameRva)) {
      *problem = "the import table is damaged";
      return false;
    }
    if (nameRva == 0 && thunks == 0) return true;
    std::uint64_t name = 0;
    if (!FileOffset(sections, nameRva, &name)) {
      *problem = "an imported DLL's name lies outside the file";
      return false;
    }
    const std::size_t end = bytes.find('\0', name);
    if (end == std::string::npos || end - name > MAX_PATH) {
      *problem = "an imported DLL's name is not terminated";
      return false;
    }
    dlls->push_back(bytes.substr(name, end - name));
  }
}

bool IsMinGwRuntimeDll(const std::string& name) {
  const std::string lower = Lower(name);
  for (const char* prefix : {"libstdc++", "libgcc_s", "libwinpthread", "libssp", "libatomic", "libgomp",
                             "libquadmath", "libgfortran", "mingwm10"}) {
    if (lower.rfind(prefix, 0) == 0) return true;
  }
  return false;
}

std::vector<FrameServerCheck> CheckFrameServerNeeds(const std::wstring& modulePath) {
  std::vector<FrameServerCheck> checks;
  const std::filesystem::path module(modulePath);
  checks.push_back(CheckReadable(module.parent_path().wstring(), true));
  // A module copied with an access list of its own may shut LOCAL SERVICE out of a folder
  // it can read.
  checks.push_back(CheckReadable(modulePath, false));

  FrameServerCheck runtime;
  std::ifstream file(module, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  std::vector<std::string> dlls;
  std::string problem;
  if (!file.is_open()) {
    runtime.text = "module " + Utf8(modulePath) + ": cannot be read";
    runtime.fix = "name the amberline-mf.dll of an installation.";
  } else if (!PeImportedDlls(bytes, &dlls, &problem)) {
    runtime.text = "module " + Utf8(modulePath) + ": " + problem;
    runtime.fix = "name the amberline-mf.dll of an installation.";
  } else {
    std::string mingw;
    for (const std::string& dll : dlls)
      if (IsMinGwRuntimeDll(dll)) mingw += (mingw.empty() ? "" : ", ") + dll;
    runtime.passed = mingw.empty();
    runtime.text = "module " + Utf8(modulePath) +
                   (runtime.passed ? ": its C++ runtime is linked in statically"
                                   : ": imports the MinGW runtime DLL(s) " + mingw);
    if (!runtime.passed)
      runtime.fix = "the frame server will not find them: use a module linked with -static -static-libgcc "
                    "-static-libstdc++ (the project's own build does this).";
  }
  checks.push_back(runtime);
  return checks;
}
