// CProducerLiveness: the named producer mutex, by which consumers learn that the producer
// ended without shutting the channel down (its process killed or crashed).
//
//   CProducerLiveness liveness;
//   liveness.Claim(isServer, sync.ServerEvent());   // at set-up
//   liveness.CheckAlive(sync.ServerEvent());         // a consumer, before every frame
//   liveness.Close();                                // at shut-down
//
// A producer owns the mutex from Claim until Close, so both belong on one thread that
// lives as long as the channel. A producer that finds it owned by another producer stands
// aside (OtherProducer) and never owns it. A consumer takes and releases it at every
// check: one whose owner ended is reported abandoned to the first participant that takes
// it, which resets the server event, so every camera shows its placeholder until some
// producer writes again. A channel without the mutex (a producer that keeps to the
// region's byte layout alone has none) is not checked.
//
// Ownership: owns the mutex handle and, on a producer's side, the mutex itself.
// Threading: none of its own; its owner's lock covers every call.
#pragma once

#include <optional>
#include <string>

#include "platform/named_sync.h"

class CProducerLiveness {
 public:
  // Opens the mutex, creating (and labelling) it when missing. A producer then waits up to
  // channel::kProducerClaimMs to own it: an abandoned one resets serverEvent (the previous
  // producer's last frame is stale), a timeout means another producer runs. A consumer
  // takes no ownership here.
  void Claim(bool isServer, CNamedEvent& serverEvent, const std::optional<std::wstring>& nameSpace = std::nullopt);
  // Opens the mutex only when it exists; otherwise it stays closed and nothing is checked.
  void OpenExisting(const std::optional<std::wstring>& nameSpace = std::nullopt);
  // A consumer's check; an abandoned mutex resets serverEvent and is logged once.
  void CheckAlive(CNamedEvent& serverEvent);
  // True after a producer's Claim found another producer owning the mutex.
  bool OtherProducer() const { return m_otherProducer; }
  // Releases the mutex when this producer owns it, and closes it.
  void Close();

 private:
  CNamedMutex m_mutex;
  bool m_isServer = false;
  bool m_held = false;           // this producer owns m_mutex
  bool m_otherProducer = false;  // another producer owned it at Claim
};
