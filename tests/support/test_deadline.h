// CTestDeadline: a time limit for every test of the program, so that a hang is a quick,
// named failure instead of a run that never ends.
//
// A gtest listener arms a deadline when a test starts and disarms it when the test ends;
// a watchdog thread waits for the deadline. When a test is still running then, the
// watchdog prints the test's full name and ends the program at once with
// kTestDeadlineExitCode (nothing of a hung test can be unwound safely).
//
// The limit is kDefaultTestDeadlineSeconds, or AMBERLINE_TEST_DEADLINE_SECONDS when set
// (0 switches the watchdog off, for a debugger). Crash and soak tests (suites whose name
// contains "Soak") get their AMBERLINE_SOAK_SECONDS on top.
//
// Ownership: the test program owns the listener; gtest only calls it. Destroying it stops
// and joins the watchdog. Threading: the listener's calls come from the main thread; the
// watchdog only reads what they set under the object's lock.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include <gtest/gtest.h>

namespace testing_support {

inline constexpr int kDefaultTestDeadlineSeconds = 120;
inline constexpr int kTestDeadlineExitCode = 124;

class CTestDeadline final : public testing::EmptyTestEventListener {
 public:
  // limitSeconds <= 0: no deadline. soakSeconds are added for soak tests.
  CTestDeadline(int limitSeconds, int soakSeconds);
  ~CTestDeadline() override;
  CTestDeadline(const CTestDeadline&) = delete;
  CTestDeadline& operator=(const CTestDeadline&) = delete;

  // The limits from the environment (see above).
  static int LimitFromEnvironment();
  static int SoakFromEnvironment();

  void OnTestStart(const testing::TestInfo& info) override;
  void OnTestEnd(const testing::TestInfo& info) override;

 private:
  void Watch();

  const int m_limitSeconds;
  const int m_soakSeconds;
  std::mutex m_lock;
  std::condition_variable m_changed;
  bool m_armed = false;
  bool m_stop = false;
  std::string m_name;
  int m_seconds = 0;
  std::chrono::steady_clock::time_point m_deadline;
  std::thread m_watchdog;
};

// Runs the tests gtest was initialised with, under the deadline from the environment.
int RunAllTestsWithDeadline();

}  // namespace testing_support
