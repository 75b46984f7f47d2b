// When a camera node renews its buffers, with made-up clock readings at 30 frames a second.
#include "pipewire/buffer_starvation.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

constexpr std::int64_t kSecond = 1000000000;
constexpr std::int64_t kFrame = kSecond / 30;

// The times (in whole seconds since `from`) at which RenewDue said yes, asked every frame
// until `until`, with a free buffer at every frame for which free(t) holds.
template <typename FreeAt>
std::vector<std::int64_t> Renewals(CBufferStarvation& starvation, std::int64_t from, std::int64_t until, FreeAt free) {
  std::vector<std::int64_t> at;
  for (std::int64_t t = from; t <= until; t += kFrame) {
    if (free(t)) starvation.Free(t);
    if (starvation.RenewDue(t)) at.push_back((t - from) / kSecond);
  }
  return at;
}

TEST(BufferStarvation, RenewsOnlyAfterASecondWithoutAFreeBuffer) {
  CBufferStarvation starvation;
  starvation.Start(100 * kSecond);
  // One free buffer every 29 frames keeps it fed, however few.
  EXPECT_TRUE(Renewals(starvation, 100 * kSecond, 160 * kSecond, [](std::int64_t t) { return t / kFrame % 29 == 0; })
                  .empty());
  // The last free buffer at 160 s, then none: the first renewal a second later.
  const std::vector<std::int64_t> at =
      Renewals(starvation, 160 * kSecond, 162 * kSecond, [](std::int64_t t) { return t == 160 * kSecond; });
  ASSERT_FALSE(at.empty());
  EXPECT_EQ(at.front(), 1);
}

TEST(BufferStarvation, RenewalsThatDoNotHelpAreSpacedOutUpToTheLastWait) {
  CBufferStarvation starvation;
  starvation.Start(0);
  // A minute and a half without a free buffer: after 1 s, then waits of 2, 4, 8, 16, 32, 32 s.
  EXPECT_EQ(Renewals(starvation, 0, 90 * kSecond, [](std::int64_t) { return false; }),
            (std::vector<std::int64_t>{1, 3, 7, 15, 31, 63}));
}

TEST(BufferStarvation, AStreamThatRestartsOrGetsAFewBuffersDoesNotShortenTheWait) {
  CBufferStarvation starvation;
  starvation.Start(0);
  // Every renewal restarts the stream and frees a buffer or two, then all are taken again.
  std::vector<std::int64_t> at;
  for (std::int64_t t = 0; t <= 40 * kSecond; t += kFrame) {
    if (starvation.RenewDue(t)) {
      at.push_back(t / kSecond);
      starvation.Start(t);
      starvation.Free(t + kFrame);
    }
  }
  EXPECT_EQ(at, (std::vector<std::int64_t>{1, 3, 7, 15, 31}));
  // A minute without renewals: the next starvation is answered after a second again.
  starvation.Start(200 * kSecond);
  const std::vector<std::int64_t> later =
      Renewals(starvation, 200 * kSecond, 204 * kSecond, [](std::int64_t) { return false; });
  ASSERT_FALSE(later.empty());
  EXPECT_EQ(later.front(), 1);
}

}  // namespace
