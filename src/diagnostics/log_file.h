// CLogFile: the module's diagnostic log, one per process (g_Log).
//
// Every entry is a time-stamp prefix "| <date> <time> | " followed by the formatted
// message; messages bring their own "\n". A line is written only when its level is at
// or below the configured level, and the level test comes before any formatting. Every
// process that loads the module appends to the same file; each write goes to the system
// at once, so nothing is lost when a process dies.
//
// Formats follow the Windows wide-character conventions on every system (see
// platform::FormatV): "%s" is a wide string, "%lu" and "%X" take 32-bit values,
// "%I64d" a 64-bit one. The message is written exactly as formatted, apart from carriage
// returns, which are removed (system message texts end in CR LF; the file's own line
// ends are the system's).
//
// Ownership: owns its stream; the stream stays open until the object is destroyed.
// Threading: no lock of its own. Configure it (Open, SetLevel) once at start-up, before
// other threads use it; Write and WriteLastError may then be called from any thread and
// process. The prefix and the message are two writes: entries of concurrent writers may
// interleave between them, never inside one.
// Failure: without an open stream every write is silently dropped; write errors are
// ignored.
#pragma once

#include <string>

#include "platform/append_file.h"

class CLogFile {
 public:
  constexpr CLogFile() = default;
  CLogFile(const CLogFile&) = delete;
  CLogFile& operator=(const CLogFile&) = delete;

  // Opens path for shared appending. mode must be an append mode ("a", "at"); other
  // modes are refused, and so is a path that is not a regular file (a FIFO, a device):
  // opening never waits. Returns whether a stream was obtained.
  bool Open(const wchar_t* path, const wchar_t* mode);
  // Closes the stream; later writes are dropped until the next Open.
  void Close() { m_stream.Close(); }
  void SetLevel(int level) { m_level = level; }
  int Level() const { return m_level; }
  bool IsOpen() const { return m_stream.IsOpen(); }
  const std::wstring& Path() const { return m_path; }

  void Write(int level, const wchar_t* format, ...);
  // Writes "Error <code>(<hex code>H): <system text>" for the calling thread's last error,
  // which is read before anything else can change it.
  void WriteLastError(int level);

 private:
  void WriteTimeStamp();
  void WriteMessage(std::wstring text);

  std::wstring m_path;
  int m_level = 0;
  CAppendFile m_stream;
};

// The process's (module's) log. Constant-initialised, so it is ready before any
// load-time code of the module runs. (Clang before 15 cannot constant-initialise the
// standard library's strings of GCC 12; its builds, the fuzz targets, never load the
// module, and initialise the log with the other objects of the program.)
#if defined(__clang__) && __clang_major__ < 15
#define AMBERLINE_LOG_CONSTINIT
#else
#define AMBERLINE_LOG_CONSTINIT constinit
#endif
extern AMBERLINE_LOG_CONSTINIT CLogFile g_Log;
