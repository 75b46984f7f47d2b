#include "platform/scoped_handle.h"

#include <gtest/gtest.h>

#include <utility>
#include <vector>

namespace {

// Handles are small numbers; closing one records it.
std::vector<int> g_closed;

struct CountedTraits {
  using Handle = int;
  static int Invalid() noexcept { return 0; }
  static bool IsValid(int handle) noexcept { return handle != 0; }
  static void Close(int handle) noexcept { g_closed.push_back(handle); }
};
using CCounted = CScopedHandle<CountedTraits>;

class ScopedHandleTest : public testing::Test {
 protected:
  void SetUp() override { g_closed.clear(); }
};

TEST_F(ScopedHandleTest, EveryHandleIsClosedExactlyOnceWhereverItMoves) {
  {
    CCounted first(1);
    CCounted moved(std::move(first));
    EXPECT_FALSE(first.IsValid());
    EXPECT_EQ(moved.Get(), 1);
    CCounted target(2);
    target = std::move(moved);  // closes 2, takes 1
    EXPECT_EQ(g_closed, std::vector<int>({2}));
    EXPECT_FALSE(moved.IsValid());
    auto& self = target;
    target = std::move(self);
    EXPECT_EQ(target.Get(), 1) << "self-assignment keeps the handle";
    EXPECT_EQ(g_closed, std::vector<int>({2}));
  }
  EXPECT_EQ(g_closed, std::vector<int>({2, 1}));
}

TEST_F(ScopedHandleTest, ResetClosesTheOldHandleAndReleaseClosesNothing) {
  CCounted handle(3);
  handle.Reset(4);
  EXPECT_EQ(g_closed, std::vector<int>({3}));
  EXPECT_EQ(handle.Get(), 4);
  EXPECT_EQ(handle.Release(), 4);
  EXPECT_FALSE(handle.IsValid());
  handle.Reset();
  EXPECT_EQ(g_closed, std::vector<int>({3})) << "a released handle is the caller's";
}

}  // namespace
