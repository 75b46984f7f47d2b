// CSharedSegment: the naming and lifetime rules that every named shared object of the
// POSIX backend follows (CSharedMemory, CNamedMutex, CNamedEvent).
//
// A segment is a POSIX shared memory object named "/amberline-<uid>-<kind>-<name>",
// where <name> keeps letters, digits, '_' and '-' and writes every other UTF-8 byte as
// "%XX" (a Windows "Local\" prefix is dropped, as that namespace is the default); names
// too long for the system end in a hash of the whole name. Kinds have separate
// namespaces, so a mutex never reads an event's memory. Segments are created with mode
// 0600 and zero-filled; one found with another owner or wider access is refused.
//
// Lifetime as Windows gives named objects: every holder keeps a shared flock on its own
// descriptor of the segment. Opening, creating and closing happen under an exclusive
// flock on a second object, "<segment>.lock". Under it, a segment on which an exclusive
// non-blocking flock succeeds has no living holder: a closer unlinks it (it was the last),
// an opener unlinks it and treats it as absent (every holder died). The lock object is
// unlinked together with its segment (and when a lookup finds nothing); a process that
// locked an object since unlinked sees so and locks the new one.
//
// Attach/Detach are called by one thread per object at a time; any number of objects,
// threads and processes may attach the same name. Failures return a system error code
// (ERROR_FILE_NOT_FOUND, ERROR_ACCESS_DENIED, ...) and leave the matching errno.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "platform/windows_types.h"

namespace platform::posix {

enum class SegmentKind { kMapping, kMutex, kEvent };

struct SegmentAttachment {
  int descriptor = -1;     // holds the shared flock; closed by Detach
  void* view = nullptr;    // the first mapSize bytes, when asked for
  bool created = false;
};

class CSharedSegment {
 public:
  CSharedSegment(SegmentKind kind, const std::wstring& name);

  // Finds the segment or, with create, makes one of size bytes (initialise then runs on
  // its first mapSize bytes while the name is still locked, so nobody sees it before).
  // A found segment smaller than mapSize is refused (ERROR_INVALID_HANDLE).
  LONG Attach(bool create, std::uint64_t size, std::size_t mapSize, const std::function<bool(void*)>& initialise,
              SegmentAttachment* attachment) const;
  // Drops the holder: unmaps view (mapSize bytes, may be null), closes the descriptor and
  // unlinks the segment when no other holder is left. Keeps errno.
  void Detach(int descriptor, void* view, std::size_t mapSize) const;

  // The system name ("/amberline-...") of the segment; empty for an unusable name.
  const std::string& SystemName() const { return m_path; }

 private:
  int LockName() const;
  void UnlockName(int lockDescriptor, bool unlinkLock) const;

  std::string m_path;
  std::string m_lockPath;
};

}  // namespace platform::posix
