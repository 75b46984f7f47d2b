// CFrameLease: one hold on one frame of the shared region, read in place. While a lease
// is held the frame's LockCount counts it, so the producer does not write that frame and
// its bytes can be scaled or converted straight from the region without a staging copy.
// The access mutex is not held by a lease: it is taken only to take the hold (with the
// descriptor and ShowLogo read in that same turn) and to drop it.
//
//   bool listed = true;
//   CFrameLease frame = channel.LeaseFrame(0, clientName, &listed);
//   if (frame.Held()) {
//     cv::Mat picture(frame.Height(), frame.Width(), CV_8UC3, const_cast<std::uint8_t*>(frame.Pixels()),
//                     channel::FrameBytes(frame.Width(), 1));
//     ...                                       // read only
//     frame.Release();                          // or let the destructor drop it
//   }
//
// Ownership: move-only; the lease owns its hold and, when its channel maps per operation
// (or cannot map the region whole), its own view of the frame window, aligned to the
// allocation granularity and separate from the channel's one operation view. The lease
// must end before its CFileMapping's Destroy: a lease still out then has lost its
// channel, so its Release drops nothing (it returns -1) and only unmaps its own view,
// and its Pixels() must not be read any more. Ending it after the CFileMapping object
// itself is gone is safe in the same way. Threading: one lease is used by one thread at
// a time; dropping the hold takes the channel's m_lock, like any channel operation.
// Failure: LeaseFrame gives an empty lease (Held() false) when no hold was taken.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "channel/region_view.h"
#include "platform/annotated_lock.h"
#include "platform/thread_annotations.h"

class CFileMapping;

class CFrameLease {
 public:
  CFrameLease() = default;  // holds nothing
  CFrameLease(CFrameLease&& other) noexcept;
  CFrameLease& operator=(CFrameLease&& other) noexcept;
  ~CFrameLease();
  CFrameLease(const CFrameLease&) = delete;
  CFrameLease& operator=(const CFrameLease&) = delete;

  bool Held() const { return m_pixels != nullptr; }
  std::int32_t Width() const { return m_width; }
  std::int32_t Height() const { return m_height; }
  // Bottom-up BGR24, rows padded to 4 bytes, channel::FrameBytes(Width(), Height()) bytes,
  // readable in place while held (the producer does not write a held frame); null when
  // nothing is held.
  const std::uint8_t* Pixels() const { return m_pixels; }
  // The region's ShowLogo (nonzero), read in the transaction that took the hold.
  bool ShowLogo() const { return m_showLogo; }
  // Drops the hold now and leaves the lease empty: 0 when the hold was dropped (or the
  // lease held nothing), -1 when it could not be (the access mutex not had in time, the
  // channel destroyed). A hold that could not be dropped is cleared by the producer as
  // abandoned after CFileMapping::kAbandonedHoldMs.
  int Release();

  // How a lease finds its channel: shared by the channel and its leases, so that it
  // outlives both. Destroy steps the generation and the channel's destructor clears the
  // pointer, so a lease from an earlier Init drops nothing.
  struct Anchor {
    CLock lock;
    CFileMapping* channel GUARDED_BY(lock) = nullptr;
    std::uint64_t generation GUARDED_BY(lock) = 0;
  };

 private:
  friend class CFileMapping;

  // A lease on the hold just taken on frame index, read through window.
  CFrameLease(std::shared_ptr<Anchor> anchor, std::uint64_t generation, int index, std::int32_t width,
              std::int32_t height, const CRegionView::LeaseWindow& window, bool showLogo);
  void Clear();

  std::shared_ptr<Anchor> m_anchor;
  std::uint64_t m_generation = 0;
  int m_index = -1;
  std::int32_t m_width = 0;
  std::int32_t m_height = 0;
  const std::uint8_t* m_pixels = nullptr;
  std::uint8_t* m_ownView = nullptr;  // the lease's own mapping, or null (whole region)
  std::size_t m_ownViewSize = 0;
  bool m_showLogo = false;
};
