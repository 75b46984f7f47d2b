// The test program's own deadline: a test that hangs ends the program quickly, with a
// failure status and the test's name, instead of holding the whole run.
#include "support/test_deadline.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <future>

#include "support/test_support.h"

namespace {

using testing_support::CTempDir;

class CPassingTest : public testing::Test {
  void TestBody() override {}
};

class CHangingTest : public testing::Test {
  void TestBody() override {
    std::promise<void> never;
    never.get_future().wait();
  }
};

// Child: runs a passing test and then one that never returns, under the deadline the
// environment gives, with the program's error output going to the file argv[0].
int RunHangingTest(int argc, char** argv) {
  if (argc < 1 || std::freopen(argv[0], "w", stderr) == nullptr) return 2;
  testing::RegisterTest("TestDeadlineChild", "Passes", nullptr, nullptr, __FILE__, __LINE__,
                        []() -> testing::Test* { return new CPassingTest; });
  testing::RegisterTest("TestDeadlineChild", "HangsPastItsDeadline", nullptr, nullptr, __FILE__, __LINE__,
                        []() -> testing::Test* { return new CHangingTest; });
  int gtestArgc = 2;
  char program[] = "deadline-child";
  char filter[] = "--gtest_filter=TestDeadlineChild.*";
  char* gtestArgv[] = {program, filter, nullptr};
  testing::InitGoogleTest(&gtestArgc, gtestArgv);
  return testing_support::RunAllTestsWithDeadline();
}
AMBERLINE_CHILD_MODE("hang-past-deadline", RunHangingTest);

TEST(TestDeadlineTest, AHangingTestEndsTheProgramWithAFailureThatNamesIt) {
  CTempDir dir;
  const auto report = dir.Path() / "stderr.txt";
  CChildProcess child;
  ASSERT_TRUE(testing_support::StartChild(child, "hang-past-deadline", {report.string()},
                                          {{"AMBERLINE_TEST_DEADLINE_SECONDS", "1"}}));
  int exitCode = -1;
  const bool ended = child.Wait(std::chrono::milliseconds(60000), &exitCode);
  if (!ended) child.Kill();
  ASSERT_TRUE(ended) << "the hanging test held the program past its deadline";
  EXPECT_EQ(exitCode, testing_support::kTestDeadlineExitCode);
  const std::string text = testing_support::ReadText(report);
  EXPECT_NE(text.find("TestDeadlineChild.HangsPastItsDeadline did not finish within 1 s"), std::string::npos) << text;
  EXPECT_EQ(text.find("TestDeadlineChild.Passes did not"), std::string::npos) << "a finished test is not blamed";
}

}  // namespace
