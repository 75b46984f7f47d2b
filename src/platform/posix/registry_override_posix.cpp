#include <cstdlib>
#include <utility>

#include "platform/registry_override.h"

namespace {

constexpr const char* kVariable = "AMBERLINE_REGISTRY_ROOT";

}  // namespace

CRegistryOverride::CRegistryOverride(const std::string& folder) {
  const char* previous = std::getenv(kVariable);
  m_hadPrevious = previous != nullptr;
  if (m_hadPrevious) m_previous = previous;
  m_active = ::setenv(kVariable, folder.c_str(), 1) == 0;
}

CRegistryOverride::~CRegistryOverride() { Restore(); }

CRegistryOverride::CRegistryOverride(CRegistryOverride&& other) noexcept
    : m_active(std::exchange(other.m_active, false)),
      m_hadPrevious(other.m_hadPrevious),
      m_previous(std::move(other.m_previous)) {}

CRegistryOverride& CRegistryOverride::operator=(CRegistryOverride&& other) noexcept {
  if (this != &other) {
    Restore();
    m_active = std::exchange(other.m_active, false);
    m_hadPrevious = other.m_hadPrevious;
    m_previous = std::move(other.m_previous);
  }
  return *this;
}

void CRegistryOverride::Restore() noexcept {
  if (!m_active) return;
  m_active = false;
  if (m_hadPrevious)
    ::setenv(kVariable, m_previous.c_str(), 1);
  else
    ::unsetenv(kVariable);
}
