#include "console_output.h"

#include <cstdio>

#include "utf8_path.h"

bool CConsoleOutput::SetTranscript(const std::string& path) {
  m_transcript.open(Utf8Path(path), std::ios::binary | std::ios::trunc);
  return m_transcript.is_open();
}

void CConsoleOutput::Print(const std::string& line) {
  std::fprintf(stdout, "%s\n", line.c_str());
  std::fflush(stdout);
  if (m_transcript.is_open()) m_transcript << line << '\n' << std::flush;
}

void CConsoleOutput::Error(const std::string& line) {
  std::fprintf(stderr, "amberline-capture: %s\n", line.c_str());
  std::fflush(stderr);
  if (m_transcript.is_open()) m_transcript << "amberline-capture: " << line << '\n' << std::flush;
}
