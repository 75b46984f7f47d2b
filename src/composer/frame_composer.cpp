#include "composer/frame_composer.h"

#include <algorithm>
#include <cstring>

#include "channel/frame_lease.h"
#include "channel/frame_region.h"
#include "channel/producer_process.h"
#include "composer/letterbox.h"

CFrameComposer::CFrameComposer(CFileMapping& channel, CStreamImages& images) : m_channel(channel), m_images(images) {}

void CFrameComposer::Notify(bool connect, std::int32_t width, std::int32_t height) {
  if (!channel::HostIsProducer()) m_channel.NotifyServerAboutClientConnection(connect, m_clientName, width, height);
}

void CFrameComposer::Announce(const std::wstring& clientName, std::int32_t width, std::int32_t height) {
  m_clientName = clientName;
  Notify(true, width, height);
}

void CFrameComposer::Withdraw() {
  Notify(false, 0, 0);
  m_work.reset();
}

CFrameComposer::Report CFrameComposer::Compose(const OutputPicture& picture) {
  Report report;
  if (!IsUsable(picture)) {
    report.result = Result::kBadPicture;
    return report;
  }
  const int width = picture.width;
  const int height = picture.height;
  const std::int64_t frameBytes = channel::FrameBytes(width, height);
  // Bottom-up BGR24 at the packed stride is the working format itself.
  const bool direct = picture.format == PixelFormat::kBgr24 && picture.bottomUp && PlaneOf(picture, 0).offset == 0 &&
                      PlaneOf(picture, 0).stride == PackedStride(PixelFormat::kBgr24, width);
  std::uint8_t* target = picture.buffer;
  std::size_t targetBytes = picture.bytes;
  if (!direct) {
    if (m_work == nullptr || m_work->Width() != width || m_work->Height() != height) {
      m_work = CImage::Create(width, height, 3, CImage::kBottomLeft);
      if (m_work == nullptr) {
        report.result = Result::kOutOfMemory;
        return report;
      }
    }
    target = m_work->Mat().data;
    targetBytes = m_work->ByteSize();
  }

  bool listed = true;
  CFrameLease frame = m_channel.LeaseFrame(0, m_clientName, &listed);
  if (!frame.Held()) {
    m_needAnnounce = true;
    // Without a placeholder picture the frame is black in every output format, never
    // what the buffer held before.
    if (!m_images.FillPlaceholder(target, targetBytes, width, height))
      std::memset(target, 0, std::min(targetBytes, static_cast<std::size_t>(frameBytes)));
    if (!direct) m_converter.Convert(target, static_cast<std::int64_t>(m_work->Step()), picture);
    return report;
  }
  report.live = true;
  report.producerWidth = frame.Width();
  report.producerHeight = frame.Height();
  if (m_needAnnounce) {
    // After a gap (a producer restart among others) the client shows up again with its
    // first frame.
    Notify(true, width, height);
    m_needAnnounce = false;
    listed = true;
  }

  if (frame.Width() == width && frame.Height() == height) {
    std::memcpy(target, frame.Pixels(), static_cast<std::size_t>(frameBytes));
  } else {
    // A header over the held frame: read only, never copied.
    const std::unique_ptr<CImage> source =
        CImage::Wrap(const_cast<std::uint8_t*>(frame.Pixels()), frame.Width(), frame.Height(), 8, 3,
                     CImage::kBottomLeft, 4);
    if (source != nullptr) ScaleFrameLetterboxed(*source, target, width, height);
  }
  if (frame.ShowLogo() && m_images.HasLogo()) m_images.BlendLogo(target, width, height);
  // A drop that cannot be made (a peer keeps the access mutex past the wait) leaves the
  // hold counted in the region. The picture is whole all the same, so the frame is
  // delivered and the stream goes on; the producer's writes take the hold left behind for
  // a dead consumer's after CFileMapping::kAbandonedHoldMs.
  frame.Release();
  // A consumer whose entry has vanished registers itself again, now that it holds nothing.
  if (!listed && width != 0 && height != 0) Notify(true, width, height);
  if (!direct) m_converter.Convert(target, static_cast<std::int64_t>(m_work->Step()), picture);
  return report;
}
