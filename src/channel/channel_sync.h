// CChannelSync: the channel's three named synchronisation objects: the access mutex that
// guards the region's header, the server event (set while the producer has a frame) and
// the client event (set when the consumers' table changed).
//
//   CChannelSync sync;
//   if (!sync.OpenOrCreate()) return 1;          // each object opened, or made and labelled
//   if (Acquired(sync.WaitForAccess())) { ...; sync.AccessMutex().Release(); }
//
// Ownership: owns the three handles; the Close calls drop them. Threading: none of its
// own. The objects are opened and closed only while the owner sets itself up or shuts
// down, and waited for from any thread in between.
#pragma once

#include <optional>
#include <string>

#include "platform/named_sync.h"

class CChannelSync {
 public:
  // Opens each object, creating (and labelling) a missing one; false, logged, when one
  // cannot be had (those opened before it stay open: Close drops them).
  bool OpenOrCreate(const std::optional<std::wstring>& nameSpace = std::nullopt);
  // Opens the three when all exist; otherwise none is left open and *missing names the
  // first one missing.
  bool OpenExisting(const wchar_t** missing, const std::optional<std::wstring>& nameSpace = std::nullopt);
  bool AnyOpen() const;
  // Closes the access mutex and the server event, resetting the event first when asked
  // (a producer that goes leaves no frame announced).
  void CloseMutexAndServerEvent(bool resetServerEvent);
  void CloseClientEvent() { m_clientEvent.Close(); }
  void CloseAll();

  CNamedMutex& AccessMutex() { return m_accessMutex; }
  CNamedEvent& ServerEvent() { return m_serverEvent; }
  CNamedEvent& ClientEvent() { return m_clientEvent; }

  // Waits for the access mutex for at most channel::kAccessWaitMs (a timeout is logged at
  // the detailed level); kFailed without a mutex.
  WaitResult WaitForAccess();
  // The access mutex taken within timeoutMs (also from an owner that ended holding it);
  // false without a mutex. ReleaseAccess gives it back.
  bool TakeAccess(DWORD timeoutMs);
  void ReleaseAccess();
  // Sets or resets an open event; a closed one is left alone.
  static void Signal(CNamedEvent& event, bool set);
  // True when the open event was set within timeoutMs.
  static bool WaitFor(CNamedEvent& event, DWORD timeoutMs);

 private:
  CNamedMutex m_accessMutex;
  CNamedEvent m_serverEvent;
  CNamedEvent m_clientEvent;
};
