// CCameraRegistry: the cameras that registered copies of the camera module have left in
// the registry, and their removal once their module file is gone.
//
// A registration is two things (both written by the module's DllRegisterServer): the
// class key HKEY_CLASSES_ROOT\CLSID\{class} whose "InprocServer32" names the module file,
// and the video input category entry HKEY_CLASSES_ROOT\CLSID\{category}\Instance\<name>
// ("FriendlyName", "CLSID", "FilterData"). A category entry is this camera's when its
// class is the built-in camera class or its class key names a file called like the camera
// module (any copy keeps the module's file name); entries of other products are counted
// and never touched.
//
// An entry is stale when its module file is gone: its class key is missing, names no
// file, or names a path where nothing exists. A path that cannot be checked (no
// permission) is taken as present, so a registration is never removed on a guess.
//
// Ownership: holds copies only. Threading: one thread. Failure: registry errors are
// returned as HRESULT_FROM_WIN32 of the system error; a missing category is no error.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "platform/windows_types.h"

struct CameraRegistration {
  std::wstring instance;      // key name of the category entry
  std::wstring friendlyName;  // its "FriendlyName"
  std::wstring classText;     // its "CLSID", braced, as stored
  bool classKeyFound = false;
  std::wstring modulePath;    // the class key's InprocServer32 default value
  bool moduleGone = false;
};

class CCameraRegistry {
 public:
  // moduleFileName: the camera module's file name ("amberline.so", "amberline.dll").
  explicit CCameraRegistry(std::wstring moduleFileName) : m_moduleFileName(std::move(moduleFileName)) {}

  // Reads every category entry that is this camera's, in the registry's order, and the
  // number of other entries in the category.
  HRESULT Read(std::vector<CameraRegistration>* cameras, std::size_t* others) const;

  // Removes entry's category entry, then its class key when that key still names the
  // same module path and the file is still gone (*classKeyRemoved says whether it went).
  // S_OK also when either was already gone.
  HRESULT Remove(const CameraRegistration& entry, bool* classKeyRemoved) const;

  // Whether a category entry named instance exists, and whether the class key of clsid.
  static bool CategoryEntryExists(const std::wstring& instance);
  static bool ClassKeyExists(REFCLSID clsid);
  // The module path that the class key of clsid names (empty when none); view
  // KEY_WOW64_32KEY reads the 32-bit registration on a 64-bit Windows.
  static std::wstring ModulePathOf(REFCLSID clsid, bool* classKeyFound, REGSAM view = 0);

  // True when nothing is at path (an empty path included); false when it exists or
  // cannot be checked.
  static bool FileIsGone(const std::wstring& path);

  // "HKEY_CLASSES_ROOT\CLSID\{...}" and "...\Instance\<name>", for messages.
  static std::wstring ClassKeyText(const std::wstring& classText);
  static std::wstring CategoryEntryText(const std::wstring& instance);

 private:
  bool IsCamera(const CameraRegistration& entry) const;

  std::wstring m_moduleFileName;
};
