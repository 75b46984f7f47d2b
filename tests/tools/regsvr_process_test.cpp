// amberline-regsvr as a separate process against a private registry: the life of a
// camera whose files are deleted before it is unregistered (listed as gone, removed by
// --prune or by unregistering its path, while a camera whose file is there stays), the
// camera identity without a log folder, and failures that name their status.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/reg_key.h"
#include "support/registry_fixture.h"
#include "support/test_support.h"

namespace {

using testing_support::CRegistrySandbox;

constexpr const char* kBuiltInClass = "{5E0B7A21-93C4-4D6F-A1E8-27C3B94D0F6A}";
constexpr const char* kCategoryInstance = "CLSID\\{860BB310-5D01-11D0-BD3B-00A0C911CE86}\\Instance\\";

struct ToolRun {
  int exitCode = -1;
  std::string out;
  std::string err;
};

bool KeyExists(const std::string& name) {
  CRegKey key;
  return key.Open(HKEY_CLASSES_ROOT, std::filesystem::path(name).wstring().c_str(), KEY_QUERY_VALUE) ==
         ERROR_SUCCESS;
}

class RegsvrProcess : public testing::Test {
 protected:
  void SetUp() override {
    if (platform::kIsWindows) GTEST_SKIP() << "a Windows child does not see this process's registry override";
  }

  ToolRun Run(const std::vector<std::string>& arguments) {
    const std::filesystem::path out = m_dir.Path() / "out.txt", err = m_dir.Path() / "err.txt";
    std::vector<std::string> shell{"-c", "exec \"$0\" \"$@\" > \"$AMBERLINE_TEST_OUT\" 2> \"$AMBERLINE_TEST_ERR\"",
                                   AMBERLINE_REGSVR_PATH};
    shell.insert(shell.end(), arguments.begin(), arguments.end());
    CChildProcess child;
    ToolRun run;
    EXPECT_TRUE(child.Start("/bin/sh", shell, {{"AMBERLINE_TEST_OUT", out.string()}, {"AMBERLINE_TEST_ERR", err.string()}}));
    EXPECT_TRUE(child.Wait(std::chrono::milliseconds(60000), &run.exitCode)) << "amberline-regsvr did not end";
    run.out = testing_support::ReadFile(out);
    run.err = testing_support::ReadFile(err);
    return run;
  }

  // A copy of the staged module at <folder>/Bin, named by a custom-source entry.
  std::string InstallCopy(const std::string& folder, const std::string& name, const std::string& clsid) {
    const std::filesystem::path module = m_dir.Path() / folder / "Bin" / testing_support::StagedModulePath().filename();
    std::filesystem::create_directories(module.parent_path());
    std::filesystem::copy_file(testing_support::StagedModulePath(), module);
    m_registry.WriteHive("HKEY_LOCAL_MACHINE", "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Trelvox\\Amberline\\" + folder +
                                                   "]\n@=\"" + name + "\"\n\"Path\"=" +
                                                   CRegistrySandbox::Quoted(module.string()) + "\n\"CLSID\"=\"" +
                                                   clsid + "\"\n");
    return module.string();
  }

  CRegistrySandbox m_registry;
  testing_support::CTempDir m_dir;
};

TEST_F(RegsvrProcess, DeletedCopiesAreListedAsGoneAndRemovedWhileALiveCameraStays) {
  const std::string staged = testing_support::StagedModulePath().string();
  const std::string one = InstallCopy("one", "Amberline One", "A1B2C3D4-1111-4222-8333-444455556666");
  const std::string two = InstallCopy("two", "Amberline Two", "B1B2C3D4-1111-4222-8333-444455556666");
  for (const std::string& module : {staged, one, two}) ASSERT_EQ(Run({"-s", module}).exitCode, 0) << module;

  ToolRun run = Run({"--list"});
  ASSERT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(run.out.find("gone"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("{A1B2C3D4-1111-4222-8333-444455556666} \"Amberline One\"\n  module: " + one + "\n"),
            std::string::npos)
      << run.out;

  std::filesystem::remove_all(m_dir.Path() / "one");
  std::filesystem::remove_all(m_dir.Path() / "two");
  run = Run({"--list"});
  ASSERT_EQ(run.exitCode, 0) << run.err;
  EXPECT_NE(run.out.find("\"Amberline One\"  [module file is gone]\n  module: " + one + "\n"), std::string::npos)
      << run.out;
  EXPECT_NE(run.out.find("\"Amberline Two\"  [module file is gone]"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find(std::string(kBuiltInClass) + " \"Trelvox Amberline\"\n  module: " + staged + "\n"),
            std::string::npos)
      << run.out;

  // An uninstaller that deleted the files first still unregisters by the path, twice.
  for (int time = 0; time < 2; ++time) {
    run = Run({"-u", one});
    EXPECT_EQ(run.exitCode, 0) << run.err;
  }
  EXPECT_NE(run.out.find("nothing to remove"), std::string::npos) << run.out;
  EXPECT_FALSE(KeyExists("CLSID\\{A1B2C3D4-1111-4222-8333-444455556666}"));
  EXPECT_FALSE(KeyExists(std::string(kCategoryInstance) + "Amberline One"));
  EXPECT_TRUE(KeyExists(std::string(kCategoryInstance) + "Amberline Two"));

  run = Run({"--prune"});
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_NE(run.out.find("Removed \"Amberline Two\""), std::string::npos) << run.out;
  EXPECT_EQ(run.out.find("Trelvox Amberline"), std::string::npos) << run.out;
  EXPECT_FALSE(KeyExists("CLSID\\{B1B2C3D4-1111-4222-8333-444455556666}"));
  EXPECT_FALSE(KeyExists(std::string(kCategoryInstance) + "Amberline Two"));
  EXPECT_TRUE(KeyExists(std::string("CLSID\\") + kBuiltInClass + "\\InprocServer32"));
  EXPECT_TRUE(KeyExists(std::string(kCategoryInstance) + "Trelvox Amberline"));

  // Unregistering the live camera twice: the second time there is nothing to remove.
  run = Run({"-u", staged});
  EXPECT_EQ(run.exitCode, 0) << run.err;
  run = Run({"/u", staged});
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_NE(run.out.find("was not registered: nothing to remove"), std::string::npos) << run.out;
  run = Run({"--list"});
  EXPECT_EQ(run.out, "No camera is registered.\n");
}

TEST_F(RegsvrProcess, InfoNamesTheCameraWithoutALogFolder) {
  const std::string module = InstallCopy("second", "Amberline Second", "3F2A9C10-6B7E-4D21-9A44-0C5E8B1D7F32");
  ASSERT_FALSE(std::filesystem::exists(m_registry.LogPath().parent_path()));
  ToolRun run = Run({"--info", module});
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_NE(run.out.find("Camera:   \"Amberline Second\" {3F2A9C10-6B7E-4D21-9A44-0C5E8B1D7F32}\n"), std::string::npos)
      << run.out;
  EXPECT_NE(run.out.find("Registered: no\n"), std::string::npos) << run.out;
  EXPECT_EQ(run.out.find("no class factory"), std::string::npos) << run.out;

  EXPECT_NE(run.out.find("Channel:  the default one\n"), std::string::npos) << run.out;

  ASSERT_EQ(Run({"-s", module}).exitCode, 0);
  run = Run({"--info", module});
  EXPECT_NE(run.out.find("Registered: yes\n"), std::string::npos) << run.out;

  // A log path that is a FIFO is named, never opened (that would wait for a writer).
  std::filesystem::create_directories(m_registry.LogPath().parent_path());
  CChildProcess mkfifo;
  int made = -1;
  ASSERT_TRUE(mkfifo.Start("/bin/sh", {"-c", "mkfifo \"$0\"", m_registry.LogPath().string()}));
  ASSERT_TRUE(mkfifo.Wait(std::chrono::milliseconds(60000), &made));
  ASSERT_EQ(made, 0);
  run = Run({"--info", module});
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_NE(run.out.find("The log path is not a regular file"), std::string::npos) << run.out;
}

TEST_F(RegsvrProcess, InfoNamesTheChannelOfTheEntryAndABadOne) {
  const std::string desk = InstallCopy("desk", "Desk", "4F2A9C10-6B7E-4D21-9A44-0C5E8B1D7F32");
  m_registry.WriteHive("HKEY_LOCAL_MACHINE", "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Trelvox\\Amberline\\desk]\n\"Channel\"=\"desk\"\n");
  EXPECT_NE(Run({"--info", desk}).out.find("Channel:  \"desk\"\n"), std::string::npos);
  m_registry.WriteHive("HKEY_LOCAL_MACHINE", "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Trelvox\\Amberline\\desk]\n\"Channel\"=\"my desk\"\n");
  const ToolRun run = Run({"--info", desk});
  EXPECT_NE(run.out.find("Channel:  the default one: the entry's Channel value is not a channel name"), std::string::npos)
      << run.out;
  const ToolRun refused = Run({desk});
  EXPECT_EQ(refused.exitCode, 1);
  EXPECT_NE(refused.err.find("a Channel value that is not a channel name"), std::string::npos) << refused.err;
}

TEST_F(RegsvrProcess, FailuresNameTheirStatusAndWhatToDo) {
  // A custom-source entry whose CLSID is not a class identifier: the copy refuses.
  const std::string module = InstallCopy("broken", "Amberline Broken", "not-a-class");
  ToolRun run = Run({"--info", module});
  EXPECT_NE(run.out.find("refuses to register"), std::string::npos) << run.out;
  run = Run({module});
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_NE(run.err.find("SELFREG_E_CLASS (0x80040201)"), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("write one without braces"), std::string::npos) << run.err;

  // A registry file that does not parse is left alone, and the failure says so.
  testing_support::WriteFile(m_registry.Root() / "registry" / "HKEY_CLASSES_ROOT.reg", "not a registry file\n");
  run = Run({testing_support::StagedModulePath().string()});
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_NE(run.err.find("ERROR_BADDB (0x800703F1)"), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("does not parse"), std::string::npos) << run.err;

  // Files that are not a camera module.
  const std::filesystem::path text = m_dir.Path() / "notes.so";
  testing_support::WriteFile(text, "text\n");
  run = Run({text.string()});
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_NE(run.err.find("cannot load " + text.string()), std::string::npos) << run.err;
  run = Run({AMBERLINE_TEST_SERVER_PLAIN_PATH});
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_NE(run.err.find("does not export DllRegisterServer"), std::string::npos) << run.err;

  run = Run({"--help"});
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_NE(run.out.find("--prune"), std::string::npos) << run.out;
  EXPECT_EQ(Run({"--list", module}).exitCode, 2);
}

}  // namespace
