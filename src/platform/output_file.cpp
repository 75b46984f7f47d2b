#include "platform/output_file.h"

#include <utility>

// Ownership is the same on every system; opening, writing and closing are per backend.
namespace platform {

COutputFile::~COutputFile() { Close(); }

COutputFile::COutputFile(COutputFile&& other) noexcept : m_handle(std::exchange(other.m_handle, nullptr)) {}

COutputFile& COutputFile::operator=(COutputFile&& other) noexcept {
  if (this != &other) {
    Close();
    m_handle = std::exchange(other.m_handle, nullptr);
  }
  return *this;
}

}  // namespace platform
