#include "channel/frame_lease.h"

#include <utility>

#include "channel/file_mapping.h"
#include "platform/shared_memory.h"

CFrameLease::CFrameLease(std::shared_ptr<Anchor> anchor, std::uint64_t generation, int index, std::int32_t width,
                         std::int32_t height, const CRegionView::LeaseWindow& window, bool showLogo)
    : m_anchor(std::move(anchor)),
      m_generation(generation),
      m_index(index),
      m_width(width),
      m_height(height),
      m_pixels(window.pixels),
      m_ownView(window.ownView),
      m_ownViewSize(window.ownViewSize),
      m_showLogo(showLogo) {}

CFrameLease::CFrameLease(CFrameLease&& other) noexcept
    : m_anchor(std::move(other.m_anchor)),
      m_generation(other.m_generation),
      m_index(other.m_index),
      m_width(other.m_width),
      m_height(other.m_height),
      m_pixels(other.m_pixels),
      m_ownView(other.m_ownView),
      m_ownViewSize(other.m_ownViewSize),
      m_showLogo(other.m_showLogo) {
  other.Clear();
}

CFrameLease& CFrameLease::operator=(CFrameLease&& other) noexcept {
  if (this != &other) {
    Release();
    m_anchor = std::move(other.m_anchor);
    m_generation = other.m_generation;
    m_index = other.m_index;
    m_width = other.m_width;
    m_height = other.m_height;
    m_pixels = other.m_pixels;
    m_ownView = other.m_ownView;
    m_ownViewSize = other.m_ownViewSize;
    m_showLogo = other.m_showLogo;
    other.Clear();
  }
  return *this;
}

CFrameLease::~CFrameLease() { Release(); }

int CFrameLease::Release() {
  if (!Held()) return 0;
  ChannelOutcome outcome = ChannelOutcome::kNoAccess;
  {
    // Held across the drop, so that Destroy (which takes it first) waits for a drop in
    // progress and never closes the handles under it.
    CLockHolder<CLock> hold(m_anchor->lock);
    if (CFileMapping* channel = m_anchor->channel; channel != nullptr && m_anchor->generation == m_generation) {
      CLockHolder<CRecursiveLock> channelHold(channel->m_lock);
      outcome = channel->DropHold(m_index);
    }
  }
  if (m_ownView != nullptr) CSharedMemory::UnmapView(m_ownView, m_ownViewSize);
  Clear();
  return channel::FrameResult(outcome);
}

void CFrameLease::Clear() {
  m_anchor.reset();
  m_generation = 0;
  m_index = -1;
  m_width = 0;
  m_height = 0;
  m_pixels = nullptr;
  m_ownView = nullptr;
  m_ownViewSize = 0;
  m_showLogo = false;
}
