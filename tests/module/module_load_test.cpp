// Loads real copies of the built module, as a host would, and reads what their start-up
// chose from the shared log file.
#include <gtest/gtest.h>

#include <regex>

#include "diagnostics/version.h"
#include "platform/named_object_folder.h"
#include "platform/shared_library.h"
#include "platform/wide_string.h"
#include "support/log_capture.h"
#include "support/registry_fixture.h"

namespace {

using testing_support::CRegistrySandbox;

std::filesystem::path CopyModule(const std::filesystem::path& folder) {
  std::filesystem::create_directories(folder);
  const auto target = folder / testing_support::StagedModulePath().filename();
  std::filesystem::copy_file(testing_support::StagedModulePath(), target);
  return target;
}

std::string LogMessages(const CRegistrySandbox& sandbox) { return testing_support::LogMessages(sandbox.LogPath()); }

std::string PathValue(const std::filesystem::path& path) { return "\"Path\"=" + CRegistrySandbox::Quoted(path.string()) + "\n"; }

TEST(ModuleLoadTest, LoadingWritesTheBannerAndChoosesTheCustomSourceThatNamesThisCopy) {
  CRegistrySandbox sandbox;
  sandbox.CreateLogFolder();
  const auto module = CopyModule(sandbox.Root() / "Studio" / "Bin");
  sandbox.WriteHive("HKEY_LOCAL_MACHINE", "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Trelvox\\Amberline\\Studio]\n"
                                          "@=\"Studio Cam\"\n" + PathValue(module) +
                                          "\"CLSID\"=\"11111111-2222-3333-4444-555555555555\"\n");
  CSharedLibrary library;
  ASSERT_TRUE(library.Load(module.wstring())) << platform::WideToUtf8(library.Error());
  const std::string expected =
      "============================\n VideoSrc\n============================\nLogging level = 0\n"
      ">>> Entering: DllMain\\(\\)\n"
      "Module name = " + testing_support::RegexEscape(module.string()) + " \\(Amberline " +
      testing_support::RegexEscape(AmberlineVersion()) + "\\)\n"
      "Opened registry key successfully.\n"
      "Found entry name = Studio Cam, path = " + testing_support::RegexEscape(module.string()) + "\n"
      "Found my module name in the list of custom sources!\n"
      "My name = Studio Cam\n"
      "My channel = the default one \\(objects named [A-Za-z0-9_-]*Trelvox_FileMapping\\.\\.\\.\\)\n"
      // Linux names the folder its channel objects are files in; Windows has none.
      + (platform::NamedObjectFolder().empty()
             ? std::string()
             : "Channel objects folder = " + testing_support::RegexEscape(platform::NamedObjectFolder()) + "\n") +
      "<<< Leaving: DllMain\\(\\)\\. Completed in: \\d+\\.\\d{3} sec\\.\n";
  EXPECT_TRUE(std::regex_match(LogMessages(sandbox), std::regex(expected))) << LogMessages(sandbox);
  EXPECT_NE(library.Symbol("DllGetClassObject"), nullptr);
  EXPECT_EQ(library.Symbol("LookUpCameraIdentity"), nullptr) << "only the entry points are visible";
}

TEST(ModuleLoadTest, TwoCopiesInOneProcessAreTwoCamerasWithTheirOwnIdentities) {
  CRegistrySandbox sandbox;
  sandbox.CreateLogFolder();
  const auto first = CopyModule(sandbox.Root() / "one");
  const auto second = CopyModule(sandbox.Root() / "two");
  const auto third = CopyModule(sandbox.Root() / "three");
  sandbox.WriteHive("HKEY_LOCAL_MACHINE",
                    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Trelvox\\Amberline\\1]\n@=\"Camera One\"\n" + PathValue(first) +
                        "\"CLSID\"=\"11111111-2222-3333-4444-555555555555\"\n\n"
                        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Trelvox\\Amberline\\2]\n@=\"Camera Two\"\n" + PathValue(second) +
                        "\"CLSID\"=\"22222222-2222-3333-4444-555555555555\"\n");
  CSharedLibrary a, b, c;
  ASSERT_TRUE(a.Load(first.wstring()));
  ASSERT_TRUE(b.Load(second.wstring()));
  ASSERT_TRUE(c.Load(third.wstring()));
  const std::string log = LogMessages(sandbox);
  const std::regex names("My name = ([^\n]*)\n");
  std::vector<std::string> found;
  for (auto it = std::sregex_iterator(log.begin(), log.end(), names); it != std::sregex_iterator(); ++it)
    found.push_back((*it)[1]);
  EXPECT_EQ(found, (std::vector<std::string>{"Camera One", "Camera Two", "Trelvox Amberline"})) << log;
}

TEST(ModuleLoadTest, WithoutTheLogFolderTheModuleStillLoadsAndWritesNothing) {
  CRegistrySandbox sandbox;
  const auto module = CopyModule(sandbox.Root() / "Bin");
  CSharedLibrary library;
  ASSERT_TRUE(library.Load(module.wstring()));
  EXPECT_FALSE(std::filesystem::exists(sandbox.LogPath()));
}

}  // namespace
