#include <sys/mman.h>

#include "platform/page_block.h"

// Anonymous private mappings are zero-filled and page-aligned; pages are committed by
// the kernel on first touch, which is as good as committed for every caller here.
CPageBlock CPageBlock::Allocate(std::size_t size) {
  if (size == 0) return {};
  void* data = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (data == MAP_FAILED) return {};
  return {static_cast<unsigned char*>(data), size};
}

void CPageBlock::Reset() {
  if (m_data != nullptr) ::munmap(m_data, m_size);
  m_data = nullptr;
  m_size = 0;
}
