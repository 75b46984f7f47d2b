#include "diagnostics/log_file.h"

#include <gtest/gtest.h>

#include <chrono>
#include <algorithm>
#include <cerrno>
#include <regex>

#include "diagnostics/trace_scope.h"
#include "platform/system_error.h"
#include "platform/wide_string.h"
#include "support/log_capture.h"
#include "support/test_support.h"

namespace {

using testing_support::CLogCapture;
using testing_support::CTempDir;

int CountMatches(const std::string& text, const std::regex& pattern) {
  return static_cast<int>(std::distance(std::sregex_iterator(text.begin(), text.end(), pattern), std::sregex_iterator()));
}

TEST(LogFileTest, EveryEntryStartsWithTheDateAndTimePrefix) {
  CLogCapture log(0);
  g_Log.Write(0, L"Logging level = %d\n", 0);
  EXPECT_TRUE(std::regex_match(log.Text(), std::regex(R"(\| \d\d/\d\d/\d\d \d\d:\d\d:\d\d \| Logging level = 0\n)")))
      << log.Text();
}

TEST(LogFileTest, WritesOnlyLinesAtOrBelowTheConfiguredLevel) {
  CLogCapture log(1);
  g_Log.Write(0, L"zero\n");
  g_Log.Write(1, L"one\n");
  g_Log.Write(2, L"two\n");
  g_Log.Write(3, L"three\n");
  g_Log.Write(-1, L"negative\n");
  EXPECT_EQ(log.Messages(), "zero\none\nnegative\n");
}

TEST(LogFileTest, MessageIsWrittenExactlyAsFormattedWithoutCarriageReturns) {
  CLogCapture log(0);
  g_Log.Write(0, L"path = %s, %d%%\r\n", L"/tmp/My%20Camera/%s", 50);
  EXPECT_EQ(log.Messages(), "path = /tmp/My%20Camera/%s, 50%\n");
}

TEST(LogFileTest, MessageWithoutLineEndLeavesTheNextPrefixOnTheSameLine) {
  CLogCapture log(0);
  g_Log.Write(0, L"first ");
  g_Log.Write(0, L"second\n");
  const std::string text = log.Text();
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1);
  EXPECT_EQ(CountMatches(text, CLogCapture::Prefix()), 2);
}

TEST(LogFileTest, LastErrorLineCarriesCodeHexAndOneLineBreak) {
  CLogCapture log(0);
  const std::wstring text = platform::FormatSystemMessage(2);
  ASSERT_GE(text.size(), 2u);
  EXPECT_EQ(text.substr(text.size() - 2), L"\r\n");
  platform::SetLastError(2);
  g_Log.WriteLastError(0);
  platform::SetLastError(0x1F);
  g_Log.WriteLastError(0);
  const std::string messages = log.Messages();
  EXPECT_TRUE(std::regex_match(messages, std::regex("Error 2\\(2H\\): [^\r\n]+\nError 31\\(1FH\\): [^\r\n]+\n"))) << messages;
}

TEST(LogFileTest, WithoutAStreamEveryWriteIsDropped) {
  CLogFile log;
  log.SetLevel(3);
  log.Write(0, L"nothing %s\n", L"here");
  log.WriteLastError(0);
  EXPECT_FALSE(log.IsOpen());
}

TEST(LogFileTest, OpenFailsQuietlyWhenTheFolderIsMissingOrTheModeIsNotAppend) {
  CTempDir dir;
  CLogFile log;
  EXPECT_FALSE(log.Open((dir.Path() / "Trelvox" / "Amberline.log").wstring().c_str(), L"at"));
  EXPECT_FALSE(std::filesystem::exists(dir.Path() / "Trelvox"));
  EXPECT_FALSE(log.Open((dir.Path() / "x.log").wstring().c_str(), L"wt"));
  EXPECT_FALSE(std::filesystem::exists(dir.Path() / "x.log"));
}

TEST(LogFileTest, OpenRefusesAPathThatIsADevice) {
  CLogFile log;
  EXPECT_FALSE(log.Open(platform::kIsWindows ? L"NUL" : L"/dev/null", L"at"));
  EXPECT_FALSE(log.IsOpen());
}

TEST(LogFileTest, OpenAppendsToWhatIsAlreadyThere) {
  CTempDir dir;
  const auto path = dir.Path() / "a.log";
  testing_support::WriteFile(path, "earlier\n");
  CLogFile log;
  ASSERT_TRUE(log.Open(path.wstring().c_str(), L"at"));
  log.Write(0, L"later\n");
  const std::string text = testing_support::ReadText(path);
  EXPECT_EQ(text.rfind("earlier\n", 0), 0u);
  EXPECT_NE(text.find("later\n"), std::string::npos);
}

int AppendLines(int argc, char** argv) {
  if (argc != 3) return 2;
  CLogFile log;
  if (!log.Open(platform::Utf8ToWide(argv[0]).c_str(), L"at")) return 3;
  const int count = std::atoi(argv[1]);
  for (int i = 0; i < count; ++i) log.Write(0, L"%S line %d of this writer\n", argv[2], i);
  return 0;
}
AMBERLINE_CHILD_MODE("log-append", AppendLines);

TEST(LogFileTest, TwoProcessesAppendToOneFileWithoutLosingOrTearingEntries) {
  CTempDir dir;
  const auto path = dir.Path() / "shared.log";
  constexpr int kLines = 400;
  CChildProcess a, b;
  ASSERT_TRUE(testing_support::StartChild(a, "log-append", {path.string(), std::to_string(kLines), "A"}));
  ASSERT_TRUE(testing_support::StartChild(b, "log-append", {path.string(), std::to_string(kLines), "B"}));
  int codeA = -1, codeB = -1;
  ASSERT_TRUE(a.Wait(std::chrono::milliseconds(60000), &codeA));
  ASSERT_TRUE(b.Wait(std::chrono::milliseconds(60000), &codeB));
  EXPECT_EQ(codeA, 0);
  EXPECT_EQ(codeB, 0);
  const std::string text = testing_support::ReadText(path);
  EXPECT_EQ(CountMatches(text, CLogCapture::Prefix()), 2 * kLines);
  for (const char* writer : {"A", "B"})
    for (int i = 0; i < kLines; i += 37) {
      const std::string line = std::string(writer) + " line " + std::to_string(i) + " of this writer\n";
      EXPECT_NE(text.find(line), std::string::npos) << line;
    }
  EXPECT_EQ(CountMatches(text, std::regex("[AB] line \\d+ of this writer\n")), 2 * kLines);
}

}  // namespace
