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

// Removes the registrations whose module file is gone; with a path, only those that name
// it. What is removed is printed unless silent; nothing to remove is said and succeeds.
int RemoveStaleRegistrations(const std::wstring& onlyPath, bool silent);

}  // namespace regsvr
