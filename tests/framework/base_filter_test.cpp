#include "framework/base_filter.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "com/base_object.h"
#include "framework/base_pin.h"
#include "com/com_ptr.h"
#include "framework/enum_pins.h"
#include "framework/scoped_media_type.h"
#include "support/numbered_source.h"
#include "support/test_support.h"

namespace {

// {6C1A4F5E-2B7D-4E8A-9F10-3D2C1B0A9E8F}
const GUID CLSID_PinFilter = {0x6c1a4f5e, 0x2b7d, 0x4e8a, {0x9f, 0x10, 0x3d, 0x2c, 0x1b, 0x0a, 0x9e, 0x8f}};

class CPinFilter;

// A pin that counts what the filter asks of it and offers `m_types` types.
class CCountingPin : public CBasePin {
 public:
  CCountingPin(CBaseFilter* filter, CRecursiveLock* lock, const wchar_t* name)
      : CBasePin(L"counting pin", filter, lock, nullptr, name, PINDIR_OUTPUT) {}
  ~CCountingPin() override { ClearConnected(); }

  STDMETHODIMP BeginFlush() override { return S_OK; }
  STDMETHODIMP EndFlush() override { return S_OK; }
  HRESULT CheckMediaType(const CMediaType*) override { return S_OK; }
  HRESULT GetMediaType(int position, CMediaType* type) override {
    if (position < 0 || position >= m_types) return VFW_S_NO_MORE_ITEMS;
    *type = testing_support::MakeRgb24Type(16 * (position + 1), 16);
    return S_OK;
  }
  HRESULT Active() override {
    ++m_actives;
    return m_activeResult;
  }
  HRESULT Inactive() override {
    ++m_inactives;
    return m_inactiveResult;
  }
  HRESULT Run(REFERENCE_TIME start) override {
    ++m_runs;
    m_runStart = start;
    return S_OK;
  }
  // Pretends to be connected to peer (a reference is held until Unplug).
  void Plug(IPin* peer) { SetConnected(peer); }
  void Unplug() { ClearConnected(); }

  int m_types = 1;
  int m_actives = 0;
  int m_inactives = 0;
  int m_runs = 0;
  REFERENCE_TIME m_runStart = -1;
  HRESULT m_activeResult = S_OK;
  HRESULT m_inactiveResult = S_OK;
};

class CPinFilter : public CBaseFilter {
 public:
  CPinFilter(int pins, int* destroyed) : CBaseFilter(L"pin filter", nullptr, &m_lock, CLSID_PinFilter), m_destroyed(destroyed) {
    for (int i = 0; i < pins; ++i) AddPin((L"pin " + std::to_wstring(i + 1)).c_str());
    AddRef();
  }
  ~CPinFilter() override {
    for (auto* pin : m_pins) delete pin;
    if (m_destroyed != nullptr) ++*m_destroyed;
  }
  void AddPin(const wchar_t* name) { m_pins.push_back(new CCountingPin(this, &m_lock, name)); }
  int GetPinCount() override { return static_cast<int>(m_pins.size()); }
  CBasePin* GetPin(int n) override { return n >= 0 && n < GetPinCount() ? m_pins[n] : nullptr; }
  CCountingPin* Pin(int n) { return m_pins[n]; }
  IBaseFilter* Filter() { return static_cast<IBaseFilter*>(this); }

  CRecursiveLock m_lock;
  std::vector<CCountingPin*> m_pins;
  int* m_destroyed;
};

class CRecordingSink : public IMediaEventSink {
 public:
  STDMETHODIMP QueryInterface(REFIID, void** ppv) override {
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(++*m_refs); }
  STDMETHODIMP_(ULONG) Release() override { return static_cast<ULONG>(--*m_refs); }
  int* m_refs = nullptr;
  STDMETHODIMP Notify(LONG code, LONG_PTR first, LONG_PTR second) override {
    m_code = code;
    m_first = first;
    m_second = second;
    return S_OK;
  }
  LONG m_code = -1;
  LONG_PTR m_first = 0;
  LONG_PTR m_second = 0;
};

// Just enough of a graph for JoinFilterGraph: it answers IMediaEventSink.
class CSinkGraph : public IFilterGraph {
 public:
  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
    if (IsEqualIID(riid, IID_IMediaEventSink)) {
      *ppv = &m_sink;
      ++m_sinkRefs;
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(++m_refs); }
  STDMETHODIMP_(ULONG) Release() override { return static_cast<ULONG>(--m_refs); }
  STDMETHODIMP AddFilter(IBaseFilter*, LPCWSTR) override { return E_NOTIMPL; }
  STDMETHODIMP RemoveFilter(IBaseFilter*) override { return E_NOTIMPL; }
  STDMETHODIMP EnumFilters(IEnumFilters**) override { return E_NOTIMPL; }
  STDMETHODIMP FindFilterByName(LPCWSTR, IBaseFilter**) override { return E_NOTIMPL; }
  STDMETHODIMP ConnectDirect(IPin*, IPin*, const AM_MEDIA_TYPE*) override { return E_NOTIMPL; }
  STDMETHODIMP Reconnect(IPin*) override { return E_NOTIMPL; }
  STDMETHODIMP Disconnect(IPin*) override { return E_NOTIMPL; }
  STDMETHODIMP SetDefaultSyncSource() override { return E_NOTIMPL; }
  CRecordingSink m_sink;
  int m_refs = 0;
  int m_sinkRefs = 0;
};

class BaseFilterTest : public testing::Test {
 protected:
  BaseFilterTest() : m_filter(new CPinFilter(3, &m_destroyed)), m_peer(new CPinFilter(1, nullptr)) {}
  ~BaseFilterTest() override {
    for (auto* pin : m_filter->m_pins) pin->Unplug();
    EXPECT_EQ(m_filter->Filter()->Release(), 0u);
    EXPECT_EQ(m_destroyed, 1);
    m_peer->Filter()->Release();
  }
  IPin* PeerPin() { return m_peer->Pin(0); }

  int m_destroyed = 0;
  CPinFilter* m_filter;
  CPinFilter* m_peer;
};

TEST_F(BaseFilterTest, RunFromStoppedActivatesEachConnectedPinOnceThenRunsIt) {
  m_filter->Pin(0)->Plug(PeerPin());
  m_filter->Pin(2)->Plug(PeerPin());
  EXPECT_EQ(m_filter->Filter()->Run(5000), S_OK);
  FILTER_STATE state = State_Stopped;
  EXPECT_EQ(m_filter->Filter()->GetState(0, &state), S_OK);
  EXPECT_EQ(state, State_Running);
  for (int i : {0, 2}) {
    EXPECT_EQ(m_filter->Pin(i)->m_actives, 1) << i;
    EXPECT_EQ(m_filter->Pin(i)->m_runs, 1) << i;
    EXPECT_EQ(m_filter->Pin(i)->m_runStart, 5000) << i;
  }
  EXPECT_EQ(m_filter->Pin(1)->m_actives + m_filter->Pin(1)->m_runs, 0) << "an unconnected pin sees nothing";

  // Pausing a running filter touches no pin; stopping deactivates each connected one.
  EXPECT_EQ(m_filter->Filter()->Pause(), S_OK);
  EXPECT_EQ(m_filter->Pin(0)->m_actives, 1);
  EXPECT_EQ(m_filter->Filter()->Stop(), S_OK);
  EXPECT_EQ(m_filter->Pin(0)->m_inactives, 1);
  EXPECT_EQ(m_filter->Pin(1)->m_inactives, 0);
  EXPECT_EQ(m_filter->Filter()->Stop(), S_OK);
  EXPECT_EQ(m_filter->Pin(0)->m_inactives, 1) << "stopping a stopped filter calls no pin";
}

TEST_F(BaseFilterTest, AFailingPinKeepsPauseStoppedAndStopReportsItsFirstFailure) {
  for (int i = 0; i < 3; ++i) m_filter->Pin(i)->Plug(PeerPin());
  m_filter->Pin(1)->m_activeResult = E_ACCESSDENIED;
  EXPECT_EQ(m_filter->Filter()->Pause(), E_ACCESSDENIED);
  EXPECT_TRUE(m_filter->IsStopped());
  EXPECT_EQ(m_filter->Pin(2)->m_actives, 0) << "activation stops at the first failure";
  // Nothing is left running behind a filter that says it is stopped: the pin started
  // before the failure and the failing pin itself are deactivated, the pin never
  // reached is not.
  EXPECT_EQ(m_filter->Pin(0)->m_inactives, 1);
  EXPECT_EQ(m_filter->Pin(1)->m_inactives, 1);
  EXPECT_EQ(m_filter->Pin(2)->m_inactives, 0);
  EXPECT_EQ(m_filter->Filter()->Run(0), E_ACCESSDENIED);
  EXPECT_TRUE(m_filter->IsStopped());
  EXPECT_EQ(m_filter->Pin(0)->m_inactives, 2);
  m_filter->Pin(0)->m_inactives = 0;
  m_filter->Pin(1)->m_inactives = 0;

  m_filter->Pin(1)->m_activeResult = S_OK;
  ASSERT_EQ(m_filter->Filter()->Pause(), S_OK);
  m_filter->Pin(0)->m_inactiveResult = E_FAIL;
  m_filter->Pin(1)->m_inactiveResult = E_UNEXPECTED;
  EXPECT_EQ(m_filter->Filter()->Stop(), E_FAIL);
  EXPECT_TRUE(m_filter->IsStopped());
  EXPECT_EQ(m_filter->Pin(2)->m_inactives, 1) << "every pin is still deactivated";
}

TEST_F(BaseFilterTest, FindPinMatchesNamesExactly) {
  CComPtr<IPin> found;
  EXPECT_EQ(m_filter->Filter()->FindPin(L"pin 2", found.Receive()), S_OK);
  EXPECT_EQ(found.Get(), static_cast<IPin*>(m_filter->Pin(1)));
  found.Reset();
  for (const wchar_t* id : {L"PIN 2", L"pin", L"", L"1"}) {
    IPin* pin = reinterpret_cast<IPin*>(1);
    EXPECT_EQ(m_filter->Filter()->FindPin(id, &pin), VFW_E_NOT_FOUND) << id;
    EXPECT_EQ(pin, nullptr);
  }
  EXPECT_EQ(m_filter->Filter()->FindPin(L"pin 1", nullptr), E_POINTER);
}

TEST_F(BaseFilterTest, JoiningAGraphKeepsAShortenedNameAndTheSinkWithoutReferences) {
  CSinkGraph graph;
  graph.m_sink.m_refs = &graph.m_sinkRefs;
  const std::wstring longName(300, L'n');
  ASSERT_EQ(m_filter->Filter()->JoinFilterGraph(&graph, longName.c_str()), S_OK);
  EXPECT_EQ(graph.m_refs, 0) << "the graph is not held";
  EXPECT_EQ(graph.m_sinkRefs, 0) << "the sink is not held";
  FILTER_INFO info{};
  ASSERT_EQ(m_filter->Filter()->QueryFilterInfo(&info), S_OK);
  EXPECT_EQ(std::wstring(info.achName), longName.substr(0, 127));
  EXPECT_EQ(CComPtr<IFilterGraph>(info.pGraph, kAdoptRef).Get(), &graph);

  EXPECT_EQ(m_filter->NotifyEvent(EC_USER, 11, 12), S_OK);
  EXPECT_EQ(graph.m_sink.m_code, EC_USER);
  EXPECT_EQ(graph.m_sink.m_second, 12);
  EXPECT_EQ(m_filter->NotifyEvent(EC_COMPLETE, 3, 99), S_OK);
  EXPECT_EQ(graph.m_sink.m_first, 3);
  EXPECT_EQ(graph.m_sink.m_second, reinterpret_cast<LONG_PTR>(m_filter->Filter()))
      << "completion names the filter that completed";

  ASSERT_EQ(m_filter->Filter()->JoinFilterGraph(nullptr, nullptr), S_OK);
  EXPECT_EQ(m_filter->NotifyEvent(EC_USER, 0, 0), E_NOTIMPL);
  ASSERT_EQ(m_filter->Filter()->QueryFilterInfo(&info), S_OK);
  EXPECT_EQ(info.achName[0], L'\0');
  EXPECT_EQ(info.pGraph, nullptr);
}

// Host threads may ask for the filter's name while the graph renames it or takes it out:
// every answer is one of the names it was given, never a freed one.
TEST_F(BaseFilterTest, FilterInfoReadWhileTheGraphRenamesTheFilterIsAlwaysAWholeName) {
  CSinkGraph graph;
  graph.m_sink.m_refs = &graph.m_sinkRefs;
  const std::wstring shortName = L"camera";
  const std::wstring longName(120, L'c');
  ASSERT_EQ(m_filter->Filter()->JoinFilterGraph(&graph, shortName.c_str()), S_OK);
  std::atomic<int> wrong{0};
  const auto read = [&] {
    FILTER_INFO info{};
    if (m_filter->Filter()->QueryFilterInfo(&info) != S_OK) ++wrong;
    const std::wstring name(info.achName);
    if (name != shortName && name != longName) ++wrong;
    const CComPtr<IFilterGraph> held(info.pGraph, kAdoptRef);  // QueryFilterInfo's reference
  };
  const auto rename = [&](int i) {
    return m_filter->Filter()->JoinFilterGraph(&graph, (i % 2 == 0 ? longName : shortName).c_str()) == S_OK;
  };
  EXPECT_TRUE(testing_support::RaceReaderAgainstWriter(read, rename, 20000, 20000));
  EXPECT_EQ(wrong.load(), 0);
  ASSERT_EQ(m_filter->Filter()->JoinFilterGraph(nullptr, nullptr), S_OK);
  EXPECT_EQ(graph.m_refs, 0) << "every graph reference handed out was returned";
}

// A clock that dies with its last reference. The test keeps its memory, so a use after
// death is counted (m_misuse) rather than left to chance.
class CMortalClock final : public IReferenceClock {
 public:
  explicit CMortalClock(std::atomic<int>* misuse) : m_misuse(misuse) {}
  STDMETHODIMP QueryInterface(REFIID, void** ppv) override {
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override {
    if (m_dead.load()) ++*m_misuse;
    return static_cast<ULONG>(++m_refs);
  }
  STDMETHODIMP_(ULONG) Release() override {
    const LONG refs = --m_refs;
    if (refs == 0) m_dead.store(true);
    if (refs < 0) ++*m_misuse;
    return static_cast<ULONG>(refs);
  }
  STDMETHODIMP GetTime(REFERENCE_TIME* pTime) override {
    if (m_dead.load()) ++*m_misuse;
    // Reading a clock takes a moment; the clock must stay alive throughout.
    std::this_thread::yield();
    if (m_dead.load()) ++*m_misuse;
    *pTime = 7000;
    return S_OK;
  }
  STDMETHODIMP AdviseTime(REFERENCE_TIME, REFERENCE_TIME, HEVENT, DWORD_PTR*) override { return E_NOTIMPL; }
  STDMETHODIMP AdvisePeriodic(REFERENCE_TIME, REFERENCE_TIME, HSEMAPHORE, DWORD_PTR*) override { return E_NOTIMPL; }
  STDMETHODIMP Unadvise(DWORD_PTR) override { return E_NOTIMPL; }
  bool Dead() const { return m_dead.load(); }

 private:
  std::atomic<LONG> m_refs{1};
  std::atomic<bool> m_dead{false};
  std::atomic<int>* const m_misuse;
};

// The streaming thread reads the stream time while the graph changes the clock; a clock
// the filter lets go of may die at once, and must not be used after that.
TEST_F(BaseFilterTest, StreamTimeOnAnotherThreadNeverUsesAClockThatTheFilterLetGo) {
  std::atomic<int> misuse{0};
  std::vector<std::unique_ptr<CMortalClock>> clocks;
  ASSERT_EQ(m_filter->Filter()->Run(2000), S_OK);
  std::atomic<int> wrong{0};
  const auto read = [&] {
    REFERENCE_TIME now = 0;
    const HRESULT hr = m_filter->StreamTime(now);
    if (hr == S_OK ? now != 5000 : hr != VFW_E_NO_CLOCK) ++wrong;
  };
  const auto replace = [&](int i) {
    clocks.push_back(std::make_unique<CMortalClock>(&misuse));
    CMortalClock* clock = clocks.back().get();
    const HRESULT hr = m_filter->Filter()->SetSyncSource(i % 3 == 2 ? nullptr : clock);
    // The filter's reference is now the only one (or there is none and it dies here).
    clock->Release();
    return hr == S_OK;
  };
  EXPECT_TRUE(testing_support::RaceReaderAgainstWriter(read, replace, 20000, 20000));
  ASSERT_EQ(m_filter->Filter()->SetSyncSource(nullptr), S_OK);
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_EQ(misuse.load(), 0) << "a clock was used after its last reference was released";
  int alive = 0;
  for (const auto& clock : clocks) alive += clock->Dead() ? 0 : 1;
  EXPECT_EQ(alive, 0) << "every clock is released as often as it was taken";
  ASSERT_EQ(m_filter->Filter()->Stop(), S_OK);
}

TEST_F(BaseFilterTest, AnswersItsInterfacesAndHasNoSetupData) {
  for (const IID* iid : {&IID_IBaseFilter, &IID_IMediaFilter, &IID_IPersist}) {
    void* out = nullptr;
    ASSERT_EQ(m_filter->Filter()->QueryInterface(*iid, &out), S_OK);
    EXPECT_EQ(out, static_cast<void*>(m_filter->Filter()));
    m_filter->Filter()->Release();
  }
  CComPtr<IAMovieSetup> setup;
  ASSERT_EQ(m_filter->Filter()->QueryInterface(IID_IAMovieSetup, setup.ReceiveVoid()), S_OK);
  EXPECT_EQ(setup->Register(), S_FALSE);
  EXPECT_EQ(setup->Unregister(), S_FALSE);
  setup.Reset();
  CLSID clsid{};
  EXPECT_EQ(m_filter->Filter()->GetClassID(&clsid), S_OK);
  EXPECT_EQ(clsid, CLSID_PinFilter);
  REFERENCE_TIME time = 0;
  EXPECT_EQ(m_filter->StreamTime(time), VFW_E_NO_CLOCK);
  EXPECT_EQ(m_filter->Filter()->QueryVendorInfo(nullptr), E_NOTIMPL);
}

TEST_F(BaseFilterTest, PinsShareTheFilterReferenceCount) {
  IPin* pin = m_filter->Pin(0);
  EXPECT_EQ(pin->AddRef(), 2u);
  EXPECT_EQ(m_filter->Filter()->Release(), 1u) << "the pin's reference keeps the filter alive";
  EXPECT_EQ(m_destroyed, 0);
  EXPECT_EQ(m_filter->Filter()->AddRef(), 2u);
  EXPECT_EQ(pin->Release(), 1u);
}

// Pin enumeration.

std::vector<IPin*> NextPins(IEnumPins* pins, ULONG count, HRESULT expected) {
  std::vector<IPin*> got(count, nullptr);
  ULONG fetched = 0;
  EXPECT_EQ(pins->Next(count, got.data(), &fetched), expected);
  got.resize(fetched);
  for (IPin* pin : got) pin->Release();
  return got;
}

TEST_F(BaseFilterTest, PinEnumeratorAfterAVersionChangeGoesOnWithoutRepeatingPins) {
  CComPtr<IEnumPins> pins;
  ASSERT_EQ(m_filter->Filter()->EnumPins(pins.Receive()), S_OK);
  EXPECT_EQ(NextPins(pins.Get(), 2, S_OK), (std::vector<IPin*>{m_filter->Pin(0), m_filter->Pin(1)}));

  m_filter->AddPin(L"pin 4");
  m_filter->IncrementPinVersion();
  EXPECT_EQ(pins->Skip(1), VFW_E_ENUM_OUT_OF_SYNC);
  IEnumPins* clone = reinterpret_cast<IEnumPins*>(1);
  EXPECT_EQ(pins->Clone(&clone), VFW_E_ENUM_OUT_OF_SYNC);
  EXPECT_EQ(clone, nullptr);
  EXPECT_EQ(NextPins(pins.Get(), 4, S_FALSE), (std::vector<IPin*>{m_filter->Pin(2), m_filter->Pin(3)}))
      << "Next starts over and skips the pins already handed out";
  EXPECT_EQ(pins->Reset(), S_OK);
  EXPECT_EQ(NextPins(pins.Get(), 4, S_OK).size(), 4u);
}

TEST_F(BaseFilterTest, PinEnumeratorSkipsClonesAndChecksItsArguments) {
  IEnumPins* pins = nullptr;
  ASSERT_EQ(m_filter->Filter()->EnumPins(&pins), S_OK);
  IPin* pin = nullptr;
  EXPECT_EQ(pins->Next(2, &pin, nullptr), E_INVALIDARG);
  EXPECT_EQ(pins->Next(1, nullptr, nullptr), E_POINTER);
  EXPECT_EQ(pins->Skip(4), S_FALSE);
  EXPECT_EQ(pins->Skip(2), S_OK);
  IEnumPins* clone = nullptr;
  ASSERT_EQ(pins->Clone(&clone), S_OK);
  EXPECT_EQ(NextPins(clone, 1, S_OK), (std::vector<IPin*>{m_filter->Pin(2)}));
  EXPECT_EQ(NextPins(clone, 1, S_FALSE).size(), 0u);
  EXPECT_EQ(NextPins(pins, 3, S_FALSE), (std::vector<IPin*>{m_filter->Pin(2)})) << "the clone moved on its own";
  IUnknown* unknown = nullptr;
  ASSERT_EQ(pins->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&unknown)), S_OK);
  EXPECT_EQ(unknown->Release(), 1u);
  EXPECT_EQ(clone->Release(), 0u);
  EXPECT_EQ(pins->Release(), 0u);
}

// Media type enumeration.

TEST_F(BaseFilterTest, MediaTypeEnumeratorDeliversWhatThePinOffers) {
  CCountingPin* pin = m_filter->Pin(0);
  CComPtr<IEnumMediaTypes> types;
  ASSERT_EQ(pin->EnumMediaTypes(types.Receive()), S_OK);
  AM_MEDIA_TYPE* got[5] = {};
  ULONG fetched = 99;
  EXPECT_EQ(types->Next(5, got, &fetched), S_FALSE);
  ASSERT_EQ(fetched, 1u);
  EXPECT_EQ(reinterpret_cast<VIDEOINFOHEADER*>(CScopedMediaType(got[0])->pbFormat)->bmiHeader.biWidth, 16);
  EXPECT_EQ(types->Next(2, got, nullptr), E_INVALIDARG);

  pin->m_types = 3;
  EXPECT_EQ(types->Reset(), S_OK);
  EXPECT_EQ(types->Skip(0), S_OK);
  EXPECT_EQ(types->Skip(2), S_OK);
  CScopedMediaType third;
  ASSERT_EQ(types->Next(1, third.Receive(), nullptr), S_OK);
  EXPECT_EQ(reinterpret_cast<VIDEOINFOHEADER*>(third->pbFormat)->bmiHeader.biWidth, 48);
  EXPECT_EQ(types->Skip(1), S_FALSE) << "nothing at the position skipped to";

  pin->IncrementTypeVersion();
  EXPECT_EQ(types->Next(1, got, nullptr), VFW_E_ENUM_OUT_OF_SYNC);
  EXPECT_EQ(types->Skip(1), VFW_E_ENUM_OUT_OF_SYNC);
  IEnumMediaTypes* refused = reinterpret_cast<IEnumMediaTypes*>(1);
  EXPECT_EQ(types->Clone(&refused), VFW_E_ENUM_OUT_OF_SYNC);
  EXPECT_EQ(refused, nullptr);
  EXPECT_EQ(types->Reset(), S_OK);
  CComPtr<IEnumMediaTypes> clone;
  ASSERT_EQ(types->Clone(clone.Receive()), S_OK);
  EXPECT_EQ(clone->Next(3, got, &fetched), S_OK);
  for (ULONG i = 0; i < fetched; ++i) DeleteMediaType(got[i]);
}

// The source container.

TEST(SourceTest, FindPinReadsTheIdAsADecimalPosition) {
  const LONG before = CBaseObject::ObjectsActive();
  auto* source = testing_support::CNumberedSource::Create(2);
  IPin* pin = nullptr;
  const struct {
    const wchar_t* id;
    int index;
  } cases[] = {{L"1", 0}, {L"2", 1}, {L"  +2", 1}, {L"1x", 0}, {L"01", 0}, {L"0", -1}, {L"", -1}, {L"abc", -1},
               {L"3", -1}, {L"-1", -1}, {L"99999999999999999999", -1}};
  for (const auto& c : cases) {
    const HRESULT hr = source->Filter()->FindPin(c.id, &pin);
    if (c.index < 0) {
      EXPECT_EQ(hr, VFW_E_NOT_FOUND) << c.id;
      EXPECT_EQ(pin, nullptr) << c.id;
      continue;
    }
    ASSERT_EQ(hr, S_OK) << c.id;
    EXPECT_EQ(pin, static_cast<IPin*>(source->Stream(c.index))) << c.id;
    pin->Release();
  }
  // QueryId is what FindPin reads back.
  LPWSTR id = nullptr;
  ASSERT_EQ(source->Stream(1)->QueryId(&id), S_OK);
  EXPECT_STREQ(id, L"2");
  CoTaskMemFree(id);
  EXPECT_EQ(source->FindPinNumber(source->Stream(1)), 1);
  EXPECT_EQ(source->Filter()->Release(), 0u);
  EXPECT_EQ(CBaseObject::ObjectsActive(), before) << "the filter and both streams are gone";
}

TEST(SourceTest, StreamsLeaveTheArrayWhenDestroyedWithoutChangingThePinVersion) {
  auto* source = testing_support::CNumberedSource::Create(3);
  EXPECT_EQ(source->GetPinCount(), 3);
  auto* middle = source->Stream(1);
  delete middle;
  EXPECT_EQ(source->GetPinCount(), 2);
  EXPECT_EQ(source->GetPin(1), static_cast<CBasePin*>(source->Stream(1)));
  EXPECT_EQ(source->RemovePin(middle), S_FALSE);
  EXPECT_EQ(source->GetPinVersion(), 1);
  EXPECT_EQ(source->GetPin(2), nullptr);
  EXPECT_EQ(source->GetPin(-1), nullptr);
  source->Filter()->Release();
}

}  // namespace
