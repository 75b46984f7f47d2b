#include "platform/posix/replace_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

#include "platform/posix/native_handle_traits.h"
#include "platform/scoped_handle.h"

namespace platform::posix {
namespace {

using CFileDescriptor = CScopedHandle<DescriptorTraits>;

bool WriteAll(int fd, const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

int ReplaceFileContents(const std::string& path, const std::string& bytes, mode_t mode) {
  std::string temporary = path + ".XXXXXX";
  CFileDescriptor fd(::mkostemp(temporary.data(), O_CLOEXEC));
  if (!fd.IsValid()) return errno;
  if (::fchmod(fd.Get(), mode & 0777) != 0 || !WriteAll(fd.Get(), bytes) || ::fsync(fd.Get()) != 0 ||
      ::close(fd.Release()) != 0 || ::rename(temporary.c_str(), path.c_str()) != 0) {
    const int error = errno;
    ::unlink(temporary.c_str());
    return error;
  }
  std::string folderPath = std::filesystem::path(path).parent_path().string();
  if (folderPath.empty()) folderPath = ".";
  CFileDescriptor folder(::open(folderPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (folder.IsValid()) ::fsync(folder.Get());
  return 0;
}

}  // namespace platform::posix
