#include "platform/posix/object_folder.h"

#include <sys/stat.h>

#include <cerrno>

namespace platform::posix {
namespace {

bool PrivateFolderOf(const struct stat& info, uid_t uid) {
  return S_ISDIR(info.st_mode) && info.st_uid == uid && (info.st_mode & 077) == 0;
}

}  // namespace

ObjectFolder ObjectFolderOf(const ObjectFolderRoots& roots, uid_t uid) {
  ObjectFolder folder;
  folder.runtimeFolder = roots.runtimeRoot + "/" + std::to_string(uid);
  struct stat info {};
  if (::lstat(folder.runtimeFolder.c_str(), &info) == 0 && PrivateFolderOf(info, uid)) {
    folder.path = folder.runtimeFolder + "/amberline";
    folder.inRuntimeFolder = true;
  } else {
    folder.path = roots.sharedRoot + "/amberline-" + std::to_string(uid);
  }
  return folder;
}

int EnsureObjectFolder(const ObjectFolder& folder, uid_t uid, bool create, std::string* problem) {
  struct stat info {};
  if (::lstat(folder.path.c_str(), &info) != 0) {
    if (errno != ENOENT) return errno;
    if (!create) return ENOENT;
    // The mode of a new folder is 0700 or narrower whatever the umask.
    if (::mkdir(folder.path.c_str(), 0700) != 0 && errno != EEXIST) return errno;
    if (::lstat(folder.path.c_str(), &info) != 0) return errno;
  }
  if (S_ISDIR(info.st_mode) && info.st_uid == uid) {
    // Ours: at most ours to enter, whatever made it wider.
    if ((info.st_mode & 0777) != 0700 && ::chmod(folder.path.c_str(), 0700) != 0) return errno;
    return 0;
  }
  if (problem != nullptr) {
    if (info.st_uid == uid) {
      *problem = folder.path + " is not a folder; remove it (rm " + folder.path + ")";
    } else {
      *problem = folder.path + " belongs to another user (uid " + std::to_string(info.st_uid) +
                 "), so this user's cameras and producers cannot meet there; someone may have made it to stop "
                 "them. An administrator can remove it (sudo rm -r " +
                 folder.path + ")";
      if (!folder.inRuntimeFolder)
        *problem += ", or log in through a session that gives this user " + folder.runtimeFolder +
                    " (systemd-logind): the objects then live there, where no other user can reach";
    }
  }
  return EACCES;
}

}  // namespace platform::posix
