// CCameraNode: one camera name published as a PipeWire video source node.
//
//   CCameraNode node("Trelvox Amberline", picturesRoot);   // or (..., L"desk"): that channel
//   if (!node.Init()) ...                           // the channel cannot be opened
//   node.Publish(core, loop, onPublished, onEnded, onRenew); // on the loop thread / under its lock
//   ...
//   node.Unpublish();                               // before the core goes away
//
// The node is a pw_stream with media.class Video/Source, media.role Camera, node.name
// CameraNodeName(name), node.description name and device.* properties. It drives its
// own graph: a timer on the loop fires at the deadlines CFramePacer gives (absolute,
// start + n x period, never drifting; after a stall one frame at once and a new chain,
// never a burst) and calls
// pw_stream_trigger_process; every buffer is stamped with its deadline (CLOCK_MONOTONIC
// nanoseconds) as the presentation time in its spa_meta_header (a cycle another driver
// starts is stamped with the time it ran). Every frame is CFrameComposer::Compose of the
// negotiated size and format, top line first, in the layout video_format_table.h gives;
// a frame the composer cannot write goes out empty (chunk size 0, marked corrupted), and
// so does one whose buffer is too small for the negotiated frame.
//
// The formats offered start with the producer's size as the channel announces it when
// Publish runs (640x480 when no producer delivers); while nobody consumes, the node looks
// once a second and offers a changed size first from then on. While the stream is
// streaming the node is one client of the channel ("amberline-camera-<GUID>", the
// negotiated size); it withdraws when streaming stops (the last consumer left) and
// announces the new size when a format is agreed while streaming.
//
// Every consumer of the node shares its buffers. A consumer marks each buffer it holds
// busy and clears the mark when it gives the buffer back; one whose pipeline stopped
// taking frames goes on marking every buffer that reaches it and returns none, and one
// that dies holding buffers leaves their marks set for good. Each frame takes the buffer
// CBufferChoice picks: the one sent longest ago that no consumer which still reads holds,
// never the one just sent (a consumer may not have handed it back yet and would drop it),
// and, when stuck or dead
// consumers hold them all, one of theirs all the same, as a camera device does, whose
// buffers come back on the device's schedule, not the consumers'. Their marks are set
// aside while the node takes it and put back after, so every consumer's own count stays
// right; the consumer that holds it and does not read it may find it overwritten, the
// others keep their full rate. One line on standard error says so, at most once a minute.
// Should no buffer come at all for a while (CBufferStarvation says when), the node offers
// its formats again, which makes the links agree anew and the stream get new buffers (the
// node and its id stay).
//
// Once nobody consumes and the daemon has cleared the node's format (it suspends an unused
// node), the node asks its owner, at its next look (within a second), to publish it anew:
// the stream of PipeWire 0.3 goes on listing the cleared format on the node, and programs
// that read the node's format (pw-v4l2) would take it for the only one the camera has.
// The new node has the same name and properties and the full list of formats; the daemon
// usually gives it the same id. A format agreed meanwhile (a consumer came) cancels it.
//
// Ownership: owns its channel handle, its pictures, its composer and, while published,
// its stream and timer. Threading: every method and callback runs on the PipeWire loop
// thread (or with the thread loop's lock held); nothing is shared with other threads.
// Failure: Init is false when the channel cannot be opened; a stream that cannot be
// made is reported by Publish's false; a format this node cannot deliver puts the
// stream into its error state, and a stream that ends without Unpublish is reported
// through the EndedCallback. No exception leaves a callback.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <pipewire/pipewire.h>

#include "channel/file_mapping.h"
#include "composer/frame_composer.h"
#include "composer/frame_pacer.h"
#include "composer/stream_images.h"
#include "pipewire/buffer_choice.h"
#include "pipewire/buffer_starvation.h"
#include "pipewire/pipewire_handles.h"
#include "pipewire/video_format_table.h"

class CCameraNode {
 public:
  // Called on the loop thread when the node is known to the daemon (once per Publish).
  using PublishedCallback = std::function<void(const CCameraNode& node, std::uint32_t nodeId)>;
  // Called on the loop thread when the published stream ended without Unpublish (the
  // daemon removed the node, or the stream failed); the node must be published again.
  using EndedCallback = std::function<void(const CCameraNode& node, const std::string& reason)>;
  // Called on the loop thread when the unused node wants a new stream (see above); the
  // owner publishes it again outside the node's own events.
  using RenewCallback = std::function<void(const CCameraNode& node)>;

  // channelName: the channel whose feed the camera shows (channel_name.h); empty: the
  // default channel.
  CCameraNode(std::string name, std::wstring picturesRoot, std::wstring channelName = {});
  ~CCameraNode();
  CCameraNode(const CCameraNode&) = delete;
  CCameraNode& operator=(const CCameraNode&) = delete;

  // Opens the channel and loads the pictures. False when the channel cannot be opened.
  bool Init();
  bool Publish(pw_core* core, pw_loop* loop, PublishedCallback onPublished, EndedCallback onEnded,
               RenewCallback onRenew);
  // Destroys the stream (withdrawing from the channel first); nothing when unpublished.
  void Unpublish();

  const std::string& Name() const { return m_name; }
  const std::string& NodeName() const { return m_nodeName; }
  bool Published() const { return static_cast<bool>(m_stream); }

 private:
  static void OnStateChanged(void* data, pw_stream_state old, pw_stream_state state, const char* error);
  static void OnParamChanged(void* data, std::uint32_t id, const spa_pod* param);
  static void OnProcess(void* data);
  static void OnAddBuffer(void* data, pw_buffer* buffer);
  static void OnRemoveBuffer(void* data, pw_buffer* buffer);
  static void OnTimer(void* data, std::uint64_t expirations);
  static void OnOfferTimer(void* data, std::uint64_t expirations);

  void StateChanged(pw_stream_state state, const char* error);
  void FormatChanged(const spa_pod* param);
  void Process();
  void Timer();
  // The buffer for the next frame (TakeChosen, else the stream's first free one); null
  // when the stream has none to give.
  pw_buffer* DequeueFree();
  // The buffer m_choice picks, taken from the stream whatever marks stuck or dead
  // consumers left on it; null when there is none or the buffers carry no marks.
  pw_buffer* TakeChosen();
  // The stream's first buffer that is not busy; null when there is none.
  pw_buffer* DequeueSkippingBusy();
  // Queues buffer and puts back the marks TakeChosen set aside for it.
  void QueueBuffer(pw_buffer* buffer);
  // Makes the buffers anew when m_starvation says so.
  void CheckStarved(std::int64_t nowNs);
  // The size the offer starts with now: the delivering producer's, else the fallback.
  std::pair<std::uint32_t, std::uint32_t> OfferedFirstSize();
  // Offers the producer's new size first once it changed, while nobody consumes; asks for
  // a new stream once the format was cleared.
  void OfferCheck();
  void StartStreaming();
  void StopStreaming();
  void ArmTimer(std::int64_t deadlineNs);
  // Writes one frame into data; false when nothing could be written.
  bool Fill(std::uint8_t* data, std::uint32_t bytes);

  const std::string m_name;
  const std::string m_nodeName;
  const std::wstring m_picturesRoot;
  const std::wstring m_channelName;  // empty: the default channel
  CFileMapping m_channel;
  CStreamImages m_images;
  CFrameComposer m_composer;

  pw_loop* m_loop = nullptr;
  pipewire_camera::CStreamHandle m_stream;
  pipewire_camera::CLoopTimer m_timer;       // the frame deadlines
  pipewire_camera::CLoopTimer m_offerTimer;  // the producer's size, once a second
  std::pair<std::uint32_t, std::uint32_t> m_offered{0, 0};
  PublishedCallback m_onPublished;
  EndedCallback m_onEnded;
  RenewCallback m_onRenew;
  bool m_reported = false;
  bool m_renewDue = false;  // the format was cleared while nobody consumed (so m_format is empty)

  std::optional<pipewire_camera::VideoFormat> m_format;
  pipewire_camera::FormatEntry m_entry{};
  pipewire_camera::FrameLayout m_layout;          // the consumer's

  bool m_streaming = false;
  bool m_announced = false;
  CFramePacer m_deadlines;
  std::int64_t m_deadlineNs = 0;  // the presentation time of the frame being made
  bool m_triggered = false;       // Process runs inside this node's own trigger
  std::uint32_t m_sequence = 0;
  CBufferChoice m_choice;                // the stream's buffers, and which one the next frame takes
  pw_buffer* m_taken = nullptr;          // a buffer TakeChosen took, until it is queued
  std::uint32_t m_takenMarks = 0;        // its consumers' busy marks, set aside
  CBufferStarvation m_starvation;     // when the buffers are made anew
};
