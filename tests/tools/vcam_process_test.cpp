// amberline-vcam as a program: its command line and exit statuses, and what it says on a
// Windows without virtual cameras (Wine, Windows 10), where nothing may be changed.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "bridge_autostart.h"
#include "identity/camera_identity.h"
#include "platform/child_process.h"
#include "platform/guid.h"
#include "platform/mf_virtual_camera.h"
#include "platform/paths.h"
#include "platform/process_context.h"
#include "platform/reg_key.h"
#include "platform/wide_string.h"
#include "support/channel_fixture.h"
#include "support/test_support.h"
#include "vcam_commands.h"

namespace {

int RunProgram(const std::vector<std::string>& arguments) {
  CChildProcess tool;
  if (!tool.Start(AMBERLINE_VCAM_PATH, arguments)) {
    ADD_FAILURE() << tool.StartError();
    return -1;
  }
  int code = -1;
  EXPECT_TRUE(tool.Wait(std::chrono::milliseconds(60000), &code)) << "amberline-vcam did not end";
  return code;
}

bool SystemHasVirtualCameras() {
  CVirtualCameraApi api;
  return api.Load();
}

TEST(VcamProcessTest, HelpSucceedsAndAWrongCommandLineExitsTwo) {
  EXPECT_EQ(RunProgram({"--help"}), 0);
  for (const std::vector<std::string>& wrong : std::vector<std::vector<std::string>>{
           {},
           {"--bogus"},
           {"--install", "--remove"},
           {"--list", "--all-users"},
           {"--install", "--module"},
           {"--bridge", "--all-users"},
           {"--diagnose", "--all-users"},
           {"--diagnose", "--check"},
           {"--bridge", "--run"}}) {
    std::ostringstream out, err;
    EXPECT_EQ(RunVcam(wrong, out, err), 2) << testing::PrintToString(wrong);
    EXPECT_NE(err.str().find("usage: amberline-vcam"), std::string::npos) << err.str();
  }
  EXPECT_EQ(RunProgram({"--run", "--check"}), 2);
  std::ostringstream out, err;
  EXPECT_EQ(RunVcam({"--help"}, out, err), 0);
  for (const char* job : {"--bridge ", "--diagnose "}) EXPECT_NE(out.str().find(job), std::string::npos) << job;
}

// Wine has no frame server: the report says so, and fails.
TEST(VcamProcessTest, DiagnoseReportsEveryItemAsOkOrNoAndNamesNoUser) {
  EXPECT_EQ(RunProgram({"--diagnose"}), 1);
  // The report text, from the same code in process, about a module copy in a folder of
  // the user's (whose path holds the user's name).
  testing_support::CTempDir dir;
  const auto module = std::filesystem::absolute(dir.Path() / "amberline-mf.dll").make_preferred();
  std::filesystem::copy_file(AMBERLINE_MF_MODULE_PATH, module);
  std::ostringstream out, err;
  EXPECT_EQ(RunVcam({"--diagnose", "--module", module.string()}, out, err), 1) << err.str();
  const std::string report = out.str();
  EXPECT_NE(report.find("Windows " + platform::WideToUtf8(platform::WindowsBuild())), std::string::npos) << report;
  EXPECT_NE(report.find("\nNO  service FrameServer: not installed"), std::string::npos) << report;
  EXPECT_NE(report.find("%USERPROFILE%"), std::string::npos) << "the module's path, without the user: " << report;
  const std::string user = platform::WideToUtf8(platform::GetEnv(L"USERNAME"));
  ASSERT_FALSE(user.empty());
  std::istringstream lines(report);
  for (std::string line; std::getline(lines, line);) {
    EXPECT_TRUE(line.rfind("OK  ", 0) == 0 || line.rfind("NO  ", 0) == 0 || line.rfind("    ", 0) == 0) << line;
    EXPECT_EQ(line.find(user), std::string::npos) << line;
  }
}

TEST(VcamProcessTest, WithoutVirtualCamerasEveryCameraJobExitsThreeAndPointsToDirectShowAndTheBridgeOnlyCarries) {
  if (SystemHasVirtualCameras()) GTEST_SKIP() << "this Windows has virtual cameras";
  const std::wstring classKey =
      L"Software\\Classes\\CLSID\\" + platform::GuidToRegistryString(CLSID_AmberlineMf);
  CRegKey before;
  const bool registeredBefore = before.Open(HKEY_LOCAL_MACHINE, classKey.c_str(), KEY_READ) == ERROR_SUCCESS;
  const std::size_t autostartBefore = FindBridgeAutostart().size();
  for (const char* job : {"--install", "--remove", "--run"}) {
    EXPECT_EQ(RunProgram({job}), 3) << job;
    EXPECT_EQ(RunProgram({job, "--all-users", "--module", AMBERLINE_MF_MODULE_PATH}), 3) << job;
  }
  std::ostringstream out, err;
  EXPECT_EQ(RunVcam({"--install", "--module", AMBERLINE_MF_MODULE_PATH}, out, err), 3);
  EXPECT_NE(err.str().find("still works for DirectShow applications"), std::string::npos) << err.str();
  EXPECT_NE(out.str().find("camera: \"Trelvox Amberline\", class " +
                           platform::WideToUtf8(platform::GuidToRegistryString(CLSID_AmberlineMf))),
            std::string::npos)
      << out.str();
  EXPECT_NE(out.str().find("its C++ runtime is linked in statically"), std::string::npos) << out.str();

  // The bridge at logon (the installer starts it for every user) makes no camera here and
  // carries the frames only.
  testing_support::CChannelNamespace names;
  CChildProcess bridge;
  ASSERT_TRUE(bridge.StartCaptured(AMBERLINE_VCAM_PATH, {"--bridge"}, names.Environment())) << bridge.StartError();
  std::string said;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (said.find("carries the frames only") == std::string::npos && std::chrono::steady_clock::now() < deadline)
    if (bridge.ReadOutput(std::chrono::milliseconds(500), 4096, &said)) break;
  bridge.Kill();
  int code = 0;
  EXPECT_TRUE(bridge.Wait(std::chrono::milliseconds(60000), &code));
  EXPECT_NE(said.find("virtual cameras: not available on this Windows ("), std::string::npos) << said;
  EXPECT_NE(said.find("); the bridge carries the frames only"), std::string::npos) << said;

  CRegKey after;
  EXPECT_EQ(after.Open(HKEY_LOCAL_MACHINE, classKey.c_str(), KEY_READ) == ERROR_SUCCESS, registeredBefore)
      << "nothing is registered where no camera can be made";
  EXPECT_EQ(FindBridgeAutostart().size(), autostartBefore) << "nor does the bridge agent start at logon";
}

}  // namespace
