#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <utility>

#include "platform/append_file.h"
#include "platform/wide_string.h"

namespace {

// The descriptor is kept as descriptor + 1 so that a null m_file means "closed".
int Descriptor(void* file) { return static_cast<int>(reinterpret_cast<std::intptr_t>(file)) - 1; }

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
  // Opening never waits: a FIFO without a reader would block the open (and the process
  // loading the module) for good. Anything but a regular file is refused, so no write can
  // block either, nor go to a terminal or a device.
  const int fd =
      ::open(platform::WideToUtf8(path).c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, 0644);
  if (fd < 0) return false;
  struct stat status {};
  if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
    const int saved = errno;
    ::close(fd);
    errno = saved;
    return false;
  }
  m_file = reinterpret_cast<void*>(static_cast<std::intptr_t>(fd) + 1);
  return true;
}

bool CAppendFile::IsOpen() const { return m_file != nullptr; }

void CAppendFile::Write(const std::wstring& text) {
  if (m_file == nullptr || text.empty()) return;
  const std::string bytes = platform::WideToUtf8(text);
  // One write(2) per text: with O_APPEND the kernel places it whole at the end of the file.
  const char* p = bytes.data();
  std::size_t left = bytes.size();
  while (left > 0) {
    const ssize_t n = ::write(Descriptor(m_file), p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;
    }
    p += n;
    left -= static_cast<std::size_t>(n);
  }
}

std::uint64_t CAppendFile::Size() const {
  if (m_file == nullptr) return 0;
  const int saved = errno;
  struct stat status {};
  const bool known = ::fstat(Descriptor(m_file), &status) == 0;
  errno = saved;
  return known ? static_cast<std::uint64_t>(status.st_size) : 0;
}

bool CAppendFile::Rotate(const std::wstring& path, const std::wstring& rotatedPath, const std::wstring& firstText) {
  if (m_file == nullptr) return false;
  const int saved = errno;
  const int fd = Descriptor(m_file);
  // Every rotation of this file takes this lock before it looks at the name, so the name
  // is checked and changed by one writer at a time; the lock ends with the descriptor.
  while (::flock(fd, LOCK_EX) != 0) {
    if (errno != EINTR) {
      errno = saved;
      return false;
    }
  }
  const std::string target = platform::WideToUtf8(path);
  struct stat mine {};
  struct stat there {};
  const bool stillAtPath = ::fstat(fd, &mine) == 0 && ::stat(target.c_str(), &there) == 0 &&
                           mine.st_dev == there.st_dev && mine.st_ino == there.st_ino;
  CAppendFile next;
  const bool moved = !stillAtPath || ::rename(target.c_str(), platform::WideToUtf8(rotatedPath).c_str()) == 0;
  if (moved && next.Open(path)) {
    if (stillAtPath) next.Write(firstText);
    *this = std::move(next);  // closes the old file, which ends the lock
    errno = saved;
    return true;
  }
  ::flock(fd, LOCK_UN);
  errno = saved;
  return false;
}

void CAppendFile::Close() {
  if (m_file == nullptr) return;
  const int saved = errno;
  ::close(Descriptor(m_file));
  errno = saved;
  m_file = nullptr;
}
