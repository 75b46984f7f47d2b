// What CSharedMemory does the same way on every system: ownership moves.
#include "platform/shared_memory.h"

#include <utility>

CSharedMemory::~CSharedMemory() { Close(); }

CSharedMemory::CSharedMemory(CSharedMemory&& other) noexcept
    : m_handle(std::exchange(other.m_handle, 0)), m_name(std::move(other.m_name)) {}

CSharedMemory& CSharedMemory::operator=(CSharedMemory&& other) noexcept {
  if (this != &other) {
    Close();
    m_handle = std::exchange(other.m_handle, 0);
    m_name = std::move(other.m_name);
  }
  return *this;
}
