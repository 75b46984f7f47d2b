// CRegistryHiveFile: the hive files on disk, shared by every open key of this process and
// by other processes.
//
// Read gives the hive as its file holds it at the time of the call. A missing file is an
// empty hive; a file that cannot be read, is not a regular file or is over the size limit
// is an empty hive that is not clean, whose Problem says which. Parsed hives are cached per path and reused while
// the file keeps its device, inode, size and modification and change times; a file
// changed less than a second before it was read is not cached, so that a change within
// the granularity of the file times is never missed.
//
// Update changes a hive so that no change is ever lost or torn: it creates the folder if
// needed (mode 0700), takes an exclusive flock on "<hive>.lock" beside the hive (which
// serialises writers in this and other processes), reads the file afresh, lets the
// caller change the tree, and writes the result to a temporary file in the same folder
// (mode 0600, or the mode of the file it replaces), flushed to disk before it is renamed
// over the hive (over the file a symbolic link at the hive's place points to, so the
// link survives). A hive that exists but was not read cleanly is never replaced
// (ERROR_BADDB); neither is one this process may not write (ERROR_ACCESS_DENIED), even
// where the folder would allow the rename.
//
// Threading: every function may be called from any thread; the cache has its own mutex.
// Failure: Update and CheckWritable return a system error code and, on failure, leave
// errno naming the cause (the failing system call's errno where there was one).
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "platform/registry_hive.h"
#include "platform/windows_types.h"

class CRegistryHiveFile {
 public:
  // Sets *changed when the hive must be written back; a failure code is returned as it
  // is and nothing is written (the callback sets errno for it).
  using Change = std::function<LONG(CRegistryHive& hive, bool* changed)>;

  // path empty: an empty hive (there is no folder to keep the registry in).
  static std::shared_ptr<const CRegistryHive> Read(const std::string& path, const std::wstring& rootName);
  static LONG Update(const std::string& path, const std::wstring& rootName, const Change& change);
  // ERROR_SUCCESS when this process may replace the hive at path: the file, if it
  // exists, is writable, and so is its folder (or the nearest folder above it that
  // exists, where it is still to be created).
  static LONG CheckWritable(const std::string& path);
};
