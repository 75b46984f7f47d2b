// amberline-vcam as a program: its command line and exit statuses, and what it says on a
// Windows without virtual cameras (Wine, Windows 10), where nothing may be changed.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "identity/camera_identity.h"
#include "platform/child_process.h"
#include "platform/guid.h"
#include "platform/mf_virtual_camera.h"
#include "platform/reg_key.h"
#include "platform/wide_string.h"
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
           {}, {"--bogus"}, {"--install", "--remove"}, {"--list", "--all-users"}, {"--install", "--module"}}) {
    std::ostringstream out, err;
    EXPECT_EQ(RunVcam(wrong, out, err), 2) << testing::PrintToString(wrong);
    EXPECT_NE(err.str().find("usage: amberline-vcam"), std::string::npos) << err.str();
  }
  EXPECT_EQ(RunProgram({"--run", "--check"}), 2);
}

TEST(VcamProcessTest, WithoutVirtualCamerasEveryCameraJobExitsThreeAndPointsToDirectShow) {
  if (SystemHasVirtualCameras()) GTEST_SKIP() << "this Windows has virtual cameras";
  const std::wstring classKey =
      L"Software\\Classes\\CLSID\\" + platform::GuidToRegistryString(CLSID_AmberlineMf);
  CRegKey before;
  const bool registeredBefore = before.Open(HKEY_LOCAL_MACHINE, classKey.c_str(), KEY_READ) == ERROR_SUCCESS;
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
  CRegKey after;
  EXPECT_EQ(after.Open(HKEY_LOCAL_MACHINE, classKey.c_str(), KEY_READ) == ERROR_SUCCESS, registeredBefore)
      << "nothing is registered where no camera can be made";
}

}  // namespace
