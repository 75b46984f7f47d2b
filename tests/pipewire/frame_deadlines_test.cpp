// The deadlines of a camera node's frames, with made-up clock readings.
#include "pipewire/frame_deadlines.h"

#include <gtest/gtest.h>

namespace {

using pipewire_camera::VideoFormat;

constexpr std::int64_t kSecond = 1000000000;
const VideoFormat kThirty{SPA_VIDEO_FORMAT_BGRx, 640, 480, 30, 1};
const VideoFormat kNtsc{SPA_VIDEO_FORMAT_BGRx, 640, 480, 30000, 1001};

TEST(FrameDeadlines, LateFramesDoNotDelayTheChain) {
  CFrameDeadlines deadlines;
  deadlines.Start(5 * kSecond, kThirty);
  EXPECT_EQ(deadlines.Due(), 5 * kSecond);
  // Each frame runs 20 ms after its deadline; the next stays one period after the last due.
  std::int64_t due = deadlines.Due();
  for (int n = 1; n <= 3000; ++n) due = deadlines.Advance(due + 20000000);
  EXPECT_EQ(due, 5 * kSecond + 100 * kSecond);  // frame 3000 at 30 fps: exactly 100 s on
  EXPECT_EQ(deadlines.Skipped(), 0u);
}

TEST(FrameDeadlines, AFractionalRateIsExactOverHours) {
  CFrameDeadlines deadlines;
  deadlines.Start(0, kNtsc);
  std::int64_t due = 0;
  for (int n = 1; n <= 30000 * 6; ++n) due = deadlines.Advance(due);
  EXPECT_EQ(due, 6 * 1001 * kSecond);  // 180000 frames at 30000/1001 fps: 6006 s
}

TEST(FrameDeadlines, AStallSkipsTheMissedFramesInsteadOfABurst) {
  CFrameDeadlines deadlines;
  deadlines.Start(0, kThirty);
  // The loop was held for a second and a bit after frame 0.
  const std::int64_t next = deadlines.Advance(kSecond + 10000000);
  EXPECT_GT(next, kSecond + 10000000);
  EXPECT_EQ(next, 31 * kSecond / 30);  // frame 31, still on the original grid
  EXPECT_EQ(deadlines.Skipped(), 30u);
  // A frame that runs exactly at the next deadline does not get that deadline again.
  EXPECT_GT(deadlines.Advance(next), next);
}

TEST(FrameDeadlines, ANewRateStartsFromNowNotFromTheOldChainsFrameCount) {
  CFrameDeadlines deadlines;
  deadlines.Start(0, VideoFormat{SPA_VIDEO_FORMAT_BGRx, 640, 480, 60, 1});
  std::int64_t due = 0;
  for (int n = 0; n < 6000; ++n) due = deadlines.Advance(due);  // 100 s at 60 fps
  deadlines.Start(due, VideoFormat{SPA_VIDEO_FORMAT_BGRx, 640, 480, 15, 1});
  EXPECT_EQ(deadlines.Due(), due);
  EXPECT_EQ(deadlines.Advance(due), due + kSecond / 15);
}

}  // namespace
