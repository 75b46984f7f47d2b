// CSharedMemory: a named memory region shared by the processes of one user.
//
// Open finds an existing region; Create makes a new one (zero-filled) or, when one
// exists, opens it, and says which happened. Views map a window of the region into this
// process: offsets must be multiples of AllocationGranularity().
//
// Lifetime as on Windows: a region lives while any process holds it open and vanishes
// when its last holder closes it (or dies); a region whose holders all died is never
// found again: the next Create starts from zeros. On Windows these are named file
// mappings backed by the paging file. Elsewhere they are POSIX shared memory objects
// with per-user names (mode 0600) and a lock protocol that gives the same lifetime.
//
// Ownership: move-only; Close or the destructor drops this holder (views stay valid
// until unmapped). Threading: one object is used by one thread at a time; objects in
// several threads and processes may hold the same region. Failure: results are system
// error codes (ERROR_SUCCESS, ERROR_FILE_NOT_FOUND, ...); views are null on failure.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/windows_types.h"

class CSharedMemory {
 public:
  CSharedMemory() = default;
  ~CSharedMemory();
  CSharedMemory(CSharedMemory&& other) noexcept;
  CSharedMemory& operator=(CSharedMemory&& other) noexcept;
  CSharedMemory(const CSharedMemory&) = delete;
  CSharedMemory& operator=(const CSharedMemory&) = delete;

  LONG Open(const std::wstring& name);
  LONG Create(const std::wstring& name, std::uint64_t size, bool* created);
  void Close();
  bool IsOpen() const;

  // Maps size bytes at offset for reading and writing; null on failure.
  void* MapView(std::uint64_t offset, std::size_t size) const;
  static bool UnmapView(void* view, std::size_t size);

 private:
  std::intptr_t m_handle = 0;   // HANDLE on Windows; descriptor + 1 elsewhere
  std::wstring m_name;          // for the closing protocol (not used on Windows)
};

namespace platform {

// The granularity of view offsets (the page size on Linux).
DWORD AllocationGranularity();

}  // namespace platform
