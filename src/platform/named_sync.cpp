// What CNamedMutex and CNamedEvent do the same way on every system: ownership moves.
#include "platform/named_sync.h"

#include <utility>

CNamedMutex::~CNamedMutex() { Close(); }

CNamedMutex::CNamedMutex(CNamedMutex&& other) noexcept
    : m_handle(std::exchange(other.m_handle, 0)),
      m_shared(std::exchange(other.m_shared, nullptr)),
      m_acquired(other.m_acquired.exchange(0)),
      m_name(std::move(other.m_name)) {}

CNamedMutex& CNamedMutex::operator=(CNamedMutex&& other) noexcept {
  if (this != &other) {
    Close();
    m_handle = std::exchange(other.m_handle, 0);
    m_shared = std::exchange(other.m_shared, nullptr);
    m_acquired = other.m_acquired.exchange(0);
    m_name = std::move(other.m_name);
  }
  return *this;
}

CNamedEvent::~CNamedEvent() { Close(); }

CNamedEvent::CNamedEvent(CNamedEvent&& other) noexcept
    : m_handle(std::exchange(other.m_handle, 0)),
      m_shared(std::exchange(other.m_shared, nullptr)),
      m_name(std::move(other.m_name)) {}

CNamedEvent& CNamedEvent::operator=(CNamedEvent&& other) noexcept {
  if (this != &other) {
    Close();
    m_handle = std::exchange(other.m_handle, 0);
    m_shared = std::exchange(other.m_shared, nullptr);
    m_name = std::move(other.m_name);
  }
  return *this;
}
