// Several cameras with their own feeds, made with amberline-regsvr --add-camera: the
// built-in camera and an added one, two producers on their channels with different
// pictures, each camera recorded by amberline-capture (a process of its own). Stopping
// one producer gives its camera the placeholder and leaves the other live. Also what
// --add-camera and --remove-camera do with names and channels that are taken or gone.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/reg_key.h"
#include "support/channel_fixture.h"
#include "support/registry_fixture.h"
#include "support/sender_input.h"
#include "support/test_pictures.h"
#include "support/test_support.h"

namespace {

using testing_support::CPicture;

constexpr int kTimeoutMs = 60000;

struct ToolRun {
  int exitCode = -1;
  std::string out;
  std::string err;
};

class SeveralCamerasTest : public testing::Test {
 protected:
  void SetUp() override {
    if (platform::kIsWindows) GTEST_SKIP() << "a Windows child does not see this process's registry override";
    // An installation of our own (the staged one copied), so that the cameras' copies
    // are made beside it and not in the build's stage.
    std::filesystem::create_directories(Installation());
    for (const char* folder : {"Bin", "Data", "data"}) {
      const std::filesystem::path from = testing_support::StagedModulePath().parent_path().parent_path() / folder;
      if (std::filesystem::exists(from))
        std::filesystem::copy(from, Installation() / folder, std::filesystem::copy_options::recursive);
    }
    ASSERT_EQ(Regsvr({"-s", Module().string()}).exitCode, 0);
  }
  void TearDown() override {
    for (CChildProcess* producer : {&m_producer, &m_deskProducer})
      if (producer->IsRunning()) {
        producer->RequestStop();
        int code = -1;
        producer->Wait(std::chrono::milliseconds(kTimeoutMs), &code);
      }
  }

  std::filesystem::path Installation() const { return m_dir.Path() / "Amberline"; }
  std::filesystem::path Module() const { return Installation() / "Bin" / testing_support::StagedModulePath().filename(); }

  ToolRun Regsvr(const std::vector<std::string>& arguments) {
    const std::filesystem::path out = m_dir.Path() / "out.txt", err = m_dir.Path() / "err.txt";
    std::vector<std::string> shell{"-c", "exec \"$0\" \"$@\" > \"$AMBERLINE_TEST_OUT\" 2> \"$AMBERLINE_TEST_ERR\"",
                                   AMBERLINE_REGSVR_PATH};
    shell.insert(shell.end(), arguments.begin(), arguments.end());
    CChildProcess::Environment environment = m_names.Environment();
    environment.push_back({"AMBERLINE_TEST_OUT", out.string()});
    environment.push_back({"AMBERLINE_TEST_ERR", err.string()});
    CChildProcess child;
    ToolRun run;
    EXPECT_TRUE(child.Start("/bin/sh", shell, environment));
    EXPECT_TRUE(child.Wait(std::chrono::milliseconds(kTimeoutMs), &run.exitCode)) << "amberline-regsvr did not end";
    run.out = testing_support::ReadFile(out);
    run.err = testing_support::ReadFile(err);
    return run;
  }

  // A producer sending picture (320x240) on channel ("" for the default one).
  void StartProducer(CChildProcess* producer, const CPicture& picture, const std::string& channel) {
    const std::filesystem::path png = m_dir.Path() / ("picture" + channel + ".png");
    testing_support::WritePng(png, picture);
    std::vector<std::string> arguments{"--size", "320x240", "--fps", "30", "--image", png.string()};
    if (!channel.empty()) arguments.insert(arguments.end(), {"--channel", channel});
    ASSERT_TRUE(producer->Start(AMBERLINE_PRODUCER_PATH, arguments, m_names.Environment()));
  }

  // The last of six frames amberline-capture records from the camera called name.
  CPicture Shown(const std::string& name) {
    const std::filesystem::path folder = m_dir.Path() / ("png" + std::to_string(++m_runs));
    const std::string transcript = folder.string() + ".txt";
    CChildProcess capture;
    int code = -1;
    EXPECT_TRUE(capture.Start(AMBERLINE_CAPTURE_PATH,
                              {"--camera", name, "--size", "320x240", "--frames", "6", "--png", folder.string(),
                               "--transcript", transcript},
                              m_names.Environment()));
    EXPECT_TRUE(capture.Wait(std::chrono::milliseconds(kTimeoutMs), &code));
    EXPECT_EQ(code, 0) << testing_support::ReadFile(transcript);
    return testing_support::ReadPng(folder / "frame_000006.png");
  }
  // Whether the camera called name shows expected within the time limit.
  bool Shows(const std::string& name, const CPicture& expected, std::string* last) {
    return testing_support::WaitUntil([&] { return (*last = testing_support::FirstDifference(Shown(name), expected)).empty(); },
                                      kTimeoutMs);
  }

  testing_support::CRegistrySandbox m_registry;
  testing_support::CChannelNamespace m_names;
  testing_support::CTempDir m_dir;
  CChildProcess m_producer;
  CChildProcess m_deskProducer;
  int m_runs = 0;
};

TEST_F(SeveralCamerasTest, EachCameraShowsItsOwnProducersPictureAndAStoppedOneOnlyItsOwnPlaceholder) {
  const ToolRun added = Regsvr({"--add-camera", "Desk"});
  ASSERT_EQ(added.exitCode, 0) << added.err;
  EXPECT_NE(added.out.find("Added camera \"Desk\": class {"), std::string::npos) << added.out;
  EXPECT_NE(added.out.find("channel \"desk\", module " + (Installation() / "Cameras" / "desk" / "Bin").string()),
            std::string::npos)
      << added.out;
  const ToolRun listed = Regsvr({"--list"});
  EXPECT_NE(listed.out.find("\"Desk\"\n  module: " + (Installation() / "Cameras" / "desk" / "Bin").string()),
            std::string::npos)
      << listed.out;
  EXPECT_NE(listed.out.find("  channel: \"desk\"\n"), std::string::npos) << listed.out;
  EXPECT_NE(listed.out.find("\"Trelvox Amberline\"\n  module: " + Module().string() + "\n  channel: default\n"),
            std::string::npos)
      << listed.out;

  const CPicture main = testing_support::MarkedPicture(320, 240), desk = testing_support::BlockPicture(320, 240);
  StartProducer(&m_producer, main, "");
  StartProducer(&m_deskProducer, desk, "desk");
  std::string last;
  EXPECT_TRUE(Shows("Trelvox Amberline", main, &last)) << last;
  EXPECT_TRUE(Shows("Desk", desk, &last)) << last;

  m_deskProducer.RequestStop();
  int code = -1;
  ASSERT_TRUE(m_deskProducer.Wait(std::chrono::milliseconds(kTimeoutMs), &code));
  EXPECT_TRUE(Shows("Desk", testing_support::ExpectedPlaceholder(320, 240), &last)) << last;
  EXPECT_EQ(testing_support::FirstDifference(Shown("Trelvox Amberline"), main), "") << "the other camera stays live";

  const ToolRun removed = Regsvr({"--remove-camera", "Desk"});
  EXPECT_EQ(removed.exitCode, 0) << removed.err;
  EXPECT_FALSE(std::filesystem::exists(Installation() / "Cameras" / "desk"));
  EXPECT_EQ(Regsvr({"--list"}).out.find("Desk"), std::string::npos);
}

TEST_F(SeveralCamerasTest, TakenNamesAndChannelsAreRefusedNamingTheOtherCameraAndRemovingTwiceIsNoFailure) {
  ASSERT_EQ(Regsvr({"--add-camera", "Desk Cam"}).exitCode, 0);
  struct Row {
    std::vector<std::string> arguments;
    int exitCode;
    const char* words;
  };
  const std::string longest(32, 'c');
  const Row rows[] = {
      {{"--add-camera", "desk cam", "--channel", "other"}, 1, "the name \"desk cam\" is taken by the camera \"Desk Cam\" (channel \"desk-cam\""},
      {{"--add-camera", "Studio", "--channel", "DESK-CAM"}, 1, "the channel \"DESK-CAM\" is taken by the camera \"Desk Cam\""},
      {{"--add-camera", "Trelvox Amberline"}, 1, "the built-in camera's name"},
      {{"--add-camera", "Studio", "--channel", longest + "c"}, 2, "is not a channel name"},
      {{"--add-camera", "Studio", "--channel", "a.b"}, 2, "is not a channel name"},
      {{"--add-camera", "***"}, 2, "give one with --channel"},
      {{"--add-camera", "A\\B"}, 2, "backslashes"},
      {{"--add-camera", "Studio", "--module", "/nonexistent/Bin/amberline.so"}, 1, "is not a module file"},
      {{"--channel", "x", "--list"}, 2, "belong to --add-camera"},
  };
  for (const Row& row : rows) {
    const ToolRun run = Regsvr(row.arguments);
    EXPECT_EQ(run.exitCode, row.exitCode) << row.arguments[1] << ": " << run.err;
    EXPECT_NE(run.err.find(row.words), std::string::npos) << row.arguments[1] << ": " << run.err;
  }
  // A copy that cannot register leaves nothing behind: no entry, no files.
  const std::filesystem::path fake = m_dir.Path() / "Fake" / "Bin" / testing_support::StagedModulePath().filename();
  std::filesystem::create_directories(fake.parent_path());
  testing_support::WriteFile(fake, "not a module");
  const ToolRun failed = Regsvr({"--add-camera", "Fake", "--module", fake.string()});
  EXPECT_EQ(failed.exitCode, 1);
  EXPECT_NE(failed.err.find("cannot load " + (m_dir.Path() / "Fake" / "Cameras" / "fake" / "Bin").string()),
            std::string::npos)
      << failed.err;
  EXPECT_FALSE(std::filesystem::exists(m_dir.Path() / "Fake" / "Cameras" / "fake"));
  CRegKey gone;
  EXPECT_NE(gone.Open(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Trelvox\\Amberline\\fake", KEY_READ), ERROR_SUCCESS);

  // The longest channel name is taken as it is; the entry carries it.
  ASSERT_EQ(Regsvr({"--add-camera", "Studio", "--channel", longest}).exitCode, 0);
  CRegKey entry;
  std::wstring channel;
  ASSERT_EQ(entry.Open(HKEY_LOCAL_MACHINE, (L"SOFTWARE\\Trelvox\\Amberline\\" + std::wstring(32, L'c')).c_str(), KEY_READ),
            ERROR_SUCCESS);
  EXPECT_EQ(entry.QueryString(L"Channel", &channel), ERROR_SUCCESS);
  EXPECT_EQ(channel, std::wstring(32, L'c'));

  for (const char* name : {"Desk Cam", "Studio"}) EXPECT_EQ(Regsvr({"--remove-camera", name}).exitCode, 0) << name;
  const ToolRun again = Regsvr({"--remove-camera", "Desk Cam"});
  EXPECT_EQ(again.exitCode, 0) << again.err;
  EXPECT_NE(again.out.find("nothing to remove"), std::string::npos) << again.out;
  EXPECT_FALSE(std::filesystem::exists(Installation() / "Cameras" / "desk-cam"));
  EXPECT_TRUE(std::filesystem::exists(Module())) << "the original installation stays";
}

}  // namespace
