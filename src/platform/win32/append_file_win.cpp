#include <string>
#include <utility>

#include "platform/append_file.h"
#include "platform/windows_types.h"

// The file is opened for appending (and reading, for the lock): Windows places every
// WriteFile at the end of the file as one step, and each write also holds an exclusive
// lock on the file, so writers in several processes never overwrite each other even
// where appending is two steps. (The C runtime's append mode seeks to the end and then
// writes, which loses entries when two processes append at once.) The text is written as a text-mode stream
// would write it: "\n" becomes CR LF, and wide characters are converted to the process's
// ANSI code page.

namespace {

HANDLE Handle(void* file) { return static_cast<HANDLE>(file); }

}  // namespace

CAppendFile::~CAppendFile() { Close(); }

CAppendFile::CAppendFile(CAppendFile&& other) noexcept : m_file(std::exchange(other.m_file, nullptr)) {}

CAppendFile& CAppendFile::operator=(CAppendFile&& other) noexcept {
  if (this != &other) {
    Close();
    m_file = std::exchange(other.m_file, nullptr);
  }
  return *this;
}

bool CAppendFile::Open(const std::wstring& path) {
  Close();
  // Read access only so that the file can be locked around each append (see Write).
  const HANDLE file = ::CreateFileW(path.c_str(), FILE_APPEND_DATA | FILE_READ_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  // Only a file on disk: a pipe or a device (a console, NUL, a serial port) could block a
  // write or take the text somewhere else.
  if (::GetFileType(file) != FILE_TYPE_DISK) {
    ::CloseHandle(file);
    ::SetLastError(ERROR_INVALID_FUNCTION);
    return false;
  }
  m_file = file;
  return true;
}

bool CAppendFile::IsOpen() const { return m_file != nullptr; }

void CAppendFile::Write(const std::wstring& text) {
  if (m_file == nullptr || text.empty()) return;
  std::wstring lines;
  lines.reserve(text.size() + 8);
  for (wchar_t c : text) {
    if (c == L'\n') lines.push_back(L'\r');
    lines.push_back(c);
  }
  const int bytes = ::WideCharToMultiByte(CP_ACP, 0, lines.data(), static_cast<int>(lines.size()), nullptr, 0, nullptr, nullptr);
  if (bytes <= 0) return;
  std::string encoded(static_cast<std::size_t>(bytes), '\0');
  ::WideCharToMultiByte(CP_ACP, 0, lines.data(), static_cast<int>(lines.size()), encoded.data(), bytes, nullptr, nullptr);
  const DWORD saved = ::GetLastError();
  // Writers also take an exclusive lock on the file for the write: systems that place an
  // append at the end in two steps (Wine does) then cannot interleave two processes'
  // entries either. Where the lock is refused the append-only write still stands.
  OVERLAPPED whole{};
  const BOOL locked = ::LockFileEx(Handle(m_file), LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &whole);
  DWORD written = 0;
  ::WriteFile(Handle(m_file), encoded.data(), static_cast<DWORD>(encoded.size()), &written, nullptr);
  if (locked) ::UnlockFileEx(Handle(m_file), 0, MAXDWORD, MAXDWORD, &whole);
  ::SetLastError(saved);
}

std::uint64_t CAppendFile::Size() const {
  if (m_file == nullptr) return 0;
  const DWORD saved = ::GetLastError();
  LARGE_INTEGER size{};
  const BOOL known = ::GetFileSizeEx(Handle(m_file), &size);
  ::SetLastError(saved);
  return known ? static_cast<std::uint64_t>(size.QuadPart) : 0;
}

namespace {

// Whether both handles are the same file: same volume, same file index.
bool SameFile(HANDLE a, HANDLE b) {
  BY_HANDLE_FILE_INFORMATION first{};
  BY_HANDLE_FILE_INFORMATION second{};
  return ::GetFileInformationByHandle(a, &first) && ::GetFileInformationByHandle(b, &second) &&
         first.dwVolumeSerialNumber == second.dwVolumeSerialNumber && first.nFileIndexHigh == second.nFileIndexHigh &&
         first.nFileIndexLow == second.nFileIndexLow;
}

}  // namespace

bool CAppendFile::Rotate(const std::wstring& path, const std::wstring& rotatedPath, const std::wstring& firstText) {
  if (m_file == nullptr) return false;
  const DWORD saved = ::GetLastError();
  const HANDLE old = Handle(m_file);
  // The lock every write takes: held here, it keeps other rotations of this file (and
  // other processes' writes to it) waiting until the file has its new name.
  OVERLAPPED whole{};
  if (!::LockFileEx(old, LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &whole)) {
    ::SetLastError(saved);
    return false;
  }
  const HANDLE atPath = ::CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  const bool stillAtPath = atPath != INVALID_HANDLE_VALUE && SameFile(old, atPath);
  if (atPath != INVALID_HANDLE_VALUE) ::CloseHandle(atPath);
  CAppendFile next;
  const bool moved =
      !stillAtPath || ::MoveFileExW(path.c_str(), rotatedPath.c_str(), MOVEFILE_REPLACE_EXISTING) != FALSE;
  const bool opened = moved && next.Open(path);
  if (opened && stillAtPath) next.Write(firstText);
  ::UnlockFileEx(old, 0, MAXDWORD, MAXDWORD, &whole);
  if (opened) *this = std::move(next);
  ::SetLastError(saved);
  return opened;
}

void CAppendFile::Close() {
  if (m_file == nullptr) return;
  const DWORD saved = ::GetLastError();
  ::CloseHandle(Handle(m_file));
  ::SetLastError(saved);
  m_file = nullptr;
}
