// The reference producer as a separate process, seen through a consumer's channel.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <thread>
#include <vector>

#include "channel/file_mapping.h"
#include "platform/paths.h"
#include "platform/wide_string.h"
#include "support/channel_fixture.h"
#include "support/test_support.h"

namespace {

using testing_support::CChannelNamespace;

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
  ASSERT_TRUE(producer.Wait(60000, &code));
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
  ASSERT_TRUE(second.Wait(60000, &code));
  EXPECT_EQ(code, 3) << "refused";
  if (!platform::kIsWindows) {
    const std::string message = testing_support::ReadFile(said);
    EXPECT_NE(message.find("another producer is already delivering frames"), std::string::npos) << message;
    EXPECT_NE(message.find("--allow-second-producer"), std::string::npos) << message;
    std::filesystem::remove(said);
  }

  CChildProcess allowed;
  ASSERT_TRUE(allowed.Start(AMBERLINE_PRODUCER_PATH, {"--frames", "5", "--allow-second-producer"}, names.Environment()));
  ASSERT_TRUE(allowed.Wait(60000, &code));
  EXPECT_EQ(code, 0);
  first.Kill();
  // Ended before this test's channel closes, so that the close is the last and removes it.
  EXPECT_TRUE(first.Wait(60000, &code));
}

}  // namespace
