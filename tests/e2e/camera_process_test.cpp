// The whole path with real processes: the reference producer writes a known picture into
// the channel, amberline-capture records the registered camera from it, and the
// recorded PNG files are compared with what the camera must deliver: the picture itself,
// the picture letterboxed, or the placeholder while no producer delivers. Also two
// copies of the module named in the custom-source list, registered and unregistered
// with amberline-regsvr. Every wait has a deadline; the capture tool ends by itself
// after --frames N.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <regex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "channel/file_mapping.h"
#include "diagnostics/version.h"
#include "platform/named_object_folder.h"
#include "platform/wide_string.h"
#include "support/channel_fixture.h"
#include "support/registry_fixture.h"
#include "support/test_pictures.h"
#include "support/test_support.h"

namespace {

using testing_support::WaitUntil;
using testing_support::CRegistrySandbox;
using testing_support::ExpectedPlaceholder;
using testing_support::FirstDifference;
using testing_support::MakePicture;
using testing_support::MarkedPicture;
using testing_support::Quadrant;
using testing_support::ReadPng;
using testing_support::Rgb;
using testing_support::WritePng;
using Picture = testing_support::CPicture;
using Clock = std::chrono::steady_clock;

constexpr int kTimeoutMs = 60000;

std::string PngName(long long number) {
  char name[40];
  std::snprintf(name, sizeof name, "frame_%06lld.png", number);
  return name;
}

struct ToolRun {
  int exitCode = -1;
  std::string transcript;
};

class CameraProcessTest : public testing::Test {
 protected:
  void SetUp() override {
    if (platform::kIsWindows) GTEST_SKIP() << "a Windows child does not see this process's registry override";
  }
  void TearDown() override {
    if (m_producer.IsRunning()) m_producer.Kill();
  }

  // Runs a tool to its end and returns its exit code.
  int RunTool(const std::string& program, const std::vector<std::string>& arguments) {
    CChildProcess child;
    int code = -1;
    EXPECT_TRUE(child.Start(program, arguments, m_names.Environment()));
    EXPECT_TRUE(child.Wait(std::chrono::milliseconds(kTimeoutMs), &code)) << program << " did not end";
    return code;
  }
  ToolRun RunCapture(std::vector<std::string> arguments) {
    const std::string transcript = (m_dir.Path() / ("capture" + std::to_string(++m_runs) + ".txt")).string();
    arguments.insert(arguments.end(), {"--transcript", transcript});
    ToolRun run;
    run.exitCode = RunTool(AMBERLINE_CAPTURE_PATH, arguments);
    run.transcript = testing_support::ReadFile(transcript);
    return run;
  }
  void RegisterStagedCamera() {
    ASSERT_EQ(RunTool(AMBERLINE_REGSVR_PATH, {"-s", testing_support::StagedModulePath().string()}), 0);
  }

  // Starts the producer with its output in a file and its process id known, so that it
  // can be stopped as a user stops it (SIGTERM), and waits until its first frame is in
  // the channel.
  void StartProducer(const std::vector<std::string>& arguments) {
    std::vector<std::string> shell{"-c", "echo $$ > \"$AMBERLINE_TEST_PID_FILE\"; exec \"$0\" \"$@\" > \"$AMBERLINE_TEST_OUT_FILE\" 2>&1",
                                   AMBERLINE_PRODUCER_PATH};
    shell.insert(shell.end(), arguments.begin(), arguments.end());
    CChildProcess::Environment environment = m_names.Environment();
    environment.push_back({"AMBERLINE_TEST_PID_FILE", PidFile().string()});
    environment.push_back({"AMBERLINE_TEST_OUT_FILE", ProducerOutputFile().string()});
    ASSERT_TRUE(m_producer.Start("/bin/sh", shell, environment));
    WaitForTheProducersFirstFrame();
  }
  // Opens the test's consumer view of the channel and waits until a frame is in it.
  void WaitForTheProducersFirstFrame() {
    ASSERT_EQ(m_consumer.Init(false, nullptr), 0);
    channel::FrameDescriptor d{};
    ASSERT_TRUE(WaitUntil(
        [&] {
          if (m_consumer.LockMediaSample(0, &d) != 0) return false;
          m_consumer.UnlockMediaSample(0);
          return true;
        },
        kTimeoutMs))
        << "no frame from the producer: " << testing_support::ReadFile(ProducerOutputFile());
  }
  // Asks the producer to stop and expects a clean end.
  void StopProducer() {
    std::string pid = testing_support::ReadFile(PidFile());
    while (!pid.empty() && (pid.back() == '\n' || pid.back() == '\r')) pid.pop_back();
    ASSERT_FALSE(pid.empty());
    EXPECT_EQ(RunTool("/bin/sh", {"-c", "kill -TERM " + pid}), 0);
    int code = -1;
    ASSERT_TRUE(m_producer.Wait(std::chrono::milliseconds(kTimeoutMs), &code)) << "the producer did not stop";
    EXPECT_EQ(code, 0) << testing_support::ReadFile(ProducerOutputFile());
  }
  // Starts amberline-capture with its process id in a file, so that the test can send
  // it signals as a user's shell does.
  void StartCapture(CChildProcess* capture, std::vector<std::string> arguments, const std::string& transcript) {
    std::vector<std::string> shell{"-c", "echo $$ > \"$AMBERLINE_TEST_PID_FILE\"; exec \"$0\" \"$@\"",
                                   AMBERLINE_CAPTURE_PATH};
    arguments.insert(arguments.end(), {"--transcript", transcript});
    shell.insert(shell.end(), arguments.begin(), arguments.end());
    CChildProcess::Environment environment = m_names.Environment();
    environment.push_back({"AMBERLINE_TEST_PID_FILE", CapturePidFile().string()});
    std::filesystem::remove(CapturePidFile());
    ASSERT_TRUE(capture->Start("/bin/sh", shell, environment));
    ASSERT_TRUE(WaitUntil([&] { return std::filesystem::exists(CapturePidFile()); }, kTimeoutMs));
  }
  // The process id a pid file names, once it is written whole.
  std::string Pid(const std::filesystem::path& pidFile) {
    std::string pid;
    EXPECT_TRUE(WaitUntil(
        [&] {
          pid = testing_support::ReadFile(pidFile);
          return !pid.empty() && pid.back() == '\n';
        },
        kTimeoutMs));
    if (!pid.empty()) pid.pop_back();
    return pid;
  }
  void Signal(const std::filesystem::path& pidFile, const std::string& signal) {
    const std::string pid = Pid(pidFile);
    ASSERT_FALSE(pid.empty());
    EXPECT_EQ(RunTool("/bin/sh", {"-c", "kill -" + signal + " " + pid}), 0);
  }
  // Waits until a growing file holds at least `bytes`.
  bool WaitForFileSize(const std::filesystem::path& path, std::uintmax_t bytes) {
    return WaitUntil(
        [&] {
          std::error_code error;
          const std::uintmax_t size = std::filesystem::file_size(path, error);
          return !error && size >= bytes;
        },
        kTimeoutMs);
  }
  // The objects in the object folder that carry this test's channel names.
  std::vector<std::string> ChannelObjects() const {
    std::vector<std::string> found;
    std::error_code error;
    const std::string names = platform::WideToUtf8(m_names.Value());
    for (const auto& entry : std::filesystem::directory_iterator(platform::NamedObjectFolder(), error)) {
      const std::string name = entry.path().filename().string();
      if (name.find(names) != std::string::npos) found.push_back(name);
    }
    return found;
  }
  std::filesystem::path CapturePidFile() const { return m_dir.Path() / "capture.pid"; }
  std::filesystem::path PidFile() const { return m_dir.Path() / "producer.pid"; }
  std::filesystem::path ProducerOutputFile() const { return m_dir.Path() / "producer.txt"; }
  std::filesystem::path Out(const std::string& name) const { return m_dir.Path() / name; }

  CRegistrySandbox m_registry;
  testing_support::CChannelNamespace m_names;
  testing_support::CTempDir m_dir;
  CChildProcess m_producer;
  CFileMapping m_consumer;
  int m_runs = 0;
};

// Every tool says the build's one version when asked for it alone, and "--version" beside
// another argument is no such request.
TEST_F(CameraProcessTest, EveryToolPrintsTheBuildsVersionWhenAskedForItAlone) {
  ASSERT_TRUE(std::regex_match(std::string(AmberlineVersion()), std::regex("[0-9]+\\.[0-9]+\\.[0-9]+")))
      << AmberlineVersion();
  std::vector<std::pair<std::string, std::string>> tools = {{"amberline-producer", AMBERLINE_PRODUCER_PATH},
                                                            {"amberline-capture", AMBERLINE_CAPTURE_PATH},
                                                            {"amberline-regsvr", AMBERLINE_REGSVR_PATH}};
#ifdef AMBERLINE_CAMERA_PATH
  tools.emplace_back("amberline-camera", AMBERLINE_CAMERA_PATH);
#endif
  const std::string out = (m_dir.Path() / "version.txt").string();
  for (const auto& [name, path] : tools) {
    SCOPED_TRACE(name);
    EXPECT_EQ(RunTool("/bin/sh", {"-c", "exec \"$0\" --version > \"$1\" 2>&1", path, out}), 0);
    EXPECT_EQ(testing_support::ReadFile(out), name + " " + AmberlineVersion() + "\n");
    RunTool("/bin/sh", {"-c", "exec \"$0\" --version --help > \"$1\" 2>&1", path, out});
    EXPECT_EQ(testing_support::ReadFile(out).find(name + " " + AmberlineVersion() + "\n"), std::string::npos);
  }
}

TEST_F(CameraProcessTest, SameSizeDeliversTheProducersPictureExactlyAndRegistersAsAClient) {
  RegisterStagedCamera();
  const Picture picture = MarkedPicture(320, 240);
  WritePng(Out("picture.png"), picture);
  StartProducer({"--size", "320x240", "--fps", "50", "--image", Out("picture.png").string()});

  const ToolRun run = RunCapture({"--size", "320x240", "--frames", "6", "--png", Out("png").string()});
  ASSERT_EQ(run.exitCode, 0) << run.transcript;
  EXPECT_NE(run.transcript.find("frames received: 6,"), std::string::npos) << run.transcript;
  StopProducer();

  const Picture last = ReadPng(Out("png") / PngName(6));
  EXPECT_EQ(FirstDifference(last, picture), "");
  // The producer listed the capture's stream with its size while it ran.
  const std::string table = testing_support::ReadFile(ProducerOutputFile());
  EXPECT_TRUE(std::regex_search(table, std::regex("1 client\\(s\\)\n  amberline-capture-[0-9A-Fa-f-]{36}  320x240\n")))
      << table;
}

TEST_F(CameraProcessTest, WiderPictureIsLetterboxedBetweenBlackBars) {
  RegisterStagedCamera();
  // 640 x 240 in a 320 x 240 frame: the picture becomes 320 x 120, rows 60 to 179.
  const Picture picture = MakePicture(640, 240, [](int x, int y) { return Quadrant(x, y, 640, 240); });
  WritePng(Out("wide.png"), picture);
  StartProducer({"--size", "640x240", "--fps", "50", "--image", Out("wide.png").string()});

  const ToolRun run = RunCapture({"--size", "320x240", "--frames", "4", "--png", Out("png").string()});
  ASSERT_EQ(run.exitCode, 0) << run.transcript;
  StopProducer();

  const Picture last = ReadPng(Out("png") / PngName(4));
  ASSERT_EQ(last.width, 320);
  ASSERT_EQ(last.height, 240);
  int barFaults = 0, contentFaults = 0;
  std::string firstFault;
  for (int y = 0; y < 240; ++y)
    for (int x = 0; x < 320; ++x) {
      const std::uint8_t* p = last.At(x, y);
      if (y < 60 || y >= 180) {
        if (p[0] != 0 || p[1] != 0 || p[2] != 0) {
          if (barFaults++ == 0) firstFault = "bar pixel (" + std::to_string(x) + ", " + std::to_string(y) + ")";
        }
        continue;
      }
      // Inside the picture, away from its edges and the quadrant borders where the
      // interpolation mixes neighbours.
      const int cy = y - 60;
      if (x < 2 || x >= 318 || cy < 2 || cy >= 118 || std::abs(x - 160) < 3 || std::abs(cy - 60) < 3) continue;
      const Rgb want = Quadrant(x * 2, cy * 2, 640, 240);
      if (std::abs(p[0] - want.r) > 3 || std::abs(p[1] - want.g) > 3 || std::abs(p[2] - want.b) > 3) {
        if (contentFaults++ == 0) firstFault = "content pixel (" + std::to_string(x) + ", " + std::to_string(y) + ")";
      }
    }
  EXPECT_EQ(barFaults, 0) << firstFault;
  EXPECT_EQ(contentFaults, 0) << firstFault;
  // The picture reaches the bars: its first and last rows are not black.
  for (int y : {60, 179}) {
    const std::uint8_t* p = last.At(100, y);
    EXPECT_GT(p[0] + p[1] + p[2], 100) << "row " << y;
  }
}

// ffmpeg's moving test source (testsrc2: vertical bars red, green, yellow, blue, magenta,
// cyan from left to right under a dark time code at the top-left, and a diagonal line
// and a counter that move) piped through the producer's standard input into the camera.
TEST_F(CameraProcessTest, VideoPipedFromFfmpegIsShownMovingLetterboxedUprightInItsColours) {
  if (RunTool("/bin/sh", {"-c", "command -v ffmpeg >/dev/null"}) != 0)
    GTEST_SKIP() << "ffmpeg is not installed (scripts/bootstrap.sh installs it)";
  RegisterStagedCamera();
  CChildProcess::Environment environment = m_names.Environment();
  environment.push_back({"AMBERLINE_TEST_OUT_FILE", ProducerOutputFile().string()});
  // The stream lasts twice the capture's 4 seconds: a capture that starts late (a loaded
  // machine, a sanitizer build) still ends while the video plays, not on the placeholder.
  ASSERT_TRUE(m_producer.Start("/bin/sh",
                               {"-c",
                                "ffmpeg -nostdin -loglevel error -f lavfi -i testsrc2=size=1280x720:rate=30 -t 8 "
                                "-f yuv4mpegpipe - | \"$0\" --y4m - > \"$AMBERLINE_TEST_OUT_FILE\" 2>&1",
                                AMBERLINE_PRODUCER_PATH},
                               environment));
  ASSERT_NO_FATAL_FAILURE(WaitForTheProducersFirstFrame());

  const ToolRun run = RunCapture(
      {"--size", "640x480", "--seconds", "4", "--png", Out("png").string(), "--sheet", Out("sheet.png").string()});
  ASSERT_EQ(run.exitCode, 0) << run.transcript;
  int code = -1;
  ASSERT_TRUE(m_producer.Wait(std::chrono::milliseconds(kTimeoutMs), &code));
  EXPECT_EQ(code, 0) << testing_support::ReadFile(ProducerOutputFile());
  EXPECT_NE(testing_support::ReadFile(ProducerOutputFile()).find("Producing 1280x720 at 30 fps from standard input"),
            std::string::npos)
      << testing_support::ReadFile(ProducerOutputFile());
  EXPECT_TRUE(std::filesystem::exists(Out("sheet.png")));

  std::vector<std::filesystem::path> pngs;
  for (const auto& entry : std::filesystem::directory_iterator(Out("png"))) pngs.push_back(entry.path());
  std::sort(pngs.begin(), pngs.end());
  ASSERT_GE(pngs.size(), 2u) << run.transcript;
  std::vector<Picture> frames;
  for (const auto& png : pngs) {
    frames.push_back(ReadPng(png));
    const Picture& p = frames.back();
    ASSERT_EQ(p.width, 640) << png;
    ASSERT_EQ(p.height, 480) << png;
    // 16:9 in 4:3: the picture is 640 x 360 on rows 60 to 419, black above and below.
    for (const int y : {0, 30, 58, 421, 450, 479})
      for (const int x : {0, 200, 639}) {
        const std::uint8_t* q = p.At(x, y);
        EXPECT_LE(q[0] + q[1] + q[2], 6) << png.filename() << " bar pixel " << x << "," << y;
      }
    // The bars, each a sixth of the width, in order from the left; a column down the
    // middle of each bar. The source's grey square grows over the first bars to half the
    // picture's height at times and its moving line crosses them: a column shows its bar's
    // colour on at least three tenths of its rows, and its bar or that grey on six tenths.
    const Rgb bars[] = {{255, 0, 0}, {0, 255, 0}, {255, 255, 0}, {0, 0, 255}, {255, 0, 255}, {0, 255, 255}};
    for (int bar = 0; bar < 6; ++bar) {
      const int x = bar * 640 / 6 + 640 / 12;
      int right = 0, grey = 0, rows = 0;
      for (int y = 120; y < 410; ++y, ++rows) {
        const std::uint8_t* q = p.At(x, y);
        const bool isBar = std::abs(q[0] - bars[bar].r) < 40 && std::abs(q[1] - bars[bar].g) < 40 &&
                           std::abs(q[2] - bars[bar].b) < 40;
        right += isBar;
        grey += !isBar && std::abs(q[0] - q[1]) < 24 && std::abs(q[1] - q[2]) < 24 && q[0] > 60 && q[0] < 200;
      }
      EXPECT_GT(right, rows * 3 / 10) << png.filename() << " bar " << bar << " at x " << x;
      EXPECT_GT(right + grey, rows * 6 / 10) << png.filename() << " bar " << bar << " at x " << x;
    }
    // Upright: the dark time code sits at the picture's top-left; at the bottom-left is
    // the red bar (or the bright moving line passing over it), never anything dark.
    const std::uint8_t* code = p.At(10, 66);
    EXPECT_LT(code[0], 120) << png.filename() << " time code at the top-left";
    const std::uint8_t* bottomLeft = p.At(10, 414);
    EXPECT_GT(bottomLeft[0] + bottomLeft[1] + bottomLeft[2], 200) << png.filename() << " bright at the bottom-left";
  }
  // Moving: the first and the last frame recorded differ inside the picture.
  EXPECT_NE(FirstDifference(frames.front(), frames.back()), "") << "the source moves";
}

TEST_F(CameraProcessTest, WithoutAProducerEveryFrameIsThePlaceholder) {
  RegisterStagedCamera();
  const Picture placeholder = ExpectedPlaceholder(320, 240);
  ASSERT_FALSE(placeholder.rgb.empty()) << "the staged placeholder cannot be loaded";

  const ToolRun run = RunCapture({"--size", "320x240", "--frames", "4", "--png", Out("png").string()});
  ASSERT_EQ(run.exitCode, 0) << run.transcript;
  EXPECT_EQ(FirstDifference(ReadPng(Out("png") / PngName(1)), placeholder), "");
  EXPECT_EQ(FirstDifference(ReadPng(Out("png") / PngName(4)), placeholder), "");
}

TEST_F(CameraProcessTest, RunningCameraFallsBackToThePlaceholderWhenTheProducerStops) {
  RegisterStagedCamera();
  const Picture picture = MarkedPicture(320, 240);
  WritePng(Out("picture.png"), picture);
  StartProducer({"--size", "320x240", "--fps", "50", "--image", Out("picture.png").string()});

  // The producer is stopped once the camera has delivered two of its frames, which the
  // Y4M file shows as it grows; the capture then goes on to its 50th frame.
  CChildProcess capture;
  const std::string transcript = Out("capture.txt").string();
  ASSERT_TRUE(capture.Start(AMBERLINE_CAPTURE_PATH,
                            {"--size", "320x240", "--frames", "50", "--png", Out("png").string(), "--y4m",
                             Out("camera.y4m").string(), "--transcript", transcript},
                            m_names.Environment()));
  const std::uintmax_t frameBytes = 6 + 320 * 240 * 3;
  EXPECT_TRUE(WaitUntil(
      [&] {
        std::error_code error;
        const std::uintmax_t size = std::filesystem::file_size(Out("camera.y4m"), error);
        return !error && size >= 40 + 2 * frameBytes;
      },
      kTimeoutMs))
      << "the camera delivered no frames";
  StopProducer();
  int code = -1;
  ASSERT_TRUE(capture.Wait(std::chrono::milliseconds(kTimeoutMs), &code));
  ASSERT_EQ(code, 0) << testing_support::ReadFile(transcript);

  EXPECT_EQ(FirstDifference(ReadPng(Out("png") / PngName(1)), picture), "") << "frame 1";
  EXPECT_EQ(FirstDifference(ReadPng(Out("png") / PngName(50)), ExpectedPlaceholder(320, 240)), "") << "frame 50";
}

TEST_F(CameraProcessTest, TwoModuleCopiesAreTwoCamerasUntilUnregistered) {
  // Each copy in an installation folder of its own, with the placeholder beside it.
  const std::filesystem::path stage = testing_support::StagedModulePath().parent_path().parent_path();
  std::vector<std::filesystem::path> modules;
  for (const char* folder : {"one", "two"}) {
    const std::filesystem::path root = Out(folder);
    std::filesystem::create_directories(root / "Bin");
    std::filesystem::copy(stage / "Data", root / "Data", std::filesystem::copy_options::recursive);
    modules.push_back(root / "Bin" / testing_support::StagedModulePath().filename());
    std::filesystem::copy_file(testing_support::StagedModulePath(), modules.back());
  }
  m_registry.WriteHive("HKEY_LOCAL_MACHINE",
                       "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Trelvox\\Amberline\\1]\n@=\"Amberline One\"\n\"Path\"=" +
                           CRegistrySandbox::Quoted(modules[0].string()) +
                           "\n\"CLSID\"=\"A1B2C3D4-1111-4222-8333-444455556666\"\n\n"
                           "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Trelvox\\Amberline\\2]\n@=\"Amberline Two\"\n\"Path\"=" +
                           CRegistrySandbox::Quoted(modules[1].string()) +
                           "\n\"CLSID\"=\"B1B2C3D4-1111-4222-8333-444455556666\"\n");
  for (const auto& module : modules) ASSERT_EQ(RunTool(AMBERLINE_REGSVR_PATH, {"-s", module.string()}), 0);

  ToolRun run = RunCapture({"--list"});
  ASSERT_EQ(run.exitCode, 0) << run.transcript;
  EXPECT_NE(run.transcript.find("{A1B2C3D4-1111-4222-8333-444455556666} Amberline One\n"), std::string::npos)
      << run.transcript;
  EXPECT_NE(run.transcript.find("{B1B2C3D4-1111-4222-8333-444455556666} Amberline Two\n"), std::string::npos)
      << run.transcript;
  EXPECT_EQ(run.transcript.find("Trelvox Amberline"), std::string::npos) << run.transcript;

  const Picture placeholder = ExpectedPlaceholder(320, 240);
  for (const char* name : {"Amberline One", "Amberline Two"}) {
    const std::filesystem::path png = Out(std::string("png ") + name);
    run = RunCapture({"--camera", name, "--size", "320x240", "--frames", "3", "--png", png.string()});
    ASSERT_EQ(run.exitCode, 0) << run.transcript;
    EXPECT_NE(run.transcript.find("camera \"" + std::string(name) + "\": 320x240 RGB24"), std::string::npos)
        << run.transcript;
    EXPECT_NE(run.transcript.find("frames received: 3,"), std::string::npos) << run.transcript;
    EXPECT_EQ(FirstDifference(ReadPng(png / PngName(3)), placeholder), "") << name;
  }

  for (const auto& module : modules) ASSERT_EQ(RunTool(AMBERLINE_REGSVR_PATH, {"-u", "-s", module.string()}), 0);
  run = RunCapture({"--list"});
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.transcript, "no video input devices\n");
}

class CameraProcessSignalTest : public CameraProcessTest,
                                public testing::WithParamInterface<std::pair<const char*, int>> {};

TEST_P(CameraProcessSignalTest, ASignalStopsTheCaptureWithItsSummaryAndWithdrawsItsClientEntry) {
  const auto [signal, status] = GetParam();
  RegisterStagedCamera();
  const Picture picture = MarkedPicture(320, 240);
  WritePng(Out("picture.png"), picture);
  StartProducer({"--size", "320x240", "--fps", "50", "--image", Out("picture.png").string()});

  CChildProcess capture;
  const std::string transcript = Out("capture.txt").string();
  StartCapture(&capture, {"--size", "320x240", "--seconds", "600", "--y4m", Out("camera.y4m").string()}, transcript);
  ASSERT_TRUE(WaitForFileSize(Out("camera.y4m"), 40 + 3 * (6 + 320 * 240 * 3))) << "the camera delivered no frames";
  ASSERT_EQ(m_consumer.GetClientCount(), 1);
  Signal(CapturePidFile(), signal);
  int code = -1;
  ASSERT_TRUE(capture.Wait(std::chrono::milliseconds(kTimeoutMs), &code)) << "the capture did not stop";
  // At once, not after the producer's scan for clients it has not seen for a while.
  EXPECT_EQ(m_consumer.GetClientCount(), 0) << "the client entry was left behind";
  const std::string text = testing_support::ReadFile(transcript);
  EXPECT_EQ(code, status) << text;
  // The summary counts what reached the file, which ends with a whole frame.
  std::smatch counts;
  ASSERT_TRUE(std::regex_search(text, counts, std::regex("frames received: ([0-9]+),"))) << text;
  const std::string received = counts[1].str();
  ASSERT_TRUE(std::regex_search(text, counts, std::regex("camera.y4m: ([0-9]+) of " + received + " frames written")))
      << text;
  const std::uintmax_t written = std::stoull(counts[1].str());
  EXPECT_GE(written, 3u);
  const std::string y4m = testing_support::ReadFile(Out("camera.y4m"));
  EXPECT_EQ(y4m.size(), y4m.find('\n') + 1 + written * (6 + 320 * 240 * 3));
  StopProducer();
}

INSTANTIATE_TEST_SUITE_P(Signals, CameraProcessSignalTest,
                         testing::Values(std::make_pair("INT", 130), std::make_pair("TERM", 143)),
                         [](const auto& info) { return std::string(info.param.first); });

TEST_F(CameraProcessTest, ASlowReaderOfAPipeGetsEveryFrameAndAReaderThatLeavesStopsTheCapture) {
  RegisterStagedCamera();
  constexpr std::size_t kFrameBytes = 6 + 160 * 120 * 3;
  const std::filesystem::path fifo = Out("camera.y4m");
  ASSERT_EQ(RunTool("/bin/sh", {"-c", "mkfifo \"" + fifo.string() + "\""}), 0);
  // Reads the header and then `frames` frames (all of them when 0), each some time after
  // the last, and closes the pipe; false when the stream is cut short.
  auto readSlowly = [&](std::size_t frames, std::size_t* read) {
    std::ifstream pipe(fifo, std::ios::binary);
    std::string header;
    if (!std::getline(pipe, header)) return false;
    std::vector<char> frame(kFrameBytes);
    *read = 0;
    while (frames == 0 || *read < frames) {
      std::this_thread::sleep_for(std::chrono::milliseconds(120));  // three times slower than the camera
      if (!pipe.read(frame.data(), static_cast<std::streamsize>(frame.size()))) return pipe.gcount() == 0;
      if (std::string(frame.data(), 6) != "FRAME\n") return false;
      ++*read;
    }
    return true;
  };
  // A capture that ends without opening the pipe would leave the reader waiting: the
  // test opens it for writing then, which lets the reader see the end.
  // Opened for reading and writing, which never waits for the other end.
  auto release = [&] { std::fstream(fifo, std::ios::binary | std::ios::in | std::ios::out); };

  // Every one of 25 frames reaches a reader slower than the camera, and the first,
  // middle and last frame their PNG files.
  CChildProcess capture;
  StartCapture(&capture, {"--size", "160x120", "--frames", "25", "--y4m", fifo.string(), "--png", Out("png").string()},
               Out("one.txt").string());
  std::size_t read = 0;
  bool whole = false;
  std::thread reader([&] { whole = readSlowly(0, &read); });
  int code = -1;
  const bool ended = capture.Wait(std::chrono::milliseconds(kTimeoutMs), &code);
  if (!ended || code != 0) release();
  reader.join();
  ASSERT_TRUE(ended);
  std::string text = testing_support::ReadFile(Out("one.txt"));
  EXPECT_EQ(code, 0) << text;
  EXPECT_TRUE(whole);
  EXPECT_EQ(read, 25u);
  EXPECT_NE(text.find("frames received: 25,"), std::string::npos) << text;
  EXPECT_NE(text.find("camera.y4m: 25 of 25 frames written"), std::string::npos) << text;
  EXPECT_NE(text.find("png: 3 of 3 files written"), std::string::npos) << text;
  for (long long number : {1, 13, 25}) EXPECT_TRUE(std::filesystem::exists(Out("png") / PngName(number))) << number;

  // A reader that closes the pipe after 3 frames ends a long capture as an interruption,
  // with its summary, and the camera lets go of its channel.
  StartCapture(&capture, {"--size", "160x120", "--seconds", "600", "--y4m", fifo.string()}, Out("two.txt").string());
  std::thread leaver([&] { whole = readSlowly(3, &read); });
  EXPECT_TRUE(WaitUntil([&] { return !ChannelObjects().empty(); }, kTimeoutMs)) << "the camera opened no channel";
  code = -1;
  const bool stopped = capture.Wait(std::chrono::milliseconds(kTimeoutMs), &code);
  if (!stopped) release();
  leaver.join();
  ASSERT_TRUE(stopped) << "the capture did not notice its reader had gone";
  text = testing_support::ReadFile(Out("two.txt"));
  EXPECT_EQ(code, 141) << text;
  EXPECT_EQ(read, 3u);
  EXPECT_NE(text.find("the reader of " + fifo.string() + " closed it"), std::string::npos) << text;
  EXPECT_NE(text.find("frames received: "), std::string::npos) << text;
  EXPECT_EQ(ChannelObjects(), std::vector<std::string>{}) << "the last user left channel objects behind";

  // A reader that stops reading but keeps the pipe open does not keep Ctrl+C from
  // stopping the capture, even while it waits in a write to that pipe.
  StartCapture(&capture, {"--size", "160x120", "--seconds", "600", "--y4m", fifo.string()}, Out("three.txt").string());
  std::promise<void> letGo;
  std::promise<void> readOne;
  std::thread stuck([&] {
    std::ifstream pipe(fifo, std::ios::binary);
    std::string header;
    std::getline(pipe, header);
    std::vector<char> frame(kFrameBytes);
    pipe.read(frame.data(), static_cast<std::streamsize>(frame.size()));
    readOne.set_value();
    letGo.get_future().wait();
  });
  const bool gotOne = readOne.get_future().wait_for(std::chrono::milliseconds(kTimeoutMs)) == std::future_status::ready;
  if (gotOne) {
    const std::string wchan = "/proc/" + Pid(CapturePidFile()) + "/wchan";
    // Where the kernel tells ("0" where it does not): in a write or a poll for room
    // (the recording loop itself waits on a condition, never in poll).
    auto waitsInWrite = [&] {
      const std::string in = testing_support::ReadFile(wchan);
      return in.find("pipe_write") != std::string::npos || in.find("poll") != std::string::npos || in == "0";
    };
    EXPECT_TRUE(WaitUntil(waitsInWrite, 10000))
        << "the capture's main thread never waited in its write: " << testing_support::ReadFile(wchan);
    Signal(CapturePidFile(), "INT");
  }
  code = -1;
  const bool interrupted = gotOne && capture.Wait(std::chrono::milliseconds(kTimeoutMs), &code);
  if (!gotOne) release();
  letGo.set_value();
  stuck.join();
  ASSERT_TRUE(interrupted) << "the capture did not stop while its reader was stuck";
  text = testing_support::ReadFile(Out("three.txt"));
  EXPECT_EQ(code, 130) << text;
  EXPECT_EQ(text.find("cannot write"), std::string::npos) << text;
}

TEST_F(CameraProcessTest, InterruptedWithoutAProducerTheCameraRemovesItsChannelObjects) {
  RegisterStagedCamera();
  CChildProcess capture;
  const std::string transcript = Out("capture.txt").string();
  StartCapture(&capture, {"--size", "160x120", "--seconds", "600", "--y4m", Out("camera.y4m").string()}, transcript);
  ASSERT_TRUE(WaitForFileSize(Out("camera.y4m"), 40 + 2 * (6 + 160 * 120 * 3))) << "the camera delivered no frames";
  EXPECT_FALSE(ChannelObjects().empty());
  Signal(CapturePidFile(), "INT");
  int code = -1;
  ASSERT_TRUE(capture.Wait(std::chrono::milliseconds(kTimeoutMs), &code));
  const std::string text = testing_support::ReadFile(transcript);
  EXPECT_EQ(code, 130) << text;
  EXPECT_NE(text.find("stopped by an interrupt"), std::string::npos) << text;
  EXPECT_EQ(ChannelObjects(), std::vector<std::string>{});
}

TEST_F(CameraProcessTest, ARefusedSizeIsNamedWithTheSizesTheCameraTakesNow) {
  RegisterStagedCamera();
  EXPECT_EQ(RunTool("/bin/sh", {"-c", "exec \"$0\" --help > /dev/null", AMBERLINE_CAPTURE_PATH}), 0);
  ToolRun run = RunCapture({"--size", "100x100", "--frames", "1"});
  EXPECT_EQ(run.exitCode, 1) << run.transcript;
  EXPECT_TRUE(std::regex_search(run.transcript, std::regex("failed: [A-Z_]+ \\(0x8004[0-9A-F]{4}\\): [a-z]")))
      << run.transcript;
  EXPECT_NE(run.transcript.find("sizes the camera offers right now: from 160x120 to 640x480 in steps of 8x8 (asked "
                                "for 100x100)"),
            std::string::npos)
      << run.transcript;

  // While a producer announces its size, that is the only one.
  const Picture picture = MarkedPicture(320, 240);
  WritePng(Out("picture.png"), picture);
  StartProducer({"--size", "320x240", "--fps", "50", "--image", Out("picture.png").string()});
  run = RunCapture({"--size", "100x100", "--frames", "1"});
  EXPECT_EQ(run.exitCode, 1) << run.transcript;
  EXPECT_NE(run.transcript.find("sizes the camera offers right now: only 320x240 (asked for 100x100)"),
            std::string::npos)
      << run.transcript;
  // One frame has no rate to report.
  run = RunCapture({"--size", "320x240", "--frames", "1"});
  EXPECT_EQ(run.exitCode, 0) << run.transcript;
  EXPECT_NE(run.transcript.find("frames received: 1, average rate n/a"), std::string::npos) << run.transcript;
  StopProducer();
}

}  // namespace
