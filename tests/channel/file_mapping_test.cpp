#include "channel/file_mapping.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "channel/producer_process.h"
#include "platform/named_sync.h"
#include "platform/paths.h"
#include "platform/shared_memory.h"
#include "support/channel_fixture.h"
#include "support/log_capture.h"

namespace {

using channel::ClientEntry;
using channel::FrameDescriptor;
using testing_support::CChannelNamespace;
using testing_support::CLogCapture;

constexpr int kWidth = 320;
constexpr int kHeight = 240;
constexpr std::int32_t kBytes = 230400;

// The bytes of test frame number n: every byte depends on its position and on n.
std::vector<std::uint8_t> Pattern(std::int32_t n, std::int32_t bytes = kBytes) {
  std::vector<std::uint8_t> frame(static_cast<std::size_t>(bytes));
  for (std::size_t i = 0; i < frame.size(); ++i) frame[i] = static_cast<std::uint8_t>(i * 7 + i / 251 + n * 13);
  return frame;
}

int Write(CFileMapping& producer, std::int32_t n, int index = 0, std::int32_t bytes = kBytes) {
  const auto frame = Pattern(n, bytes);
  const std::int64_t a = n * 2, b = n * 3;
  return producer.SetMediaSample(index, kWidth, kHeight, frame.data(), bytes, n, &a, &b);
}

// Raw view of the region as any other program would see it, independent of CFileMapping.
class CRawRegion {
 public:
  CRawRegion() {
    if (m_memory.Open(channel::ObjectName(L"Trelvox_FileMapping")) == ERROR_SUCCESS)
      m_base = static_cast<std::uint8_t*>(m_memory.MapView(0, channel::kHeaderSize));
  }
  ~CRawRegion() {
    if (m_base != nullptr) CSharedMemory::UnmapView(m_base, channel::kHeaderSize);
  }
  template <typename T>
  T At(std::size_t offset) const {
    T value;
    std::memcpy(&value, m_base + offset, sizeof value);
    return value;
  }
  template <typename T>
  void Put(std::size_t offset, T value) {
    std::memcpy(m_base + offset, &value, sizeof value);
  }
  bool IsOpen() const { return m_base != nullptr; }

 private:
  CSharedMemory m_memory;
  std::uint8_t* m_base = nullptr;
};

class FileMappingTest : public testing::Test {
 protected:
  CChannelNamespace names;
};

using ViewStrategy = CFileMapping::ViewStrategy;

// The view strategies of the producer side and the consumer side of one exchange. Every
// pairing meets in one region and must see the same bytes: a 32-bit camera (per
// operation) reads what a 64-bit producer (whole region) writes, and the other way round.
struct ViewPairing {
  ViewStrategy producer;
  ViewStrategy consumer;
};

class FileMappingExchangeTest : public testing::TestWithParam<ViewPairing> {
 protected:
  ViewStrategy ProducerViews() const { return GetParam().producer; }
  ViewStrategy ConsumerViews() const { return GetParam().consumer; }
  CChannelNamespace names;
};

std::string PairingText(const ViewPairing& pairing) {
  const auto name = [](ViewStrategy strategy) {
    return strategy == ViewStrategy::kWholeRegion ? std::string("WholeRegion") : std::string("PerOperation");
  };
  return name(pairing.producer) + "Producer_" + name(pairing.consumer) + "Consumer";
}

void PrintTo(const ViewPairing& pairing, std::ostream* out) { *out << PairingText(pairing); }

std::string PairingName(const testing::TestParamInfo<ViewPairing>& info) { return PairingText(info.param); }

INSTANTIATE_TEST_SUITE_P(Views, FileMappingExchangeTest,
                         testing::Values(ViewPairing{ViewStrategy::kWholeRegion, ViewStrategy::kWholeRegion},
                                         ViewPairing{ViewStrategy::kWholeRegion, ViewStrategy::kPerOperation},
                                         ViewPairing{ViewStrategy::kPerOperation, ViewStrategy::kWholeRegion},
                                         ViewPairing{ViewStrategy::kPerOperation, ViewStrategy::kPerOperation}),
                         PairingName);

TEST(FileMappingViewsTest, OnlyA64BitProcessKeepsTheWholeRegionMapped) {
  const bool wide = sizeof(void*) >= 8;
  EXPECT_EQ(CFileMapping().GetViewStrategy() == ViewStrategy::kWholeRegion, wide);
  EXPECT_EQ(CFileMapping(ViewStrategy::kWholeRegion).GetViewStrategy() == ViewStrategy::kWholeRegion, wide);
  EXPECT_EQ(CFileMapping(ViewStrategy::kPerOperation).GetViewStrategy(), ViewStrategy::kPerOperation);
}

TEST_P(FileMappingExchangeTest, ConsumerFirstCreatesEverythingAndSeesNoFrameUntilOneIsWritten) {
  CLogCapture log(0);
  CFileMapping consumer(ConsumerViews());
  ASSERT_EQ(consumer.Init(false, nullptr), 0);
  EXPECT_TRUE(consumer.IsCreated());
  EXPECT_NE(log.Messages().find("Creating new cli event.\n"), std::string::npos);
  EXPECT_NE(log.Messages().find("System allocation granularity is "), std::string::npos);
  FrameDescriptor record;
  std::memset(&record, 0xAB, sizeof record);
  EXPECT_EQ(consumer.LockMediaSample(0, &record), -1);
  EXPECT_EQ(record.Valid, 0xAB) << "the record is left untouched";

  CFileMapping producer(ProducerViews());
  ASSERT_EQ(producer.Init(true, nullptr), 0);
  EXPECT_EQ(Write(producer, 1), 0);
  EXPECT_EQ(consumer.LockMediaSample(0, &record), 0);
  consumer.UnlockMediaSample(0);
}

TEST_P(FileMappingExchangeTest, FrameTravelsByteExactWithItsDescriptor) {
  CFileMapping producer(ProducerViews()), consumer(ConsumerViews());
  ASSERT_EQ(producer.Init(true, nullptr), 0);
  ASSERT_EQ(consumer.Init(false, nullptr), 0);
  ASSERT_EQ(Write(producer, 5), 0);
  FrameDescriptor d{};
  ASSERT_EQ(consumer.LockMediaSample(0, &d), 0);
  EXPECT_EQ(d.Valid, 1);
  EXPECT_EQ(d.LockCount, 1);
  EXPECT_EQ(d.Width, kWidth);
  EXPECT_EQ(d.Height, kHeight);
  EXPECT_EQ(d.Length, kBytes);
  EXPECT_EQ(d.Aux32, 5);
  EXPECT_EQ(d.Aux64A, 10);
  EXPECT_EQ(d.Aux64B, 15);
  std::vector<std::uint8_t> copy(kBytes + 1, 0);
  EXPECT_EQ(consumer.GetMediaSampleData(0, copy.data(), kBytes + 1, L"cam", kWidth, kHeight), -1);
  EXPECT_EQ(consumer.GetMediaSampleData(0, copy.data(), kBytes, L"cam", kWidth, kHeight), 0);
  copy.resize(kBytes);
  EXPECT_EQ(copy, Pattern(5));
  EXPECT_EQ(consumer.UnlockMediaSample(0), 0);
  EXPECT_EQ(consumer.View(), nullptr) << "no view outlives an operation";
}

TEST_P(FileMappingExchangeTest, HeldFrameIsNotOverwrittenButTheServerEventIsStillSet) {
  CFileMapping producer(ProducerViews()), first(ConsumerViews()), second(ProducerViews());
  ASSERT_EQ(producer.Init(true, nullptr), 0);
  ASSERT_EQ(first.Init(false, nullptr), 0);
  ASSERT_EQ(second.Init(false, nullptr), 0);
  ASSERT_EQ(Write(producer, 1), 0);
  FrameDescriptor d{};
  ASSERT_EQ(first.LockMediaSample(0, &d), 0);
  ASSERT_EQ(second.LockMediaSample(0, &d), 0);
  EXPECT_EQ(d.LockCount, 2);
  producer.SetServerEvent(false);
  EXPECT_EQ(Write(producer, 2), -1);
  EXPECT_TRUE(first.WaitServerEvent(0));
  std::vector<std::uint8_t> copy(kBytes);
  ASSERT_EQ(first.GetMediaSampleData(0, copy.data(), kBytes, L"a", kWidth, kHeight), 0);
  EXPECT_EQ(copy, Pattern(1));
  first.UnlockMediaSample(0);
  second.UnlockMediaSample(0);
  EXPECT_EQ(Write(producer, 3), 0);
  ASSERT_EQ(first.LockMediaSample(0, &d), 0);
  EXPECT_EQ(d.Aux32, 3);
  first.UnlockMediaSample(0);
}

TEST_P(FileMappingExchangeTest, HeaderFieldsSitAtTheirWireOffsets) {
  CFileMapping producer(ProducerViews()), consumer(ConsumerViews());
  ASSERT_EQ(producer.Init(true, nullptr), 0);
  ASSERT_EQ(consumer.Init(false, nullptr), 0);
  EXPECT_EQ(producer.SetServerResolution(1280, 720), 1);
  EXPECT_EQ(producer.SetShowLogo(1), 1);
  ASSERT_EQ(Write(producer, 9), 0);
  consumer.NotifyServerAboutClientConnection(true, L"host.exe-\x00E9", 640, 480);
  CRawRegion raw;
  ASSERT_TRUE(raw.IsOpen());
  EXPECT_EQ(raw.At<std::int32_t>(14412), 1280);
  EXPECT_EQ(raw.At<std::int32_t>(14416), 720);
  EXPECT_EQ(raw.At<std::int32_t>(14420), 1);
  EXPECT_EQ(raw.At<std::int32_t>(8), 1);
  EXPECT_EQ(raw.At<std::int32_t>(12), 1);                    // InUse
  EXPECT_EQ(raw.At<char16_t>(12 + 4), u'h');                 // Name, UTF-16
  EXPECT_EQ(raw.At<char16_t>(12 + 4 + 9 * 2), u'\x00E9');
  EXPECT_EQ(raw.At<char16_t>(12 + 4 + 10 * 2), u'\0');
  EXPECT_EQ(raw.At<std::int32_t>(12 + 132), 640);
  EXPECT_EQ(raw.At<std::uint8_t>(14424), 1);                 // Valid
  EXPECT_EQ(raw.At<std::int32_t>(14424 + 8), kWidth);
  EXPECT_EQ(raw.At<std::int64_t>(14424 + 24), 18);           // Aux64A
  EXPECT_EQ(raw.At<std::int32_t>(14424 + 40), kBytes);       // Length
  EXPECT_EQ(consumer.GetServerResolution(), (std::pair<std::int32_t, std::int32_t>{1280, 720}));
  EXPECT_EQ(consumer.GetShowLogo(), 1);
}

TEST_P(FileMappingExchangeTest, OutOfBoundsIndicesAndLengthsAreRefusedOnBothSides) {
  CFileMapping producer(ProducerViews()), consumer(ConsumerViews());
  ASSERT_EQ(producer.Init(true, nullptr), 0);
  ASSERT_EQ(consumer.Init(false, nullptr), 0);
  const std::vector<std::uint8_t> big(channel::kFrameAreaSize + 1, 1);
  EXPECT_EQ(producer.SetMediaSample(0, 1, 1, big.data(), channel::kFrameAreaSize + 1, 0, nullptr, nullptr), -1);
  EXPECT_EQ(producer.SetMediaSample(6, 1, 1, big.data(), channel::kFrameAreaSize, 0, nullptr, nullptr), -1);
  EXPECT_EQ(producer.SetMediaSample(-1, 1, 1, big.data(), 16, 0, nullptr, nullptr), -1);
  EXPECT_EQ(producer.SetMediaSample(1024, 1, 1, big.data(), 16, 0, nullptr, nullptr), -1);
  EXPECT_EQ(producer.SetMediaSample(0, 1, 1, big.data(), -5, 0, nullptr, nullptr), -1);
  EXPECT_EQ(producer.SetMediaSample(5, 1, 1, big.data(), channel::kFrameAreaSize, 0, nullptr, nullptr), 0);
  EXPECT_EQ(producer.SetMediaSample(6, 1, 1, big.data(), 1000, 0, nullptr, nullptr), 0) << "ends inside the region";
  // A held frame at the last usable index starts its hold timer inside the object.
  FrameDescriptor held{};
  ASSERT_EQ(consumer.LockMediaSample(6, &held), 0);
  EXPECT_EQ(producer.SetMediaSample(6, 1, 1, big.data(), 1000, 0, nullptr, nullptr), -1);
  consumer.UnlockMediaSample(6);
  FrameDescriptor d{};
  EXPECT_EQ(consumer.LockMediaSample(1024, &d), -1);
  EXPECT_EQ(consumer.LockMediaSample(-1, &d), -1);

  // A hostile descriptor claiming a frame longer than its area is never copied.
  ASSERT_EQ(Write(producer, 1), 0);
  CRawRegion raw;
  raw.Put<std::int32_t>(14424 + 40, static_cast<std::int32_t>(channel::kFrameAreaSize) + 4096);
  ASSERT_EQ(consumer.LockMediaSample(0, &d), 0);
  std::vector<std::uint8_t> sink(16);
  EXPECT_EQ(consumer.GetMediaSampleData(0, sink.data(), d.Length, L"c", 1, 1), -1);
  EXPECT_EQ(consumer.UnlockMediaSample(0), 0);
}

TEST_P(FileMappingExchangeTest, RegistrationCutsNamesAndChangesTheTableOnlyWhenItShould) {
  // The observer stands in for the producer without a notification thread, which would
  // take the client event's pulses first.
  CFileMapping producer(ProducerViews()), consumer(ConsumerViews());
  ASSERT_EQ(producer.Init(false, nullptr), 0);
  ASSERT_EQ(consumer.Init(false, nullptr), 0);
  const std::wstring longName = std::wstring(63, L'n') + L"-first";
  const std::wstring otherLong = std::wstring(63, L'n') + L"-second";
  while (producer.WaitClientEvent(0)) {
  }
  consumer.NotifyServerAboutClientConnection(true, longName, 640, 480);
  EXPECT_TRUE(producer.WaitClientEvent(0));
  consumer.NotifyServerAboutClientConnection(true, otherLong, 320, 240);  // same first 63 units
  EXPECT_TRUE(producer.WaitClientEvent(0)) << "set even when nothing changed";
  consumer.NotifyServerAboutClientConnection(false, L"never registered", 0, 0);
  EXPECT_TRUE(producer.WaitClientEvent(0));
  EXPECT_EQ(producer.GetClientCount(), 1);

  std::vector<ClientEntry> clients;
  producer.GetClientInfo(&clients);
  ASSERT_EQ(clients.size(), 1u);
  EXPECT_EQ(std::u16string(clients[0].Name), std::u16string(63, u'n'));
  EXPECT_EQ(clients[0].Width, 640);

  // A frame read never finds a name longer than 63 units, so it registers again: no change.
  ASSERT_EQ(Write(producer, 1), 0);
  FrameDescriptor d{};
  ASSERT_EQ(consumer.LockMediaSample(0, &d), 0);
  std::vector<std::uint8_t> copy(kBytes);
  EXPECT_EQ(consumer.GetMediaSampleData(0, copy.data(), kBytes, longName, 640, 480), 0);
  consumer.UnlockMediaSample(0);
  EXPECT_EQ(producer.GetClientCount(), 1);

  consumer.NotifyServerAboutClientConnection(false, longName, 0, 0);
  EXPECT_EQ(producer.GetClientCount(), 0);
}

TEST_P(FileMappingExchangeTest, FullTableSkipsFurtherClientsAndListsThemInTableOrder) {
  CLogCapture log(0);
  CFileMapping producer(ProducerViews()), consumer(ConsumerViews());
  ASSERT_EQ(producer.Init(true, nullptr), 0);
  ASSERT_EQ(consumer.Init(false, nullptr), 0);
  for (int i = 0; i < channel::kMaxClients + 1; ++i)
    consumer.NotifyServerAboutClientConnection(true, L"client-" + std::to_wstring(i), i + 1, 1);
  EXPECT_EQ(producer.GetClientCount(), channel::kMaxClients);
  consumer.NotifyServerAboutClientConnection(false, L"client-3", 0, 0);
  consumer.NotifyServerAboutClientConnection(true, L"late", 7, 7);
  std::vector<ClientEntry> clients;
  producer.GetClientInfo(&clients);
  ASSERT_EQ(clients.size(), static_cast<std::size_t>(channel::kMaxClients));
  EXPECT_EQ(std::u16string(clients[3].Name), u"late") << "the first free entry is reused";
  EXPECT_EQ(clients[4].Width, 5);
  EXPECT_NE(log.Messages().find("Client late connected at resolution 7x7.\n"), std::string::npos);
}

TEST_P(FileMappingExchangeTest, HostileClientCountIsSteppedWithoutOverflow) {
  CFileMapping consumer(ConsumerViews());
  ASSERT_EQ(consumer.Init(false, nullptr), 0);
  CRawRegion raw;
  ASSERT_TRUE(raw.IsOpen());
  raw.Put<std::int32_t>(8, 2147483647);
  consumer.NotifyServerAboutClientConnection(true, L"a", 1, 1);
  EXPECT_EQ(consumer.GetClientCount(), static_cast<std::int32_t>(0x80000000u));
  raw.Put<std::int32_t>(8, static_cast<std::int32_t>(0x80000000u));
  consumer.NotifyServerAboutClientConnection(false, L"a", 0, 0);
  EXPECT_EQ(consumer.GetClientCount(), 2147483647);
}

TEST_F(FileMappingTest, HostileHoldCountAtItsMaximumIsNotTakenAgain) {
  CFileMapping producer, consumer;
  ASSERT_EQ(producer.Init(true, nullptr), 0);
  ASSERT_EQ(consumer.Init(false, nullptr), 0);
  ASSERT_EQ(Write(producer, 1), 0);
  CRawRegion raw;
  ASSERT_TRUE(raw.IsOpen());
  constexpr std::size_t kLockCountAt = 14424 + 4;
  raw.Put<std::int32_t>(kLockCountAt, 2147483647);
  FrameDescriptor d{};
  EXPECT_EQ(consumer.LockMediaSample(0, &d), -1);
  EXPECT_EQ(raw.At<std::int32_t>(kLockCountAt), 2147483647) << "the count never wraps";
  raw.Put<std::int32_t>(kLockCountAt, 2147483646);
  EXPECT_EQ(consumer.LockMediaSample(0, &d), 0);
  EXPECT_EQ(d.LockCount, 2147483647);
  EXPECT_EQ(consumer.UnlockMediaSample(0), 0);
}

TEST_P(FileMappingExchangeTest, VanishedClientRegistersAgainOnItsNextRead) {
  CFileMapping producer(ProducerViews()), consumer(ConsumerViews());
  ASSERT_EQ(producer.Init(true, nullptr), 0);
  ASSERT_EQ(consumer.Init(false, nullptr), 0);
  ASSERT_EQ(Write(producer, 1), 0);
  FrameDescriptor d{};
  std::vector<std::uint8_t> copy(kBytes);
  ASSERT_EQ(consumer.LockMediaSample(0, &d), 0);
  ASSERT_EQ(consumer.GetMediaSampleData(0, copy.data(), kBytes, L"cam-1", 0, 0), 0);
  consumer.UnlockMediaSample(0);
  EXPECT_EQ(producer.GetClientCount(), 0) << "no size, no registration";
  ASSERT_EQ(consumer.LockMediaSample(0, &d), 0);
  ASSERT_EQ(consumer.GetMediaSampleData(0, copy.data(), kBytes, L"cam-1", kWidth, kHeight), 0);
  consumer.UnlockMediaSample(0);
  EXPECT_EQ(producer.GetClientCount(), 1);
}

TEST_F(FileMappingTest, ProducerExecutableNamesAreRecognisedInAnyCase) {
  EXPECT_TRUE(channel::IsProducerExecutable(L"Trelvox.exe"));
  EXPECT_TRUE(channel::IsProducerExecutable(std::wstring(L"dir") + platform::kPathSeparator + L"TRELVOXD.EXE"));
  EXPECT_FALSE(channel::IsProducerExecutable(std::wstring(L"Trelvox.exe") + platform::kPathSeparator + L"app.exe"));
  EXPECT_FALSE(channel::IsProducerExecutable(L"Trelvox.exe.bak"));
}

TEST_F(FileMappingTest, ProducerIsToldOfEveryChangeOfTheClientCountOnce) {
  CNotifyQueue window;
  CFileMapping producer, consumer;
  ASSERT_EQ(producer.Init(true, window.Window()), 0);
  ASSERT_EQ(consumer.Init(false, nullptr), 0);
  NotifyMessage message{};
  consumer.NotifyServerAboutClientConnection(true, L"a", 1, 1);
  ASSERT_TRUE(window.WaitMessage(10000, &message));
  EXPECT_EQ(message.message, channel::kClientCountMessage);
  EXPECT_EQ(message.wParam, 1u);
  EXPECT_EQ(message.lParam, 0);
  consumer.NotifyServerAboutClientConnection(true, L"a", 1, 1);  // no change
  consumer.NotifyServerAboutClientConnection(true, L"b", 1, 1);
  ASSERT_TRUE(window.WaitMessage(10000, &message));
  EXPECT_EQ(message.wParam, 2u) << "an unchanged count posts nothing";
  consumer.NotifyServerAboutClientConnection(false, L"a", 0, 0);
  ASSERT_TRUE(window.WaitMessage(10000, &message));
  EXPECT_EQ(message.wParam, 1u);
  producer.Destroy();
  EXPECT_FALSE(producer.IsCreated());
}

TEST_P(FileMappingExchangeTest, DestroyAnyNumberOfTimesAndInitAgain) {
  CFileMapping never(ConsumerViews());
  never.Destroy();
  CFileMapping producer(ProducerViews()), consumer(ConsumerViews());
  ASSERT_EQ(producer.Init(true, nullptr), 0);
  EXPECT_EQ(producer.Init(true, nullptr), 1) << "a second Init keeps what it has";
  ASSERT_EQ(consumer.Init(false, nullptr), 0);
  ASSERT_EQ(Write(producer, 1), 0);
  FrameDescriptor d{};
  EXPECT_EQ(consumer.LockMediaSample(0, &d), 0);
  consumer.UnlockMediaSample(0);
  producer.Destroy();
  producer.Destroy();
  EXPECT_EQ(consumer.LockMediaSample(0, &d), -1) << "the producer's shut-down resets the server event";
  ASSERT_EQ(producer.Init(true, nullptr), 0);
  ASSERT_EQ(Write(producer, 2), 0);
  ASSERT_EQ(consumer.LockMediaSample(0, &d), 0);
  EXPECT_EQ(d.Aux32, 2);
  consumer.UnlockMediaSample(0);
}

TEST_P(FileMappingExchangeTest, FrameWindowsAreAlignedToTheAllocationGranularity) {
  CFileMapping consumer(ConsumerViews());
  ASSERT_EQ(consumer.Init(false, nullptr), 0);
  const std::uint32_t granularity = platform::AllocationGranularity();
  for (int index = 0; index < channel::kStorableFrameIndices; ++index) {
    const auto offset = static_cast<std::uint32_t>(channel::FrameOffset(index));
    const auto [aligned, remainder] = consumer.AlignOffset(offset);
    EXPECT_EQ(aligned % granularity, 0u);
    EXPECT_EQ(aligned + remainder, offset);
    EXPECT_LT(remainder, granularity);
  }
  EXPECT_EQ(consumer.MapView(0, 16), 0);
  EXPECT_EQ(consumer.MapView(0, 16), 1) << "one view at a time";
  EXPECT_EQ(consumer.UnmapView(), 0);
  EXPECT_EQ(consumer.UnmapView(), 1);
  EXPECT_EQ(consumer.MapView(channel::kRegionSize - 8, 16), 1) << "past the end of the region";
}

TEST_P(FileMappingExchangeTest, FramesAtEveryUsableIndexTravelThroughTheirOwnWindows) {
  // Past index 0 a frame's window starts off the allocation granularity, and the last
  // index's frame may run up to the region's last byte: each is written through one
  // object's views and read through the other's, so a window placed or sized wrongly by
  // either strategy shows up as wrong bytes or a refused copy.
  CFileMapping producer(ProducerViews()), consumer(ConsumerViews());
  ASSERT_EQ(producer.Init(true, nullptr), 0);
  ASSERT_EQ(consumer.Init(false, nullptr), 0);
  const auto lastIndex = channel::kUsableFrameIndices - 1;
  const auto toRegionEnd = static_cast<std::int32_t>(channel::kRegionSize - channel::FrameOffset(lastIndex));
  const auto bytesAt = [&](int index) { return index == lastIndex ? toRegionEnd : kBytes + 4 * index; };
  for (int index = 0; index <= lastIndex; ++index) ASSERT_EQ(Write(producer, 40 + index, index, bytesAt(index)), 0);
  for (int index = 0; index <= lastIndex; ++index) {
    SCOPED_TRACE(index);
    FrameDescriptor d{};
    ASSERT_EQ(consumer.LockMediaSample(index, &d), 0);
    EXPECT_EQ(d.Aux32, 40 + index);
    ASSERT_EQ(d.Length, bytesAt(index));
    std::vector<std::uint8_t> copy(static_cast<std::size_t>(d.Length));
    EXPECT_EQ(consumer.GetMediaSampleData(index, copy.data(), d.Length, L"cam", 0, 0), 0);
    EXPECT_EQ(consumer.UnlockMediaSample(index), 0);
    EXPECT_TRUE(copy == Pattern(40 + index, d.Length)) << "bytes differ";
    EXPECT_EQ(consumer.View(), nullptr);
  }
  EXPECT_EQ(producer.SetMediaSample(lastIndex, 1, 1, Pattern(0, toRegionEnd + 1).data(), toRegionEnd + 1, 0,
                                    nullptr, nullptr),
            -1)
      << "one byte past the region";
}

// ---- Several processes -------------------------------------------------------------

// Child: <frames> — writes frames 1..frames at about 200 a second, then exits.
int ProducerChild(int argc, char** argv) {
  if (argc != 1) return 2;
  CFileMapping producer;
  if (producer.Init(true, nullptr) != 0) return 3;
  producer.SetServerResolution(kWidth, kHeight);
  const int frames = std::atoi(argv[0]);
  for (int n = 1; n <= frames; ++n) {
    Write(producer, n);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return 0;
}
AMBERLINE_CHILD_MODE("channel-producer", ProducerChild);

// Child: <name> <distinct frames needed> <whole|per-operation> — reads frames through
// views of the given kind until it has checked that many distinct ones byte for byte; 0
// on success, 1 on a wrong byte, 4 on time-out.
int ConsumerChild(int argc, char** argv) {
  if (argc != 3) return 2;
  CFileMapping consumer(std::string(argv[2]) == "whole" ? ViewStrategy::kWholeRegion : ViewStrategy::kPerOperation);
  if (consumer.Init(false, nullptr) != 0) return 3;
  const std::wstring name = platform::Utf8ToWide(argv[0]);
  const int needed = std::atoi(argv[1]);
  int distinct = 0, last = -1;
  std::vector<std::uint8_t> copy(kBytes);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (distinct < needed && std::chrono::steady_clock::now() < deadline) {
    FrameDescriptor d{};
    if (consumer.LockMediaSample(0, &d) == 0) {
      const bool copied = consumer.GetMediaSampleData(0, copy.data(), kBytes, name, kWidth, kHeight) == 0;
      consumer.UnlockMediaSample(0);
      if (copied && d.Aux32 != last) {
        if (copy != Pattern(d.Aux32)) return 1;
        last = d.Aux32;
        ++distinct;
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  consumer.NotifyServerAboutClientConnection(false, name, 0, 0);
  return distinct >= needed ? 0 : 4;
}
AMBERLINE_CHILD_MODE("channel-consumer", ConsumerChild);

TEST_F(FileMappingTest, ProducerAndTwoConsumerProcessesExchangeByteExactFrames) {
  // The producer keeps its default views; one consumer maps per operation as a 32-bit
  // camera does.
  CChildProcess producer, first, second;
  ASSERT_TRUE(testing_support::StartChild(first, "channel-consumer", {"first", "20", "whole"}, names.Environment()));
  ASSERT_TRUE(
      testing_support::StartChild(second, "channel-consumer", {"second", "20", "per-operation"}, names.Environment()));
  ASSERT_TRUE(testing_support::StartChild(producer, "channel-producer", {"100000"}, names.Environment()));
  int code = -1;
  ASSERT_TRUE(first.Wait(90000, &code));
  EXPECT_EQ(code, 0);
  ASSERT_TRUE(second.Wait(90000, &code));
  EXPECT_EQ(code, 0);
  producer.Kill();
  producer.Wait(10000, &code);
  // The killed producer was the last holder; the next one to open and close the channel
  // finds the region abandoned and removes it.
  CFileMapping cleanup;
  cleanup.Init(false, nullptr);
}

// Child: <event name> <what> — takes the frame hold ("hold") or the access mutex
// ("mutex"; "half-registered": the mutex, with ClientCount raised as a registration does
// before it fills its entry), sets the event, and waits to be killed.
int HolderChild(int argc, char** argv) {
  if (argc != 2) return 2;
  CFileMapping consumer;
  if (consumer.Init(false, nullptr) != 0) return 3;
  CNamedEvent ready;
  if (ready.Open(platform::Utf8ToWide(argv[0])) != ERROR_SUCCESS) return 4;
  const std::string what = argv[1];
  if (what == "mutex" || what == "half-registered") {
    if (!consumer.WaitAccessMutex(platform::kInfinite)) return 5;
    if (what == "half-registered") {
      if (consumer.MapView(0, channel::kHeaderSize) != 0) return 6;
      reinterpret_cast<channel::RegionHeader*>(consumer.View())->ClientCount += 1;
      consumer.UnmapView();
    }
  } else {
    FrameDescriptor d{};
    if (consumer.LockMediaSample(0, &d) != 0) return 5;
  }
  ready.Set();
  std::this_thread::sleep_for(std::chrono::minutes(5));
  return 0;
}
AMBERLINE_CHILD_MODE("channel-holder", HolderChild);

void KillWhileHolding(const CChannelNamespace& names, const char* what) {
  const std::wstring eventName = names.Value() + L"ready";
  CNamedEvent ready;
  bool created = false;
  ASSERT_EQ(ready.Create(eventName, true, false, &created), ERROR_SUCCESS);
  CChildProcess child;
  ASSERT_TRUE(testing_support::StartChild(child, "channel-holder", {platform::WideToUtf8(eventName), what},
                                          names.Environment()));
  ASSERT_TRUE(ready.Wait(30000));
  child.Kill();
  int code = 0;
  ASSERT_TRUE(child.Wait(10000, &code));
}

TEST_F(FileMappingTest, ProducerCarriesOnAfterAConsumerDiedHoldingTheFrame) {
  CLogCapture log(0);
  CFileMapping producer;
  ASSERT_EQ(producer.Init(true, nullptr), 0);
  ASSERT_EQ(Write(producer, 1), 0);
  KillWhileHolding(names, "hold");
  const auto start = std::chrono::steady_clock::now();
  int n = 2;
  while (Write(producer, n) != 0 && std::chrono::steady_clock::now() - start < std::chrono::seconds(20)) {
    ++n;
    std::this_thread::sleep_for(std::chrono::milliseconds(40));
  }
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(CFileMapping::kAbandonedHoldMs - 100));
  CFileMapping consumer;
  ASSERT_EQ(consumer.Init(false, nullptr), 0);
  FrameDescriptor d{};
  ASSERT_EQ(consumer.LockMediaSample(0, &d), 0);
  EXPECT_EQ(d.Aux32, n) << "frames flow again";
  EXPECT_EQ(d.LockCount, 1);
  consumer.UnlockMediaSample(0);
  EXPECT_NE(log.Messages().find("the hold (count 1) is taken as abandoned"), std::string::npos);
}

TEST_F(FileMappingTest, OthersCarryOnAfterAProcessDiedOwningTheAccessMutex) {
  CFileMapping producer, consumer;
  ASSERT_EQ(producer.Init(true, nullptr), 0);
  ASSERT_EQ(consumer.Init(false, nullptr), 0);
  KillWhileHolding(names, "mutex");
  Write(producer, 1);  // may meet the abandoned mutex: it is taken and released again
  ASSERT_EQ(Write(producer, 2), 0);
  FrameDescriptor d{};
  ASSERT_EQ(consumer.LockMediaSample(0, &d), 0);
  EXPECT_EQ(d.Aux32, 2);
  consumer.UnlockMediaSample(0);
}

TEST_F(FileMappingTest, ClientCountLeftHalfDoneByADeadMutexOwnerIsRecounted) {
  CLogCapture log(0);
  CFileMapping producer, consumer;
  ASSERT_EQ(producer.Init(true, nullptr), 0);
  ASSERT_EQ(consumer.Init(false, nullptr), 0);
  consumer.NotifyServerAboutClientConnection(true, L"live-client", kWidth, kHeight);
  KillWhileHolding(names, "half-registered");
  EXPECT_EQ(producer.GetClientCount(), 1) << "the count matches the one occupied entry";
  std::vector<ClientEntry> clients;
  producer.GetClientInfo(&clients);
  EXPECT_EQ(clients.size(), 1u);
  consumer.NotifyServerAboutClientConnection(false, L"live-client", 0, 0);
  EXPECT_EQ(producer.GetClientCount(), 0);
  EXPECT_NE(log.Messages().find("the client count 2 is corrected to 1 occupied entries"), std::string::npos);
}

TEST_F(FileMappingTest, ClearingAnAbandonedHoldKeepsTheHoldOfALiveConsumer) {
  CFileMapping producer, dead, live;
  ASSERT_EQ(producer.Init(true, nullptr), 0);
  ASSERT_EQ(dead.Init(false, nullptr), 0);
  ASSERT_EQ(live.Init(false, nullptr), 0);
  ASSERT_EQ(Write(producer, 1), 0);
  FrameDescriptor d{};
  ASSERT_EQ(dead.LockMediaSample(0, &d), 0);  // never released, as by a consumer that died
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Write(producer, 2), -1);
  // A live consumer locks during the blocked run, before the write that gives up on the
  // dead hold, and copies after that write. Only the dead hold was there at every write.
  ASSERT_EQ(live.LockMediaSample(0, &d), 0);
  EXPECT_EQ(Write(producer, 3), -1);
  std::this_thread::sleep_until(start + std::chrono::milliseconds(CFileMapping::kAbandonedHoldMs + 100));
  EXPECT_EQ(Write(producer, 4), -1) << "the live hold still blocks the write";
  std::vector<std::uint8_t> copy(kBytes);
  ASSERT_EQ(live.GetMediaSampleData(0, copy.data(), kBytes, L"live", kWidth, kHeight), 0);
  EXPECT_EQ(copy, Pattern(1)) << "the frame the live consumer locked";
  live.UnlockMediaSample(0);
  ASSERT_EQ(Write(producer, 5), 0) << "the dead hold is gone and the live one released";
  ASSERT_EQ(live.LockMediaSample(0, &d), 0);
  EXPECT_EQ(d.Aux32, 5);
  EXPECT_EQ(d.LockCount, 1);
  live.UnlockMediaSample(0);
}

TEST_F(FileMappingTest, RegionLeftByProcessesThatAllDiedStartsAgainFromZeros) {
  CChildProcess child;
  ASSERT_TRUE(testing_support::StartChild(child, "channel-producer", {"100000"}, names.Environment()));
  {
    // Wait for the producer's first frame through an observer that closes again.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    bool seen = false;
    while (!seen && std::chrono::steady_clock::now() < deadline) {
      CFileMapping observer;
      ASSERT_EQ(observer.Init(false, nullptr), 0);
      seen = observer.GetServerResolution().first == kWidth;
      if (!seen) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_TRUE(seen);
  }
  child.Kill();
  int code = 0;
  ASSERT_TRUE(child.Wait(10000, &code));
  CFileMapping fresh;
  ASSERT_EQ(fresh.Init(false, nullptr), 0);
  EXPECT_EQ(fresh.GetServerResolution(), (std::pair<std::int32_t, std::int32_t>{0, 0}));
  FrameDescriptor d{};
  EXPECT_EQ(fresh.LockMediaSample(0, &d), -1);
}

}  // namespace
