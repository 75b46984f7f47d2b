// CBaseStreamControl: IAMStreamControl for an output stream. An application asks the
// stream to start or stop at given reference times, each with a cookie; the requests are
// recorded and reported by GetInfo, and when the filter stops the pending ones are
// carried out in time order (the start first when both times are equal), each sending
// EC_STREAM_CONTROL_STARTED or EC_STREAM_CONTROL_STOPPED with the stream-control object
// and its cookie to the graph's event sink when the cookie is not 0 and a sink is set.
//
//   control->StartAt(&startTime, 1);
//   control->StopAt(&stopTime, FALSE, 2);
//   AM_STREAM_INFO info;
//   control->GetInfo(&info);                  // the recorded requests
//   NotifyFilterState(State_Stopped);         // the filter, after its own state change
//
// The stream does not gate its samples on these requests: every filled sample is
// delivered. The stream event (auto-reset) is set by the operations that change what a
// gating step would look at; nothing waits on it here.
//
// The class supplies no IUnknown: the stream that derives from it answers for it.
// Ownership: one reference on the reference clock; the event sink is held without
// reference (the graph outlives the filter's membership). Threading: one leaf lock
// guards every field except the event sink, which is a plain atomic store. The filter
// calls NotifyFilterState after its own state change, outside or inside its state lock,
// never the reverse; the sink is notified with the lock held.
#pragma once

#include <atomic>
#include <mutex>

#include "framework/am_event.h"
#include "com/com_ptr.h"
#include "platform/annotated_lock.h"
#include "platform/dshow_types.h"

class CBaseStreamControl : public IAMStreamControl {
 public:
  enum StreamControlState : DWORD { STREAM_FLOWING = 0x1000, STREAM_DISCARDING = 0x1001 };

  // The event cannot fail to exist here, so phr is never changed.
  explicit CBaseStreamControl(HRESULT* phr = nullptr);
  virtual ~CBaseStreamControl();
  CBaseStreamControl(const CBaseStreamControl&) = delete;
  CBaseStreamControl& operator=(const CBaseStreamControl&) = delete;

  // IAMStreamControl. A null time acts now; the maximum time cancels the request.
  STDMETHODIMP StartAt(const REFERENCE_TIME* ptStart, DWORD dwCookie) override;
  STDMETHODIMP StopAt(const REFERENCE_TIME* ptStop, BOOL bSendExtra, DWORD dwCookie) override;
  STDMETHODIMP GetInfo(AM_STREAM_INFO* pInfo) override;

  // The filter's new state. Entering the stopped state carries out pending requests.
  // A state equal to the recorded one changes nothing.
  void NotifyFilterState(FILTER_STATE new_state, REFERENCE_TIME tStart = 0);
  // The stream's flush has begun (true) or ended (false).
  void Flushing(bool bInProgress);
  // The filter's reference clock (a reference is taken; null drops it).
  void SetSyncSource(IReferenceClock* pRefClock);
  // The graph's event sink, or null (no reference).
  void SetFilterGraph(IMediaEventSink* pSink) { m_pSink.store(pSink); }

  // Whether the stream event was set since the last look (the look clears it).
  bool CheckStreamEvent() { return m_StreamEvent.Check(); }

 private:
  static constexpr REFERENCE_TIME kMaxTime = 0x7FFFFFFFFFFFFFFFLL;

  // Both under the lock.
  void ExecuteStop();
  void ExecuteStart();

  StreamControlState m_StreamState = STREAM_FLOWING;
  StreamControlState m_StreamStateOnStop = STREAM_FLOWING;
  REFERENCE_TIME m_tStartTime = kMaxTime;
  REFERENCE_TIME m_tStopTime = kMaxTime;
  DWORD m_dwStartCookie = 0;
  DWORD m_dwStopCookie = 0;
  bool m_bIsFlushing = false;
  bool m_bStopSendExtra = false;
  CRecursiveLock m_CritSec;
  CAMEvent m_StreamEvent{false};
  CComPtr<IReferenceClock> m_pRefClock;
  std::atomic<IMediaEventSink*> m_pSink{nullptr};
  FILTER_STATE m_FilterState = State_Stopped;
  REFERENCE_TIME m_tRunStart = 0;
};
