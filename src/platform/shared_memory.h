// CSharedMemory: a named memory region shared by the processes of one user (the frame
// channel's region).
//
//   CSharedMemory region;
//   bool created = false;
//   if (region.Create(L"Local\\AmberlineFrames", size, &created) != ERROR_SUCCESS) return;
//   void* header = region.MapView(0, headerSize);   // offsets: multiples of the granularity
//   ...
//   CSharedMemory::UnmapView(header, headerSize);
//
// Open finds an existing region; Create makes a new one (zero-filled) or, when one
// exists, opens it, and says which happened. Views map a window of the region into this
// process: offsets must be multiples of AllocationGranularity().
//
// Lifetime as on Windows: a region lives while any process holds it open and vanishes
// when its last holder closes it (or dies); a region whose holders all died is never
// found again: the next Create starts from zeros. On Windows these are named file
// mappings backed by the paging file, and a region Create makes gets the access list of
// object_access.h (its user, SYSTEM, and AppContainer processes for mapping only). Elsewhere they are POSIX shared memory objects
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

#include "platform/native_handle.h"
#include "platform/windows_types.h"

class CSharedMemory {
 public:
  // Both keep what the object held before when they fail; on success the previous region
  // is dropped after the new one is held (reopening the name this object alone holds
  // keeps the region).
  LONG Open(const std::wstring& name);
  // size (not 0) applies only when this call creates the region.
  LONG Create(const std::wstring& name, std::uint64_t size, bool* created);
  void Close();
  bool IsOpen() const;

  // Maps size bytes at offset for reading and writing; null on failure (not open, size 0,
  // an offset that is not a multiple of AllocationGranularity(), a window past the end).
  void* MapView(std::uint64_t offset, std::size_t size) const;
  // Unmaps a view MapView returned, given its size.
  static bool UnmapView(void* view, std::size_t size);

 private:
  platform::CNamedObjectHandle m_object;
};

namespace platform {

// The granularity of view offsets (the page size on Linux).
DWORD AllocationGranularity();

}  // namespace platform
