// CRegistrySandbox: a private, empty registry and local application-data folder for one
// test. The predefined roots point at a fresh folder; hive files are written as the
// registry editor's text, as a user would write them.
#pragma once

#include <string>

#include "platform/registry_override.h"
#include "support/test_support.h"

namespace testing_support {

class CRegistrySandbox {
 public:
  CRegistrySandbox() : m_override((m_dir.Path() / "registry").string()) {
    std::filesystem::create_directories(m_dir.Path() / "registry");
    std::filesystem::create_directories(AppData());
    m_environment.Set(L"XDG_STATE_HOME", AppData().wstring());
  }
  // Writes <root>.reg with the header and body (UTF-8).
  void WriteHive(const std::string& root, const std::string& body) {
    WriteFile(m_dir.Path() / "registry" / (root + ".reg"), "Windows Registry Editor Version 5.00\n\n" + body);
  }
  std::filesystem::path AppData() const { return m_dir.Path() / "state"; }
  std::filesystem::path LogPath() const { return AppData() / "Trelvox" / "Amberline.log"; }
  void CreateLogFolder() { std::filesystem::create_directories(AppData() / "Trelvox"); }
  const std::filesystem::path& Root() const { return m_dir.Path(); }

 private:
  CTempDir m_dir;
  CScopedEnvironment m_environment;
  CRegistryOverride m_override;
};

}  // namespace testing_support
