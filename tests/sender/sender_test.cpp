// The sender library through its public header alone: frames of every input format read
// back through a real camera (the capture host), strides, orientation, a size change,
// the second-sender rule, the placeholder after destroy, the too-large sentence, the
// consumer list, pacing on an injected clock, threads, and argument checks with a row
// on each side of every limit.
#include <amberline/sender.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "support/channel_fixture.h"
#include "support/registry_fixture.h"
#include "support/sender_feed.h"
#include "support/sender_input.h"
#include "support/test_pictures.h"
#include "support/test_support.h"

namespace {

using testing_support::CPicture;
using testing_support::Rgb;
using Bytes = std::vector<std::uint8_t>;
using testing_support::BlockPicture;
using testing_support::CSenderFeed;
using testing_support::DifferenceWithin;
using testing_support::EncodeSenderInput;
using testing_support::ExpectedFromSender;
using testing_support::SenderFrameOf;
using testing_support::SenderInput;

constexpr int kTimeoutMs = 60000;

Rgb At(const CPicture& p, int x, int y) {
  const std::uint8_t* c = p.At(x, y);
  return {c[0], c[1], c[2]};
}

amberline_sender_options Options(int width, int height, std::uint32_t format = AMBERLINE_FORMAT_BGR24) {
  amberline_sender_options options;
  amberline_sender_options_init(&options);
  options.width = width;
  options.height = height;
  options.format = format;
  return options;
}

// ---- A sender feeding a camera the capture host reads --------------------------------

class SenderCameraTest : public testing::Test {
 protected:
  // On Windows the capture host reads the machine's own registry (a child does not see
  // this process's private one): the camera is registered there for the test and
  // unregistered after it, also when the test fails.
  void SetUp() override {
    m_registered = true;
    ASSERT_EQ(Run(AMBERLINE_REGSVR_PATH, {"-s", Module()}), 0);
  }
  void TearDown() override {
    if (platform::kIsWindows && m_registered) {
      EXPECT_EQ(Run(AMBERLINE_REGSVR_PATH, {"-u", "-s", Module()}), 0);
    }
  }
  static std::string Module() {
    return std::filesystem::absolute(testing_support::StagedModulePath()).make_preferred().string();
  }
  int Run(const std::string& program, const std::vector<std::string>& arguments) {
    CChildProcess child;
    int code = -1;
    EXPECT_TRUE(child.Start(program, arguments, m_names.Environment()));
    EXPECT_TRUE(child.Wait(std::chrono::milliseconds(kTimeoutMs), &code)) << program << " did not end";
    return code;
  }
  // The last of `frames` frames the capture host recorded at width x height.
  CPicture Shown(int width, int height, int frames = 6) {
    const std::string folder = (m_dir.Path() / ("png" + std::to_string(++m_runs))).string();
    const std::string transcript = folder + ".txt";
    const int code = Run(AMBERLINE_CAPTURE_PATH, {"--size", std::to_string(width) + "x" + std::to_string(height), "--frames",
                                                  std::to_string(frames), "--png", folder, "--transcript", transcript});
    EXPECT_EQ(code, 0) << testing_support::ReadFile(transcript);
    char name[32];
    std::snprintf(name, sizeof name, "frame_%06d.png", frames);
    return testing_support::ReadPng(std::filesystem::path(folder) / name);
  }
  amberline_sender* Create(const amberline_sender_options& options) {
    amberline_sender* sender = nullptr;
    EXPECT_EQ(amberline_sender_create(&options, &sender), AMBERLINE_OK) << amberline_last_error();
    return sender;
  }

  testing_support::CRegistrySandbox m_registry;
  testing_support::CChannelNamespace m_names;
  testing_support::CTempDir m_dir;
  int m_runs = 0;
  bool m_registered = false;
};

TEST_F(SenderCameraTest, EveryFormatIsShownAsSentExactForRgbAndWithinTwoAfterYCbCr) {
  struct Row {
    std::uint32_t format;
    std::uint32_t color;
    int tolerance;
  };
  const Row rows[] = {
      {AMBERLINE_FORMAT_BGR24, 0, 0},   {AMBERLINE_FORMAT_RGB24, 0, 0},
      {AMBERLINE_FORMAT_BGRA32, 0, 0},  {AMBERLINE_FORMAT_RGBA32, 0, 0},
      {AMBERLINE_FORMAT_GRAY8, 0, 0},   {AMBERLINE_FORMAT_I420, AMBERLINE_COLOR_BT601_LIMITED, 2},
      {AMBERLINE_FORMAT_NV12, AMBERLINE_COLOR_BT601_LIMITED, 2}, {AMBERLINE_FORMAT_YUY2, AMBERLINE_COLOR_BT601_LIMITED, 2},
      {AMBERLINE_FORMAT_I420, AMBERLINE_COLOR_BT601_FULL, 2},    {AMBERLINE_FORMAT_I420, AMBERLINE_COLOR_BT709_LIMITED, 2},
      {AMBERLINE_FORMAT_NV12, AMBERLINE_COLOR_BT709_FULL, 2},    {AMBERLINE_FORMAT_YUY2, AMBERLINE_COLOR_BT709_LIMITED, 2},
      {AMBERLINE_FORMAT_NV12, AMBERLINE_COLOR_BT709_LIMITED, 2},
  };
  const CPicture picture = BlockPicture(64, 48);
  for (const Row& row : rows) {
    SCOPED_TRACE("format " + std::to_string(row.format) + " colour " + std::to_string(row.color));
    amberline_sender_options options = Options(64, 48, row.format);
    options.color = row.color;
    options.fps_num = 60;
    amberline_sender* sender = Create(options);
    ASSERT_NE(sender, nullptr);
    const SenderInput in = EncodeSenderInput(picture, row.format, row.color);
    {
      CSenderFeed feed(sender, [&](amberline_sender* s) { return amberline_sender_send(s, in.bytes.data(), in.strides[0]); });
      EXPECT_EQ(DifferenceWithin(Shown(64, 48), ExpectedFromSender(picture, row.format, row.color), row.tolerance), "");
    }
    amberline_sender_destroy(sender);
  }
}

TEST_F(SenderCameraTest, PaddedAndBottomUpStridesAndTheFlipAndMirrorOptions) {
  const CPicture picture = BlockPicture(64, 48);
  const CPicture flipped = testing_support::MakePicture(64, 48, [&](int x, int y) { return At(picture, x, 47 - y); });
  const CPicture mirrored = testing_support::MakePicture(64, 48, [&](int x, int y) { return At(picture, 63 - x, y); });
  struct Row {
    const char* name;
    std::uint32_t format;
    int pad;
    bool bottomUp;
    std::uint32_t flags;
    const CPicture* expected;
    int tolerance;
  };
  const Row rows[] = {
      {"BGR24 padded", AMBERLINE_FORMAT_BGR24, 20, false, 0, &picture, 0},
      {"BGR24 bottom-up", AMBERLINE_FORMAT_BGR24, 0, true, 0, &picture, 0},
      {"RGBA32 padded bottom-up", AMBERLINE_FORMAT_RGBA32, 12, true, 0, &picture, 0},
      {"I420 padded", AMBERLINE_FORMAT_I420, 6, false, 0, &picture, 2},
      {"BGR24 flipped", AMBERLINE_FORMAT_BGR24, 0, false, AMBERLINE_FLAG_FLIP, &flipped, 0},
      {"RGB24 mirrored", AMBERLINE_FORMAT_RGB24, 4, false, AMBERLINE_FLAG_MIRROR, &mirrored, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    amberline_sender_options options = Options(64, 48, row.format);
    options.flags = row.flags;
    options.fps_num = 60;
    amberline_sender* sender = Create(options);
    ASSERT_NE(sender, nullptr);
    SenderInput in = EncodeSenderInput(picture, row.format, 0, row.pad);
    amberline_frame frame = SenderFrameOf(in, row.format, 64, 48);
    if (row.bottomUp) {
      // The same rows stored last row first: the top row is the highest in memory.
      Bytes reversed(in.bytes.size());
      const std::size_t stride = static_cast<std::size_t>(in.strides[0]);
      for (int y = 0; y < 48; ++y)
        std::memcpy(&reversed[(47 - static_cast<std::size_t>(y)) * stride], &in.bytes[y * stride], stride);
      in.bytes = reversed;
      frame.planes[0].data = in.bytes.data() + 47 * stride;
      frame.planes[0].stride = -in.strides[0];
    }
    {
      CSenderFeed feed(sender, [&](amberline_sender* s) { return amberline_sender_send_frame(s, &frame); });
      EXPECT_EQ(DifferenceWithin(Shown(64, 48), ExpectedFromSender(*row.expected, row.format), row.tolerance), "");
    }
    amberline_sender_destroy(sender);
  }
}

TEST_F(SenderCameraTest, ASizeChangeMidStreamIsLetterboxedAndDestroyGivesThePlaceholder) {
  amberline_sender* sender = Create(Options(64, 48));
  ASSERT_NE(sender, nullptr);
  const CPicture tall = BlockPicture(64, 48), wide = BlockPicture(64, 24);
  const SenderInput first = EncodeSenderInput(tall, AMBERLINE_FORMAT_BGR24), second = EncodeSenderInput(wide, AMBERLINE_FORMAT_BGR24);
  const amberline_frame frames[2] = {SenderFrameOf(first, AMBERLINE_FORMAT_BGR24, 64, 48),
                                     SenderFrameOf(second, AMBERLINE_FORMAT_BGR24, 64, 24)};
  std::atomic<int> which{0};
  {
    CSenderFeed feed(sender, [&](amberline_sender* s) { return amberline_sender_send_frame(s, &frames[which.load()]); });
    // A capture at 64x48 runs while the frames change to 64x24 (once it is listed).
    const std::filesystem::path folder = m_dir.Path() / "change";
    CChildProcess capture;
    ASSERT_TRUE(capture.Start(AMBERLINE_CAPTURE_PATH, {"--size", "64x48", "--seconds", "4", "--png", folder.string()},
                              m_names.Environment()));
    std::int32_t count = 0;
    std::uint64_t generation = 0;
    ASSERT_TRUE(testing_support::WaitUntil(
        [&] {
          amberline_sender_wait_consumers(sender, generation, 1000);
          return amberline_sender_consumers(sender, nullptr, 0, &count, &generation) == AMBERLINE_OK && count == 1;
        },
        kTimeoutMs));
    which = 1;
    int code = -1;
    ASSERT_TRUE(capture.Wait(std::chrono::milliseconds(kTimeoutMs), &code));
    EXPECT_EQ(code, 0);
    // The last frame: 64x24 in 64x48, black bars of 12 rows above and below.
    std::filesystem::path last;
    for (const auto& entry : std::filesystem::directory_iterator(folder))
      if (last.empty() || entry.path().filename() > last.filename()) last = entry.path();
    const CPicture expected = testing_support::MakePicture(64, 48, [&](int x, int y) {
      return y < 12 || y >= 36 ? Rgb{0, 0, 0} : At(wide, x, y - 12);
    });
    EXPECT_EQ(DifferenceWithin(testing_support::ReadPng(last), expected, 0), "") << last;
  }
  amberline_sender_destroy(sender);
  // Without a sender the camera offers its own sizes; the smallest is enough.
  EXPECT_EQ(testing_support::FirstDifference(Shown(160, 120), testing_support::ExpectedPlaceholder(160, 120)), "");
}

TEST_F(SenderCameraTest, ConsumersAreListedWithTheirSizesAndWithdrawnWhenTheyStop) {
  amberline_sender* sender = Create(Options(64, 48));
  ASSERT_NE(sender, nullptr);
  const Bytes black(64 * 48 * 3, 0);
  CSenderFeed feed(sender, [&](amberline_sender* s) { return amberline_sender_send(s, black.data(), 64 * 3); });
  amberline_consumer entries[4];
  for (auto& entry : entries) entry.size = sizeof entry;
  std::int32_t count = -1;
  std::uint64_t generation = 0;
  ASSERT_EQ(amberline_sender_consumers(sender, entries, 4, &count, &generation), AMBERLINE_OK);
  EXPECT_EQ(count, 0);
  // A capture of 3 s at 160x120 in the background.
  CChildProcess capture;
  ASSERT_TRUE(capture.Start(AMBERLINE_CAPTURE_PATH, {"--size", "160x120", "--seconds", "3"}, m_names.Environment()));
  ASSERT_TRUE(testing_support::WaitUntil(
      [&] {
        amberline_sender_wait_consumers(sender, generation, 1000);
        return amberline_sender_consumers(sender, entries, 4, &count, &generation) == AMBERLINE_OK && count == 1;
      },
      kTimeoutMs));
  // The host's file name and a GUID.
  const std::string host = platform::kIsWindows ? "amberline-capture.exe-" : "amberline-capture-";
  EXPECT_EQ(std::string(entries[0].name).rfind(host, 0), 0u) << entries[0].name;
  EXPECT_EQ(entries[0].width, 160);
  EXPECT_EQ(entries[0].height, 120);
  EXPECT_LT(entries[0].idle_ms, 5000u);
  int code = -1;
  ASSERT_TRUE(capture.Wait(std::chrono::milliseconds(kTimeoutMs), &code));
  EXPECT_TRUE(testing_support::WaitUntil(
      [&] {
        amberline_sender_wait_consumers(sender, generation, 1000);
        return amberline_sender_consumers(sender, nullptr, 0, &count, &generation) == AMBERLINE_OK && count == 0;
      },
      kTimeoutMs));
  feed.Stop();
  amberline_sender_destroy(sender);
}

// ---- Without a camera --------------------------------------------------------------

class SenderTest : public testing::Test {
 protected:
  testing_support::CChannelNamespace m_names;
};

TEST_F(SenderTest, ASecondSenderIsRefusedNamingTheFirstUnlessAllowedOrItWaitsForTheFirstToLeave) {
  amberline_sender_options options = Options(320, 240);
  amberline_sender* first = nullptr;
  ASSERT_EQ(amberline_sender_create(&options, &first), AMBERLINE_OK) << amberline_last_error();
  amberline_sender* second = reinterpret_cast<amberline_sender*>(1);
  options.width = 64;
  EXPECT_EQ(amberline_sender_create(&options, &second), AMBERLINE_ERROR_BUSY);
  EXPECT_EQ(second, nullptr);
  const std::string sentence = amberline_last_error();
  EXPECT_NE(sentence.find("another producer is already delivering 320x240 frames on the channel \""), std::string::npos)
      << sentence;
  EXPECT_NE(sentence.find(platform::WideToUtf8(m_names.Value()) + "Trelvox_FileMapping\""), std::string::npos) << sentence;
  // Waiting 0 ms is a refusal too.
  options.flags = AMBERLINE_FLAG_WAIT_FOR_CHANNEL;
  options.wait_ms = 0;
  EXPECT_EQ(amberline_sender_create(&options, &second), AMBERLINE_ERROR_BUSY);
  // Allowed beside it.
  options.flags = AMBERLINE_FLAG_ALLOW_SECOND;
  ASSERT_EQ(amberline_sender_create(&options, &second), AMBERLINE_OK) << amberline_last_error();
  amberline_sender_stats stats{};
  stats.size = sizeof stats;
  ASSERT_EQ(amberline_sender_get_stats(second, &stats), AMBERLINE_OK);
  EXPECT_EQ(stats.beside_another, 1u);
  ASSERT_EQ(amberline_sender_get_stats(first, &stats), AMBERLINE_OK);
  EXPECT_EQ(stats.beside_another, 0u);
  amberline_sender_destroy(second);
  // Waiting for the first to leave, which another thread destroys.
  options.flags = AMBERLINE_FLAG_WAIT_FOR_CHANNEL;
  options.wait_ms = 30000;
  std::thread leaver([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    amberline_sender_destroy(first);
  });
  second = nullptr;
  EXPECT_EQ(amberline_sender_create(&options, &second), AMBERLINE_OK) << amberline_last_error();
  leaver.join();
  amberline_sender_destroy(second);
}

TEST_F(SenderTest, CreateAndDestroyOnOtherThreadsAndCreateAgainAfterDestroy) {
  for (int round = 0; round < 3; ++round) {
    amberline_sender* sender = nullptr;
    std::thread([&] {
      const amberline_sender_options options = Options(64, 48);
      EXPECT_EQ(amberline_sender_create(&options, &sender), AMBERLINE_OK) << amberline_last_error();
    }).join();
    ASSERT_NE(sender, nullptr);
    const Bytes frame(64 * 48 * 3, 50);
    EXPECT_EQ(amberline_sender_send(sender, frame.data(), 64 * 3), AMBERLINE_OK) << amberline_last_error();
    // A wait running on one thread while another destroys: the wait ends, destroy returns.
    std::int32_t count = -1;
    std::uint64_t generation = 0;
    ASSERT_EQ(amberline_sender_consumers(sender, nullptr, 0, &count, &generation), AMBERLINE_OK);
    std::atomic<amberline_result> waited{AMBERLINE_OK};
    std::atomic<bool> waiting{false};
    std::thread waiter([&] {
      waiting = true;
      waited = amberline_sender_wait_consumers(sender, generation, 60000);
    });
    // The call is under way well before destroy (a call begun after destroy is the
    // caller's fault, as with any freed object).
    while (!waiting.load()) std::this_thread::yield();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    std::thread([&] { amberline_sender_destroy(sender); }).join();
    waiter.join();
    EXPECT_EQ(waited.load(), AMBERLINE_ERROR_INTERRUPTED);
  }
}

struct FakeClock {
  std::int64_t now = 1000000000;
  std::vector<std::int64_t> sleeps;
  static std::int64_t AMBERLINE_CALL Now(void* self) { return static_cast<FakeClock*>(self)->now; }
  static void AMBERLINE_CALL Sleep(void* self, std::int64_t ns) {
    auto* clock = static_cast<FakeClock*>(self);
    clock->sleeps.push_back(ns);
    clock->now += ns;
  }
};

TEST_F(SenderTest, PacingOnAnInjectedClockKeepsExactDeadlinesCatchesUpAndSkipsAfterAStall) {
  amberline_sender_options options = Options(64, 48);
  options.fps_num = 30000;
  options.fps_den = 1001;
  amberline_sender* sender = nullptr;
  ASSERT_EQ(amberline_sender_create(&options, &sender), AMBERLINE_OK) << amberline_last_error();
  FakeClock clock;
  ASSERT_EQ(amberline_sender_set_clock(sender, &FakeClock::Now, &FakeClock::Sleep, &clock), AMBERLINE_OK);
  const std::int64_t start = clock.now;
  // 30000 frames, each taking 5 ms of work: exactly 1001 s later, nothing skipped.
  for (int n = 0; n < 30000; ++n) {
    clock.now += 5000000;
    ASSERT_EQ(amberline_sender_wait_next_frame(sender), AMBERLINE_OK);
  }
  EXPECT_EQ(clock.now, start + 1001LL * 1000000000);
  // A frame 20 ms late (under one period) is due at once; the next catches up.
  clock.now += 33366666 + 20000000;
  const std::size_t before = clock.sleeps.size();
  ASSERT_EQ(amberline_sender_wait_next_frame(sender), AMBERLINE_OK);
  EXPECT_EQ(clock.sleeps.size(), before) << "no sleep for a late frame";
  std::int64_t wait = -1;
  EXPECT_EQ(amberline_sender_poll_next_frame(sender, &wait), AMBERLINE_NOT_YET);
  EXPECT_EQ(wait, 66733333 - 33366666 - 20000000) << "frame 30002 is due 66733333 ns after frame 30000";
  // A stall of a second: the deadlines start again from now, 29 counted skipped.
  clock.now += 1000000000;
  EXPECT_EQ(amberline_sender_poll_next_frame(sender, &wait), AMBERLINE_OK);
  amberline_sender_stats stats{};
  stats.size = sizeof stats;
  ASSERT_EQ(amberline_sender_get_stats(sender, &stats), AMBERLINE_OK);
  EXPECT_EQ(stats.deadlines_skipped, 29u) << "30 deadlines passed, the late frame stands in for one";
  EXPECT_EQ(amberline_sender_poll_next_frame(sender, &wait), AMBERLINE_NOT_YET);
  EXPECT_EQ(wait, 33366666) << "one period after the late frame";
  // An interrupt with no wait running ends the next one.
  amberline_sender_interrupt(sender);
  EXPECT_EQ(amberline_sender_wait_next_frame(sender), AMBERLINE_ERROR_INTERRUPTED);
  EXPECT_NE(std::string(amberline_last_error()), "");
  amberline_sender_destroy(sender);
}

TEST_F(SenderTest, StatisticsCountSentFramesAndTheMeasuredRate) {
  amberline_sender* sender = nullptr;
  const amberline_sender_options options = Options(64, 48);
  ASSERT_EQ(amberline_sender_create(&options, &sender), AMBERLINE_OK) << amberline_last_error();
  FakeClock clock;
  ASSERT_EQ(amberline_sender_set_clock(sender, &FakeClock::Now, &FakeClock::Sleep, &clock), AMBERLINE_OK);
  const Bytes frame(64 * 48 * 3, 9);
  for (int n = 0; n < 90; ++n) {
    ASSERT_EQ(amberline_sender_send(sender, frame.data(), 64 * 3), AMBERLINE_OK) << amberline_last_error();
    ASSERT_EQ(amberline_sender_wait_next_frame(sender), AMBERLINE_OK);
  }
  amberline_sender_stats stats{};
  stats.size = sizeof stats;
  ASSERT_EQ(amberline_sender_get_stats(sender, &stats), AMBERLINE_OK);
  EXPECT_EQ(stats.frames_sent, 90u);
  EXPECT_EQ(stats.frames_dropped, 0u);
  EXPECT_NEAR(stats.current_fps, 30.0, 0.01);
  stats.size = sizeof stats - 1;
  EXPECT_EQ(amberline_sender_get_stats(sender, &stats), AMBERLINE_ERROR_INVALID_ARGUMENT);
  amberline_sender_destroy(sender);
}

TEST_F(SenderTest, BadArgumentsAreRefusedWithWordsOnEachSideOfEveryLimit) {
  struct Row {
    const char* what;
    std::function<void(amberline_sender_options*)> change;
    amberline_result result;
    const char* words;
  };
  const Row rows[] = {
      {"defaults", [](amberline_sender_options*) {}, AMBERLINE_OK, ""},
      {"1000 fps", [](amberline_sender_options* o) { o->fps_num = 1000; }, AMBERLINE_OK, ""},
      {"1001 fps", [](amberline_sender_options* o) { o->fps_num = 1001; }, AMBERLINE_ERROR_INVALID_ARGUMENT, "outside 1/3600 to 1000"},
      {"1/3600 fps", [](amberline_sender_options* o) { o->fps_num = 1, o->fps_den = 3600; }, AMBERLINE_OK, ""},
      {"1/3601 fps", [](amberline_sender_options* o) { o->fps_num = 1, o->fps_den = 3601; }, AMBERLINE_ERROR_INVALID_ARGUMENT, "1/3601"},
      {"0 fps", [](amberline_sender_options* o) { o->fps_num = 0; }, AMBERLINE_ERROR_INVALID_ARGUMENT, "frame rate"},
      {"format 0", [](amberline_sender_options* o) { o->format = 0; }, AMBERLINE_ERROR_INVALID_ARGUMENT, "pixel format 0"},
      {"format 9", [](amberline_sender_options* o) { o->format = 9; }, AMBERLINE_ERROR_INVALID_ARGUMENT, "pixel format 9"},
      {"colour 4", [](amberline_sender_options* o) { o->color = 4; }, AMBERLINE_ERROR_INVALID_ARGUMENT, "colour space 4"},
      {"width 0", [](amberline_sender_options* o) { o->width = 0; }, AMBERLINE_ERROR_INVALID_ARGUMENT, "0x480 has no pixels"},
      {"1x1", [](amberline_sender_options* o) { o->width = 1, o->height = 1; }, AMBERLINE_OK, ""},
      {"odd I420", [](amberline_sender_options* o) { o->format = AMBERLINE_FORMAT_I420, o->width = 641; }, AMBERLINE_ERROR_INVALID_ARGUMENT, "I420 frames need an even width and height"},
      {"odd-height NV12", [](amberline_sender_options* o) { o->format = AMBERLINE_FORMAT_NV12, o->height = 481; }, AMBERLINE_ERROR_INVALID_ARGUMENT, "NV12 frames need an even width and height (their colour is shared by squares of 2x2 pixels); 640x481 is not"},
      {"odd-height YUY2", [](amberline_sender_options* o) { o->format = AMBERLINE_FORMAT_YUY2, o->height = 481; }, AMBERLINE_OK, ""},
      {"odd-width YUY2", [](amberline_sender_options* o) { o->format = AMBERLINE_FORMAT_YUY2, o->width = 641; }, AMBERLINE_ERROR_INVALID_ARGUMENT, "YUY2 frames need an even width"},
      {"2560x1440 fits", [](amberline_sender_options* o) { o->width = 2560, o->height = 1440; }, AMBERLINE_OK, ""},
      {"3840x2160", [](amberline_sender_options* o) { o->width = 3840, o->height = 2160; }, AMBERLINE_ERROR_TOO_LARGE, "(at this aspect ratio, up to "},
      {"wait 600000", [](amberline_sender_options* o) { o->flags = AMBERLINE_FLAG_WAIT_FOR_CHANNEL, o->wait_ms = 600000; }, AMBERLINE_OK, ""},
      {"wait 600001", [](amberline_sender_options* o) { o->flags = AMBERLINE_FLAG_WAIT_FOR_CHANNEL, o->wait_ms = 600001; }, AMBERLINE_ERROR_INVALID_ARGUMENT, "600001 ms"},
      {"unknown flag", [](amberline_sender_options* o) { o->flags = 0x20; }, AMBERLINE_ERROR_INVALID_ARGUMENT, "unknown option flags 0x20"},
      {"short size field", [](amberline_sender_options* o) { o->size = sizeof *o - 8; }, AMBERLINE_ERROR_INVALID_ARGUMENT, "amberline_sender_options_init"},
      {"channel with a slash", [](amberline_sender_options* o) { o->channel = "a/b"; }, AMBERLINE_ERROR_INVALID_ARGUMENT, "letters, digits"},
      {"channel with a dot", [](amberline_sender_options* o) { o->channel = "a.b"; }, AMBERLINE_ERROR_INVALID_ARGUMENT, "letters, digits"},
      {"empty channel", [](amberline_sender_options* o) { o->channel = ""; }, AMBERLINE_OK, ""},
      {"32-byte channel", [](amberline_sender_options* o) { o->channel = "SenderLimit-0123456789_012345678"; }, AMBERLINE_OK, ""},
      {"33-byte channel", [](amberline_sender_options* o) { o->channel = "SenderLimit-0123456789_0123456789"; }, AMBERLINE_ERROR_INVALID_ARGUMENT, "at most 32"},
  };
  for (const Row& row : rows) {
    amberline_sender_options options;
    amberline_sender_options_init(&options);
    row.change(&options);
    amberline_sender* sender = nullptr;
    EXPECT_EQ(amberline_sender_create(&options, &sender), row.result) << row.what;
    EXPECT_NE(std::string(amberline_last_error()).find(row.words), std::string::npos)
        << row.what << ": " << amberline_last_error();
    EXPECT_EQ(sender != nullptr, row.result == AMBERLINE_OK) << row.what;
    amberline_sender_destroy(sender);
  }
}

TEST_F(SenderTest, BadFramesAreRefusedWithWordsAndNothingIsStored) {
  amberline_sender* sender = nullptr;
  const amberline_sender_options options = Options(64, 48);
  ASSERT_EQ(amberline_sender_create(&options, &sender), AMBERLINE_OK) << amberline_last_error();
  const CPicture picture = BlockPicture(64, 48);
  struct Row {
    const char* what;
    std::uint32_t format;
    int width, height;
    std::function<void(amberline_frame*)> spoil;
    amberline_result result;
    const char* words;
  };
  const Row rows[] = {
      {"good I420", AMBERLINE_FORMAT_I420, 64, 48, [](amberline_frame*) {}, AMBERLINE_OK, ""},
      {"stride one short", AMBERLINE_FORMAT_BGR24, 64, 48, [](amberline_frame* f) { f->planes[0].stride = 191; }, AMBERLINE_ERROR_INVALID_ARGUMENT, "191 bytes, shorter than one row of 192"},
      {"stride exactly a row", AMBERLINE_FORMAT_BGR24, 64, 48, [](amberline_frame* f) { f->planes[0].stride = 192; }, AMBERLINE_OK, ""},
      {"negative stride one short", AMBERLINE_FORMAT_BGR24, 64, 48, [](amberline_frame* f) { f->planes[0].stride = -191; f->planes[0].data = static_cast<const std::uint8_t*>(f->planes[0].data) + 191 * 47; }, AMBERLINE_ERROR_INVALID_ARGUMENT, "-191 bytes"},
      {"missing V plane", AMBERLINE_FORMAT_I420, 64, 48, [](amberline_frame* f) { f->planes[2].data = nullptr; }, AMBERLINE_ERROR_INVALID_ARGUMENT, "plane 2 of the I420 frame is missing"},
      {"short chroma stride", AMBERLINE_FORMAT_NV12, 64, 48, [](amberline_frame* f) { f->planes[1].stride = 63; }, AMBERLINE_ERROR_INVALID_ARGUMENT, "plane 1 is 63 bytes"},
      {"odd width I420", AMBERLINE_FORMAT_I420, 63, 48, [](amberline_frame*) {}, AMBERLINE_ERROR_INVALID_ARGUMENT, "63x48 is not"},
      {"unknown format", AMBERLINE_FORMAT_BGR24, 64, 48, [](amberline_frame* f) { f->format = 42; }, AMBERLINE_ERROR_INVALID_ARGUMENT, "pixel format 42"},
      {"size field", AMBERLINE_FORMAT_BGR24, 64, 48, [](amberline_frame* f) { f->size = 4; }, AMBERLINE_ERROR_INVALID_ARGUMENT, "sizeof(amberline_frame)"},
      {"too large", AMBERLINE_FORMAT_BGR24, 3840, 2160, [](amberline_frame*) {}, AMBERLINE_ERROR_TOO_LARGE, "3840x2160 does not fit the channel"},
  };
  for (const Row& row : rows) {
    const CPicture p = row.width == 64 && row.height == 48 ? picture : BlockPicture(std::min(row.width, 64), std::min(row.height, 48));
    const SenderInput in = EncodeSenderInput(p, row.format == AMBERLINE_FORMAT_I420 && row.width % 2 ? AMBERLINE_FORMAT_BGR24 : row.format);
    amberline_frame frame = SenderFrameOf(in, row.format, row.width, row.height);
    row.spoil(&frame);
    EXPECT_EQ(amberline_sender_send_frame(sender, &frame), row.result) << row.what << ": " << amberline_last_error();
    EXPECT_NE(std::string(amberline_last_error()).find(row.words), std::string::npos)
        << row.what << ": " << amberline_last_error();
  }
  amberline_sender_stats stats{};
  stats.size = sizeof stats;
  ASSERT_EQ(amberline_sender_get_stats(sender, &stats), AMBERLINE_OK);
  EXPECT_EQ(stats.frames_sent, 2u) << "only the good frames";
  EXPECT_EQ(amberline_sender_send(nullptr, picture.rgb.data(), 192), AMBERLINE_ERROR_INVALID_ARGUMENT);
  EXPECT_EQ(amberline_sender_send(sender, nullptr, 192), AMBERLINE_ERROR_INVALID_ARGUMENT);
  amberline_sender_destroy(sender);
}

}  // namespace
