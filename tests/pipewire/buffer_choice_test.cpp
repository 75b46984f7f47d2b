// Which buffer a camera node fills next, with made-up busy counts.
#include "pipewire/buffer_choice.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

constexpr std::int64_t kSecond = 1000000000;

// Buffers A, B, C, ... as the node's choice knows them; Send(i) picks nothing, it says
// buffer i went out.
struct Rig {
  explicit Rig(std::size_t count) : slots(count) {
    for (int& slot : slots) choice.Add(&slot);
  }
  std::size_t PickAndSend(const std::vector<std::uint32_t>& counts) {
    const std::size_t pick = choice.Pick(counts);
    if (pick != CBufferChoice::kNone) choice.Sent(choice.At(pick));
    return pick;
  }
  std::vector<int> slots;
  CBufferChoice choice;
};

TEST(BufferChoice, TakesTheFreeBufferSentLongestAgoAndNeverTheOneJustSent) {
  Rig rig(3);
  // Never sent first, in their order; then round and round.
  std::vector<std::size_t> picks;
  for (int frame = 0; frame < 6; ++frame) picks.push_back(rig.PickAndSend({0, 0, 0}));
  EXPECT_EQ(picks, (std::vector<std::size_t>{0, 1, 2, 0, 1, 2}));
  // A reader holds the one sent longest ago (its count is above the lowest seen): the next
  // oldest goes, and the one just sent waits.
  EXPECT_EQ(rig.PickAndSend({1, 0, 0}), 1u);
  EXPECT_EQ(rig.PickAndSend({0, 0, 0}), 0u);
  EXPECT_EQ(CBufferChoice().Pick({}), CBufferChoice::kNone);
}

TEST(BufferChoice, WhenReadersHoldEveryBufferTheOneSentLongestAgoGoes) {
  Rig rig(3);
  for (int frame = 0; frame < 3; ++frame) rig.PickAndSend({0, 0, 0});  // sent A, B, C
  EXPECT_EQ(rig.PickAndSend({1, 2, 1}), 0u);
  EXPECT_EQ(rig.PickAndSend({1, 2, 1}), 1u);
}

// A consumer that gets stuck holding buffer A while B stays free: A counts as held by a
// reader until two windows of frames have passed without a count below its mark, then as
// held only by the stuck one, and goes out again (it was sent longest ago).
TEST(BufferChoice, AStuckMarkCountsAsLastingAfterTwoWindowsOfFrames) {
  Rig rig(2);
  ASSERT_EQ(rig.PickAndSend({0, 0}), 0u);  // look 1: A goes out, and gets stuck
  std::uint64_t look = 1;
  std::uint64_t firstA = 0;
  while (firstA == 0 && look < 10 * CBufferChoice::kLowestWindowFrames) {
    ++look;
    if (rig.PickAndSend({1, 0}) == 0) firstA = look;
  }
  // Two seconds at 30 frames a second.
  EXPECT_EQ(firstA, 60u);
}

TEST(BufferChoice, TheNoticeComesFirstAndThenAtMostOnceInItsInterval) {
  CBufferChoice choice;
  const std::int64_t start = 5 * kSecond;
  EXPECT_TRUE(choice.NoticeDue(start));
  EXPECT_FALSE(choice.NoticeDue(start + 1));
  EXPECT_FALSE(choice.NoticeDue(start + CBufferChoice::kHeldNoticeEveryNs - 1));
  EXPECT_TRUE(choice.NoticeDue(start + CBufferChoice::kHeldNoticeEveryNs));
  EXPECT_FALSE(choice.NoticeDue(start + CBufferChoice::kHeldNoticeEveryNs + kSecond));
  // The clock's zero is a time like any other.
  EXPECT_TRUE(CBufferChoice().NoticeDue(0));
  // "At most once a minute", as the README says.
  EXPECT_EQ(CBufferChoice::kHeldNoticeEveryNs, 60 * kSecond);
}

}  // namespace
