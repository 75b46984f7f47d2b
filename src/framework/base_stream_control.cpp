#include "framework/base_stream_control.h"

CBaseStreamControl::CBaseStreamControl(HRESULT* /*phr*/) {}

CBaseStreamControl::~CBaseStreamControl() {
  CLockHolder<CRecursiveLock> hold(m_CritSec);
  m_pRefClock.Reset();
}

STDMETHODIMP CBaseStreamControl::StartAt(const REFERENCE_TIME* ptStart, DWORD dwCookie) {
  CLockHolder<CRecursiveLock> hold(m_CritSec);
  if (ptStart == nullptr) {
    m_tStartTime = kMaxTime;
    m_dwStartCookie = 0;
    m_StreamState = STREAM_FLOWING;
  } else if (*ptStart == kMaxTime) {
    m_tStartTime = kMaxTime;
    m_dwStartCookie = 0;
    if (m_FilterState == State_Stopped && m_tStopTime != kMaxTime) m_StreamState = STREAM_FLOWING;
    return S_OK;
  } else {
    if (m_FilterState == State_Stopped && m_tStopTime >= *ptStart) m_StreamState = STREAM_DISCARDING;
    m_tStartTime = *ptStart;
    m_dwStartCookie = dwCookie;
  }
  m_StreamEvent.Set();
  return S_OK;
}

STDMETHODIMP CBaseStreamControl::StopAt(const REFERENCE_TIME* ptStop, BOOL bSendExtra, DWORD dwCookie) {
  CLockHolder<CRecursiveLock> hold(m_CritSec);
  m_bStopSendExtra = false;
  if (ptStop == nullptr) {
    m_tStopTime = kMaxTime;
    m_dwStopCookie = 0;
    m_StreamState = STREAM_DISCARDING;
    m_StreamStateOnStop = STREAM_FLOWING;
  } else if (*ptStop == kMaxTime) {
    m_tStopTime = kMaxTime;
    m_dwStopCookie = 0;
    m_StreamStateOnStop = STREAM_FLOWING;
    if (m_FilterState == State_Stopped && m_tStartTime != kMaxTime) m_StreamState = STREAM_DISCARDING;
    return S_OK;
  } else {
    if (m_FilterState == State_Stopped && m_tStartTime > *ptStop) m_StreamState = STREAM_FLOWING;
    m_bStopSendExtra = bSendExtra != FALSE;
    m_tStopTime = *ptStop;
    m_dwStopCookie = dwCookie;
    m_StreamStateOnStop = STREAM_DISCARDING;
  }
  m_StreamEvent.Set();
  return S_OK;
}

STDMETHODIMP CBaseStreamControl::GetInfo(AM_STREAM_INFO* pInfo) {
  if (pInfo == nullptr) return E_POINTER;
  // Under the lock so that the record is one consistent snapshot.
  CLockHolder<CRecursiveLock> hold(m_CritSec);
  pInfo->tStart = m_tStartTime;
  pInfo->tStop = m_tStopTime;
  pInfo->dwStartCookie = m_dwStartCookie;
  pInfo->dwStopCookie = m_dwStopCookie;
  DWORD flags = m_bStopSendExtra ? AM_STREAM_INFO_STOP_SEND_EXTRA : 0;
  if (m_tStartTime != kMaxTime) flags |= AM_STREAM_INFO_START_DEFINED;
  if (m_tStopTime != kMaxTime) flags |= AM_STREAM_INFO_STOP_DEFINED;
  if (m_StreamState == STREAM_DISCARDING) flags |= AM_STREAM_INFO_DISCARDING;
  pInfo->dwFlags = flags;
  return S_OK;
}

void CBaseStreamControl::ExecuteStop() {
  m_StreamState = m_StreamStateOnStop;
  IMediaEventSink* sink = m_pSink.load();
  if (m_dwStopCookie != 0 && sink != nullptr) {
    sink->Notify(EC_STREAM_CONTROL_STOPPED, reinterpret_cast<LONG_PTR>(static_cast<IAMStreamControl*>(this)),
                 static_cast<LONG_PTR>(m_dwStopCookie));
  }
  m_tStopTime = kMaxTime;
  m_dwStopCookie = 0;
  m_StreamStateOnStop = STREAM_FLOWING;
}

void CBaseStreamControl::ExecuteStart() {
  m_StreamState = STREAM_FLOWING;
  IMediaEventSink* sink = m_pSink.load();
  if (m_dwStartCookie != 0 && sink != nullptr) {
    sink->Notify(EC_STREAM_CONTROL_STARTED, reinterpret_cast<LONG_PTR>(static_cast<IAMStreamControl*>(this)),
                 static_cast<LONG_PTR>(m_dwStartCookie));
  }
  m_tStartTime = kMaxTime;
  m_dwStartCookie = 0;
}

void CBaseStreamControl::NotifyFilterState(FILTER_STATE new_state, REFERENCE_TIME tStart) {
  CLockHolder<CRecursiveLock> hold(m_CritSec);
  if (new_state == m_FilterState) return;
  if (new_state == State_Running) m_tRunStart = tStart;
  if (new_state == State_Stopped) {
    const bool startPending = m_tStartTime != kMaxTime;
    const bool stopPending = m_tStopTime != kMaxTime;
    if (startPending && stopPending) {
      if (m_tStartTime <= m_tStopTime) {
        ExecuteStart();
        ExecuteStop();
      } else {
        ExecuteStop();
        ExecuteStart();
      }
    } else if (startPending) {
      ExecuteStart();
    } else if (stopPending) {
      ExecuteStop();
    }
    m_StreamState = STREAM_FLOWING;
  }
  m_FilterState = new_state;
  m_StreamEvent.Set();
}

void CBaseStreamControl::Flushing(bool bInProgress) {
  CLockHolder<CRecursiveLock> hold(m_CritSec);
  m_bIsFlushing = bInProgress;
  m_StreamEvent.Set();
}

void CBaseStreamControl::SetSyncSource(IReferenceClock* pRefClock) {
  CLockHolder<CRecursiveLock> hold(m_CritSec);
  m_pRefClock.Reset(pRefClock, kAddRef);
}
