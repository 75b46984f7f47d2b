// ChannelOutcome: how one step inside the frame channel ended. Every internal step of
// CFileMapping, its header transaction and its frame leases reports one of these; the
// public operations turn it into their own plain integer at their last line (frame
// operations 0 / -1, header field writes 1 / 0, view operations 0 / 1), so that no two
// conventions meet inside the channel.
//
//   const ChannelOutcome outcome = TakeHold(index, ...);
//   return channel::FrameResult(outcome);   // 0 or -1
#pragma once

enum class [[nodiscard]] ChannelOutcome {
  kDone,      // the step did what it was asked to
  kNoAccess,  // the access mutex was not had: no mutex, a wait that timed out or failed, or
              // an abandoned owner before a frame step
  kNoView,    // the header or a frame window could not be mapped
  kRefused,   // the region's fields (or the caller's arguments) do not allow the step
};

namespace channel {

// Frame operations: 0 on success, -1 otherwise.
inline constexpr int FrameResult(ChannelOutcome outcome) { return outcome == ChannelOutcome::kDone ? 0 : -1; }
// Header field writes: 1 on success, 0 otherwise.
inline constexpr int FieldResult(ChannelOutcome outcome) { return outcome == ChannelOutcome::kDone ? 1 : 0; }
// Set-up and view operations: 0 on success, 1 otherwise.
inline constexpr int SetupResult(ChannelOutcome outcome) { return outcome == ChannelOutcome::kDone ? 0 : 1; }

}  // namespace channel
