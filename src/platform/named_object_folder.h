// Where this user's named shared objects live, and what keeps them from being made.
//
// On Linux the regions, mutexes and events of CSharedMemory, CNamedMutex and CNamedEvent
// are files in a folder only their user can enter (posix/object_folder.h). Windows keeps
// them in its object manager: there is no folder and nothing to report. Thread-safe;
// nothing is made or changed.
#pragma once

#include <string>

namespace platform {

// The folder (UTF-8) that holds this user's named objects; empty on Windows.
std::string NamedObjectFolder();

// A sentence saying why this user's named objects cannot be made there (the folder's
// place is taken by another user's folder, ...); empty when nothing stands in the way.
std::string NamedObjectProblem();

}  // namespace platform
