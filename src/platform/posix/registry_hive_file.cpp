#include "platform/posix/registry_hive_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <map>
#include <mutex>
#include <utility>

#include "platform/posix/native_handle_traits.h"
#include "platform/posix/replace_file.h"
#include "platform/scoped_handle.h"
#include "platform/system_error.h"
#include "platform/wide_string.h"

namespace {

// How many hive files the cache remembers; a process uses three, tests many more.
constexpr std::size_t kCacheEntries = 16;

struct FileIdentity {
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = 0;
  timespec modified{};
  timespec changed{};

  static FileIdentity Of(const struct stat& status) {
    return FileIdentity{status.st_dev, status.st_ino, status.st_size, status.st_mtim, status.st_ctim};
  }
  bool operator==(const FileIdentity& other) const {
    return device == other.device && inode == other.inode && size == other.size &&
           modified.tv_sec == other.modified.tv_sec && modified.tv_nsec == other.modified.tv_nsec &&
           changed.tv_sec == other.changed.tv_sec && changed.tv_nsec == other.changed.tv_nsec;
  }
};

struct CacheEntry {
  FileIdentity identity;
  std::shared_ptr<const CRegistryHive> hive;
};

// Made on first use: the registry is read from the module's load-time start-up, which
// may run before this file's namespace-scope objects are constructed.
struct Cache {
  std::mutex mutex;
  std::map<std::string, CacheEntry> entries;
};

Cache& TheCache() {
  static Cache cache;
  return cache;
}

void ForgetCached(const std::string& path) {
  Cache& cache = TheCache();
  std::lock_guard<std::mutex> lock(cache.mutex);
  cache.entries.erase(path);
}

// Closes the descriptor when it goes out of scope, leaving errno as it was.
using CFileDescriptor = CScopedHandle<platform::posix::DescriptorTraits>;

LONG WithErrno(LONG code, int error) {
  errno = error;
  return code;
}

// The registry code for a failed system call that creates or replaces files.
LONG WriteFailure(int error) {
  switch (error) {
    case EACCES:
    case EPERM:
    case EROFS:
      return WithErrno(ERROR_ACCESS_DENIED, error);
    case ENOENT:
    case ENOTDIR:
      return WithErrno(ERROR_PATH_NOT_FOUND, error);
    case ENOMEM:
      return WithErrno(ERROR_NOT_ENOUGH_MEMORY, error);
    default:
      return WithErrno(ERROR_CANTWRITE, error);
  }
}

std::string FolderOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

bool MakeFolders(const std::string& folder) {
  struct stat status {};
  if (::stat(folder.c_str(), &status) == 0) {
    if (S_ISDIR(status.st_mode)) return true;
    errno = ENOTDIR;
    return false;
  }
  for (std::size_t i = 1; i <= folder.size(); ++i) {
    if (i != folder.size() && folder[i] != '/') continue;
    const std::string prefix = folder.substr(0, i);
    if (::mkdir(prefix.c_str(), 0700) != 0 && errno != EEXIST) return false;
  }
  if (::stat(folder.c_str(), &status) != 0) return false;
  if (!S_ISDIR(status.st_mode)) {
    errno = ENOTDIR;
    return false;
  }
  return true;
}

enum class LoadStatus { kMissing, kLoaded, kFailed };

struct Loaded {
  LoadStatus status = LoadStatus::kFailed;
  int error = 0;
  struct stat fileStatus {};
  std::shared_ptr<CRegistryHive> hive;
};

constexpr char kTooLarge[] = "the file is larger than 64 MiB";

Loaded LoadFile(const std::string& path, const std::wstring& rootName) {
  Loaded result;
  // O_NONBLOCK: a FIFO put in the hive's place must not hang the reader.
  CFileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (!fd.IsValid()) {
    result.error = errno;
    result.status = result.error == ENOENT ? LoadStatus::kMissing : LoadStatus::kFailed;
    return result;
  }
  if (::fstat(fd.Get(), &result.fileStatus) != 0) {
    result.error = errno;
    return result;
  }
  if (!S_ISREG(result.fileStatus.st_mode)) {
    result.error = S_ISDIR(result.fileStatus.st_mode) ? EISDIR : EINVAL;
    return result;
  }
  result.status = LoadStatus::kLoaded;
  if (static_cast<unsigned long long>(result.fileStatus.st_size) > CRegistryHive::kMaxFileBytes) {
    result.hive = std::make_shared<CRegistryHive>(CRegistryHive::Unparsable(rootName, kTooLarge));
    return result;
  }
  std::string bytes;
  bytes.reserve(static_cast<std::size_t>(result.fileStatus.st_size));
  char chunk[65536];
  for (;;) {
    const ssize_t n = ::read(fd.Get(), chunk, sizeof chunk);
    if (n < 0) {
      if (errno == EINTR) continue;
      result.error = errno;
      result.status = LoadStatus::kFailed;
      return result;
    }
    if (n == 0) break;
    // The file may have grown since fstat.
    if (bytes.size() + static_cast<std::size_t>(n) > CRegistryHive::kMaxFileBytes) {
      result.hive = std::make_shared<CRegistryHive>(CRegistryHive::Unparsable(rootName, kTooLarge));
      return result;
    }
    bytes.append(chunk, static_cast<std::size_t>(n));
  }
  result.hive = std::make_shared<CRegistryHive>(CRegistryHive::Parse(rootName, bytes));
  return result;
}

timespec Now() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return now;
}

// True when t is at least a second before reference.
bool SettledBefore(const timespec& t, const timespec& reference) {
  return t.tv_sec + 1 < reference.tv_sec || (t.tv_sec + 1 == reference.tv_sec && t.tv_nsec <= reference.tv_nsec);
}

// Writes bytes to a new file beside path and renames it over path. Keeps the permissions
// an administrator gave the hive (machine-wide roots are often readable by everyone); a
// new hive stays private.
LONG ReplaceFile(const std::string& path, const std::string& bytes, const struct stat* previous) {
  const int error = platform::posix::ReplaceFileContents(path, bytes, previous != nullptr ? previous->st_mode : 0600);
  return error == 0 ? ERROR_SUCCESS : WriteFailure(error);
}

// A hive that is a symbolic link is written where the link points, so that the link
// (to a file kept elsewhere, say) survives the rename.
std::string WriteTarget(const std::string& path) {
  struct stat status {};
  if (::lstat(path.c_str(), &status) != 0 || !S_ISLNK(status.st_mode)) return path;
  char* resolved = ::realpath(path.c_str(), nullptr);
  if (resolved == nullptr) return path;
  std::string target(resolved);
  std::free(resolved);
  return target;
}

LONG UpdateLocked(const std::string& hivePath, const std::wstring& rootName, const CRegistryHiveFile::Change& change) {
  const std::string path = WriteTarget(hivePath);
  const LONG writable = CRegistryHiveFile::CheckWritable(path);
  if (writable != ERROR_SUCCESS) return writable;
  Loaded loaded = LoadFile(path, rootName);
  if (loaded.status == LoadStatus::kFailed)
    return WithErrno(loaded.error == EACCES ? ERROR_ACCESS_DENIED : ERROR_CANTREAD, loaded.error);
  const bool exists = loaded.status == LoadStatus::kLoaded;
  if (exists && !loaded.hive->IsClean()) return WithErrno(ERROR_BADDB, EIO);
  CRegistryHive hive = exists ? std::move(*loaded.hive) : CRegistryHive(rootName);

  bool changed = false;
  const LONG result = change(hive, &changed);
  if (result != ERROR_SUCCESS || !changed) return result;

  const std::string bytes = hive.Serialize();
  // A hive this process could not read back would be lost to every later read.
  if (bytes.size() > CRegistryHive::kMaxFileBytes) return WithErrno(ERROR_CANTWRITE, EFBIG);
  const LONG written = ReplaceFile(path, bytes, exists ? &loaded.fileStatus : nullptr);
  ForgetCached(hivePath);
  return written;
}

}  // namespace

std::shared_ptr<const CRegistryHive> CRegistryHiveFile::Read(const std::string& path, const std::wstring& rootName) {
  if (path.empty()) return std::make_shared<const CRegistryHive>(rootName);
  struct stat status {};
  if (::stat(path.c_str(), &status) == 0) {
    Cache& cache = TheCache();
    std::lock_guard<std::mutex> lock(cache.mutex);
    const auto it = cache.entries.find(path);
    if (it != cache.entries.end() && it->second.identity == FileIdentity::Of(status) && it->second.hive->RootName() == rootName)
      return it->second.hive;
  }

  const timespec readStart = Now();
  Loaded loaded = LoadFile(path, rootName);
  if (loaded.status == LoadStatus::kMissing) return std::make_shared<const CRegistryHive>(rootName);
  if (loaded.status == LoadStatus::kFailed) {
    std::string why = loaded.error == EISDIR || loaded.error == EINVAL
                          ? std::string("it is not a regular file")
                          : platform::WideToUtf8(platform::FormatSystemMessage(static_cast<DWORD>(loaded.error)));
    while (!why.empty() && (why.back() == '\n' || why.back() == '\r')) why.pop_back();
    return std::make_shared<const CRegistryHive>(CRegistryHive::Unparsable(rootName, "the file cannot be read: " + why));
  }

  std::shared_ptr<const CRegistryHive> hive = std::move(loaded.hive);
  if (SettledBefore(loaded.fileStatus.st_mtim, readStart) && SettledBefore(loaded.fileStatus.st_ctim, readStart)) {
    Cache& cache = TheCache();
    std::lock_guard<std::mutex> lock(cache.mutex);
    if (cache.entries.size() >= kCacheEntries && cache.entries.count(path) == 0) cache.entries.clear();
    cache.entries[path] = CacheEntry{FileIdentity::Of(loaded.fileStatus), hive};
  }
  return hive;
}

LONG CRegistryHiveFile::Update(const std::string& path, const std::wstring& rootName, const Change& change) {
  if (path.empty()) return WithErrno(ERROR_PATH_NOT_FOUND, ENOENT);
  try {
    if (!MakeFolders(FolderOf(path))) return WriteFailure(errno);
    const std::string lockPath = path + ".lock";
    CFileDescriptor lock(::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY, 0600));
    if (!lock.IsValid()) {
      // flock needs no write access: a lock file someone else created still serves.
      const int error = errno;
      if (error == EACCES) lock.Reset(::open(lockPath.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY));
      if (!lock.IsValid()) return WriteFailure(error);
    }
    while (::flock(lock.Get(), LOCK_EX) != 0) {
      if (errno != EINTR) return WriteFailure(errno);
    }
    // The lock is released when the descriptor closes.
    return UpdateLocked(path, rootName, change);
  } catch (...) {
    // The standard library throws here only when memory runs out.
    return WithErrno(ERROR_NOT_ENOUGH_MEMORY, ENOMEM);
  }
}

LONG CRegistryHiveFile::CheckWritable(const std::string& path) {
  if (path.empty()) return WithErrno(ERROR_PATH_NOT_FOUND, ENOENT);
  if (::access(path.c_str(), W_OK) != 0 && errno != ENOENT) return WithErrno(ERROR_ACCESS_DENIED, errno);
  std::string folder = FolderOf(path);
  for (;;) {
    if (::access(folder.c_str(), W_OK | X_OK) == 0) return ERROR_SUCCESS;
    if (errno != ENOENT || folder == "/" || folder == ".") return WithErrno(ERROR_ACCESS_DENIED, errno);
    folder = FolderOf(folder);
  }
}
