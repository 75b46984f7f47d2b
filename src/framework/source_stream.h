// CSourceStream: an output stream of a source filter, with one worker thread that takes
// an empty sample from the allocator, has the derived class fill it (FillBuffer) and
// delivers it downstream, until a command stops it.
//
// The filter's state changes become commands for the worker: Active (leaving the
// stopped state) commits the allocator, starts the worker and sends CMD_INIT then
// CMD_PAUSE, which starts the buffer loop; Inactive decommits the allocator first (which
// releases a worker waiting for a free buffer), then sends CMD_STOP and CMD_EXIT and
// waits for the worker to end. FillBuffer's S_OK delivers the sample, S_FALSE ends the
// stream (end of stream downstream), anything else also ends it and reports
// EC_ERRORABORT with that value. A Deliver result other than S_OK ends the loop quietly.
//
// A failed OnThreadCreate fails Active with its code; the ended worker is forgotten at
// once, so the next Active starts a new one.
//
// Ownership: the stream belongs to its CSource (it registers itself with AddPin in the
// constructor and leaves with RemovePin in the destructor). Its pin lock is the filter's
// state lock. Threading: Active and Inactive run under the state lock and wait for the
// worker's answers while holding it; the worker never takes the state lock, so FillBuffer
// and the other worker hooks run without it. The format operations (GetMediaType,
// CheckMediaType, and through them QueryAccept and EnumMediaTypes) take no filter lock
// either: a downstream pin may call them from inside Receive on the worker while a state
// change holds the state lock and waits for that worker. A derived stream guards the data
// behind its types with a lock of its own that is never held while waiting for the
// worker. Lock order: the state lock, then the derived stream's locks, then the pin's
// connection lock; the worker-command lock (m_AccessLock) is taken under the state lock
// alone.
#pragma once

#include "framework/am_thread.h"
#include "framework/base_output_pin.h"

class CSource;

class CSourceStream : public CAMThread, public CBaseOutputPin {
 public:
  // *phr receives AddPin's result (S_OK or E_OUTOFMEMORY).
  CSourceStream(const WCHAR* pObjectName, HRESULT* phr, CSource* pms, LPCWSTR pName);
  ~CSourceStream() override;

  enum Command : DWORD { CMD_INIT = 0, CMD_PAUSE = 1, CMD_RUN = 2, CMD_STOP = 3, CMD_EXIT = 4 };

  HRESULT Init() { return static_cast<HRESULT>(CallWorker(CMD_INIT)); }
  HRESULT Exit() { return static_cast<HRESULT>(CallWorker(CMD_EXIT)); }
  HRESULT Pause() { return static_cast<HRESULT>(CallWorker(CMD_PAUSE)); }
  HRESULT Stop() { return static_cast<HRESULT>(CallWorker(CMD_STOP)); }

  // The 1-based position of the stream in its filter, in decimal.
  STDMETHODIMP QueryId(LPWSTR* Id) override;

  HRESULT Active() override;
  HRESULT Inactive() override;

  // Offers the single type of GetMediaType(CMediaType*) at position 0. No filter lock.
  HRESULT GetMediaType(int iPosition, CMediaType* pMediaType) override;
  // Accepts exactly the single type of GetMediaType(CMediaType*). No filter lock.
  HRESULT CheckMediaType(const CMediaType* pMediaType) override;

 protected:
  DWORD ThreadProc() override;
  // Fills the sample (on the worker; the sample's reference stays with the loop).
  virtual HRESULT FillBuffer(IMediaSample* pSample) = 0;
  virtual HRESULT OnThreadCreate() { return S_OK; }
  virtual HRESULT OnThreadDestroy() { return S_OK; }
  virtual HRESULT OnThreadStartPlay() { return S_OK; }
  virtual HRESULT DoBufferProcessingLoop();
  // The stream's single type; E_UNEXPECTED unless replaced.
  virtual HRESULT GetMediaType(CMediaType* pMediaType);

  // Worker-side helpers for the command loop.
  Command GetRequest() { return static_cast<Command>(CAMThread::GetRequest()); }
  BOOL CheckRequest(Command* pCom) {
    DWORD command = 0;
    if (!CAMThread::CheckRequest(&command)) return FALSE;
    if (pCom != nullptr) *pCom = static_cast<Command>(command);
    return TRUE;
  }

  CSource* const m_pFilter;
};
