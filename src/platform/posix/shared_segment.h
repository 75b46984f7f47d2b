// CSharedSegment: the naming and lifetime rules that every named shared object of the
// POSIX backend follows (CSharedMemory, CNamedMutex, CNamedEvent).
//
// A segment is a file named "<kind>-<name>" in the user's object folder
// (object_folder.h: /run/user/<uid>/amberline, else /dev/shm/amberline-<uid>), where
// <name> keeps letters, digits, '_' and '-' and writes every other UTF-8 byte as "%XX" (a
// Windows "Local\" prefix is dropped, as that namespace is the default); names too long
// for the system end in a hash of the whole name. Kinds have separate namespaces, so a
// mutex never reads an event's memory. Segments are created with mode 0600 and
// zero-filled. Only the user can make names in the folder; an object there that is not
// the user's own, or that others could read, is never read or written: it is removed and
// the name treated as free. A folder that is not the user's own stops every Attach
// (ERROR_ACCESS_DENIED; platform::NamedObjectProblem says why).
//
// Lifetime as Windows gives named objects: every holder keeps a shared flock on its own
// descriptor of the segment. Opening, creating and closing happen under an exclusive
// flock on a second object, "<segment>.lock". Under it, a segment on which an exclusive
// non-blocking flock succeeds has no living holder: a closer unlinks it (it was the last),
// an opener unlinks it and treats it as absent (every holder died). The lock object is
// unlinked together with its segment (and when a lookup finds nothing); a process that
// locked an object since unlinked sees so and locks the new one. Attach without create
// never creates anything: a name with no lock object has no segment either.
//
// Attach/Detach are called by one thread per object at a time; any number of objects,
// threads and processes may attach the same name. Failures return a system error code
// (ERROR_FILE_NOT_FOUND, ERROR_ACCESS_DENIED, ...) and leave the matching errno.
//
// CSegmentHandle owns one attachment and detaches it when it ends:
//
//   SegmentAttachment attachment;
//   CSharedSegment segment(SegmentKind::kEvent, name);
//   if (segment.Attach(false, 0, sizeof(Shared), nullptr, &attachment) == ERROR_SUCCESS)
//     m_object.Reset(SegmentHold::Of(segment, attachment, sizeof(Shared)));
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "platform/posix/object_folder.h"
#include "platform/scoped_handle.h"
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
  CSharedSegment() = default;  // names nothing: Attach fails, Detach only closes
  CSharedSegment(SegmentKind kind, const std::wstring& name);

  // Finds the segment or, with create, makes one of size bytes (initialise then runs on
  // its first mapSize bytes while the name is still locked, so nobody sees it before).
  // A found segment smaller than mapSize is refused (ERROR_INVALID_HANDLE).
  LONG Attach(bool create, std::uint64_t size, std::size_t mapSize, const std::function<bool(void*)>& initialise,
              SegmentAttachment* attachment) const;
  // Drops the holder: unmaps view (mapSize bytes, may be null), closes the descriptor and
  // unlinks the segment when no other holder is left. Keeps errno.
  void Detach(int descriptor, void* view, std::size_t mapSize) const;

  // The file of the segment ("<folder>/<kind>-<name>"); empty for an unusable name.
  const std::string& SystemName() const { return m_path; }

 private:
  // Takes the exclusive flock on the lock object; without create, a name that has
  // neither a lock object nor a segment fails with ENOENT and creates nothing.
  int LockName(bool create) const;
  void UnlockName(int lockDescriptor, bool unlinkLock) const;
  // True when the segment's name exists now (also when it cannot be read).
  bool SegmentNamed() const;

  ObjectFolder m_folder;
  std::string m_path;
  std::string m_lockPath;
};

// One holder of a segment, as CSegmentHandle keeps it: closing it detaches (unmaps the
// view, drops the holder, unlinks the segment when it was the last holder).
struct SegmentHold {
  int descriptor = -1;
  void* view = nullptr;
  std::size_t viewSize = 0;
  CSharedSegment segment;
  // For a segment that holds a process-shared robust mutex: the thread of this process
  // (ThreadTag) that holds the mutex through this view, 0 for none, and how often it
  // holds it. While a thread holds it the system links the mutex into that thread's list
  // through this view and writes to it when the thread ends, so closing then keeps the
  // view mapped (until the process ends). Read and written atomically (LockOwner,
  // LockDepth): threads that do not hold the mutex read the owner.
  alignas(std::atomic_ref<std::uint64_t>::required_alignment) std::uint64_t lockOwner = 0;
  alignas(std::atomic_ref<std::uint32_t>::required_alignment) std::uint32_t lockDepth = 0;

  static SegmentHold Of(const CSharedSegment& segment, const SegmentAttachment& attachment, std::size_t viewSize);
  std::atomic_ref<std::uint64_t> LockOwner() { return std::atomic_ref<std::uint64_t>(lockOwner); }
  std::atomic_ref<std::uint32_t> LockDepth() { return std::atomic_ref<std::uint32_t>(lockDepth); }
};

struct SegmentHoldTraits {
  using Handle = SegmentHold;
  static SegmentHold Invalid() noexcept { return SegmentHold{}; }
  static bool IsValid(const SegmentHold& hold) noexcept { return hold.descriptor >= 0; }
  static void Close(SegmentHold& hold) noexcept;
};

using CSegmentHandle = CScopedHandle<SegmentHoldTraits>;

// A number for the calling thread that no other thread of this process ever gets (never
// 0), unlike thread ids, which the system reuses once a thread has ended.
std::uint64_t ThreadTag();

}  // namespace platform::posix
