#include <windows.h>

#include "platform/page_block.h"

CPageBlock CPageBlock::Allocate(std::size_t size) {
  if (size == 0) return {};
  void* data = ::VirtualAlloc(nullptr, size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
  if (data == nullptr) return {};
  return {static_cast<unsigned char*>(data), size};
}

void CPageBlock::Reset() {
  if (m_data != nullptr) ::VirtualFree(m_data, 0, MEM_RELEASE);
  m_data = nullptr;
  m_size = 0;
}
