#include "diagnostics/trace_scope.h"

#include <gtest/gtest.h>

#include <regex>

#include "support/log_capture.h"

namespace {

using testing_support::CLogCapture;

int TracedOperation(bool leaveEarly) {
  CTraceScope scope(1, L"CVideoSrcFilter::JoinFilterGraph (pGraph=%X)", 0xBEEFu);
  if (leaveEarly) return 1;
  g_Log.Write(1, L"inside\n");
  return 0;
}

TEST(TraceScopeTest, BracketsTheOperationWithEntryAndExitLines) {
  CLogCapture log(1);
  TracedOperation(false);
  EXPECT_TRUE(std::regex_match(log.Messages(),
                               std::regex(">>> Entering: CVideoSrcFilter::JoinFilterGraph \\(pGraph=BEEF\\)\n"
                                          "inside\n"
                                          "<<< Leaving: CVideoSrcFilter::JoinFilterGraph \\(pGraph=BEEF\\)\\. "
                                          "Completed in: \\d+\\.\\d{3} sec\\.\n")))
      << log.Messages();
}

TEST(TraceScopeTest, EarlyReturnStillWritesTheExitLine) {
  CLogCapture log(1);
  TracedOperation(true);
  EXPECT_NE(log.Messages().find("<<< Leaving: CVideoSrcFilter::JoinFilterGraph (pGraph=BEEF)."), std::string::npos);
}

TEST(TraceScopeTest, ExitLineIsWrittenWhenAnExceptionUnwindsTheScope) {
  CLogCapture log(0);
  try {
    CTraceScope scope(0, L"Thrower");
    throw 1;
  } catch (int) {
  }
  EXPECT_NE(log.Messages().find("<<< Leaving: Thrower."), std::string::npos);
}

TEST(TraceScopeTest, ShortOperationTakesThousandthsAndCarriageReturnsLeaveTheName) {
  CLogCapture log(0);
  { CTraceScope scope(0, L"Quick\r%s", L"Op\r"); }
  // An empty scope reads as a few thousandths at most, even on a loaded machine.
  EXPECT_TRUE(std::regex_match(log.Messages(),
                               std::regex(">>> Entering: QuickOp\n<<< Leaving: QuickOp\\. Completed in: 0\\.0\\d\\d sec\\.\n")))
      << log.Messages();
}

TEST(TraceScopeTest, ScopeAboveTheConfiguredLevelWritesNothing) {
  CLogCapture log(0);
  TracedOperation(false);
  { CTraceScope scope(3, L"CFileMapping::LockMediaSample"); }
  EXPECT_EQ(log.Text(), "");
}

}  // namespace
