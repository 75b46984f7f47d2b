#include "composer/install_paths.h"

#include <filesystem>
#include <system_error>

#include "platform/paths.h"

namespace {

constexpr wchar_t kSeparator = platform::kPathSeparator;

std::wstring Relative(std::initializer_list<const wchar_t*> parts) {
  std::wstring path;
  for (const wchar_t* part : parts) {
    if (!path.empty()) path += kSeparator;
    path += part;
  }
  return path;
}

}  // namespace

std::wstring GetModuleDirectory(HMODULE module) {
  std::wstring path = platform::GetModulePath(module);
  if (path.size() > MAX_PATH - 1) path.resize(MAX_PATH - 1);
  const std::size_t last = path.find_last_of(kSeparator);
  if (last == std::wstring::npos) return std::wstring();
  path.resize(last + 1);
  return path;
}

std::wstring GetParentDirectory(const std::wstring& folder) {
  std::wstring path = folder;
  if (!path.empty() && path.back() == kSeparator) path.pop_back();
  const std::size_t last = path.rfind(kSeparator);
  if (last == std::wstring::npos) return path;
  // Everything up to and including the last separator. For a folder directly below a
  // root that is the root with its separator ("C:\", "/"), so that a relative path
  // appended to it stays a path below the root.
  path.resize(last + 1);
  return path;
}

std::wstring GetInstallationRoot(HMODULE module) { return GetParentDirectory(GetModuleDirectory(module)); }

std::wstring GetPlaceholderPath(const std::wstring& root) {
  return root + Relative({L"Data", L"Images", L"VideoSrc", L"PleaseStart.png"});
}

std::wstring GetLogoPath(const std::wstring& root) { return root + Relative({L"data", L"effect_data", L"logo", L"logo.png"}); }

std::wstring FindProgramInstallationRoot(const std::wstring& programFolder) {
  const std::wstring parent = GetParentDirectory(programFolder);
  const std::wstring candidates[] = {parent, parent + Relative({L"lib", L"amberline", L""}),
                                     parent + Relative({L"stage", L""})};
  for (const std::wstring& root : candidates) {
    std::error_code error;
    if (std::filesystem::exists(std::filesystem::path(GetPlaceholderPath(root)), error))
      return root;
  }
  return candidates[std::size(candidates) - 1];
}
