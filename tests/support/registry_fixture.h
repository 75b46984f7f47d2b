// CRegistrySandbox: a private, empty registry and local application-data folder for one
// test. The predefined roots point at a fresh folder; hive files are written as the
// registry editor's text, as a user would write them.
#pragma once

#include <string>

#include <gtest/gtest.h>

#include "platform/registry_import.h"
#include "platform/registry_override.h"
#include "support/test_support.h"

namespace testing_support {

class CRegistrySandbox {
 public:
  CRegistrySandbox() : m_override((m_dir.Path() / "registry").string()) {
    std::filesystem::create_directories(m_dir.Path() / "registry");
    std::filesystem::create_directories(AppData());
    m_environment.Set(L"XDG_STATE_HOME", AppData().wstring());
    // Windows finds the local application-data folder through the user's shell folders.
    WriteHive("HKEY_CURRENT_USER",
              "[HKEY_CURRENT_USER\\Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders]\n"
              "\"Local AppData\"=" + Quoted(AppData().string()) + "\n");
  }
  // Imports body (the registry editor's text, without its header) into root, named as
  // the text names it ("HKEY_LOCAL_MACHINE").
  void WriteHive(const std::string& root, const std::string& body) {
    const HKEY key = root == "HKEY_CURRENT_USER" ? HKEY_CURRENT_USER
                     : root == "HKEY_CLASSES_ROOT" ? HKEY_CLASSES_ROOT
                                                   : HKEY_LOCAL_MACHINE;
    ASSERT_EQ(platform::ImportRegistryText(key, "Windows Registry Editor Version 5.00\n\n" + body), ERROR_SUCCESS);
  }
  // text as a quoted string of the registry editor's text (backslashes and quotes escaped).
  static std::string Quoted(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
      if (c == '\\' || c == '"') out.push_back('\\');
      out.push_back(c);
    }
    return out + "\"";
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
