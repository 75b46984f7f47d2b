// CLiveProcess: one program of a live PipeWire test (the producer, amberline-camera,
// gst-launch), started with its standard output and error in a file of its own and its
// process id known, so that a test can read what it printed while it runs and stop it
// as a user or a service manager does (SIGINT, SIGTERM), or kill it (SIGKILL).
//
//   CLiveProcess camera;
//   ASSERT_TRUE(camera.Start(AMBERLINE_CAMERA_PATH, {}, dir / "camera.txt"));
//   std::smatch m;
//   ASSERT_TRUE(camera.WaitForOutput(std::regex("node ([0-9]+)"), 30000, &m)) << camera.Output();
//   camera.SendSignal(SIGTERM);
//   int code = -1;
//   ASSERT_TRUE(camera.Wait(10000, &code));
//
// Ownership: owns the child; destroying the object (or starting another program with it)
// kills a child that still runs and reaps it. A child never outlives the test program: it
// gets SIGKILL when the test program ends, also when the test deadline ends it at once
// (the signal follows the thread that started it: start programs from the main thread).
// The output file stays for the test to read; the caller's folder owns it.
// Threading: one thread at a time. Failure: Start and the waits report false; nothing
// throws.
#pragma once

#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "platform/child_process.h"

namespace testing_support {

class CLiveProcess {
 public:
  CLiveProcess() = default;
  CLiveProcess(const CLiveProcess&) = delete;
  CLiveProcess& operator=(const CLiveProcess&) = delete;

  // Runs program with arguments (and extra environment) through /bin/sh, which records
  // its own id and then becomes the program, so the id is the program's; returns once
  // the id is known.
  bool Start(const std::string& program, const std::vector<std::string>& arguments,
             const std::filesystem::path& outputFile, const CChildProcess::Environment& environment = {});
  // Everything the program printed so far (standard output and error interleaved).
  std::string Output() const;
  // Waits until pattern matches the output at or after byte `from`; *match holds the
  // match (positions relative to `from`). False when the deadline passes or the program
  // ends without printing it.
  bool WaitForOutput(const std::regex& pattern, int timeoutMs, std::smatch* match = nullptr, std::size_t from = 0);
  // Sends a signal (SIGTERM, SIGINT, ...); false when the program has ended, its id is
  // not known or the signal fails.
  bool SendSignal(int signal);
  // SendSignal(SIGTERM): asks the program to stop as a service manager does.
  bool Terminate();
  // Ends the program at once (SIGKILL).
  void Kill();
  bool Wait(int timeoutMs, int* exitCode);
  // True from Start until Wait collected the program.
  bool IsRunning() const { return m_child.IsRunning(); }
  // True once the program has ended (collected or not yet); false while it runs.
  bool HasEnded() const;
  // User plus system processor time the program has used so far, in seconds.
  double CpuSeconds() const { return m_child.CpuSeconds(); }

 private:
  CChildProcess m_child;
  std::filesystem::path m_output;
  std::filesystem::path m_pidFile;
  std::string m_matchedText;  // what *match of WaitForOutput points into
  long m_pid = 0;             // the program's id once read from the pid file
};

}  // namespace testing_support
