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
// Size: when a write leaves the file larger than the rotation size (64 MiB unless set
// otherwise), the file is renamed to "<path>.1", replacing an older one, and a new file
// starts at path whose first line says that it continues the old one. Every process
// writing the log checks after each of its entries, so the file passes the size by at
// most a few entries. When several processes pass the size at once, the file is renamed
// once: each takes a lock on the old file, and only one that still finds the old file at
// path renames it; the others move to the new file (see CAppendFile::Rotate). Entries
// written to the old file meanwhile stay in "<path>.1". When a rotation fails (the
// folder refuses the rename), writing goes on in the same file and the next attempt
// waits until the file has grown by another 1/64 of the size.
//
// Ownership: owns its stream; the stream stays open until the object is destroyed.
// Threading: configure it (Open, SetLevel, SetRotationSize) once at start-up, before
// other threads use it; Write and WriteLastError may then be called from any thread and
// process. Entries of one process are written one at a time under the object's lock,
// prefix and message together; entries of other processes may come between a prefix and
// its message, never inside either.
// Failure: without an open stream every write is silently dropped; write errors are
// ignored.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "platform/append_file.h"
#include "platform/static_lock.h"

class CLogFile {
 public:
  static constexpr std::uint64_t kDefaultRotationSize = 64ull << 20;

  constexpr CLogFile() = default;
  CLogFile(const CLogFile&) = delete;
  CLogFile& operator=(const CLogFile&) = delete;

  // Opens path for shared appending. mode must be an append mode ("a", "at"); other
  // modes are refused, and so is a path that is not a regular file (a FIFO, a device):
  // opening never waits. Returns whether a stream was obtained.
  bool Open(const wchar_t* path, const wchar_t* mode);
  // Closes the stream; later writes are dropped until the next Open.
  void Close();
  void SetLevel(int level) { m_level = level; }
  int Level() const { return m_level; }
  bool IsOpen() const { return m_open.load(std::memory_order_relaxed); }
  const std::wstring& Path() const { return m_path; }
  // Size in bytes past which the file is started afresh (tests use small ones).
  void SetRotationSize(std::uint64_t bytes) { m_rotationSize = bytes; }

  void Write(int level, const wchar_t* format, ...);
  // Writes "Error <code>(<hex code>H): <system text>" for the calling thread's last error,
  // which is read before anything else can change it.
  void WriteLastError(int level);

 private:
  std::wstring TimeStamp() const;
  // Under m_lock.
  void RotateIfLarge();

  std::wstring m_path;
  int m_level = 0;
  std::uint64_t m_rotationSize = kDefaultRotationSize;
  std::uint64_t m_nextRotationCheck = 0;  // after a failed rotation: the size to wait for
  CStaticLock m_lock;
  std::atomic<bool> m_open{false};  // whether m_stream is open, readable without the lock
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
