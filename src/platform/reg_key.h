// CRegKey: one open registry key.
//
// The operations follow the Windows registry calls they stand for and return the same
// system error codes (ERROR_SUCCESS, ERROR_FILE_NOT_FOUND, ERROR_MORE_DATA,
// ERROR_NO_MORE_ITEMS, ERROR_ACCESS_DENIED, ...). On Windows the backend is a thin
// wrapper over the real registry. Elsewhere each predefined root (HKEY_CURRENT_USER,
// HKEY_LOCAL_MACHINE, HKEY_CLASSES_ROOT) is a text file in the registry editor's export
// format, `<root name>.reg`, in the folder RegistryRootFolder() names; see
// posix/registry_hive.h for the format and posix/registry_hive_file.h for how writes
// stay atomic.
//
// Ownership: move-only; the key is closed by Close() or the destructor.
// Threading: one object is used by one thread at a time; different objects (in one
// process or in several) may work on the same keys concurrently.
// Failure: every operation returns a system error code; on failure it also leaves that
// code as the thread's last error (platform::GetLastError), so a following error report
// names the real cause. A missing, unreadable or unparsable hive reads as empty; a
// write never replaces a hive it could not parse (ERROR_BADDB).
#pragma once

#include <string>
#include <vector>

#include "platform/windows_types.h"

class CRegKey {
 public:
  CRegKey() = default;
  ~CRegKey();
  CRegKey(CRegKey&& other) noexcept;
  CRegKey& operator=(CRegKey&& other) noexcept;
  CRegKey(const CRegKey&) = delete;
  CRegKey& operator=(const CRegKey&) = delete;

  // Opens an existing key below root (a predefined key or another open CRegKey's
  // handle). Never creates it. An access mask that includes write rights fails with
  // ERROR_ACCESS_DENIED where the caller may not write the key. The operations below
  // need the rights they would need on Windows (querying KEY_QUERY_VALUE, enumerating
  // subkeys KEY_ENUMERATE_SUB_KEYS, setting and deleting values KEY_SET_VALUE, DeleteTree
  // DELETE | KEY_ENUMERATE_SUB_KEYS | KEY_QUERY_VALUE) and fail with ERROR_ACCESS_DENIED
  // without them. On failure the object keeps the key it held before. A key deleted
  // after it was opened fails every operation with ERROR_KEY_DELETED.
  LONG Open(HKEY root, const wchar_t* subKey, REGSAM access);
  LONG Open(const CRegKey& parent, const wchar_t* subKey, REGSAM access);
  // Opens the key, creating it and every missing key above it.
  LONG Create(HKEY root, const wchar_t* subKey, REGSAM access);
  LONG Create(const CRegKey& parent, const wchar_t* subKey, REGSAM access);
  void Close();
  bool IsOpen() const { return m_key != nullptr; }
  HKEY Handle() const { return m_key; }

  // Name of the index-th immediate subkey (in the registry's enumeration order).
  // nameChars is the capacity of name in characters, terminator included; on success it
  // receives the length without the terminator. ERROR_MORE_DATA when the name does not
  // fit, ERROR_NO_MORE_ITEMS past the last one.
  LONG EnumKey(DWORD index, wchar_t* name, DWORD* nameChars) const;
  // Name and type of the index-th value; the default value has the empty name.
  LONG EnumValue(DWORD index, std::wstring* name, DWORD* type) const;

  // The raw value: its type and its bytes as stored (strings as UTF-16LE with their
  // terminator, as Windows stores them). name null or empty is the default value.
  LONG QueryValue(const wchar_t* name, DWORD* type, std::vector<BYTE>* data) const;
  // A REG_DWORD value (any other type gives ERROR_UNSUPPORTED_TYPE).
  LONG QueryDword(const wchar_t* name, DWORD* value) const;
  // A REG_SZ or REG_EXPAND_SZ value (the latter not expanded) into buffer, capacity
  // bufferChars characters including the terminator. Fails with ERROR_UNSUPPORTED_TYPE
  // for other types, ERROR_INVALID_DATA for a value that is not terminated, and
  // ERROR_MORE_DATA when it does not fit. buffer is left empty on every failure.
  LONG QueryString(const wchar_t* name, wchar_t* buffer, DWORD bufferChars) const;
  // The same without a size limit.
  LONG QueryString(const wchar_t* name, std::wstring* value) const;

  LONG SetValue(const wchar_t* name, DWORD type, const BYTE* data, DWORD bytes);
  LONG SetString(const wchar_t* name, const std::wstring& value, DWORD type = REG_SZ);
  LONG SetDword(const wchar_t* name, DWORD value);
  LONG DeleteValue(const wchar_t* name);
  // Deletes subKey (relative to this key) with everything below it.
  LONG DeleteTree(const wchar_t* subKey);

 private:
  // Leaves code as the thread's last error (in the form the system reports: errno on
  // Linux) and returns it.
  static LONG Fail(LONG code);

  HKEY m_key = nullptr;
};

namespace platform {

// Windows registry text of a predefined root ("HKEY_LOCAL_MACHINE", ...), or null.
const wchar_t* RegistryRootName(HKEY root);

// Folder that holds the hive files where the registry is kept in files:
// $AMBERLINE_REGISTRY_ROOT, else ${XDG_CONFIG_HOME:-~/.config}/amberline/registry. Read
// at every call, so a process (or a test) can point it elsewhere before opening keys.
// Empty on Windows, where the system keeps the registry.
std::string RegistryRootFolder();

// Where the registry is kept in files: one line for each predefined root whose hive file
// exists but does not read cleanly, "<path>, line <n>: <what is wrong>" ("<path>: <what>"
// when no one line is to blame, as for a file that cannot be read). What such a file
// holds beyond the problem is still read, but no write will replace it until it is
// mended. Empty when every hive reads cleanly, and always on Windows.
std::vector<std::string> RegistryFileProblems();

}  // namespace platform
