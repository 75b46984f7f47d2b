// The camera filter's own answers: its interfaces, its identity, the cue answer while
// paused, the fixed seeking and position answers of a live source, the hand-over of
// state, clock and event sink to the stream's stream control, and its trace lines.
#include <gtest/gtest.h>

#include "camera_fixture.h"
#include "identity/camera_identity.h"
#include "support/log_capture.h"

namespace camera_test {
namespace {

using CameraFilterTest = CameraTest;

TEST_F(CameraFilterTest, AnswersItsInterfacesButNotPlainDispatch) {
  IUnknown* unknown = m_filter->GetOwner();
  void* out = nullptr;
  for (const GUID* iid : {&IID_IUnknown, &IID_IBaseFilter, &IID_IMediaFilter, &IID_IPersist, &IID_IAMovieSetup,
                          &IID_IAMFilterMiscFlags, &IID_IPersistPropertyBag, &IID_IMediaSeeking,
                          &IID_IMediaPosition}) {
    ASSERT_EQ(unknown->QueryInterface(*iid, &out), S_OK);
    static_cast<IUnknown*>(out)->Release();
  }
  EXPECT_EQ(unknown->QueryInterface(IID_IDispatch, &out), E_NOINTERFACE);
  EXPECT_EQ(out, nullptr);

  IAMFilterMiscFlags* flags = nullptr;
  ASSERT_EQ(unknown->QueryInterface(IID_IAMFilterMiscFlags, reinterpret_cast<void**>(&flags)), S_OK);
  EXPECT_EQ(flags->GetMiscFlags(), static_cast<ULONG>(AM_FILTER_MISC_FLAGS_IS_SOURCE));
  flags->Release();

  IPin* pin = nullptr;
  ASSERT_EQ(m_filter->FindPin(L"1", &pin), S_OK);
  PIN_INFO info{};
  ASSERT_EQ(pin->QueryPinInfo(&info), S_OK);
  EXPECT_STREQ(info.achName, L"~Capture");
  EXPECT_EQ(info.dir, PINDIR_OUTPUT);
  info.pFilter->Release();
  pin->Release();
}

TEST_F(CameraFilterTest, CarriesTheCameraClassIdentifier) {
  const CLSID expected = g_pFilterClsid != nullptr ? *g_pFilterClsid : CLSID_Amberline;
  CLSID clsid = GUID_NULL;
  EXPECT_EQ(m_filter->GetClassID(&clsid), S_OK);
  EXPECT_TRUE(IsEqualGUID(clsid, expected));
  EXPECT_EQ(m_filter->GetClassID(nullptr), E_POINTER);
  IPersistPropertyBag* bag = static_cast<IPersistPropertyBag*>(m_filter);
  clsid = GUID_NULL;
  EXPECT_EQ(bag->GetClassID(&clsid), S_OK);
  EXPECT_TRUE(IsEqualGUID(clsid, expected));
  EXPECT_EQ(bag->InitNew(), S_OK);
  EXPECT_EQ(bag->Load(nullptr, nullptr), E_POINTER);
  EXPECT_EQ(bag->Save(nullptr, FALSE, FALSE), E_POINTER);
}

TEST_F(CameraFilterTest, GetStateSaysItCannotCueWhilePaused) {
  FILTER_STATE state = State_Running;
  EXPECT_EQ(m_filter->GetState(0, &state), S_OK);
  EXPECT_EQ(state, State_Stopped);
  ASSERT_EQ(Connect(), S_OK);
  ASSERT_EQ(Pause(), S_OK);
  EXPECT_EQ(m_filter->GetState(INFINITE, &state), VFW_S_CANT_CUE);
  EXPECT_EQ(state, State_Paused);
  ASSERT_EQ(Run(), S_OK);
  EXPECT_EQ(m_filter->GetState(0, &state), S_OK);
  EXPECT_EQ(state, State_Running);
  EXPECT_EQ(m_filter->GetState(0, nullptr), E_POINTER);
  ASSERT_EQ(Stop(), S_OK);
}

TEST_F(CameraFilterTest, SeekingAnswersAreThoseOfALiveSource) {
  IMediaSeeking* seeking = static_cast<IMediaSeeking*>(m_filter);
  DWORD caps = 0;
  EXPECT_EQ(seeking->GetCapabilities(&caps), S_OK);
  EXPECT_EQ(caps, 0xFFu);
  struct Check {
    DWORD in;
    HRESULT result;
    DWORD out;
  };
  for (const Check c : {Check{0x7F, S_OK, 0x7F}, Check{0x80, E_FAIL, 0x7F}, Check{0x03, S_FALSE, 0x7F},
                        Check{0xFF, S_FALSE, 0x7F}}) {
    caps = c.in;
    EXPECT_EQ(seeking->CheckCapabilities(&caps), c.result) << c.in;
    EXPECT_EQ(caps, c.out);
  }
  GUID format = TIME_FORMAT_MEDIA_TIME;
  EXPECT_EQ(seeking->IsFormatSupported(&format), S_FALSE);
  EXPECT_EQ(seeking->QueryPreferredFormat(&format), S_FALSE);
  EXPECT_TRUE(IsEqualGUID(format, TIME_FORMAT_MEDIA_TIME)) << "nothing written";
  EXPECT_EQ(seeking->GetTimeFormat(&format), E_NOTIMPL);
  EXPECT_EQ(seeking->IsUsingTimeFormat(&format), S_FALSE);
  EXPECT_EQ(seeking->SetTimeFormat(&format), S_OK);
  LONGLONG value = 0;
  EXPECT_EQ(seeking->GetDuration(&value), E_NOTIMPL);
  EXPECT_EQ(seeking->GetStopPosition(&value), E_NOTIMPL);
  EXPECT_EQ(seeking->GetCurrentPosition(&value), E_NOTIMPL);
  EXPECT_EQ(seeking->GetPreroll(&value), E_NOTIMPL);
  EXPECT_EQ(seeking->ConvertTimeFormat(nullptr, nullptr, 0, nullptr), E_NOTIMPL);
  EXPECT_EQ(seeking->SetPositions(nullptr, 0, nullptr, 0), E_NOTIMPL);
  EXPECT_EQ(seeking->GetPositions(nullptr, nullptr), E_NOTIMPL);
  EXPECT_EQ(seeking->GetAvailable(nullptr, nullptr), E_NOTIMPL);
  EXPECT_EQ(seeking->SetRate(2.0), E_NOTIMPL);
  double rate = 0;
  EXPECT_EQ(seeking->GetRate(&rate), S_OK);
  EXPECT_EQ(rate, 1.0);
  for (HRESULT hr : {seeking->GetCapabilities(nullptr), seeking->CheckCapabilities(nullptr),
                     seeking->IsFormatSupported(nullptr), seeking->QueryPreferredFormat(nullptr),
                     seeking->GetTimeFormat(nullptr), seeking->IsUsingTimeFormat(nullptr),
                     seeking->SetTimeFormat(nullptr), seeking->GetDuration(nullptr),
                     seeking->GetStopPosition(nullptr), seeking->GetCurrentPosition(nullptr),
                     seeking->GetRate(nullptr), seeking->GetPreroll(nullptr)}) {
    EXPECT_EQ(hr, E_POINTER);
  }
}

TEST_F(CameraFilterTest, PositionAnswersAreFixed) {
  IMediaPosition* position = static_cast<IMediaPosition*>(m_filter);
  REFTIME time = -1;
  EXPECT_EQ(position->get_Duration(&time), S_OK);
  EXPECT_EQ(time, 1000.0);
  EXPECT_EQ(position->get_StopTime(&time), S_OK);
  EXPECT_EQ(time, 0.0);
  time = -1;
  EXPECT_EQ(position->get_PrerollTime(&time), S_OK);
  EXPECT_EQ(time, 0.0);
  EXPECT_EQ(position->get_Rate(&time), S_OK);
  EXPECT_EQ(time, 1.0);
  EXPECT_EQ(position->put_StopTime(5), S_OK);
  EXPECT_EQ(position->put_PrerollTime(5), S_OK);
  EXPECT_EQ(position->put_Rate(2), S_OK);
  EXPECT_EQ(position->get_Rate(&time), S_OK);
  EXPECT_EQ(time, 1.0) << "nothing stored";
  EXPECT_EQ(position->put_CurrentPosition(1), E_NOTIMPL);
  EXPECT_EQ(position->get_CurrentPosition(&time), E_NOTIMPL);
  LONG can = 0;
  EXPECT_EQ(position->CanSeekForward(&can), E_NOTIMPL);
  EXPECT_EQ(position->CanSeekBackward(&can), E_NOTIMPL);
  UINT count = 0;
  EXPECT_EQ(position->GetTypeInfoCount(&count), E_NOTIMPL);
  EXPECT_EQ(position->GetTypeInfo(0, 0, nullptr), E_NOTIMPL);
  EXPECT_EQ(position->GetIDsOfNames(IID_IUnknown, nullptr, 0, 0, nullptr), E_NOTIMPL);
  EXPECT_EQ(position->Invoke(0, IID_IUnknown, 0, 0, nullptr, nullptr, nullptr, nullptr), E_NOTIMPL);
  for (HRESULT hr : {position->get_Duration(nullptr), position->get_StopTime(nullptr),
                     position->get_PrerollTime(nullptr), position->get_Rate(nullptr)}) {
    EXPECT_EQ(hr, E_POINTER);
  }
}

TEST_F(CameraFilterTest, StreamControlReportsThroughTheGraphUntilTheFilterLeavesIt) {
  ASSERT_EQ(Connect(), S_OK);
  auto* control = static_cast<IAMStreamControl*>(Stream());
  const REFERENCE_TIME at = 1000;
  const auto stopEvents = [this] {
    int n = 0;
    for (long code : m_graph.Codes()) n += code == EC_STREAM_CONTROL_STOPPED ? 1 : 0;
    return n;
  };

  ASSERT_EQ(Run(), S_OK);
  ASSERT_EQ(control->StopAt(&at, FALSE, 7), S_OK);
  ASSERT_EQ(Stop(), S_OK);
  EXPECT_EQ(stopEvents(), 1);

  ASSERT_EQ(m_filter->JoinFilterGraph(nullptr, nullptr), S_OK);
  ASSERT_EQ(Run(), S_OK);
  ASSERT_EQ(control->StopAt(&at, FALSE, 8), S_OK);
  ASSERT_EQ(Stop(), S_OK);
  EXPECT_EQ(stopEvents(), 1) << "no sink after leaving the graph";
}

TEST_F(CameraFilterTest, EveryCallIsTracedAndCreationAtTheBaseLevel) {
  {
    testing_support::CLogCapture log(1);
    static_cast<IAMFilterMiscFlags*>(m_filter)->GetMiscFlags();
    const std::string messages = log.Messages();
    EXPECT_NE(messages.find(">>> Entering: CVideoSrcFilter::GetMiscFlags"), std::string::npos);
    EXPECT_NE(messages.find("<<< Leaving: CVideoSrcFilter::GetMiscFlags"), std::string::npos);
  }
  testing_support::CLogCapture log(0);
  HRESULT hr = E_FAIL;
  CUnknown* second = CVideoSrcFilter::CreateInstance(nullptr, &hr);
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(hr, S_OK);
  second->NonDelegatingAddRef();
  second->NonDelegatingRelease();
  const std::string messages = log.Messages();
  EXPECT_NE(messages.find(">>> Entering: CVideoSrcFilter::CreateInstance"), std::string::npos);
  EXPECT_NE(messages.find(">>> Entering: CVideoSrcFilter::CVideoSrcFilter"), std::string::npos);
  EXPECT_NE(messages.find("hModule="), std::string::npos);
  EXPECT_EQ(messages.find("CVideoSrcFilter::GetMiscFlags"), std::string::npos);
}


TEST(CameraCreationTest, AChannelThatCannotBeOpenedStillYieldsAWorkingFilter) {
  testing_support::CScopedEnvironment environment;
  // Object names with path separators inside cannot be created on either system.
  environment.Set(L"AMBERLINE_CHANNEL_NAMESPACE", L"no\\such/folder\\");
  HRESULT hr = E_FAIL;
  CUnknown* object = CVideoSrcFilter::CreateInstance(nullptr, &hr);
  ASSERT_NE(object, nullptr);
  EXPECT_EQ(hr, S_OK);
  auto* filter = static_cast<CVideoSrcFilter*>(object);
  filter->AddRef();
  CMediaType offered;
  EXPECT_EQ(filter->Stream()->GetMediaType(0, &offered), S_OK);
  EXPECT_EQ(VideoInfo(offered).bmiHeader.biWidth, 320);
  filter->Release();
}

// A host that releases a running camera (after its renderer let go of it) ends the
// stream's worker before any part of the stream goes.
TEST_F(CameraFilterTest, ReleasingARunningFilterEndsItsWorkerFirst) {
  ASSERT_EQ(Connect(), S_OK);
  ASSERT_EQ(Run(), S_OK);
  ASSERT_TRUE(Input()->WaitForSamples(3, kDeadline));
  ASSERT_EQ(testing_support::CallWithin(kDeadline, [this] { return m_renderer->Stop(); }), S_OK);
  ASSERT_EQ(m_renderer->Pin()->Disconnect(), S_OK);
  m_filter->JoinFilterGraph(nullptr, nullptr);
  const HRESULT released = testing_support::CallWithin(kDeadline, [this] {
    m_filter->Release();
    return S_OK;
  });
  EXPECT_EQ(released, S_OK);
  m_filter = nullptr;
  m_renderer->JoinFilterGraph(nullptr, nullptr);
  m_renderer->Release();
  EXPECT_EQ(CBaseObject::ObjectsActive(), m_objects);
}

}  // namespace
}  // namespace camera_test
