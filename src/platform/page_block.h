// CPageBlock: one block of memory taken straight from the operating system: committed,
// readable and writable, zero-filled and aligned to a page (on Windows to the allocation
// granularity). The memory allocator keeps all its buffers in one of these.
//
// On Windows this is VirtualAlloc/VirtualFree; elsewhere an anonymous private mmap.
//
// Ownership: move-only; the destructor or Reset gives the block back to the system.
// Threading: one object is used by one thread at a time (the memory itself may be
// shared freely). Failure: Allocate returns an empty block (Data() null) when size is 0
// or the system refuses; nothing else fails.
#pragma once

#include <cstddef>

class CPageBlock {
 public:
  CPageBlock() = default;
  ~CPageBlock() { Reset(); }
  CPageBlock(CPageBlock&& other) noexcept;
  CPageBlock& operator=(CPageBlock&& other) noexcept;
  CPageBlock(const CPageBlock&) = delete;
  CPageBlock& operator=(const CPageBlock&) = delete;

  static CPageBlock Allocate(std::size_t size);
  void Reset();

  unsigned char* Data() const { return m_data; }
  std::size_t Size() const { return m_size; }
  explicit operator bool() const { return m_data != nullptr; }

 private:
  CPageBlock(unsigned char* data, std::size_t size) : m_data(data), m_size(size) {}

  unsigned char* m_data = nullptr;
  std::size_t m_size = 0;
};
