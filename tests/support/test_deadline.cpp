#include "support/test_deadline.h"

#include <cstdio>
#include <cstdlib>
#include <memory>

namespace testing_support {
namespace {

// A non-negative whole number of seconds from the environment, or fallback.
int SecondsFromEnvironment(const char* name, int fallback) {
  const char* text = std::getenv(name);
  if (text == nullptr || *text == '\0') return fallback;
  char* end = nullptr;
  const long value = std::strtol(text, &end, 10);
  if (*end != '\0' || value < 0 || value > 1000000) return fallback;
  return static_cast<int>(value);
}

}  // namespace

CTestDeadline::CTestDeadline(int limitSeconds, int soakSeconds)
    : m_limitSeconds(limitSeconds), m_soakSeconds(soakSeconds) {
  if (m_limitSeconds > 0) m_watchdog = std::thread([this] { Watch(); });
}

CTestDeadline::~CTestDeadline() {
  {
    std::lock_guard<std::mutex> lock(m_lock);
    m_stop = true;
  }
  m_changed.notify_all();
  if (m_watchdog.joinable()) m_watchdog.join();
}

int CTestDeadline::LimitFromEnvironment() {
  return SecondsFromEnvironment("AMBERLINE_TEST_DEADLINE_SECONDS", kDefaultTestDeadlineSeconds);
}

int CTestDeadline::SoakFromEnvironment() { return SecondsFromEnvironment("AMBERLINE_SOAK_SECONDS", 0); }

void CTestDeadline::OnTestStart(const testing::TestInfo& info) {
  if (m_limitSeconds <= 0) return;
  const std::string suite = info.test_suite_name();
  const int seconds = m_limitSeconds + (suite.find("Soak") != std::string::npos ? m_soakSeconds : 0);
  {
    std::lock_guard<std::mutex> lock(m_lock);
    m_name = suite + "." + info.name();
    m_seconds = seconds;
    m_deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    m_armed = true;
  }
  m_changed.notify_all();
}

void CTestDeadline::OnTestEnd(const testing::TestInfo&) {
  if (m_limitSeconds <= 0) return;
  {
    std::lock_guard<std::mutex> lock(m_lock);
    m_armed = false;
  }
  m_changed.notify_all();
}

void CTestDeadline::Watch() {
  std::unique_lock<std::mutex> lock(m_lock);
  while (!m_stop) {
    if (!m_armed) {
      m_changed.wait(lock);
      continue;
    }
    const auto deadline = m_deadline;
    if (m_changed.wait_until(lock, deadline) != std::cv_status::timeout) continue;
    // The same test still running past the deadline it was given: a later test would
    // have armed a new one.
    if (m_stop || !m_armed || m_deadline != deadline) continue;
    std::fflush(stdout);
    std::fprintf(stderr, "\n[ DEADLINE ] %s did not finish within %d s; the test program stops.\n", m_name.c_str(),
                 m_seconds);
    std::fflush(stderr);
    std::_Exit(kTestDeadlineExitCode);
  }
}

int RunAllTestsWithDeadline() {
  testing::TestEventListeners& listeners = testing::UnitTest::GetInstance()->listeners();
  auto* deadline = new CTestDeadline(CTestDeadline::LimitFromEnvironment(), CTestDeadline::SoakFromEnvironment());
  listeners.Append(deadline);
  const int result = RUN_ALL_TESTS();
  // Taken back from gtest so that the watchdog is joined before the program ends.
  std::unique_ptr<CTestDeadline> owned(static_cast<CTestDeadline*>(listeners.Release(deadline)));
  return result;
}

}  // namespace testing_support
