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
using platform::posix::SegmentKind;

int Descriptor(std::intptr_t handle) { return static_cast<int>(handle) - 1; }

}  // namespace

// The new holder is taken before the old one is dropped: reopening the name this object
// alone holds keeps the region, and a failure leaves the object as it was.
LONG CSharedMemory::Open(const std::wstring& name) {
  SegmentAttachment attachment;
  const LONG result = CSharedSegment(SegmentKind::kMapping, name).Attach(false, 0, 0, nullptr, &attachment);
  if (result != ERROR_SUCCESS) return result;
  Close();
  m_handle = static_cast<std::intptr_t>(attachment.descriptor) + 1;
  m_name = name;
  return ERROR_SUCCESS;
}

LONG CSharedMemory::Create(const std::wstring& name, std::uint64_t size, bool* created) {
  SegmentAttachment attachment;
  const LONG result = CSharedSegment(SegmentKind::kMapping, name).Attach(true, size, 0, nullptr, &attachment);
  if (result != ERROR_SUCCESS) return result;
  Close();
  m_handle = static_cast<std::intptr_t>(attachment.descriptor) + 1;
  m_name = name;
  if (created != nullptr) *created = attachment.created;
  return ERROR_SUCCESS;
}

void CSharedMemory::Close() {
  if (m_handle == 0) return;
  CSharedSegment(SegmentKind::kMapping, m_name).Detach(Descriptor(m_handle), nullptr, 0);
  m_handle = 0;
  m_name.clear();
}

bool CSharedMemory::IsOpen() const { return m_handle != 0; }

void* CSharedMemory::MapView(std::uint64_t offset, std::size_t size) const {
  if (m_handle == 0) {
    errno = EBADF;
    return nullptr;
  }
  if (size == 0 || offset % platform::AllocationGranularity() != 0) {
    errno = EINVAL;
    return nullptr;
  }
  struct stat info {};
  if (::fstat(Descriptor(m_handle), &info) != 0) return nullptr;
  // A view past the end of the region would fault on first touch: refuse it, as Windows
  // refuses a view larger than its section.
  const auto regionSize = static_cast<std::uint64_t>(info.st_size);
  if (offset > regionSize || size > regionSize - offset) {
    errno = EACCES;
    return nullptr;
  }
  void* view = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, Descriptor(m_handle),
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
