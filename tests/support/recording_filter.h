// CRecordingFilter: a small hand-written filter for graph tests, built on the Windows
// interfaces only (no framework classes), so that the same tests run against any filter
// graph manager.
//
// A filter has an optional input pin ("In") and an optional output pin ("Out"). An
// output pin connects straight to the input pin it is given, with the type it is given
// or its preferred type (RGB24 video until SetPreferredSubtype changes it); pins refuse
// to connect or disconnect while their filter is not stopped. The filter records what
// the graph asked of it in a shared CCallLog ("tag:Pause", "tag:Run", "tag:Stop",
// "tag:Join", "tag:Leave", "tag:Clock"), remembers the name, graph, clock and start time
// it was given, and counts its destruction.
//
// Scripting: FailPauseWith makes Pause fail; SetCantCue makes GetState answer
// VFW_S_CANT_CUE while paused (a live source); StartWorkerOnRun makes Run start a thread
// that posts EC_USER events to the graph until Stop ends it (Stop joins the thread).
//
// Ownership: Create returns the filter with one reference (the test's); the pins share
// the filter's count. Threading: any thread; the recorded state is behind a lock.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "com/com_ptr.h"
#include "platform/dshow_types.h"

namespace testing_support {

class CCallLog {
 public:
  void Add(const std::string& entry);
  std::vector<std::string> Entries() const;
  // The entries with this call name ("Pause"), in order, as their tags.
  std::vector<std::string> TagsOf(const std::string& call) const;
  void Clear();

 private:
  mutable std::mutex m_lock;
  std::vector<std::string> m_entries;
};

class CRecordingFilter;

class CRecordingPin final : public IPin {
 public:
  CRecordingPin(CRecordingFilter* filter, PIN_DIRECTION direction, const wchar_t* name);
  ~CRecordingPin();

  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
  STDMETHODIMP_(ULONG) AddRef() override;
  STDMETHODIMP_(ULONG) Release() override;

  STDMETHODIMP Connect(IPin* pReceivePin, const AM_MEDIA_TYPE* pmt) override;
  STDMETHODIMP ReceiveConnection(IPin* pConnector, const AM_MEDIA_TYPE* pmt) override;
  STDMETHODIMP Disconnect() override;
  STDMETHODIMP ConnectedTo(IPin** pPin) override;
  STDMETHODIMP ConnectionMediaType(AM_MEDIA_TYPE* pmt) override;
  STDMETHODIMP QueryPinInfo(PIN_INFO* pInfo) override;
  STDMETHODIMP QueryDirection(PIN_DIRECTION* pPinDir) override;
  STDMETHODIMP QueryId(LPWSTR* Id) override;
  STDMETHODIMP QueryAccept(const AM_MEDIA_TYPE* pmt) override;
  STDMETHODIMP EnumMediaTypes(IEnumMediaTypes** ppEnum) override;
  STDMETHODIMP QueryInternalConnections(IPin** apPin, ULONG* nPin) override;
  STDMETHODIMP EndOfStream() override;
  STDMETHODIMP BeginFlush() override;
  STDMETHODIMP EndFlush() override;
  STDMETHODIMP NewSegment(REFERENCE_TIME tStart, REFERENCE_TIME tStop, double dRate) override;

  // The subtype of the current connection (GUID_NULL when not connected).
  GUID ConnectedSubtype();
  int ConnectCount() const { return m_connects.load(); }

 private:
  CRecordingFilter* const m_filter;
  const PIN_DIRECTION m_direction;
  const std::wstring m_name;
  std::mutex m_lock;
  CComPtr<IPin> m_peer;
  AM_MEDIA_TYPE m_type{};  // no format block
  std::atomic<int> m_connects{0};
};

class CRecordingFilter final : public IBaseFilter {
 public:
  static CRecordingFilter* Create(const char* tag, bool hasInput, bool hasOutput, CCallLog* log,
                                  std::atomic<int>* destroyed);

  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
  STDMETHODIMP_(ULONG) AddRef() override;
  STDMETHODIMP_(ULONG) Release() override;

  STDMETHODIMP GetClassID(CLSID* pClassID) override;
  STDMETHODIMP Stop() override;
  STDMETHODIMP Pause() override;
  STDMETHODIMP Run(REFERENCE_TIME tStart) override;
  STDMETHODIMP GetState(DWORD dwMilliSecsTimeout, FILTER_STATE* State) override;
  STDMETHODIMP SetSyncSource(IReferenceClock* pClock) override;
  STDMETHODIMP GetSyncSource(IReferenceClock** pClock) override;
  STDMETHODIMP EnumPins(IEnumPins** ppEnum) override;
  STDMETHODIMP FindPin(LPCWSTR Id, IPin** ppPin) override;
  STDMETHODIMP QueryFilterInfo(FILTER_INFO* pInfo) override;
  STDMETHODIMP JoinFilterGraph(IFilterGraph* pGraph, LPCWSTR pName) override;
  STDMETHODIMP QueryVendorInfo(LPWSTR* pVendorInfo) override;

  IPin* InputPin() { return m_input; }
  IPin* OutputPin() { return m_output; }
  CRecordingPin* Input() { return m_input; }
  CRecordingPin* Output() { return m_output; }

  FILTER_STATE State();
  std::wstring JoinedName();
  IFilterGraph* JoinedGraph();  // not referenced, as the graph gave it
  IReferenceClock* Clock();     // not referenced
  IReferenceClock* ClockAtPause();  // the clock it had when last told to pause; not referenced
  REFERENCE_TIME LastStart();
  GUID PreferredSubtype();

  void FailPauseWith(HRESULT hr);
  void SetCantCue(bool cantCue);
  void SetPreferredSubtype(const GUID& subtype);
  void StartWorkerOnRun(bool start);

 private:
  CRecordingFilter(const char* tag, bool hasInput, bool hasOutput, CCallLog* log, std::atomic<int>* destroyed);
  ~CRecordingFilter();
  void Record(const char* call);
  void StopWorker();

  std::atomic<ULONG> m_refs{1};
  const std::string m_tag;
  CCallLog* const m_log;
  std::atomic<int>* const m_destroyed;
  CRecordingPin* m_input = nullptr;
  CRecordingPin* m_output = nullptr;

  std::mutex m_lock;
  FILTER_STATE m_state = State_Stopped;
  std::wstring m_name;
  IFilterGraph* m_graph = nullptr;
  CComPtr<IReferenceClock> m_clock;
  IReferenceClock* m_clockAtPause = nullptr;
  REFERENCE_TIME m_start = 0;
  HRESULT m_pauseResult = S_OK;
  bool m_cantCue = false;
  GUID m_preferredSubtype;
  bool m_workerOnRun = false;

  std::thread m_worker;
  std::atomic<bool> m_workerStop{false};
};

}  // namespace testing_support
