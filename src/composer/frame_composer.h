// CFrameComposer: one camera frame, as every front end of the camera shows it. Given the
// channel and an OutputPicture it writes the producer's newest frame into the picture —
// copied when the sizes match, scaled with its aspect ratio kept (black bars) when they
// differ, the logo blended in when the producer asks for it — or, while no frame is to
// be had, the placeholder picture stretched over it; then converts to the picture's
// pixel format, stride and row order. It also keeps this consumer's presence in the
// producer's client table.
//
//   CStreamImages images;
//   images.LoadPictures(root);
//   CFrameComposer composer(channel, images);    // channel: an initialised consumer
//   composer.Announce(clientName, 640, 480);     // streaming starts
//   CFrameComposer::Report report = composer.Compose(picture);   // every frame
//   if (report.result != CFrameComposer::Result::kOk) ...        // stop streaming
//   composer.Withdraw();                         // streaming stops
//
// The frame is read in place while the composer holds it (a CFrameLease; the producer
// does not write a held frame), so no staging copy is made; the hold ends before the
// pixel conversion and before any re-registration. Work is done in bottom-up BGR24 (the
// region's format): straight in the output buffer when the picture is bottom-up BGR24 at
// the packed stride (byte for byte the camera's frames), in a kept working picture
// otherwise. Without a placeholder picture a frame with no producer leaves the output
// as it was.
//
// Presence: Announce registers the client under its name; the first frame found after
// a frame could not be had (and the first one at all) registers it again; a frame whose
// lease finds the entry gone (the producer withdrew it, or restarted) registers it again
// after the hold is dropped; Withdraw removes it. Every lease refreshes the entry's
// LastSeen. A composer inside the producer application itself never registers.
//
// Ownership: borrows the channel and the pictures (both must outlive the composer); owns
// its working memory. Threading: one thread at a time (a front end calls it under its
// own lock); the channel's locks are taken inside. Failure: Compose never throws; see
// Result.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "channel/file_mapping.h"
#include "composer/image.h"
#include "composer/output_picture.h"
#include "composer/picture_converter.h"
#include "composer/stream_images.h"

class CFrameComposer {
 public:
  enum class Result {
    kOk,
    kBadPicture,    // the picture is not usable (IsUsable); nothing was written
    kOutOfMemory,   // the working picture could not be made; nothing was written
  };
  struct Report {
    Result result = Result::kOk;
    bool live = false;  // a producer frame (else the placeholder, or black without one)
    std::int32_t producerWidth = 0;
    std::int32_t producerHeight = 0;
  };

  CFrameComposer(CFileMapping& channel, CStreamImages& images);
  CFrameComposer(const CFrameComposer&) = delete;
  CFrameComposer& operator=(const CFrameComposer&) = delete;

  // Takes clientName as this consumer's identity and registers it with the output size.
  void Announce(const std::wstring& clientName, std::int32_t width, std::int32_t height);
  // Removes the identity's entry and frees the working picture.
  void Withdraw();
  const std::wstring& ClientName() const { return m_clientName; }

  Report Compose(const OutputPicture& picture);

 private:
  // Registers (connect) or removes the identity, unless the host is the producer.
  void Notify(bool connect, std::int32_t width, std::int32_t height);

  CFileMapping& m_channel;
  CStreamImages& m_images;
  CPictureConverter m_converter;
  std::wstring m_clientName;
  bool m_needAnnounce = true;
  std::unique_ptr<CImage> m_work;  // bottom-up BGR24 at the output size, when converting
};
