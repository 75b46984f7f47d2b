#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "platform/posix/shared_segment.h"
#include "platform/shared_memory.h"

namespace {

using platform::posix::CSharedSegment;
using platform::posix::SegmentAttachment;
using platform::posix::SegmentHold;
using platform::posix::SegmentKind;

LONG AttachTo(platform::CNamedObjectHandle* object, const std::wstring& name, bool create, std::uint64_t size,
              bool* created) {
  const CSharedSegment segment(SegmentKind::kMapping, name);
  SegmentAttachment attachment;
  const LONG result = segment.Attach(create, size, 0, nullptr, &attachment);
  if (result != ERROR_SUCCESS) return result;
  object->Reset(SegmentHold::Of(segment, attachment, 0));
  if (created != nullptr) *created = attachment.created;
  return ERROR_SUCCESS;
}

}  // namespace

LONG CSharedMemory::Open(const std::wstring& name) { return AttachTo(&m_object, name, false, 0, nullptr); }

LONG CSharedMemory::Create(const std::wstring& name, std::uint64_t size, bool* created) {
  return AttachTo(&m_object, name, true, size, created);
}

void CSharedMemory::Close() { m_object.Reset(); }

bool CSharedMemory::IsOpen() const { return m_object.IsValid(); }

void* CSharedMemory::MapView(std::uint64_t offset, std::size_t size) const {
  if (!m_object.IsValid()) {
    errno = EBADF;
    return nullptr;
  }
  const int descriptor = m_object.Get().descriptor;
  if (size == 0 || offset % platform::AllocationGranularity() != 0) {
    errno = EINVAL;
    return nullptr;
  }
  struct stat info {};
  if (::fstat(descriptor, &info) != 0) return nullptr;
  // A view past the end of the region would fault on first touch: refuse it, as Windows
  // refuses a view larger than its section.
  const auto regionSize = static_cast<std::uint64_t>(info.st_size);
  if (offset > regionSize || size > regionSize - offset) {
    errno = EACCES;
    return nullptr;
  }
  void* view = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, descriptor,
                      static_cast<off_t>(offset));
  return view == MAP_FAILED ? nullptr : view;
}

bool CSharedMemory::UnmapView(void* view, std::size_t size) {
  if (view == nullptr || size == 0) {
    errno = EINVAL;
    return false;
  }
  return ::munmap(view, size) == 0;
}

namespace platform {

DWORD AllocationGranularity() {
  static const DWORD granularity = static_cast<DWORD>(::sysconf(_SC_PAGESIZE));
  return granularity;
}

}  // namespace platform
