// The jobs of amberline-regsvr, one function each. Each prints what it did to stdout and
// any failure, with what to do about it, to stderr, and returns the exit status: 0 on
// success, 1 on failure.
//
// Threading: the main thread; one job per process.
#pragma once

#include <string>

namespace regsvr {

// Registers the module (DllRegisterServer). silent: nothing is printed on success.
int Register(const std::string& module, bool silent);

// Unregisters the module (DllUnregisterServer). A camera that is not registered is no
// failure: the job says so and succeeds, so that an uninstaller may run it twice. A module
// file that no longer exists cannot be asked; the registrations that name its path are
// removed instead (as --prune removes them).
int Unregister(const std::string& module, bool silent);

// Which camera the module is, whether and how it is registered, and the lines its
// start-up wrote to the log (when it may write one).
int ShowInfo(const std::string& module);

// Every registered camera with its name, class identifier and module path; marks those
// whose module file is gone.
int ListCameras();

// Removes the registrations whose module file is gone (class key and category entry).
int PruneCameras();

// Adds a camera of its own: copies the installation of module (empty: the registered
// built-in camera's) to <root>/Cameras/<channel>/, writes its custom-source entry with new
// class identifiers and the channel (empty: made from the name), and registers the copy.
// Refuses a name or channel another entry has, naming that camera. Nothing half made
// stays after a failure. Returns 2 for a name or channel that cannot be one.
int AddCamera(const std::string& name, std::string channelName, std::string module);

// Takes an added camera away: unregisters its copy, deletes its entry and the copy's
// files (only a copy --add-camera made). A name no entry has is no failure: "nothing to
// remove".
int RemoveCamera(const std::string& name);

// Removes the registrations whose module file is gone; with a path, only those that name
// it. What is removed is printed unless silent; nothing to remove is said and succeeds.
int RemoveStaleRegistrations(const std::wstring& onlyPath, bool silent);

}  // namespace regsvr
