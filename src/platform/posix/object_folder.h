// ObjectFolder: the folder that holds one user's named shared objects (regions, mutexes,
// events and their lock objects), where no other user can make, replace or block a name.
//
//   const ObjectFolder folder = ObjectFolderOf(ObjectFolderRoots{}, ::geteuid());
//   if (const int error = EnsureObjectFolder(folder, create, &problem); error != 0) ...
//
// The folder is <runtimeRoot>/<uid>/amberline when <runtimeRoot>/<uid> (the login
// manager's runtime folder, /run/user/<uid>) is a real folder of that user that nobody
// else may enter; otherwise <sharedRoot>/amberline-<uid> (/dev/shm). The choice depends on
// nothing but the uid and those two places, so every process of the user agrees on it
// whatever its environment. Both live in memory (tmpfs).
//
// A folder is used only when it is a real folder (not a link) owned by the user; one the
// user owns with wider access is narrowed to 0700 first. A folder of that name made by
// another user (possible in the shared root only) is never used: the user's objects then
// cannot be made, and the problem text says what happened and what to do. Plain
// functions; any thread.
#pragma once

#include <sys/types.h>

#include <string>

namespace platform::posix {

struct ObjectFolderRoots {
  std::string runtimeRoot = "/run/user";
  std::string sharedRoot = "/dev/shm";
};

struct ObjectFolder {
  std::string path;
  bool inRuntimeFolder = false;  // under the login manager's runtime folder
  std::string runtimeFolder;     // <runtimeRoot>/<uid>, for the problem text
};

// Where uid's objects live (nothing is made or changed).
ObjectFolder ObjectFolderOf(const ObjectFolderRoots& roots, uid_t uid);

// Makes sure folder is usable by uid: with create, makes it (0700) when missing. Returns 0,
// ENOENT when it is missing and create is false (nothing is made), EACCES when it is
// another user's or not a folder (problem then says so in a sentence), or the errno of
// the step that failed.
int EnsureObjectFolder(const ObjectFolder& folder, uid_t uid, bool create, std::string* problem);

}  // namespace platform::posix
