// What amberline-vcam checks before it hands the camera to the frame server: the DACL as
// LOCAL SERVICE meets it (security descriptors written as SDDL) and the import table of a
// module (the staged one, and small PE images built here that import a MinGW runtime DLL
// or are damaged).
#include <gtest/gtest.h>

#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <cstdint>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "frame_server_checks.h"
#include "support/test_support.h"
#include "vcam_commands.h"

namespace {

bool LocalServiceReads(const wchar_t* sddl) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  EXPECT_TRUE(::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &descriptor, nullptr))
      << ::GetLastError();
  const bool readable = descriptor != nullptr && LocalServiceCanRead(descriptor, FILE_GENERIC_READ | FILE_EXECUTE);
  ::LocalFree(descriptor);
  return readable;
}

TEST(FrameServerChecksTest, LocalServiceReadsAFolderOnlyWhereTheDaclGrantsItsGroupsReadAndExecute) {
  struct Case {
    const wchar_t* sddl;
    bool readable;
  };
  const Case cases[] = {
      {L"D:(A;;FA;;;BA)(A;;FA;;;SY)", false},        // administrators and the system only
      {L"D:(A;;GRGX;;;BU)", true},                    // Users, in generic rights
      {L"D:(A;;GA;;;AU)", true},                      // Authenticated Users
      {L"D:(A;;FR;;;LS)", false},                     // read without execute
      {L"D:(A;;FRFX;;;LS)", true},                    // LOCAL SERVICE itself
      {L"D:(A;;FR;;;LS)(A;;FX;;;WD)", true},          // rights add up over ACEs
      {L"D:(D;;FR;;;LS)(A;;FA;;;WD)", false},         // denied before granted
      {L"D:(A;;FA;;;WD)(D;;FR;;;LS)", true},          // granted before denied
      {L"D:(A;OICIIO;GA;;;WD)", false},               // for children only
      {L"D:(A;;FA;;;S-1-5-21-1-2-3-1001)", false},    // one user account
      {L"D:", false},                                 // an empty DACL
  };
  for (const Case& c : cases) EXPECT_EQ(LocalServiceReads(c.sddl), c.readable) << testing::PrintToString(std::wstring(c.sddl));

  // No DACL at all grants everything. (Built by hand: Wine's SDDL parser reads
  // "D:NO_ACCESS_CONTROL" as an empty DACL.)
  SECURITY_DESCRIPTOR open{};
  ASSERT_TRUE(::InitializeSecurityDescriptor(&open, SECURITY_DESCRIPTOR_REVISION));
  ASSERT_TRUE(::SetSecurityDescriptorDacl(&open, TRUE, nullptr, FALSE));
  EXPECT_TRUE(LocalServiceCanRead(&open, FILE_GENERIC_READ | FILE_EXECUTE));
}

// A minimal 64-bit PE image whose import table names dlls (one section at 0x1000, file
// offset 0x200).
std::string PeImage(const std::vector<std::string>& dlls) {
  std::string image(0x600, '\0');
  auto put16 = [&](std::size_t at, std::uint32_t v) {
    image[at] = static_cast<char>(v & 0xff);
    image[at + 1] = static_cast<char>((v >> 8) & 0xff);
  };
  auto put32 = [&](std::size_t at, std::uint32_t v) {
    put16(at, v & 0xffff);
    put16(at + 2, v >> 16);
  };
  put16(0, 0x5A4D);
  put32(0x3C, 0x40);
  put32(0x40, 0x00004550);
  const std::size_t coff = 0x44, optional = coff + 20;
  put16(coff, 0x8664);
  put16(coff + 2, 1);
  put16(coff + 16, 240);
  put16(optional, 0x20B);
  put32(optional + 108, 16);
  put32(optional + 120, 0x1000);  // import directory
  put32(optional + 124, static_cast<std::uint32_t>(20 * (dlls.size() + 1)));
  const std::size_t section = optional + 240;
  put32(section + 8, 0x400);
  put32(section + 12, 0x1000);
  put32(section + 16, 0x400);
  put32(section + 20, 0x200);
  std::uint32_t nameRva = 0x1200;
  for (std::size_t i = 0; i < dlls.size(); ++i) {
    put32(0x200 + 20 * i, 0x1100);  // lookup table
    put32(0x200 + 20 * i + 12, nameRva);
    image.replace(0x200 + (nameRva - 0x1000), dlls[i].size(), dlls[i]);
    nameRva += static_cast<std::uint32_t>(dlls[i].size() + 1);
  }
  return image;
}

TEST(FrameServerChecksTest, ImportTableNamesEveryDllAndMinGwRuntimesAreRecognised) {
  std::vector<std::string> dlls;
  std::string problem;
  ASSERT_TRUE(PeImportedDlls(PeImage({"KERNEL32.dll", "libstdc++-6.dll", "libgcc_s_seh-1.dll"}), &dlls, &problem))
      << problem;
  EXPECT_EQ(dlls, (std::vector<std::string>{"KERNEL32.dll", "libstdc++-6.dll", "libgcc_s_seh-1.dll"}));
  EXPECT_FALSE(IsMinGwRuntimeDll("KERNEL32.dll"));
  EXPECT_TRUE(IsMinGwRuntimeDll("LIBWINPTHREAD-1.DLL"));
  EXPECT_TRUE(IsMinGwRuntimeDll("libgcc_s_dw2-1.dll"));

  // The staged module links its runtime in.
  const std::string staged = testing_support::ReadFile(AMBERLINE_MF_MODULE_PATH);
  ASSERT_TRUE(PeImportedDlls(staged, &dlls, &problem)) << problem;
  EXPECT_FALSE(dlls.empty());
  for (const std::string& dll : dlls) EXPECT_FALSE(IsMinGwRuntimeDll(dll)) << dll;
}

TEST(FrameServerChecksTest, DamagedImagesAreRefusedWithAReason) {
  const std::string good = PeImage({"KERNEL32.dll"});
  std::vector<std::string> dlls;
  std::string problem;
  EXPECT_FALSE(PeImportedDlls("MZ", &dlls, &problem));
  EXPECT_FALSE(PeImportedDlls(good.substr(0, 0x150), &dlls, &problem)) << "section table cut off";
  EXPECT_FALSE(PeImportedDlls(good.substr(0, 0x210), &dlls, &problem)) << "import table cut off";
  std::string unterminated = good;
  unterminated.replace(0x400, 0x200, std::string(0x200, 'x'));
  EXPECT_FALSE(PeImportedDlls(unterminated, &dlls, &problem));
  std::string farName = good;
  farName[0x200 + 12 + 2] = 0x7f;  // name RVA far outside every section
  EXPECT_FALSE(PeImportedDlls(farName, &dlls, &problem));
  EXPECT_FALSE(problem.empty());
}

TEST(FrameServerChecksTest, CheckReportsAModuleThatImportsAMinGwRuntimeWithItsFix) {
  testing_support::CTempDir dir;
  const auto module = std::filesystem::absolute(dir.Path() / "amberline-mf.dll").make_preferred();
  testing_support::WriteFile(module, PeImage({"KERNEL32.dll", "libstdc++-6.dll"}));
  std::ostringstream out, err;
  EXPECT_EQ(RunVcam({"--check", "--module", module.string()}, out, err), 1) << out.str() << err.str();
  EXPECT_NE(out.str().find("failed: module " + module.string() + ": imports the MinGW runtime DLL(s) libstdc++-6.dll"),
            std::string::npos)
      << out.str();
  EXPECT_NE(out.str().find("  fix: "), std::string::npos) << out.str();
  EXPECT_NE(out.str().find("check: folder " + module.parent_path().string()), std::string::npos)
      << "a folder of this user's is readable: " << out.str();
  EXPECT_NE(out.str().find("check: module " + module.string() + ": readable by LOCAL SERVICE"), std::string::npos)
      << "so is a file written there: " << out.str();
}

TEST(FrameServerChecksTest, CheckReportsAModuleWhoseOwnAccessListShutsOutLocalService) {
  testing_support::CTempDir dir;
  const auto module = std::filesystem::absolute(dir.Path() / "amberline-mf.dll").make_preferred();
  testing_support::WriteFile(module, PeImage({"KERNEL32.dll"}));
  // Administrators and the system only, not inherited from the (readable) folder.
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  ASSERT_TRUE(::ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:P(A;;FA;;;BA)(A;;FA;;;SY)", SDDL_REVISION_1,
                                                                     &descriptor, nullptr));
  BOOL present = FALSE, defaulted = FALSE;
  PACL dacl = nullptr;
  ASSERT_TRUE(::GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted));
  const DWORD set = ::SetNamedSecurityInfoW(const_cast<wchar_t*>(module.wstring().c_str()), SE_FILE_OBJECT,
                                            DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                                            nullptr, nullptr, dacl, nullptr);
  ::LocalFree(descriptor);
  ASSERT_EQ(set, static_cast<DWORD>(ERROR_SUCCESS));

  std::vector<FrameServerCheck> checks = CheckFrameServerNeeds(module.wstring());
  ASSERT_EQ(checks.size(), 3u);
  EXPECT_TRUE(checks[0].passed) << checks[0].text;
  // Wine accepts a file's access list but reads back a default one that grants everyone.
  if (checks[1].passed) GTEST_SKIP() << "this system did not keep the module's access list";
  EXPECT_EQ(checks[1].text, "module " + module.string() + ": not readable by LOCAL SERVICE");
  EXPECT_NE(checks[1].fix.find("icacls"), std::string::npos) << checks[1].fix;
  EXPECT_TRUE(checks[2].passed) << checks[2].text;

  std::ostringstream out, err;
  EXPECT_EQ(RunVcam({"--check", "--module", module.string()}, out, err), 1) << out.str() << err.str();
  EXPECT_NE(out.str().find("failed: module " + module.string() + ": not readable"), std::string::npos) << out.str();
}

}  // namespace
