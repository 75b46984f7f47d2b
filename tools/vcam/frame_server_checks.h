// What the frame server needs of the module before it can load it, checked from the files
// themselves. The frame server loads the media source as LOCAL SERVICE in session 0, so:
//
// - the module's folder and the module must be readable (and executable) by LOCAL
//   SERVICE. Asking the system directly (AccessCheck) needs a LOCAL SERVICE token, which
//   only a service or a caller with the "act as part of the operating system" privilege
//   can get. LocalServiceCanRead instead applies the DACL the way AccessCheck does, to
//   the groups every LOCAL SERVICE token carries (LOCAL SERVICE, Everyone, SERVICE,
//   BUILTIN\Users, Authenticated Users, This Organization, LOCAL): ACEs in order, generic
//   rights mapped to file rights, inherit-only ACEs skipped, a right denied before it is
//   granted stays denied, no DACL at all grants everything. Privileges and integrity
//   labels are not considered (LOCAL SERVICE has none that bypass a DACL here).
// - the module must not import a MinGW runtime DLL (libstdc++-6.dll, libgcc_s_*.dll,
//   libwinpthread-1.dll, …): the service would look for it beside the module and in the
//   system folders only. PeImportedDlls reads the import table from the file's bytes
//   (PE32 and PE32+), checking every offset against the file, so a damaged file gives an
//   error and never a read out of bounds.
//
// Threading: any thread; no state. Failure: in words, in each line's text.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

struct FrameServerCheck {
  bool passed = false;
  std::string text;  // what was checked and what was found
  std::string fix;   // what to do when it failed (empty when it passed)
};

// Whether the DACL of descriptor grants LOCAL SERVICE every right of access (generic
// rights are mapped to file rights first).
bool LocalServiceCanRead(PSECURITY_DESCRIPTOR descriptor, ACCESS_MASK access);

// The DLL names in the import table of a PE file's bytes; false with the reason in
// problem when the bytes are not a PE image or its import table lies outside the file.
bool PeImportedDlls(const std::string& bytes, std::vector<std::string>* dlls, std::string* problem);

// Whether name (any letter case) is a runtime DLL of MinGW-w64's compilers.
bool IsMinGwRuntimeDll(const std::string& name);

// For the module at path (a Windows path): its folder's access, its own access, and its
// imports, in that order.
std::vector<FrameServerCheck> CheckFrameServerNeeds(const std::wstring& modulePath);
