// The reference producer as a separate process, seen through a consumer's channel.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "channel/file_mapping.h"
#include "platform/paths.h"
#include "platform/wide_string.h"
#include "support/channel_fixture.h"
#include "support/test_pictures.h"
#include "support/test_support.h"

namespace {

using testing_support::CChannelNamespace;

constexpr int kTimeoutMs = 60000;

// Runs the producer to its end; its exit code. Its output (standard output and error) is
// returned in *output where a shell can redirect it (not on Windows, where it is empty).
int RunProducer(const CChannelNamespace& names, const std::vector<std::string>& arguments, std::string* output,
                const std::string& input = {}) {
  CChildProcess child;
  testing_support::CTempDir dir;
  const std::filesystem::path out = dir.Path() / "producer.txt";
  if (platform::kIsWindows) {
    EXPECT_TRUE(input.empty()) << "standard input needs a shell";
    EXPECT_TRUE(child.Start(AMBERLINE_PRODUCER_PATH, arguments, names.Environment()));
  } else {
    // "$1" is the output file, "$2" what standard input reads ("" for none), then the
    // producer and its arguments.
    std::vector<std::string> shell{
        "-c", "out=\"$1\"; in=\"$2\"; shift 2; exec \"$0\" \"$@\" <\"${in:-/dev/null}\" >\"$out\" 2>&1",
        AMBERLINE_PRODUCER_PATH, out.string(), input};
    shell.insert(shell.end(), arguments.begin(), arguments.end());
    EXPECT_TRUE(child.Start("/bin/sh", shell, names.Environment()));
  }
  int code = -1;
  EXPECT_TRUE(child.Wait(std::chrono::milliseconds(kTimeoutMs), &code)) << "the producer did not end";
  *output = testing_support::ReadFile(out);
  return code;
}

// A 4:4:4 stream of `frames` frames whose top half is red and bottom half blue.
std::string RedOverBlueStream(int width, int height, int frames, const std::string& rate) {
  std::string stream = "YUV4MPEG2 W" + std::to_string(width) + " H" + std::to_string(height) + " F" + rate + " C444\n";
  const std::size_t half = static_cast<std::size_t>(width) * (height / 2);
  for (int i = 0; i < frames; ++i) {
    stream += "FRAME\n";
    for (const auto& [top, bottom] : {std::pair{81, 41}, std::pair{90, 240}, std::pair{240, 110}}) {
      stream.append(half, static_cast<char>(top));
      stream.append(half, static_cast<char>(bottom));
    }
  }
  return stream;
}

void ExpectBgr(const std::uint8_t* pixel, int b, int g, int r, const char* where) {
  EXPECT_NEAR(pixel[0], b, 4) << where;
  EXPECT_NEAR(pixel[1], g, 4) << where;
  EXPECT_NEAR(pixel[2], r, 4) << where;
}

TEST(ProducerProcessTest, DeliversUprightFramesOfItsSizeAndStopsCleanly) {
  CChannelNamespace names;
  CChildProcess producer;
  ASSERT_TRUE(producer.Start(AMBERLINE_PRODUCER_PATH, {"--size", "322x240", "--fps", "50", "--frames", "150"},
                             names.Environment()));
  CFileMapping consumer;
  ASSERT_EQ(consumer.Init(false, nullptr), 0);
  channel::FrameDescriptor d{};
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (consumer.LockMediaSample(0, &d) != 0) {
    ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "no frame from the producer";
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_EQ(d.Width, 322);
  EXPECT_EQ(d.Height, 240);
  const std::int32_t step = (322 * 3 + 3) & ~3;
  EXPECT_EQ(d.Length, step * 240) << "rows padded to 4 bytes";
  std::vector<std::uint8_t> frame(static_cast<std::size_t>(d.Length));
  ASSERT_EQ(consumer.GetMediaSampleData(0, frame.data(), d.Length, L"producer-test", 322, 240), 0);
  consumer.UnlockMediaSample(0);
  EXPECT_EQ(consumer.GetServerResolution(), (std::pair<std::int32_t, std::int32_t>{322, 240}));
  // The orientation mark is red at the picture's top-left: the last row in memory.
  const std::uint8_t* topLeft = frame.data() + static_cast<std::size_t>(239) * step;
  EXPECT_LT(topLeft[0], 60);
  EXPECT_LT(topLeft[1], 60);
  EXPECT_GT(topLeft[2], 150);
  const std::uint8_t* bottomLeft = frame.data();
  EXPECT_FALSE(bottomLeft[0] < 60 && bottomLeft[1] < 60 && bottomLeft[2] > 150) << "not flipped";

  int code = -1;
  ASSERT_TRUE(producer.Wait(std::chrono::milliseconds(60000), &code));
  EXPECT_EQ(code, 0);
  EXPECT_EQ(consumer.LockMediaSample(0, &d), -1) << "a stopped producer leaves the cameras on their placeholder";
}

TEST(ProducerProcessTest, SecondProducerRefusesToStartUnlessAllowed) {
  CChannelNamespace names;
  CChildProcess first;
  ASSERT_TRUE(first.Start(AMBERLINE_PRODUCER_PATH, {"--fps", "50", "--seconds", "120"}, names.Environment()));
  CFileMapping consumer;
  ASSERT_EQ(consumer.Init(false, nullptr), 0);
  channel::FrameDescriptor d{};
  ASSERT_TRUE(testing_support::WaitUntil(
      [&] {
        if (consumer.LockMediaSample(0, &d) != 0) return false;
        consumer.UnlockMediaSample(0);
        return true;
      },
      60000))
      << "no frame from the first producer";

  const std::filesystem::path said = std::filesystem::temp_directory_path() /
                                     ("amberline-second-producer-" + platform::WideToUtf8(names.Value()) + ".txt");
  CChildProcess second;
  if (platform::kIsWindows) {
    ASSERT_TRUE(second.Start(AMBERLINE_PRODUCER_PATH, {"--frames", "5"}, names.Environment()));
  } else {
    ASSERT_TRUE(second.Start("/bin/sh", {"-c", "exec \"$0\" --frames 5 2>\"$1\"", AMBERLINE_PRODUCER_PATH, said.string()},
                             names.Environment()));
  }
  int code = -1;
  ASSERT_TRUE(second.Wait(std::chrono::milliseconds(60000), &code));
  EXPECT_EQ(code, 3) << "refused";
  if (!platform::kIsWindows) {
    const std::string message = testing_support::ReadFile(said);
    // The refusal names the producer that runs: its frame size and its channel.
    EXPECT_NE(message.find("another producer is already delivering 640x480 frames on the channel \"" +
                           platform::WideToUtf8(names.Value()) + "Trelvox_FileMapping\""),
              std::string::npos)
        << message;
    EXPECT_NE(message.find("--allow-second-producer"), std::string::npos) << message;
    std::filesystem::remove(said);
  }

  CChildProcess allowed;
  ASSERT_TRUE(allowed.Start(AMBERLINE_PRODUCER_PATH, {"--frames", "5", "--allow-second-producer"}, names.Environment()));
  ASSERT_TRUE(allowed.Wait(std::chrono::milliseconds(60000), &code));
  EXPECT_EQ(code, 0);
  first.Kill();
  // Ended before this test's channel closes, so that the close is the last and removes it.
  EXPECT_TRUE(first.Wait(std::chrono::milliseconds(60000), &code));
}

TEST(ProducerProcessTest, CommandLineAndFrameSizeAreCheckedBeforeAnyFrame) {
  CChannelNamespace names;
  testing_support::CTempDir dir;
  std::string said;
  EXPECT_EQ(RunProducer(names, {"--help"}, &said), 0);
  if (!platform::kIsWindows) {
    EXPECT_NE(said.find("--y4m FILE|-"), std::string::npos) << said;
  }

  // One 3840x2160 frame is 24,883,200 bytes; the channel carries 15,728,640.
  EXPECT_EQ(RunProducer(names, {"--size", "3840x2160", "--frames", "1"}, &said), 2);
  if (!platform::kIsWindows) {
    EXPECT_NE(said.find("at most 15,728,640 bytes"), std::string::npos) << said;
  }
  // The largest frame of the same shape is offered, with both sides at least 16: 327680x16
  // fills the channel exactly; one column more, and every frame of that shape that fits is
  // under 16 rows high (307201x15), which --size refuses, so none is offered.
  struct Limit {
    const char* size;
    int code;
    const char* words;
  };
  for (const Limit& limit : {Limit{"3840x2160", 2, "(at this aspect ratio, up to 3052x1717)"},
                             Limit{"327680x16", 0, "Producing 327680x16"},
                             Limit{"327681x16", 2, "(no frame of this aspect ratio with both sides at least 16 fits)"}}) {
    EXPECT_EQ(RunProducer(names, {"--size", limit.size, "--frames", "1"}, &said), limit.code) << limit.size;
    if (!platform::kIsWindows) {
      EXPECT_NE(said.find(limit.words), std::string::npos) << limit.size << ": " << said;
    }
  }
  testing_support::WriteFile(dir.Path() / "huge.y4m", "YUV4MPEG2 W3840 H2160 F25:1\n");
  EXPECT_EQ(RunProducer(names, {"--y4m", (dir.Path() / "huge.y4m").string()}, &said), 1);
  if (!platform::kIsWindows) {
    EXPECT_NE(said.find("at most 15,728,640 bytes"), std::string::npos) << said;
  }

  EXPECT_EQ(RunProducer(names, {"--fps", "29.97", "--frames", "2"}, &said), 0);
  if (!platform::kIsWindows) {
    EXPECT_NE(said.find("at 29.97 fps"), std::string::npos) << said;
  }
  for (const std::vector<std::string>& wrong :
       {std::vector<std::string>{"--fps", "30x"}, {"--fps", "0.5"}, {"--size", "640x480x2"},
        {"--y4m", "-", "--loop"}, {"--y4m", "a.y4m", "--size", "320x240"}, {"--loop"}})
    EXPECT_EQ(RunProducer(names, wrong, &said), 2) << wrong[0] << " " << wrong[1] << ": " << said;
}

TEST(ProducerProcessTest, StreamFileIsSentUprightAtItsOwnSizeAndRateAndLoops) {
  CChannelNamespace names;
  testing_support::CTempDir dir;
  const std::filesystem::path file = dir.Path() / "red over blue.y4m";
  testing_support::WriteFile(file, RedOverBlueStream(66, 48, 3, "10:1"));
  CChildProcess producer;
  const auto started = std::chrono::steady_clock::now();
  const std::string out = (dir.Path() / "producer.txt").string();
  if (platform::kIsWindows) {
    ASSERT_TRUE(producer.Start(AMBERLINE_PRODUCER_PATH, {"--y4m", file.string(), "--loop", "--frames", "12"},
                               names.Environment()))
        << producer.StartError();
  } else {
    ASSERT_TRUE(producer.Start("/bin/sh",
                               {"-c", "exec \"$0\" --y4m \"$1\" --loop --frames 12 >\"$2\" 2>&1",
                                AMBERLINE_PRODUCER_PATH, file.string(), out},
                               names.Environment()))
        << producer.StartError();
  }
  CFileMapping consumer;
  ASSERT_EQ(consumer.Init(false, nullptr), 0) << "the channel cannot be opened beside the starting producer";
  channel::FrameDescriptor d{};
  ASSERT_TRUE(testing_support::WaitUntil([&] { return consumer.LockMediaSample(0, &d) == 0; }, kTimeoutMs))
      << "no frame from the producer";
  EXPECT_EQ(d.Width, 66);
  EXPECT_EQ(d.Height, 48);
  const std::size_t step = 200;  // 66 x 3 = 198, padded to 200
  ASSERT_EQ(d.Length, static_cast<std::int32_t>(step * 48));
  std::vector<std::uint8_t> frame(step * 48);
  ASSERT_EQ(consumer.GetMediaSampleData(0, frame.data(), d.Length, L"producer-test", 66, 48), 0);
  consumer.UnlockMediaSample(0);
  ExpectBgr(&frame[0], 255, 0, 0, "the bottom line, first in memory, is blue");
  ExpectBgr(&frame[step * 47 + 65 * 3], 0, 0, 255, "the top line, last in memory, is red");

  int code = -1;
  ASSERT_TRUE(producer.Wait(std::chrono::milliseconds(kTimeoutMs), &code));
  EXPECT_EQ(code, 0);
  // Twelve frames at the stream's 10 a second: the last is due 1.1 s after the first.
  EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(1100)) << "paced by the header";
  if (!platform::kIsWindows) {
    std::string said = testing_support::ReadFile(out);
    EXPECT_NE(said.find("Producing 66x48 at 10 fps"), std::string::npos) << said;
    EXPECT_NE(said.find("Stopped: 12 frames written"), std::string::npos) << "the 3-frame file looped: " << said;

    // The same stream through standard input ends with the stream.
    EXPECT_EQ(RunProducer(names, {"--y4m", "-"}, &said, file.string()), 0) << said;
    EXPECT_NE(said.find("Stopped: 3 frames written"), std::string::npos) << said;
  }
}

TEST(ProducerProcessTest, SlowStreamStopsAtOnceOnSigterm) {
  if (platform::kIsWindows) GTEST_SKIP() << "sends a POSIX signal";
  CChannelNamespace names;
  testing_support::CTempDir dir;
  // One frame an hour: the producer waits between frames far longer than the test.
  const std::filesystem::path file = dir.Path() / "slow.y4m";
  testing_support::WriteFile(file, RedOverBlueStream(16, 16, 2, "1:3600"));
  const std::filesystem::path pid = dir.Path() / "producer.pid";
  CChildProcess producer;
  ASSERT_TRUE(producer.Start("/bin/sh",
                             {"-c", "echo $$ > \"$2\"; exec \"$0\" --y4m \"$1\" >/dev/null", AMBERLINE_PRODUCER_PATH,
                              file.string(), pid.string()},
                             names.Environment()));
  CFileMapping consumer;
  ASSERT_EQ(consumer.Init(false, nullptr), 0);
  channel::FrameDescriptor d{};
  ASSERT_TRUE(testing_support::WaitUntil(
      [&] {
        if (consumer.LockMediaSample(0, &d) != 0) return false;
        consumer.UnlockMediaSample(0);
        return true;
      },
      kTimeoutMs));
  CChildProcess kill;
  ASSERT_TRUE(kill.Start("/bin/sh", {"-c", "kill -TERM $(cat \"$0\")", pid.string()}));
  int code = -1;
  ASSERT_TRUE(kill.Wait(std::chrono::milliseconds(kTimeoutMs), &code));
  ASSERT_TRUE(producer.Wait(std::chrono::milliseconds(10000), &code)) << "the producer slept through the stop request";
  EXPECT_EQ(code, 0);
}

TEST(ProducerProcessTest, PictureKeepsItsAspectRatioBetweenBlackBars) {
  using testing_support::Quadrant;
  CChannelNamespace names;
  testing_support::CTempDir dir;
  // 640 x 240 into 320 x 240: the picture is 320 x 120 on rows 60 to 179.
  testing_support::WritePng(dir.Path() / "wide.png", testing_support::MakePicture(640, 240, [](int x, int y) {
                              return Quadrant(x, y, 640, 240);
                            }));
  CChildProcess producer;
  ASSERT_TRUE(producer.Start(AMBERLINE_PRODUCER_PATH,
                             {"--size", "320x240", "--fps", "50", "--image", (dir.Path() / "wide.png").string()},
                             names.Environment()));
  CFileMapping consumer;
  ASSERT_EQ(consumer.Init(false, nullptr), 0);
  channel::FrameDescriptor d{};
  ASSERT_TRUE(testing_support::WaitUntil([&] { return consumer.LockMediaSample(0, &d) == 0; }, kTimeoutMs));
  std::vector<std::uint8_t> frame(static_cast<std::size_t>(d.Length));
  ASSERT_EQ(consumer.GetMediaSampleData(0, frame.data(), d.Length, L"producer-test", 320, 240), 0);
  consumer.UnlockMediaSample(0);
  producer.Kill();
  int code = -1;
  EXPECT_TRUE(producer.Wait(std::chrono::milliseconds(kTimeoutMs), &code));
  const testing_support::CPicture shown = testing_support::PictureFromFrame(frame.data(), frame.size(), 320, 240);
  ASSERT_EQ(shown.width, 320);
  for (const int y : {0, 59, 180, 239}) {
    const std::uint8_t* p = shown.At(160, y);
    EXPECT_EQ(p[0] + p[1] + p[2], 0) << "bar row " << y;
  }
  // Each quadrant where it belongs, away from the borders the scaling blends.
  for (const auto& [x, y] : {std::pair{80, 90}, std::pair{240, 90}, std::pair{80, 150}, std::pair{240, 150}}) {
    const testing_support::Rgb want = Quadrant(x * 2, (y - 60) * 2, 640, 240);
    const std::uint8_t* p = shown.At(x, y);
    EXPECT_NEAR(p[0], want.r, 3) << x << "," << y;
    EXPECT_NEAR(p[1], want.g, 3) << x << "," << y;
    EXPECT_NEAR(p[2], want.b, 3) << x << "," << y;
  }
}

TEST(ProducerProcessTest, DamagedStreamEndsTheRunNamingTheByteOffset) {
  CChannelNamespace names;
  testing_support::CTempDir dir;
  // Two whole frames, then a third cut short 100 bytes into its samples.
  const std::string whole = RedOverBlueStream(16, 16, 3, "50:1");
  const std::size_t header = whole.find('\n') + 1;
  const std::size_t frameBytes = 6 + 16 * 16 * 3;
  const std::size_t cut = header + 2 * frameBytes + 6 + 100;
  testing_support::WriteFile(dir.Path() / "cut.y4m", whole.substr(0, cut));
  testing_support::WriteFile(dir.Path() / "garbage.y4m", "GIF89a not a stream at all\n");
  std::string said;
  EXPECT_EQ(RunProducer(names, {"--y4m", (dir.Path() / "cut.y4m").string()}, &said), 1);
  if (!platform::kIsWindows) {
    EXPECT_NE(said.find("frame 3 needs 768 bytes of samples starting at byte offset " +
                        std::to_string(header + 2 * frameBytes + 6) + "; the stream ends at byte offset " +
                        std::to_string(cut)),
              std::string::npos)
        << said;
    EXPECT_NE(said.find("Stopped: 2 frames written"), std::string::npos) << said;
  }
  EXPECT_EQ(RunProducer(names, {"--y4m", (dir.Path() / "garbage.y4m").string()}, &said), 1);
  if (!platform::kIsWindows) {
    EXPECT_NE(said.find("not a YUV4MPEG2 stream"), std::string::npos) << said;
  }
  EXPECT_EQ(RunProducer(names, {"--y4m", (dir.Path() / "missing.y4m").string()}, &said), 1);
}

}  // namespace
