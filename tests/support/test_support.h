// Helpers shared by the test suites.
//
// CTempDir: a fresh folder, removed with everything in it when the object ends.
// CScopedEnvironment: sets process environment variables for one test and restores
// them afterwards.
// Child modes: a test program can start itself as a child process in a named mode
// ("<test program> --child=<mode> <args>") to act as a second process of a
// several-process test; AMBERLINE_CHILD_MODE registers one.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "platform/child_process.h"

namespace testing_support {

class CTempDir {
 public:
  CTempDir();
  ~CTempDir();
  CTempDir(const CTempDir&) = delete;
  CTempDir& operator=(const CTempDir&) = delete;
  const std::filesystem::path& Path() const { return m_path; }
  std::string Utf8() const { return m_path.string(); }
  std::wstring Wide() const { return m_path.wstring(); }

 private:
  std::filesystem::path m_path;
};

class CScopedEnvironment {
 public:
  CScopedEnvironment() = default;
  ~CScopedEnvironment();
  CScopedEnvironment(const CScopedEnvironment&) = delete;
  CScopedEnvironment& operator=(const CScopedEnvironment&) = delete;
  void Set(const std::wstring& name, const std::wstring& value);
  void Unset(const std::wstring& name);

 private:
  void Remember(const std::wstring& name);
  std::vector<std::pair<std::wstring, std::pair<bool, std::wstring>>> m_saved;
};

using ChildMode = int (*)(int argc, char** argv);
struct ChildModeRegistration {
  ChildModeRegistration(const char* name, ChildMode mode);
};
#define AMBERLINE_CHILD_MODE(name, function) \
  static const ::testing_support::ChildModeRegistration g_childMode_##function(name, function)

// Runs a registered mode when argv asks for one; returns -1 when it does not.
int RunChildModeIfRequested(int argc, char** argv);
// Starts this test program in mode with arguments; a failure says why.
testing::AssertionResult StartChild(CChildProcess& child, const std::string& mode,
                                    const std::vector<std::string>& arguments,
                                    const CChildProcess::Environment& environment = {});

// Whole file contents, or empty.
std::string ReadFile(const std::filesystem::path& path);
void WriteFile(const std::filesystem::path& path, const std::string& bytes);
// A text file's contents with CR LF line ends (the system's own on Windows) read as LF.
std::string ReadText(const std::filesystem::path& path);

// The staged module built with the tests.
std::filesystem::path StagedModulePath();

// Polls condition every 5 ms until it holds (true) or timeoutMs have passed (false).
bool WaitUntil(const std::function<bool()>& condition, int timeoutMs);

// Races a reader against a writer: read() runs again and again on a thread of its own
// while write(i) runs on the calling thread for i = 0, 1, …. Writing starts once the
// reader has run, and goes on for at least `writes` calls and until read() has run
// `reads` times meanwhile (at most 20 × writes calls in all). Stops early when write
// returns false; returns whether every write returned true.
bool RaceReaderAgainstWriter(const std::function<void()>& read, const std::function<bool(int)>& write, int writes,
                             int reads);

}  // namespace testing_support
