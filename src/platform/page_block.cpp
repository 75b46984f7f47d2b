#include "platform/page_block.h"

#include <utility>

CPageBlock::CPageBlock(CPageBlock&& other) noexcept
    : m_data(std::exchange(other.m_data, nullptr)), m_size(std::exchange(other.m_size, 0)) {}

CPageBlock& CPageBlock::operator=(CPageBlock&& other) noexcept {
  if (this != &other) {
    Reset();
    m_data = std::exchange(other.m_data, nullptr);
    m_size = std::exchange(other.m_size, 0);
  }
  return *this;
}
