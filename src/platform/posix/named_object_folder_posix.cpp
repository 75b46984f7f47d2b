#include "platform/named_object_folder.h"

#include <unistd.h>

#include <cerrno>

#include "platform/posix/object_folder.h"

namespace platform {

std::string NamedObjectFolder() { return posix::ObjectFolderOf(posix::ObjectFolderRoots{}, ::geteuid()).path; }

std::string NamedObjectProblem() {
  const uid_t uid = ::geteuid();
  std::string problem;
  if (posix::EnsureObjectFolder(posix::ObjectFolderOf(posix::ObjectFolderRoots{}, uid), uid, false, &problem) !=
      EACCES)
    problem.clear();
  return problem;
}

}  // namespace platform
