// The camera delivering frames into the host renderer: the placeholder while no producer
// delivers, a producer frame copied byte for byte or scaled with its aspect kept, the
// logo when the producer asks for it, time stamps and media times, sample flags, the
// client entry in the producer's table, and a media type attached to a sample.
#include <gtest/gtest.h>

#include <chrono>
#include <atomic>
#include <algorithm>
#include <cstring>
#include <mutex>

#include "camera_fixture.h"
#include "diagnostics/log_file.h"
#include "composer/client_name.h"
#include "composer/image.h"
#include "composer/stream_images.h"
#include "framework/mem_allocator.h"
#include "platform/child_process.h"
#include "platform/named_sync.h"
#include "support/log_capture.h"
#include "support/test_support.h"

namespace camera_test {
namespace {

// Calls the worker hooks directly, as the worker does.
struct CStreamAccess : CVideoSrcStream {
  using CVideoSrcStream::FillBuffer;
  using CVideoSrcStream::OnThreadCreate;
  using CVideoSrcStream::m_pAllocator;
};

HRESULT Fill(CVideoSrcStream* stream, IMediaSample* sample) { return (stream->*&CStreamAccess::FillBuffer)(sample); }

std::unique_ptr<CImage> SolidImage(int width, int height, int channels, std::uint8_t c0, std::uint8_t c1,
                                   std::uint8_t c2, std::uint8_t c3 = 255) {
  auto image = CImage::Create(width, height, channels, CImage::kBottomLeft);
  if (channels == 3) image->Mat().setTo(cv::Scalar(c0, c1, c2));
  else image->Mat().setTo(cv::Scalar(c0, c1, c2, c3));
  return image;
}

// Pixels (of a width x height RGB24 buffer) that are not (b, g, r), as a bounding box
// and a count.
struct Region {
  int count = 0;
  int minX = 1 << 30, minY = 1 << 30, maxX = -1, maxY = -1;
};
Region PixelsOtherThan(const std::vector<BYTE>& buffer, int width, int height, BYTE b, BYTE g, BYTE r) {
  Region region;
  const std::size_t row = (static_cast<std::size_t>(width) * 3 + 3) & ~std::size_t{3};
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const BYTE* p = &buffer[row * static_cast<std::size_t>(y) + static_cast<std::size_t>(x) * 3];
      if (p[0] == b && p[1] == g && p[2] == r) continue;
      ++region.count;
      region.minX = std::min(region.minX, x);
      region.maxX = std::max(region.maxX, x);
      region.minY = std::min(region.minY, y);
      region.maxY = std::max(region.maxY, y);
    }
  }
  return region;
}

using CameraStreamingTest = CameraTest;

TEST_F(CameraStreamingTest, WithoutProducerEverySampleIsThePlaceholderWithTimesAndFlags) {
  Stream()->Images().SetPlaceholder(SolidImage(4, 2, 3, 11, 22, 33));
  ASSERT_EQ(Connect(), S_OK);
  const auto copies = Capture(5);
  ASSERT_GE(copies.size(), 5u);
  const auto expected = SolidFrame(320, 240, 11, 22, 33);
  for (const auto& copy : copies) EXPECT_EQ(copy.bytes, expected) << "sample " << copy.index;

  const auto records = Input()->Samples();
  ASSERT_GE(records.size(), 5u);
  for (const auto& record : records) {
    SCOPED_TRACE(record.index);
    EXPECT_EQ(record.actual, 230400);
    EXPECT_TRUE(record.syncPoint);
    EXPECT_FALSE(record.preroll);
    EXPECT_EQ(record.discontinuity, record.index == 0);
    // No clock: every sample repeats the first one's times.
    ASSERT_EQ(record.timeResult, S_OK);
    EXPECT_EQ(record.start, 0);
    EXPECT_EQ(record.stop, 400000);
    ASSERT_EQ(record.mediaTimeResult, S_OK);
    EXPECT_EQ(record.mediaStart, record.index);
    EXPECT_EQ(record.mediaStop, record.index + 1);
  }
}

TEST_F(CameraStreamingTest, FrameOfTheNegotiatedSizeIsCopiedByteForByteAndTheClientIsListedWhileActive) {
  Announce(320, 240);
  const auto frame = PatternFrame(320, 240, 5);
  Publish(320, 240, frame);
  ASSERT_EQ(Connect(), S_OK);
  EXPECT_TRUE(Clients().empty());

  Input()->KeepDataCopies(3);
  ASSERT_EQ(Run(), S_OK);
  ASSERT_TRUE(Input()->WaitForSamples(3, kDeadline));
  const auto clients = Clients();
  ASSERT_EQ(clients.size(), 1u);
  const std::wstring name = Stream()->ClientName();
  EXPECT_EQ(clients[0], name.substr(0, channel::kClientNameUnits - 1));
  EXPECT_EQ(name.find(HostProcessName() + L"-"), 0u);
  EXPECT_EQ(name.size(), HostProcessName().size() + 1 + 36);
  ASSERT_EQ(Stop(), S_OK);
  EXPECT_TRUE(Clients().empty());

  for (const auto& copy : Input()->DataCopies()) EXPECT_TRUE(copy.bytes == frame) << "sample " << copy.index;

  // Each activation is a new identity.
  ASSERT_EQ(Run(), S_OK);
  EXPECT_NE(Stream()->ClientName(), name);
  ASSERT_EQ(Stop(), S_OK);
}

// A view of an allocator whose next Decommit fails; everything else, reference counts
// included, is the allocator's own.
class CDecommitFailsOnce final : public IMemAllocator {
 public:
  explicit CDecommitFailsOnce(IMemAllocator* inner) : m_inner(inner) {}
  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override { return m_inner->QueryInterface(riid, ppv); }
  STDMETHODIMP_(ULONG) AddRef() override { return m_inner->AddRef(); }
  STDMETHODIMP_(ULONG) Release() override { return m_inner->Release(); }
  STDMETHODIMP SetProperties(ALLOCATOR_PROPERTIES* pRequest, ALLOCATOR_PROPERTIES* pActual) override {
    return m_inner->SetProperties(pRequest, pActual);
  }
  STDMETHODIMP GetProperties(ALLOCATOR_PROPERTIES* pProps) override { return m_inner->GetProperties(pProps); }
  STDMETHODIMP Commit() override { return m_inner->Commit(); }
  STDMETHODIMP Decommit() override { return m_fail.exchange(false) ? E_FAIL : m_inner->Decommit(); }
  STDMETHODIMP GetBuffer(IMediaSample** ppBuffer, REFERENCE_TIME* pStart, REFERENCE_TIME* pEnd, DWORD flags) override {
    return m_inner->GetBuffer(ppBuffer, pStart, pEnd, flags);
  }
  STDMETHODIMP ReleaseBuffer(IMediaSample* pBuffer) override { return m_inner->ReleaseBuffer(pBuffer); }

 private:
  IMemAllocator* const m_inner;
  std::atomic<bool> m_fail{true};
};

// The view outlives the pin's last use of it (members end after TearDown).
class CameraInactiveTest : public CameraTest {
 protected:
  std::unique_ptr<CDecommitFailsOnce> m_failingView;
};

TEST_F(CameraInactiveTest, AFailedDeactivationKeepsTheClientEntryUntilOneSucceeds) {
  Announce(320, 240);
  ASSERT_EQ(Connect(), S_OK);
  CComPtr<IMemAllocator>& allocator = Stream()->*&CStreamAccess::m_pAllocator;
  ASSERT_TRUE(allocator);
  // The view takes over the pin's reference (its counts are the allocator's own).
  m_failingView = std::make_unique<CDecommitFailsOnce>(allocator.Detach());
  allocator.Reset(m_failingView.get(), kAdoptRef);

  ASSERT_EQ(Run(), S_OK);
  ASSERT_TRUE(Input()->WaitForSamples(2, kDeadline));
  ASSERT_EQ(Clients().size(), 1u);
  EXPECT_EQ(Stream()->Inactive(), E_FAIL);
  EXPECT_EQ(Clients().size(), 1u) << "a stream that is still active withdrew its client entry";
  ASSERT_EQ(Stop(), S_OK);
  EXPECT_TRUE(Clients().empty());
}

TEST_F(CameraStreamingTest, ProducerArrivingAndLeavingSwitchesBetweenPlaceholderAndFrames) {
  Stream()->Images().SetPlaceholder(SolidImage(2, 2, 3, 1, 2, 3));
  ASSERT_EQ(Connect(), S_OK);
  Input()->KeepDataCopies(1);
  ASSERT_EQ(Run(), S_OK);
  ASSERT_TRUE(Input()->WaitForSamples(2, kDeadline));
  EXPECT_EQ(Input()->DataCopies().back().bytes, SolidFrame(320, 240, 1, 2, 3));

  const auto frame = SolidFrame(320, 240, 200, 100, 50);
  Publish(320, 240, frame);
  LONG seen = Input()->SampleCount();
  ASSERT_TRUE(Input()->WaitForSamples(seen + 2, kDeadline));
  EXPECT_EQ(Input()->DataCopies().back().bytes, frame);

  m_producer.reset();  // the producer shuts its channel down
  seen = Input()->SampleCount();
  ASSERT_TRUE(Input()->WaitForSamples(seen + 2, kDeadline));
  EXPECT_EQ(Input()->DataCopies().back().bytes, SolidFrame(320, 240, 1, 2, 3));
  ASSERT_EQ(Stop(), S_OK);
}

TEST_F(CameraStreamingTest, ProducerStartingLaterOrReturningIsAnnouncedToExactlyOnce) {
  testing_support::CLogCapture log(3);
  const auto announcements = [&] {
    const std::string messages = log.Messages();
    const std::string entry = ">>> Entering: CFileMapping::NotifyServerAboutClientConnection\n";
    int count = 0;
    for (std::size_t at = messages.find(entry); at != std::string::npos; at = messages.find(entry, at + 1)) ++count;
    return count;
  };
  const auto frame = SolidFrame(320, 240, 200, 100, 50);
  ASSERT_EQ(Connect(), S_OK);
  ASSERT_EQ(Run(), S_OK);
  ASSERT_TRUE(Input()->WaitForSamples(3, kDeadline));
  EXPECT_EQ(announcements(), 1) << "the activation";
  Publish(320, 240, frame);  // the producer starts later
  LONG seen = Input()->SampleCount();
  ASSERT_TRUE(Input()->WaitForSamples(seen + 3, kDeadline));
  EXPECT_EQ(announcements(), 2);
  m_producer.reset();
  seen = Input()->SampleCount();
  ASSERT_TRUE(Input()->WaitForSamples(seen + 3, kDeadline));
  Publish(320, 240, frame);  // and returns
  seen = Input()->SampleCount();
  ASSERT_TRUE(Input()->WaitForSamples(seen + 3, kDeadline));
  EXPECT_EQ(announcements(), 3);
  ASSERT_EQ(Stop(), S_OK);
}

TEST_F(CameraStreamingTest, PeerKeepingTheChannelLockedGivesThePlaceholderAndStopStillReturns) {
  Stream()->Images().SetPlaceholder(SolidImage(2, 2, 3, 1, 2, 3));
  const auto frame = SolidFrame(320, 240, 200, 100, 50);
  Publish(320, 240, frame);
  ASSERT_EQ(Connect(), S_OK);
  Input()->KeepDataCopies(1);
  ASSERT_EQ(Run(), S_OK);
  ASSERT_TRUE(Input()->WaitForSamples(2, kDeadline));
  EXPECT_EQ(Input()->DataCopies().back().bytes, frame);

  // A peer that takes the channel's access mutex and keeps it, as a producer stopped in a
  // debugger does.
  const std::wstring eventName = m_namespace.Value() + L"ready";
  CNamedEvent ready;
  bool created = false;
  ASSERT_EQ(ready.Create(eventName, true, false, &created), ERROR_SUCCESS);
  CChildProcess holder;
  ASSERT_TRUE(testing_support::StartChild(holder, "channel-holder", {platform::WideToUtf8(eventName), "mutex"},
                                          m_namespace.Environment()));
  ASSERT_TRUE(ready.Wait(std::chrono::milliseconds(30000)));
  const LONG seen = Input()->SampleCount();
  EXPECT_TRUE(Input()->WaitForSamples(seen + 2, kDeadline)) << "the stream goes on";
  EXPECT_EQ(Input()->DataCopies().back().bytes, SolidFrame(320, 240, 1, 2, 3));
  EXPECT_EQ(Stop(), S_OK);
  // The holder would otherwise sleep on for minutes with the channel's objects open.
  holder.Kill();
  int code = 0;
  EXPECT_TRUE(holder.Wait(std::chrono::milliseconds(10000), &code));
}

struct ScaleCase {
  const char* name;
  int streamWidth, streamHeight;  // announced, and so negotiated
  int frameWidth, frameHeight;    // what the producer writes
  int x0, y0, x1, y1;             // the picture's pixels, end exclusive
};

class CameraScaledFrameTest : public CameraTest, public testing::WithParamInterface<ScaleCase> {};

TEST_P(CameraScaledFrameTest, FrameOfAnotherSizeFillsItsPlaceWithBlackBarsAround) {
  const ScaleCase& c = GetParam();
  Announce(c.streamWidth, c.streamHeight);
  Publish(c.frameWidth, c.frameHeight, SolidFrame(c.frameWidth, c.frameHeight, 40, 80, 120));
  ASSERT_EQ(Connect(), S_OK);
  const auto copies = Capture(2);
  ASSERT_FALSE(copies.empty());
  const auto& bytes = copies.back().bytes;
  ASSERT_EQ(bytes.size(), FrameBytes(c.streamWidth, c.streamHeight));
  const std::size_t row = (static_cast<std::size_t>(c.streamWidth) * 3 + 3) & ~std::size_t{3};
  int wrong = 0;
  for (int y = 0; y < c.streamHeight; ++y) {
    for (int x = 0; x < c.streamWidth; ++x) {
      const BYTE* p = &bytes[row * static_cast<std::size_t>(y) + static_cast<std::size_t>(x) * 3];
      const bool inside = x >= c.x0 && x < c.x1 && y >= c.y0 && y < c.y1;
      const BYTE b = inside ? 40 : 0, g = inside ? 80 : 0, r = inside ? 120 : 0;
      if (p[0] != b || p[1] != g || p[2] != r) ++wrong;
    }
  }
  EXPECT_EQ(wrong, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, CameraScaledFrameTest,
    testing::Values(ScaleCase{"letterbox", 640, 480, 1280, 720, 0, 60, 640, 420},
                    ScaleCase{"pillarbox", 1280, 720, 640, 480, 160, 0, 1120, 720},
                    ScaleCase{"stretch_within_tenth", 640, 480, 720, 576, 0, 0, 640, 480},
                    ScaleCase{"same_aspect_down", 320, 240, 640, 480, 0, 0, 320, 240}),
    [](const testing::TestParamInfo<ScaleCase>& info) { return std::string(info.param.name); });

TEST_F(CameraStreamingTest, LogoIsBlendedOnlyWhenTheProducerAsksForIt) {
  Stream()->Images().SetLogo(SolidImage(40, 20, 4, 255, 0, 0, 255));  // opaque red (RGBA)
  Announce(320, 240);
  const auto frame = SolidFrame(320, 240, 0, 0, 0);
  Publish(320, 240, frame);
  ASSERT_EQ(Connect(), S_OK);

  auto copies = Capture(2);
  ASSERT_FALSE(copies.empty());
  EXPECT_EQ(copies.back().bytes, frame);

  ASSERT_EQ(Producer().SetShowLogo(1), 1);
  copies = Capture(2);
  ASSERT_FALSE(copies.empty());
  const Region logo = PixelsOtherThan(copies.back().bytes, 320, 240, 0, 0, 0);
  int logoWidth = 0, logoHeight = 0;
  CStreamImages::LogoSize(40, 20, 320, &logoWidth, &logoHeight);
  EXPECT_EQ(logo.count, logoWidth * logoHeight);
  EXPECT_EQ(logo.maxX - logo.minX + 1, logoWidth);
  EXPECT_EQ(logo.maxY - logo.minY + 1, logoHeight);
  EXPECT_EQ(PixelsOtherThan(copies.back().bytes, 320, 240, 0, 0, 255).count, 320 * 240 - logo.count)
      << "every changed pixel is the logo's red";
}

// A clock the test sets by hand.
class CManualClock final : public IReferenceClock {
 public:
  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
    if (ppv == nullptr) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IReferenceClock)) {
      *ppv = static_cast<IReferenceClock*>(this);
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(++m_refs); }
  STDMETHODIMP_(ULONG) Release() override { return static_cast<ULONG>(--m_refs); }
  STDMETHODIMP GetTime(REFERENCE_TIME* pTime) override {
    *pTime = m_now.load();
    return S_OK;
  }
  STDMETHODIMP AdviseTime(REFERENCE_TIME, REFERENCE_TIME, HEVENT, DWORD_PTR*) override { return E_NOTIMPL; }
  STDMETHODIMP AdvisePeriodic(REFERENCE_TIME, REFERENCE_TIME, HSEMAPHORE, DWORD_PTR*) override { return E_NOTIMPL; }
  STDMETHODIMP Unadvise(DWORD_PTR) override { return E_NOTIMPL; }

  std::atomic<REFERENCE_TIME> m_now{0};
  std::atomic<LONG> m_refs{0};
};

TEST_F(CameraStreamingTest, TimeStampsFollowTheStreamTimeAndNeverGoBack) {
  CManualClock clock;
  clock.m_now = 50000000;
  ASSERT_EQ(m_filter->SetSyncSource(&clock), S_OK);
  ASSERT_EQ(Connect(), S_OK);
  // From the stopped state straight to running, so the start time is fixed before the
  // worker exists.
  ASSERT_EQ(Run(20000000), S_OK);
  ASSERT_TRUE(Input()->WaitForSamples(3, kDeadline));
  clock.m_now = 40000000;  // behind the last stamp: the stamps must not go back
  LONG seen = Input()->SampleCount();
  ASSERT_TRUE(Input()->WaitForSamples(seen + 2, kDeadline));
  clock.m_now = 60000000;
  seen = Input()->SampleCount();
  ASSERT_TRUE(Input()->WaitForSamples(seen + 2, kDeadline));
  ASSERT_EQ(Stop(), S_OK);
  ASSERT_EQ(m_filter->SetSyncSource(nullptr), S_OK);

  const auto records = Input()->Samples();
  EXPECT_EQ(records.front().start, 30000000);
  EXPECT_EQ(records.front().stop, 30400000);
  REFERENCE_TIME previous = 0;
  for (const auto& record : records) {
    EXPECT_GE(record.start, previous);
    EXPECT_TRUE(record.start == 30000000 || record.start == 40000000) << record.start;
    EXPECT_EQ(record.stop - record.start, 400000);
    previous = record.start;
  }
  EXPECT_EQ(records.back().start, 40000000);
  EXPECT_EQ(clock.m_refs.load(), 0);
}

TEST_F(CameraStreamingTest, QualityMessagesChangeThePaceWithinItsLimitsUntilTheNextStart) {
  const auto notify = [this](LONG proportion) {
    Quality q{Famine, proportion, 0, 0};
    return Stream()->Notify(nullptr, q);
  };
  EXPECT_EQ(notify(500), S_OK);
  EXPECT_EQ(Stream()->FrameInterval(), 80);
  EXPECT_EQ(notify(4000), S_OK);
  EXPECT_EQ(Stream()->FrameInterval(), 20);
  EXPECT_EQ(notify(4000), S_OK);
  EXPECT_EQ(Stream()->FrameInterval(), 10);
  EXPECT_EQ(notify(0), S_OK);
  EXPECT_EQ(Stream()->FrameInterval(), 1000);
  EXPECT_EQ(notify(10), S_OK);
  EXPECT_EQ(Stream()->FrameInterval(), 1000);
  EXPECT_EQ((Stream()->*&CStreamAccess::OnThreadCreate)(), S_OK);
  EXPECT_EQ(Stream()->FrameInterval(), 40);
}

TEST_F(CameraStreamingTest, EachStartTakesTheIntervalOfTheConnectionType) {
  CMediaType thirty = VideoType(320, 240, 24, 333333);
  ASSERT_EQ(Config()->SetFormat(&thirty), S_OK);
  ASSERT_EQ(Connect(), S_OK);
  // A quality message before the start does not outlive it.
  Quality q{Famine, 500, 0, 0};
  ASSERT_EQ(Stream()->Notify(nullptr, q), S_OK);
  const auto copies = Capture(3);
  EXPECT_EQ(Stream()->FrameInterval(), 33);
  const auto records = Input()->Samples();
  ASSERT_GE(records.size(), 3u);
  for (const auto& record : records) EXPECT_EQ(record.stop - record.start, 330000) << record.index;

  // A type that gives no usable rate: the default.
  ASSERT_EQ(Config()->SetFormat(nullptr), S_OK);
  CMediaType none = VideoType(320, 240, 24, 0);
  ASSERT_EQ(Config()->SetFormat(&none), S_OK);
  Capture(1);
  EXPECT_EQ(Stream()->FrameInterval(), 40);
}

// A downstream that keeps a sample (as a tee or a renderer holding its last frame does)
// leaves the stream another buffer to fill.
TEST_F(CameraStreamingTest, ADownstreamHoldingOneSampleDoesNotStarveTheStream) {
  Input()->HoldSamples(1);
  ASSERT_EQ(Connect(), S_OK);
  ASSERT_EQ(Run(), S_OK);
  EXPECT_TRUE(Input()->WaitForSamples(6, 5s)) << "frames stopped after " << Input()->SampleCount();
  EXPECT_EQ(Input()->HeldSampleCount(), 1);
  ASSERT_EQ(Stop(), S_OK);
}

// Whatever size the producer announces is offered, accepted and delivered, also where it
// lies outside the range an application may choose from.
class CameraAnnouncedShapeTest : public CameraTest, public testing::WithParamInterface<std::pair<int, int>> {};

TEST_P(CameraAnnouncedShapeTest, AProducersSizeConnectsAndItsFramesArriveUnchanged) {
  const auto [width, height] = GetParam();
  Announce(width, height);
  const auto frame = PatternFrame(width, height, 3);
  Publish(width, height, frame);
  ASSERT_EQ(Connect(), S_OK);
  CMediaType connected;
  ASSERT_EQ(Input()->ConnectionMediaType(&connected), S_OK);
  EXPECT_EQ(VideoInfo(connected).bmiHeader.biWidth, width);
  EXPECT_EQ(VideoInfo(connected).bmiHeader.biHeight, height);
  const auto copies = Capture(2);
  ASSERT_FALSE(copies.empty());
  for (const auto& copy : copies) EXPECT_TRUE(copy.bytes == frame) << "sample " << copy.index;
}

INSTANTIATE_TEST_SUITE_P(Shapes, CameraAnnouncedShapeTest,
                         testing::Values(std::pair{700, 400}, std::pair{641, 480}, std::pair{640, 481},
                                         std::pair{100, 100}, std::pair{1920, 200}, std::pair{480, 640}),
                         [](const testing::TestParamInfo<std::pair<int, int>>& info) {
                           return std::to_string(info.param.first) + "x" + std::to_string(info.param.second);
                         });

// FillBuffer called directly on samples of a memory allocator, as the worker calls it.
class CameraFillBufferTest : public CameraTest {
 protected:
  void SetUp() override {
    CameraTest::SetUp();
    HRESULT hr = S_OK;
    m_allocator = new CMemAllocator(L"test allocator", nullptr, &hr);
    m_allocator->AddRef();
    ALLOCATOR_PROPERTIES request{1, 640 * 480 * 3, 1, 0}, actual{};
    ASSERT_EQ(m_allocator->SetProperties(&request, &actual), S_OK);
    ASSERT_EQ(m_allocator->Commit(), S_OK);
    ASSERT_EQ(Stream()->SetMediaType(&m_type), S_OK);
  }
  void TearDown() override {
    m_allocator->Decommit();
    m_allocator->Release();
    CameraTest::TearDown();
  }
  IMediaSample* Sample() {
    IMediaSample* sample = nullptr;
    EXPECT_EQ(m_allocator->GetBuffer(&sample, nullptr, nullptr, 0), S_OK);
    return sample;
  }
  DWORD SampleFlags(IMediaSample* sample) {
    IMediaSample2* sample2 = nullptr;
    EXPECT_EQ(sample->QueryInterface(IID_IMediaSample2, reinterpret_cast<void**>(&sample2)), S_OK);
    AM_SAMPLE2_PROPERTIES properties{};
    EXPECT_EQ(sample2->GetProperties(sizeof(properties), reinterpret_cast<BYTE*>(&properties)), S_OK);
    sample2->Release();
    return properties.dwSampleFlags;
  }

  CMemAllocator* m_allocator = nullptr;
  CMediaType m_type = VideoType(320, 240);
};

TEST_F(CameraFillBufferTest, FirstSampleAfterStartOrFlushCarriesTheDiscontinuity) {
  IMediaSample* sample = Sample();
  EXPECT_EQ(Fill(Stream(), sample), S_OK);
  EXPECT_EQ(SampleFlags(sample) & 0x1FF & ~0x20u, 0x115u);
  EXPECT_EQ(Fill(Stream(), sample), S_OK);
  EXPECT_EQ(SampleFlags(sample) & 0x1FF & ~0x20u, 0x111u);
  EXPECT_EQ(Stream()->BeginFlush(), E_UNEXPECTED);
  EXPECT_EQ(Stream()->EndFlush(), E_UNEXPECTED);
  EXPECT_EQ(Fill(Stream(), sample), S_OK);
  EXPECT_EQ(SampleFlags(sample) & 0x1FF & ~0x20u, 0x115u);
  EXPECT_EQ(sample->GetActualDataLength(), 230400);
  sample->Release();
  EXPECT_EQ(Fill(Stream(), nullptr), E_POINTER);
}

// With no producer and no placeholder picture a sample is black, never the bytes the
// allocator's buffer held before.
TEST_F(CameraFillBufferTest, WithoutProducerAndPlaceholderTheSampleIsBlack) {
  ASSERT_FALSE(Stream()->Images().HasPlaceholder());
  IMediaSample* sample = Sample();
  BYTE* data = nullptr;
  ASSERT_EQ(sample->GetPointer(&data), S_OK);
  std::memset(data, 0xAB, static_cast<std::size_t>(sample->GetSize()));
  EXPECT_EQ(Fill(Stream(), sample), S_OK);
  ASSERT_EQ(sample->GetActualDataLength(), 230400);
  EXPECT_EQ(std::count(data, data + 230400, BYTE{0}), 230400);
  sample->Release();
}

TEST_F(CameraFillBufferTest, AttachedTypeChangesTheSizeInTheSameCall) {
  testing_support::CLogCapture log(1);
  Announce(352, 288);
  Publish(352, 288, PatternFrame(352, 288, 9));
  IMediaSample* sample = Sample();
  CMediaType attached = VideoType(352, 288);
  ASSERT_EQ(sample->SetMediaType(&attached), S_OK);
  EXPECT_EQ(Fill(Stream(), sample), S_OK);
  EXPECT_EQ(Stream()->Width(), 352);
  EXPECT_EQ(Stream()->Height(), 288);
  EXPECT_EQ(sample->GetActualDataLength(), static_cast<LONG>(FrameBytes(352, 288)));
  BYTE* data = nullptr;
  ASSERT_EQ(sample->GetPointer(&data), S_OK);
  const auto frame = PatternFrame(352, 288, 9);
  EXPECT_EQ(std::memcmp(data, frame.data(), frame.size()), 0);
  sample->Release();
  EXPECT_NE(log.Messages().find("Media type is attached to sample\n"), std::string::npos);
  EXPECT_NE(log.Messages().find("New size = 352x288\n"), std::string::npos);
}

TEST_F(CameraFillBufferTest, AttachedTypeThatIsRefusedFailsTheCallAndKeepsTheConnectionType) {
  Publish(320, 240, SolidFrame(320, 240, 9, 9, 9));
  struct Case {
    const char* what;
    CMediaType type;
  };
  CMediaType otherSubtype = VideoType(320, 240);
  otherSubtype.SetSubtype(&MEDIASUBTYPE_RGB32);
  Case cases[] = {{"another subtype", otherSubtype},
                  {"larger than the buffer", VideoType(1280, 720)},
                  {"top-down rows", VideoType(320, -240)},
                  {"32 bits per pixel", VideoType(320, 240, 32)},
                  {"a size that overflows 32 bits", VideoType(0x7FFFFFF0, 0x7FFFFFF0)}};
  for (Case& c : cases) {
    SCOPED_TRACE(c.what);
    IMediaSample* sample = Sample();
    BYTE* data = nullptr;
    ASSERT_EQ(sample->GetPointer(&data), S_OK);
    std::memset(data, 0xAB, static_cast<std::size_t>(sample->GetSize()));
    ASSERT_EQ(sample->SetMediaType(&c.type), S_OK);
    EXPECT_EQ(Fill(Stream(), sample), E_UNEXPECTED);
    EXPECT_EQ(data[0], 0xAB) << "nothing is written";
    EXPECT_EQ(data[sample->GetSize() - 1], 0xAB);
    sample->Release();
    EXPECT_TRUE(Stream()->CurrentMediaType() == m_type) << "the connection type is kept";
    EXPECT_EQ(Stream()->Width(), 320);
    EXPECT_EQ(Stream()->Height(), 240);
  }
}

TEST_F(CameraFillBufferTest, AttachedTypeThatExactlyFillsTheBufferIsAcceptedAndOneByteLessOfBufferIsNot) {
  const auto frame = PatternFrame(352, 288, 4);
  Publish(352, 288, frame);
  const LONG exact = static_cast<LONG>(FrameBytes(352, 288));
  for (const LONG size : {exact - 1, exact}) {
    SCOPED_TRACE(size);
    m_allocator->Decommit();
    ALLOCATOR_PROPERTIES request{1, size, 1, 0}, actual{};
    ASSERT_EQ(m_allocator->SetProperties(&request, &actual), S_OK);
    ASSERT_EQ(m_allocator->Commit(), S_OK);
    IMediaSample* sample = Sample();
    ASSERT_EQ(sample->GetSize(), size);
    BYTE* data = nullptr;
    ASSERT_EQ(sample->GetPointer(&data), S_OK);
    std::memset(data, 0xAB, static_cast<std::size_t>(size));
    CMediaType attached = VideoType(352, 288);
    ASSERT_EQ(sample->SetMediaType(&attached), S_OK);
    if (size == exact) {
      EXPECT_EQ(Fill(Stream(), sample), S_OK);
      EXPECT_EQ(Stream()->Width(), 352);
      EXPECT_EQ(sample->GetActualDataLength(), exact);
      EXPECT_EQ(std::memcmp(data, frame.data(), frame.size()), 0);
    } else {
      EXPECT_EQ(Fill(Stream(), sample), E_UNEXPECTED);
      EXPECT_EQ(data[size - 1], 0xAB) << "nothing is written";
      EXPECT_EQ(Stream()->Width(), 320) << "the connection type is kept";
    }
    sample->Release();
  }
}

TEST_F(CameraFillBufferTest, BufferSmallerThanTheConnectionTypeIsRefusedBeforeAnyWrite) {
  CMediaType large = VideoType(640, 480);
  ASSERT_EQ(Stream()->SetMediaType(&large), S_OK);
  // The allocator's buffers (921,600 bytes) hold 640 x 480; make them smaller.
  m_allocator->Decommit();
  ALLOCATOR_PROPERTIES request{1, 1000, 1, 0}, actual{};
  ASSERT_EQ(m_allocator->SetProperties(&request, &actual), S_OK);
  ASSERT_EQ(m_allocator->Commit(), S_OK);
  IMediaSample* sample = Sample();
  BYTE* data = nullptr;
  ASSERT_EQ(sample->GetPointer(&data), S_OK);
  std::memset(data, 0xCD, 1000);
  testing_support::CLogCapture log(1);
  EXPECT_EQ(Fill(Stream(), sample), E_UNEXPECTED);
  EXPECT_EQ(data[999], 0xCD);
  sample->Release();
  EXPECT_NE(log.Messages().find("Error: lBuffSize is lower than lDstDataLen\n"), std::string::npos);
}

// Whether type is one of the two RGB24 types the test alternates, whole.
bool IsOneOfTheTwoTypes(const AM_MEDIA_TYPE& type) {
  if (!IsEqualGUID(type.subtype, MEDIASUBTYPE_RGB24) || type.cbFormat < sizeof(VIDEOINFOHEADER) ||
      type.pbFormat == nullptr) {
    return false;
  }
  const BITMAPINFOHEADER& header = VideoInfo(type).bmiHeader;
  const bool small = header.biWidth == 320 && header.biHeight == 240;
  const bool large = header.biWidth == 352 && header.biHeight == 288;
  return (small || large) && header.biSizeImage == FrameBytes(header.biWidth, header.biHeight);
}

// The worker replaces the connection type with a type attached to a sample while host
// threads read it through every operation that hands it out.
TEST_F(CameraFillBufferTest, ConnectionTypeReadersSeeAWholeTypeWhileFillBufferAdoptsAttachedTypes) {
  CMediaType small = VideoType(320, 240);
  CMediaType large = VideoType(352, 288);
  // A fixed format is what GetMediaType hands out as it is.
  ASSERT_EQ(Config()->SetFormat(&small), S_OK);
  ASSERT_EQ(Connect(), S_OK);
  std::atomic<int> wrong{0};
  const auto read = [&] {
    CMediaType type;
    if (Pin()->ConnectionMediaType(&type) != S_OK || !IsOneOfTheTwoTypes(type)) ++wrong;
    CMediaType offered;
    if (Stream()->GetMediaType(0, &offered) != S_OK || !IsOneOfTheTwoTypes(offered)) ++wrong;
    AM_MEDIA_TYPE* format = nullptr;
    if (Config()->GetFormat(&format) != S_OK || !IsOneOfTheTwoTypes(*format)) ++wrong;
    DeleteMediaType(format);
    AM_MEDIA_TYPE* caps = nullptr;
    BYTE capsBytes[sizeof(VIDEO_STREAM_CONFIG_CAPS)];
    if (Config()->GetStreamCaps(0, &caps, capsBytes) != S_OK || !IsOneOfTheTwoTypes(*caps)) ++wrong;
    DeleteMediaType(caps);
  };
  const auto fill = [&](int i) {
    IMediaSample* sample = Sample();
    bool ok = sample->SetMediaType(i % 2 == 0 ? &large : &small) == S_OK;
    ok = Fill(Stream(), sample) == S_OK && ok;
    sample->Release();
    return ok;
  };
  EXPECT_TRUE(testing_support::RaceReaderAgainstWriter(read, fill, 600, 600));
  EXPECT_EQ(wrong.load(), 0);
}

// A renderer that checks for a format change asks the camera's pin about types from
// inside Receive, on the camera's worker, while the application stops the camera (which
// holds the filter's state lock and waits for that worker). Each round also holds the
// state lock itself, as a Stop does, and sees the questions answered, so one run shows
// a fault in every round: the suite is kept out of the repeated thread runs, which would
// spend minutes on it in the sanitizer builds.
using CameraStopTest = CameraTest;

TEST_F(CameraStopTest, StopWhileTheRendererAsksAboutTypesInEveryReceiveCompletes) {
  Input()->AskUpstreamInReceive(true);
  ASSERT_EQ(Connect(), S_OK);
  ASSERT_EQ(m_renderer->Run(0), S_OK);
  for (int i = 0; i < 200; ++i) {
    const LONG before = Input()->SampleCount();
    ASSERT_EQ(m_filter->Run(0), S_OK);
    ASSERT_TRUE(Input()->WaitForSamples(before + 2, kDeadline)) << "start " << i;
    {
      CLockHolder<CRecursiveLock> stopping(*m_filter->pStateLock());
      const int asked = Input()->UpstreamQueries();
      ASSERT_TRUE(Input()->WaitForUpstreamQueries(asked + 2, kDeadline)) << "questions unanswered in round " << i;
    }
    ASSERT_EQ(testing_support::CallWithin(kDeadline, [this] { return m_filter->Stop(); }), S_OK) << "stop " << i;
  }
  EXPECT_GE(Input()->UpstreamQueries(), 400);
  EXPECT_EQ(Input()->UpstreamRefusals(), 0) << "the connection type is always acceptable";
}

}  // namespace
}  // namespace camera_test
