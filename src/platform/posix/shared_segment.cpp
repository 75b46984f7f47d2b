#include "platform/posix/shared_segment.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <limits>

#include "platform/posix/object_folder.h"
#include "platform/wide_string.h"

namespace platform::posix {
namespace {

constexpr LONG kTooManyOpenFiles = 4;  // ERROR_TOO_MANY_OPEN_FILES
constexpr LONG kGeneralFailure = 31;   // ERROR_GEN_FAILURE

// The system error code for errno (errno itself stays as the last error).
LONG CodeFor(int error) {
  switch (error) {
    case ENOENT:
      return ERROR_FILE_NOT_FOUND;
    case EACCES:
    case EPERM:
      return ERROR_ACCESS_DENIED;
    case ENOMEM:
    case ENOSPC:
    case EFBIG:
      return ERROR_NOT_ENOUGH_MEMORY;
    case EMFILE:
    case ENFILE:
      return kTooManyOpenFiles;
    case EINVAL:
    case ENAMETOOLONG:
      return ERROR_INVALID_PARAMETER;
    case EBADF:
      return ERROR_INVALID_HANDLE;
    default:
      return kGeneralFailure;
  }
}

LONG Fail(int error) {
  errno = error;
  return CodeFor(error);
}

void CloseKeepingErrno(int descriptor) {
  if (descriptor < 0) return;
  const int saved = errno;
  ::close(descriptor);
  errno = saved;
}

int Flock(int descriptor, int operation) {
  int r = 0;
  do {
    r = ::flock(descriptor, operation);
  } while (r != 0 && errno == EINTR);
  return r;
}

// Names longer than this many escaped characters end in a hash instead; with the prefix
// and ".lock" the system name stays well within NAME_MAX.
constexpr std::size_t kMaxEscapedName = 180;

std::string Escape(const std::string& utf8) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (const unsigned char c : utf8) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-') {
      out.push_back(static_cast<char>(c));
    } else {
      out.push_back('%');
      out.push_back(kHex[c >> 4]);
      out.push_back(kHex[c & 0x0F]);
    }
  }
  if (out.size() > kMaxEscapedName) {
    // FNV-1a over the whole name; '~' never appears in an escaped name, so a hashed name
    // cannot equal a plain one.
    std::uint64_t hash = 0xCBF29CE484222325ull;
    for (const unsigned char c : utf8) {
      hash ^= c;
      hash *= 0x100000001B3ull;
    }
    out.resize(kMaxEscapedName - 17);
    out.push_back('~');
    for (int shift = 60; shift >= 0; shift -= 4) out.push_back(kHex[(hash >> shift) & 0x0F]);
  }
  return out;
}

const char* KindTag(SegmentKind kind) {
  switch (kind) {
    case SegmentKind::kMutex:
      return "mutex";
    case SegmentKind::kEvent:
      return "event";
    case SegmentKind::kMapping:
    default:
      return "map";
  }
}

// A segment another user could read is never used. In the user's own folder only the
// user (or the administrator) can have made one like that: it is dropped and made anew.
bool Trusted(const struct stat& info) { return info.st_uid == ::geteuid() && (info.st_mode & 077) == 0; }

int OpenObject(const std::string& path, int flags, mode_t mode = 0) {
  int descriptor = -1;
  do {
    descriptor = ::open(path.c_str(), flags | O_NOFOLLOW | O_CLOEXEC, mode);
  } while (descriptor < 0 && errno == EINTR);
  return descriptor;
}

// 1 when descriptor is the object the path names now, 0 when the path names another
// object or none, -1 when the system cannot tell (errno says why).
int StillNamed(const std::string& path, int descriptor) {
  const int now = OpenObject(path, O_RDONLY);
  if (now < 0) return errno == ENOENT ? 0 : -1;
  struct stat a {};
  struct stat b {};
  int result = -1;
  if (::fstat(now, &a) == 0 && ::fstat(descriptor, &b) == 0)
    result = a.st_dev == b.st_dev && a.st_ino == b.st_ino ? 1 : 0;
  CloseKeepingErrno(now);
  return result;
}

}  // namespace

CSharedSegment::CSharedSegment(SegmentKind kind, const std::wstring& name) {
  std::wstring local = name;
  constexpr std::wstring_view kLocalPrefix = L"Local\\";
  if (local.size() > kLocalPrefix.size() && local.compare(0, kLocalPrefix.size(), kLocalPrefix) == 0)
    local.erase(0, kLocalPrefix.size());
  if (local.empty()) return;
  m_folder = ObjectFolderOf(ObjectFolderRoots{}, ::geteuid());
  m_path = m_folder.path + "/" + KindTag(kind) + "-" + Escape(WideToUtf8(local));
  m_lockPath = m_path + ".lock";
}

int CSharedSegment::LockName(bool create) const {
  for (;;) {
    int lock = OpenObject(m_lockPath, O_RDWR);
    if (lock < 0 && errno == ENOENT) {
      // A segment keeps its lock object for as long as it exists, so an opener that finds
      // neither has nothing to open and leaves no lock object behind. A segment whose lock
      // object was removed by hand gets a new one.
      if (!create && !SegmentNamed()) {
        errno = ENOENT;
        return -1;
      }
      lock = OpenObject(m_lockPath, O_RDWR | O_CREAT, 0600);
    }
    if (lock < 0) return -1;
    struct stat info {};
    if (::fstat(lock, &info) != 0) {
      CloseKeepingErrno(lock);
      return -1;
    }
    if (info.st_uid != ::geteuid()) {
      // Not one of ours: it names no lock anyone of this user holds.
      CloseKeepingErrno(lock);
      if (::unlink(m_lockPath.c_str()) != 0 && errno != ENOENT) return -1;
      continue;
    }
    // A restrictive umask may have narrowed the mode; other processes of the user open it
    // for writing too.
    if ((info.st_mode & 0777) != 0600) ::fchmod(lock, 0600);
    if (Flock(lock, LOCK_EX) != 0) {
      CloseKeepingErrno(lock);
      return -1;
    }
    // The holder before us may have unlinked this lock along with its segment.
    const int named = StillNamed(m_lockPath, lock);
    if (named == 1) return lock;
    CloseKeepingErrno(lock);
    if (named < 0) return -1;
  }
}

bool CSharedSegment::SegmentNamed() const {
  const int descriptor = OpenObject(m_path, O_RDONLY);
  if (descriptor < 0) return errno != ENOENT;  // present but not ours to read: Attach says why
  CloseKeepingErrno(descriptor);
  return true;
}

void CSharedSegment::UnlockName(int lockDescriptor, bool unlinkLock) const {
  const int saved = errno;
  if (unlinkLock) ::unlink(m_lockPath.c_str());
  ::close(lockDescriptor);  // drops the flock
  errno = saved;
}

LONG CSharedSegment::Attach(bool create, std::uint64_t size, std::size_t mapSize,
                            const std::function<bool(void*)>& initialise, SegmentAttachment* attachment) const {
  if (attachment == nullptr || m_path.empty()) return Fail(EINVAL);
  *attachment = SegmentAttachment{};
  if (create && (size == 0 || size < mapSize || size > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())))
    return Fail(EINVAL);

  if (const int error = EnsureObjectFolder(m_folder, ::geteuid(), create, nullptr);
      error != 0)
    return Fail(error);
  const int lock = LockName(create);
  if (lock < 0) return CodeFor(errno);

  int descriptor = OpenObject(m_path, O_RDWR);
  if (descriptor < 0 && errno != ENOENT) {
    const int error = errno;
    UnlockName(lock, false);
    return Fail(error);
  }
  if (descriptor >= 0) {
    struct stat info {};
    const bool known = ::fstat(descriptor, &info) == 0;
    if (!known) {
      const int error = errno;
      CloseKeepingErrno(descriptor);
      UnlockName(lock, false);
      return Fail(error);
    }
    if (!Trusted(info)) {
      // Not one this user's processes made (they make every object 0600): never read,
      // never written, replaced.
      ::unlink(m_path.c_str());
      CloseKeepingErrno(descriptor);
      descriptor = -1;
    } else if (Flock(descriptor, LOCK_EX | LOCK_NB) == 0) {
      // Nobody holds it: its holders all died. It is not reused.
      ::unlink(m_path.c_str());
      CloseKeepingErrno(descriptor);
      descriptor = -1;
    } else if (Flock(descriptor, LOCK_SH | LOCK_NB) != 0) {
      const int error = errno;
      CloseKeepingErrno(descriptor);
      UnlockName(lock, false);
      return Fail(error);
    } else if (static_cast<std::uint64_t>(info.st_size) < mapSize) {
      // Not one of ours (or not of this kind): its memory cannot hold what we would read.
      Flock(descriptor, LOCK_UN);
      CloseKeepingErrno(descriptor);
      UnlockName(lock, false);
      errno = EINVAL;
      return ERROR_INVALID_HANDLE;
    }
  }

  bool created = false;
  if (descriptor < 0) {
    if (!create) {
      UnlockName(lock, true);
      return Fail(ENOENT);
    }
    descriptor = OpenObject(m_path, O_RDWR | O_CREAT | O_EXCL, 0600);
    // The mode is exact whatever the umask; ftruncate zero-fills.
    if (descriptor < 0 || ::fchmod(descriptor, 0600) != 0 || Flock(descriptor, LOCK_SH) != 0 ||
        ::ftruncate(descriptor, static_cast<off_t>(size)) != 0) {
      const int error = errno;
      if (descriptor >= 0) {
        ::unlink(m_path.c_str());
        ::close(descriptor);
      }
      UnlockName(lock, true);
      return Fail(error);
    }
    created = true;
  }

  void* view = nullptr;
  if (mapSize > 0) {
    view = ::mmap(nullptr, mapSize, PROT_READ | PROT_WRITE, MAP_SHARED, descriptor, 0);
    if (view == MAP_FAILED) view = nullptr;
    if (view == nullptr || (created && initialise && !initialise(view))) {
      const int error = errno == 0 ? EINVAL : errno;
      if (view != nullptr) ::munmap(view, mapSize);
      if (created) ::unlink(m_path.c_str());
      ::close(descriptor);
      UnlockName(lock, created);
      return Fail(error);
    }
  }

  UnlockName(lock, false);
  attachment->descriptor = descriptor;
  attachment->view = view;
  attachment->created = created;
  return ERROR_SUCCESS;
}

SegmentHold SegmentHold::Of(const CSharedSegment& segment, const SegmentAttachment& attachment,
                            std::size_t viewSize) {
  SegmentHold hold;
  hold.descriptor = attachment.descriptor;
  hold.view = attachment.view;
  hold.viewSize = attachment.view != nullptr ? viewSize : 0;
  hold.segment = segment;
  return hold;
}

void SegmentHoldTraits::Close(SegmentHold& hold) noexcept {
  void* view = hold.LockOwner().load() != 0 ? nullptr : hold.view;
  hold.segment.Detach(hold.descriptor, view, hold.viewSize);
}

std::uint64_t ThreadTag() {
  static std::atomic<std::uint64_t> next{1};
  thread_local const std::uint64_t tag = next.fetch_add(1, std::memory_order_relaxed);
  return tag;
}

void CSharedSegment::Detach(int descriptor, void* view, std::size_t mapSize) const {
  const int saved = errno;
  if (view != nullptr) ::munmap(view, mapSize);
  if (descriptor < 0) return;
  const int lock = m_path.empty() ? -1 : LockName(true);
  bool last = false;
  if (lock >= 0) {
    // Failing to convert drops our shared lock, which is fine as we close it next; the
    // name lock keeps anyone from looking in between.
    last = Flock(descriptor, LOCK_EX | LOCK_NB) == 0 && StillNamed(m_path, descriptor) == 1;
    if (last) ::unlink(m_path.c_str());
  }
  ::close(descriptor);
  // Without the name lock the segment stays; the next opener finds it unheld and drops it.
  if (lock >= 0) UnlockName(lock, last);
  errno = saved;
}

}  // namespace platform::posix
