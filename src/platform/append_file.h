// CAppendFile: a text file that several threads and processes append to at once.
//
// Opened for appending with full sharing (on Windows with append-only access, "\n"
// written as CR LF in the ANSI code page, as a text-mode stream writes; on Linux
// O_APPEND, UTF-8, "\n" as it is). Every Write is one system write placed at the end of
// the file, nothing is kept in buffers, and one Write never tears: texts of concurrent
// writers, in this process or others, interleave only between calls.
//
// Ownership: move-only; the file closes with the object. Threading: Write may be called
// from any thread. Failure: Open returns false and later writes are no-ops; write errors
// are ignored.
#pragma once

#include <string>

class CAppendFile {
 public:
  constexpr CAppendFile() = default;
  ~CAppendFile();
  CAppendFile(CAppendFile&& other) noexcept;
  CAppendFile& operator=(CAppendFile&& other) noexcept;
  CAppendFile(const CAppendFile&) = delete;
  CAppendFile& operator=(const CAppendFile&) = delete;

  // Opens (creating if needed) path for appending; the folder must exist. Never blocks:
  // a path that names anything but a regular file (a FIFO, a pipe, a device) is refused.
  bool Open(const std::wstring& path);
  bool IsOpen() const;
  void Write(const std::wstring& text);
  void Close();

 private:
  void* m_file = nullptr;  // FILE* on Windows; the descriptor plus one elsewhere.
};
