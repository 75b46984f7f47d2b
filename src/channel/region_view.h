// CRegionView: the frame region's mapping object and the one view of it that a channel
// operation works through, with the view strategy and the alignment of windows to the
// system's allocation granularity.
//
//   CRegionView region(CRegionView::Strategy::kPerOperation);
//   if (!region.OpenOrCreate()) return;
//   if (std::uint8_t* frame = region.MapFrame(index, length)) std::memcpy(frame, data, length);
//   region.Unmap();
//
// At most one view exists at a time (Map refuses a second one). kWholeRegion maps the
// whole region once when it is opened and hands out windows into that mapping;
// kPerOperation maps each window (its offset rounded down to the granularity) when it is
// asked for and unmaps it again, so that the object holds one window of address space at
// most. A 32-bit process always maps per operation. A frame lease gets a window of its
// own (LeaseWindow), which it unmaps itself.
//
// Ownership: owns the mapping handle, the whole-region mapping and the one view; Close
// (and the destructor) drops all three. Threading: none of its own: its owner's lock
// covers every call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "channel/channel_outcome.h"
#include "platform/shared_memory.h"

class CRegionView {
 public:
  enum class Strategy { kWholeRegion, kPerOperation };

  explicit CRegionView(Strategy strategy);
  ~CRegionView() { Close(); }
  CRegionView(const CRegionView&) = delete;
  CRegionView& operator=(const CRegionView&) = delete;

  // kPerOperation in a 32-bit process whatever was asked for.
  Strategy GetStrategy() const { return m_strategy; }
  std::uint32_t Granularity() const { return m_granularity; }

  // Opens the named region, creating (and labelling) it when it does not exist; true when
  // it is open. OpenExisting only opens. Either maps the whole region when the strategy
  // says so; a region smaller than the layout (made by someone else) cannot be mapped
  // whole, and its windows are then mapped one by one (whatever lies past its end fails).
  bool OpenOrCreate(const std::optional<std::wstring>& nameSpace = std::nullopt);
  bool OpenExisting(const std::optional<std::wstring>& nameSpace = std::nullopt);
  bool IsOpen() const { return m_mapping.IsOpen(); }
  // Unmaps the view and the whole-region mapping and closes the region.
  void Close();

  // Maps size bytes at offset as the one view: kNoView when one exists already, the region
  // is not open, the window passes the end of the region, or mapping failed.
  ChannelOutcome Map(std::uint32_t offset, std::uint32_t size);
  // kNoView when there was no view (or unmapping failed).
  ChannelOutcome Unmap();
  std::uint8_t* View() const { return m_view; }

  // Offset rounded down to the granularity, and what was taken off.
  std::pair<std::uint32_t, std::uint32_t> Align(std::uint32_t offset) const;
  // Maps the frame area of index for length bytes as the one view; its first byte, or
  // null when the frame does not fit its area or cannot be mapped.
  std::uint8_t* MapFrame(int index, std::int32_t length);

  // The bytes of frame index for a lease that reads them while other operations use the
  // one view: in the whole-region mapping, or (ownView set) a mapping of its own that the
  // lease unmaps with CSharedMemory::UnmapView(ownView, ownViewSize).
  struct LeaseWindow {
    const std::uint8_t* pixels = nullptr;
    std::uint8_t* ownView = nullptr;
    std::size_t ownViewSize = 0;
  };
  // The frame must fit its area (the caller checks); kNoView when it cannot be mapped.
  ChannelOutcome MapLeaseWindow(int index, std::int32_t length, LeaseWindow* window) const;

 private:
  const Strategy m_strategy;
  const std::uint32_t m_granularity;
  CSharedMemory m_mapping;
  std::uint8_t* m_wholeRegion = nullptr;
  std::uint8_t* m_view = nullptr;
  std::size_t m_viewSize = 0;
};
