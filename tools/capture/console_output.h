// CConsoleOutput: where the tool's messages go — results to standard output, problems
// to standard error, and both, in order, to a transcript file when one is set (so that
// scripts and tests can read what a run printed). Lines are UTF-8 text without their
// line feed. Owns the transcript file; one thread. A transcript that cannot be opened
// makes SetTranscript return false; later write failures are ignored.
#pragma once

#include <fstream>
#include <string>

class CConsoleOutput {
 public:
  bool SetTranscript(const std::string& path);
  void Print(const std::string& line);
  void Error(const std::string& line);

 private:
  std::ofstream m_transcript;
};
