#include "channel/region_view.h"

#include "channel/frame_region.h"
#include "channel/labelled_object.h"

namespace {

constexpr const wchar_t* kMappingName = L"Trelvox_FileMapping";

}  // namespace

CRegionView::CRegionView(Strategy strategy)
    : m_strategy(strategy == Strategy::kWholeRegion && sizeof(void*) >= 8 ? Strategy::kWholeRegion
                                                                           : Strategy::kPerOperation),
      m_granularity(platform::AllocationGranularity()) {}

bool CRegionView::OpenOrCreate(const std::optional<std::wstring>& nameSpace) {
  if (m_mapping.IsOpen()) return false;
  const std::wstring name = channel::ObjectName(nameSpace, kMappingName);
  channel::OpenOrCreateLabelled(m_mapping, name, platform::KernelObjectKind::kFileMapping,
                                [&](CSharedMemory& mapping, bool* created) { mapping.Create(name, channel::kRegionSize, created); });
  if (!m_mapping.IsOpen()) return false;
  if (m_strategy == Strategy::kWholeRegion)
    m_wholeRegion = static_cast<std::uint8_t*>(m_mapping.MapView(0, channel::kRegionSize));
  return true;
}

bool CRegionView::OpenExisting(const std::optional<std::wstring>& nameSpace) {
  if (m_mapping.IsOpen() || m_mapping.Open(channel::ObjectName(nameSpace, kMappingName)) != ERROR_SUCCESS) return false;
  if (m_strategy == Strategy::kWholeRegion)
    m_wholeRegion = static_cast<std::uint8_t*>(m_mapping.MapView(0, channel::kRegionSize));
  return true;
}

void CRegionView::Close() {
  static_cast<void>(Unmap());
  if (m_wholeRegion != nullptr) CSharedMemory::UnmapView(m_wholeRegion, channel::kRegionSize);
  m_wholeRegion = nullptr;
  m_mapping.Close();
}

ChannelOutcome CRegionView::Map(std::uint32_t offset, std::uint32_t size) {
  if (m_view != nullptr || !m_mapping.IsOpen()) return ChannelOutcome::kNoView;
  if (static_cast<std::uint64_t>(offset) + size > channel::kRegionSize) return ChannelOutcome::kNoView;
  if (m_wholeRegion != nullptr) {
    m_view = m_wholeRegion + offset;
  } else {
    m_view = static_cast<std::uint8_t*>(m_mapping.MapView(offset, size));
    if (m_view == nullptr) return ChannelOutcome::kNoView;
  }
  m_viewSize = size;
  return ChannelOutcome::kDone;
}

ChannelOutcome CRegionView::Unmap() {
  if (m_view == nullptr) return ChannelOutcome::kNoView;
  const bool ok = m_wholeRegion != nullptr || CSharedMemory::UnmapView(m_view, m_viewSize);
  m_view = nullptr;
  m_viewSize = 0;
  return ok ? ChannelOutcome::kDone : ChannelOutcome::kNoView;
}

std::pair<std::uint32_t, std::uint32_t> CRegionView::Align(std::uint32_t offset) const {
  const std::uint32_t remainder = m_granularity != 0 ? offset % m_granularity : 0;
  return {offset - remainder, remainder};
}

std::uint8_t* CRegionView::MapFrame(int index, std::int32_t length) {
  if (!channel::FrameFits(index, length)) return nullptr;
  const auto [aligned, remainder] = Align(static_cast<std::uint32_t>(channel::FrameOffset(index)));
  if (Map(aligned, static_cast<std::uint32_t>(length) + remainder) != ChannelOutcome::kDone) return nullptr;
  return m_view + remainder;
}

ChannelOutcome CRegionView::MapLeaseWindow(int index, std::int32_t length, LeaseWindow* window) const {
  const auto offset = static_cast<std::uint32_t>(channel::FrameOffset(index));
  if (m_wholeRegion != nullptr) {
    window->pixels = m_wholeRegion + offset;
    return ChannelOutcome::kDone;
  }
  const auto [aligned, remainder] = Align(offset);
  const std::size_t size = static_cast<std::size_t>(length) + remainder;
  window->ownView = static_cast<std::uint8_t*>(m_mapping.MapView(aligned, size));
  if (window->ownView == nullptr) return ChannelOutcome::kNoView;
  window->ownViewSize = size;
  window->pixels = window->ownView + remainder;
  return ChannelOutcome::kDone;
}
