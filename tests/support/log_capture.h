// CLogCapture: points the test program's g_Log at a fresh file for one test, at a
// given level, and gives back what was written. Closes the log when it ends.
#pragma once

#include <regex>
#include <string>
#include <vector>

#include "diagnostics/log_file.h"
#include "support/test_support.h"

namespace testing_support {

class CLogCapture {
 public:
  explicit CLogCapture(int level) : m_path(m_dir.Path() / "test.log") {
    g_Log.Open(m_path.wstring().c_str(), L"at");
    g_Log.SetLevel(level);
  }
  ~CLogCapture() {
    g_Log.Close();
    g_Log.SetLevel(0);
  }
  // The file's text with the system's line ends (CR LF on Windows) read as "\n".
  std::string Text() const { return ReadText(m_path); }
  // The messages of the file with their time-stamp prefixes removed.
  std::string Messages() const { return std::regex_replace(Text(), Prefix(), ""); }
  static const std::regex& Prefix() {
    static const std::regex prefix(R"(\| \d\d/\d\d/\d\d \d\d:\d\d:\d\d \| )");
    return prefix;
  }
  const std::filesystem::path& Path() const { return m_path; }

 private:
  CTempDir m_dir;
  std::filesystem::path m_path;
};

// The messages of a log file, prefixes removed and line ends read as "\n".
inline std::string LogMessages(const std::filesystem::path& path) {
  return std::regex_replace(ReadText(path), CLogCapture::Prefix(), "");
}

// text with every character that means something in a regular expression escaped.
inline std::string RegexEscape(const std::string& text) {
  return std::regex_replace(text, std::regex(R"([.^$|()\[\]{}*+?\\])"), R"(\$&)");
}

}  // namespace testing_support
