// CTaskMemory<T>: owns one block of the component runtime's task memory, the kind an
// interface hands out for the caller to free (strings, arrays of interface pointers).
//
//   CTaskMemory<WCHAR> name;
//   device->GetAllocatedString(MF_DEVSOURCE_ATTRIBUTE_FRIENDLY_NAME, name.Receive(), &length);
//   if (name) Print(name.Get());   // freed with CoTaskMemFree when name goes
//
// Receive frees what the holder had and hands out its (now null) pointer to be filled.
// Only the block is owned: the interface pointers an array holds are not released.
// Ownership: move-only. Threading: none of its own.
#pragma once

#include <utility>

#include "platform/com_types.h"

template <class T>
class CTaskMemory {
 public:
  CTaskMemory() = default;
  ~CTaskMemory() { CoTaskMemFree(m_block); }
  CTaskMemory(CTaskMemory&& other) noexcept : m_block(std::exchange(other.m_block, nullptr)) {}
  CTaskMemory& operator=(CTaskMemory&& other) noexcept {
    if (this != &other) {
      CoTaskMemFree(m_block);
      m_block = std::exchange(other.m_block, nullptr);
    }
    return *this;
  }
  CTaskMemory(const CTaskMemory&) = delete;
  CTaskMemory& operator=(const CTaskMemory&) = delete;

  T** Receive() {
    CoTaskMemFree(m_block);
    m_block = nullptr;
    return &m_block;
  }
  T* Get() const { return m_block; }
  explicit operator bool() const { return m_block != nullptr; }

 private:
  T* m_block = nullptr;
};
