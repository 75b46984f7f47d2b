// The log started afresh past its size: what lands in which file, with one writer, with
// two writers passing the size together, and with several processes.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "diagnostics/log_file.h"
#include "platform/wide_string.h"
#include "support/log_capture.h"
#include "support/test_support.h"

namespace {

namespace fs = std::filesystem;
using testing_support::CTempDir;
using testing_support::LogMessages;

std::string ContinuationLine(const fs::path& path, int size) {
  return "This file continues the log in " + path.string() + ".1, which passed " + std::to_string(size) + " bytes\n";
}

int CountOf(const std::string& text, const std::string& part) {
  int count = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

std::set<std::string> FolderEntries(const fs::path& folder) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) names.insert(entry.path().filename().string());
  return names;
}

TEST(LogRotationTest, PastTheSizeTheFileIsKeptAsDotOneAndANewOneSaysItContinues) {
  CTempDir dir;
  const fs::path path = dir.Path() / "Amberline.log";
  const fs::path old = dir.Path() / "Amberline.log.1";
  CLogFile log;
  ASSERT_TRUE(log.Open(path.wstring().c_str(), L"at"));
  log.SetRotationSize(600);
  int written = 0;
  while (!fs::exists(old) && written < 100) log.Write(0, L"entry %d\n", written++);
  ASSERT_TRUE(fs::exists(old));
  // Rotated right after the entry that passed the size, and not before.
  EXPECT_GT(fs::file_size(old), 600u);
  EXPECT_LT(fs::file_size(old), 700u);
  EXPECT_EQ(LogMessages(path), ContinuationLine(path, 600));
  log.Write(0, L"entry %d\n", written++);

  std::string all = LogMessages(old) + LogMessages(path);
  std::string expected;
  for (int i = 0; i < written; ++i) {
    if (i == written - 1) expected += ContinuationLine(path, 600);
    expected += "entry " + std::to_string(i) + "\n";
  }
  EXPECT_EQ(all, expected);

  // The next rotation replaces the older file.
  const std::string first = LogMessages(old);
  while (LogMessages(old) == first && written < 200) log.Write(0, L"entry %d\n", written++);
  EXPECT_EQ(LogMessages(old).rfind(ContinuationLine(path, 600), 0), 0u);
  EXPECT_EQ(FolderEntries(dir.Path()), (std::set<std::string>{"Amberline.log", "Amberline.log.1"}));
}

TEST(LogRotationTest, SecondWriterPastTheSizeJoinsTheNewFileInsteadOfRenamingItAgain) {
  CTempDir dir;
  const fs::path path = dir.Path() / "Amberline.log";
  CLogFile a, b;
  ASSERT_TRUE(a.Open(path.wstring().c_str(), L"at"));
  ASSERT_TRUE(b.Open(path.wstring().c_str(), L"at"));
  for (int i = 0; i < 20; ++i) a.Write(0, L"before %d\n", i);
  // Both now find the file past the size: a rotates, then b, which still writes to the
  // old file, must find the new one at the path and keep it.
  a.SetRotationSize(600);
  b.SetRotationSize(600);
  a.Write(0, L"a passes the size\n");
  b.Write(0, L"b passes the size\n");
  b.Write(0, L"b after\n");
  a.Write(0, L"a after\n");

  const std::string older = LogMessages(path.string() + ".1");
  EXPECT_NE(older.find("before 0\n"), std::string::npos) << "the old file was lost";
  EXPECT_NE(older.find("a passes the size\nb passes the size\n"), std::string::npos) << older;
  EXPECT_EQ(LogMessages(path), ContinuationLine(path, 600) + "b after\na after\n");
}

TEST(LogRotationTest, ThreadsWritingThroughARotationLoseNoEntry) {
  CTempDir dir;
  const fs::path path = dir.Path() / "Amberline.log";
  CLogFile log;
  ASSERT_TRUE(log.Open(path.wstring().c_str(), L"at"));
  // About 50 bytes an entry: 2000 entries pass the size once and not twice.
  constexpr int kThreads = 4;
  constexpr int kLines = 500;
  log.SetRotationSize(70000);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&log, t] {
      for (int i = 0; i < kLines; ++i) log.Write(0, L"thread %d line %d\n", t, i);
    });
  for (std::thread& thread : threads) thread.join();
  const std::string all = LogMessages(path.string() + ".1") + LogMessages(path);
  EXPECT_EQ(CountOf(all, "This file continues"), 1);
  for (int t = 0; t < kThreads; ++t)
    for (int i = 0; i < kLines; ++i)
      ASSERT_EQ(CountOf(all, "thread " + std::to_string(t) + " line " + std::to_string(i) + "\n"), 1) << t << " " << i;
}

int AppendRotating(int argc, char** argv) {
  if (argc != 5) return 2;
  CLogFile log;
  if (!log.Open(platform::Utf8ToWide(argv[0]).c_str(), L"at")) return 3;
  log.SetRotationSize(std::strtoull(argv[3], nullptr, 10));
  // All writers start together, so that they pass the size together.
  testing_support::WriteFile(std::string(argv[4]) + "." + argv[2], "");
  if (!testing_support::WaitUntil([&] { return fs::exists(argv[4]); }, 60000)) return 4;
  const int count = std::atoi(argv[1]);
  for (int i = 0; i < count; ++i) log.Write(0, L"%S line %d of this writer\n", argv[2], i);
  return 0;
}
AMBERLINE_CHILD_MODE("log-append-rotating", AppendRotating);

TEST(LogRotationTest, ProcessesPassingTheSizeTogetherRotateOnceAndLoseNoEntry) {
  CTempDir dir;
  const fs::path path = dir.Path() / "Amberline.log";
  // About 50 bytes an entry: 3000 entries pass the size once and not twice.
  constexpr int kLines = 1000;
  constexpr int kSize = 100000;
  const fs::path go = dir.Path() / "go";
  CChildProcess writers[3];
  const char* names[3] = {"A", "B", "C"};
  for (int i = 0; i < 3; ++i)
    ASSERT_TRUE(testing_support::StartChild(
        writers[i], "log-append-rotating", {path.string(), std::to_string(kLines), names[i], std::to_string(kSize), go.string()}));
  ASSERT_TRUE(testing_support::WaitUntil(
      [&] {
        for (const char* name : names)
          if (!fs::exists(go.string() + "." + name)) return false;
        return true;
      },
      60000));
  testing_support::WriteFile(go, "");
  for (CChildProcess& writer : writers) {
    int code = -1;
    ASSERT_TRUE(writer.Wait(std::chrono::milliseconds(60000), &code));
    EXPECT_EQ(code, 0);
  }
  const std::string older = LogMessages(path.string() + ".1");
  const std::string newer = LogMessages(path);
  EXPECT_EQ(newer.rfind(ContinuationLine(path, kSize), 0), 0u) << newer.substr(0, 200);
  const std::string all = older + newer;
  EXPECT_EQ(CountOf(all, "This file continues"), 1);
  EXPECT_EQ(CountOf(all, " of this writer\n"), 3 * kLines);
  for (const char* writer : names)
    for (int i = 0; i < kLines; ++i)
      ASSERT_EQ(CountOf(all, std::string(writer) + " line " + std::to_string(i) + " of this writer\n"), 1) << writer << i;
}

}  // namespace
