// CRegistryOverride: points this process's predefined registry roots
// (HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE, HKEY_CLASSES_ROOT) at a private folder for as
// long as the object lives, so that tests and tools can work on a registry of their own
// without touching the user's.
//
// Where the registry is kept in files, the roots become the hive files in folder
// (through AMBERLINE_REGISTRY_ROOT, which the object sets and, when it ends, restores to
// its previous value or removes). On Windows the roots are redirected with
// RegOverridePredefKey.
//
// Scope and threading: it acts on the whole process, not on one thread, and changes the
// process environment. Create and destroy it while no other thread opens registry keys
// or reads the environment; keys opened before it took effect stay where they were
// opened. Where the registry is kept in files, overrides nest when they end in the
// reverse order of their creation; on Windows only one may be in force at a time.
// Ownership: move-only; the moved-to object restores the previous state when it ends.
// Failure: the constructor cannot fail in a way it could report; if the environment
// cannot be changed the roots stay where they were.
#pragma once

#include <string>

class CRegistryOverride {
 public:
  // folder: UTF-8 path of the folder that holds the hive files.
  explicit CRegistryOverride(const std::string& folder);
  ~CRegistryOverride();
  CRegistryOverride(CRegistryOverride&& other) noexcept;
  CRegistryOverride& operator=(CRegistryOverride&& other) noexcept;
  CRegistryOverride(const CRegistryOverride&) = delete;
  CRegistryOverride& operator=(const CRegistryOverride&) = delete;

 private:
  void Restore() noexcept;

  [[maybe_unused]] void* m_state = nullptr;  // the backend's record of the override, where it needs one
  bool m_active = false;
  bool m_hadPrevious = false;
  std::string m_previous;
};
