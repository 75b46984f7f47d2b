// CSharedLibrary: a module (shared library / DLL) loaded into this process.
//
// Loading the same path twice gives the same module (the system counts references);
// copies of a file at different paths are separate modules with their own globals.
// Ownership: move-only; the library is released by Unload() or the destructor.
// Failure: Load returns false and Error() gives the system's text.
#pragma once

#include <string>

class CSharedLibrary {
 public:
  CSharedLibrary() = default;
  ~CSharedLibrary();
  CSharedLibrary(CSharedLibrary&& other) noexcept;
  CSharedLibrary& operator=(CSharedLibrary&& other) noexcept;
  CSharedLibrary(const CSharedLibrary&) = delete;
  CSharedLibrary& operator=(const CSharedLibrary&) = delete;

  bool Load(const std::wstring& path);
  void Unload();
  bool IsLoaded() const { return m_handle != nullptr; }
  // The address of an exported symbol, or null.
  void* Symbol(const char* name) const;
  const std::wstring& Error() const { return m_error; }

 private:
  void* m_handle = nullptr;
  std::wstring m_error;
};
