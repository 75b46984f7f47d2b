// CAppendFile: a text file that several threads and processes append to at once.
//
// Opened for appending with full sharing (on Windows with append-only access, "\n"
// written as CR LF in the ANSI code page, as a text-mode stream writes; on Linux
// O_APPEND, UTF-8, "\n" as it is). Every Write is one system write placed at the end of
// the file, nothing is kept in buffers, and one Write never tears: texts of concurrent
// writers, in this process or others, interleave only between calls.
//
// Rotation (Rotate): when the file at path is still the one this stream writes to, it is
// renamed to rotatedPath (replacing what was there), a new file is started at path with
// firstText in it, and the stream continues there. When the file at path is already
// another one (another writer rotated it first), the stream only moves to that file.
// Rotations are serialised across threads and processes by a lock on the old file, taken
// before its name is checked, so two writers passing the limit at once rename it once:
// the second finds the fresh file at path and joins it, and never renames it over the
// old one. Text written to the old file by writers that have not moved yet lands in the
// renamed file and is kept. A process that opens path at the very moment of a rotation
// may write before firstText.
//
// Ownership: move-only; the file closes with the object. Threading: Write and Size may be
// called from any thread; Open, Rotate and Close must not run beside any other call on
// the same object (CLogFile holds its own lock for that). Failure: Open returns false and
// later writes are no-ops; write errors are ignored; a failed Rotate leaves the stream
// writing where it wrote.
#pragma once

#include <cstdint>
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
  // Bytes in the file this stream writes to now (written by anyone); 0 when closed.
  std::uint64_t Size() const;
  // See above. True when the stream writes to the file now at path.
  bool Rotate(const std::wstring& path, const std::wstring& rotatedPath, const std::wstring& firstText);
  void Close();

 private:
  void* m_file = nullptr;  // FILE* on Windows; the descriptor plus one elsewhere.
};
