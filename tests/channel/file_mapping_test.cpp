#include "channel/file_mapping.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <cstring>
#include <filesystem>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "channel/producer_process.h"
#include "platform/named_object_folder.h"
#include "platform/clock.h"
#include "platform/named_sync.h"
#include "platform/notify_queue.h"
#include "platform/paths.h"
#include "platform/shared_memory.h"
#include "platform/wide_string.h"
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

// Each row puts one descriptor field read from the region at a value on one side of the
// limit the operations test it against, and says what the operation does there.
struct DescriptorLimitCase {
  const char* what;
  std::size_t offset;  // in descriptor 0
  std::int32_t value;
  int result;           // of the operation
  std::int32_t lockCountAfter;
};

TEST_P(FileMappingExchangeTest, DescriptorFieldsOnEachSideOfTheirLimits) {
  CFileMapping producer(ProducerViews()), consumer(ConsumerViews());
  ASSERT_EQ(producer.Init(true, nullptr), 0);
  ASSERT_EQ(consumer.Init(false, nullptr), 0);
  constexpr std::size_t kValid = 14424, kLockCount = 14424 + 4;
  std::vector<std::uint8_t> copy(kBytes);
  const auto lock = [&] {
    FrameDescriptor d{};
    return consumer.LockMediaSample(0, &d);
  };
  const auto read = [&] { return consumer.GetMediaSampleData(0, copy.data(), kBytes, L"c", 0, 0); };
  const auto unlock = [&] { return consumer.UnlockMediaSample(0) == 0 ? 0 : -2; };
  const auto write = [&] { return Write(producer, 9); };
  struct Row {
    DescriptorLimitCase c;
    std::function<int()> operation;
  };
  const Row rows[] = {
      {{"lock: Valid 0", kValid, 0, -1, 0}, lock},
      {{"lock: Valid 1", kValid, 1, 0, 1}, lock},
      {{"lock: Valid 2", kValid, 2, -1, 0}, lock},
      {{"copy: no hold", kLockCount, 0, -1, 0}, read},
      {{"copy: one hold", kLockCount, 1, 0, 1}, read},
      {{"write: a negative count", kLockCount, -1, 0, 0}, write},
      {{"write: no hold", kLockCount, 0, 0, 0}, write},
      {{"write: one hold", kLockCount, 1, -1, 1}, write},
      {{"unlock: one hold", kLockCount, 1, 0, 0}, unlock},
      {{"unlock: nothing held", kLockCount, 0, 0, 0}, unlock},
      {{"unlock: a negative count", kLockCount, -1, 0, -1}, unlock},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.c.what);
    ASSERT_EQ(Write(producer, 1), 0);
    CRawRegion raw;
    ASSERT_TRUE(raw.IsOpen());
    if (row.c.offset == kValid) raw.Put<std::uint8_t>(kValid, static_cast<std::uint8_t>(row.c.value));
    else raw.Put<std::int32_t>(kLockCount, row.c.value);
    EXPECT_EQ(row.operation(), row.c.result);
    EXPECT_EQ(raw.At<std::int32_t>(kLockCount), row.c.lockCountAfter);
    raw.Put<std::int32_t>(kLockCount, 0);
    raw.Put<std::uint8_t>(kValid, 1);
  }
}

TEST_P(FileMappingExchangeTest, IndexOnePastTheTableIsRefusedOnceFrameBytesFollowTheTable) {
  // Frame 0's bytes begin where a 1,025th descriptor would: with this pattern its first
  // byte reads as Valid 1 and the next ones as a positive hold count.
  constexpr std::int32_t kLooksValid = 197;
  CFileMapping producer(ProducerViews()), consumer(ConsumerViews());
  ASSERT_EQ(producer.Init(true, nullptr), 0);
  ASSERT_EQ(consumer.Init(false, nullptr), 0);
  ASSERT_EQ(Write(producer, kLooksValid), 0);
  ASSERT_EQ(Pattern(kLooksValid)[0], 1);
  FrameDescriptor record;
  std::memset(&record, 0xAB, sizeof record);
  EXPECT_EQ(consumer.LockMediaSample(channel::kFrameDescriptorCount, &record), -1);
  EXPECT_EQ(record.Valid, 0xAB) << "the record is left untouched";
  EXPECT_EQ(consumer.UnlockMediaSample(channel::kFrameDescriptorCount), 0);
  std::vector<std::uint8_t> copy(16);
  EXPECT_EQ(consumer.GetMediaSampleData(channel::kFrameDescriptorCount, copy.data(), 16, L"c", 0, 0), -1);
  FrameDescriptor d{};
  ASSERT_EQ(consumer.LockMediaSample(0, &d), 0);
  copy.resize(kBytes);
  ASSERT_EQ(consumer.GetMediaSampleData(0, copy.data(), kBytes, L"c", 0, 0), 0);
  consumer.UnlockMediaSample(0);
  EXPECT_EQ(copy, Pattern(kLooksValid)) << "frame 0's bytes are unchanged";
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
  ASSERT_TRUE(window.WaitMessage(std::chrono::milliseconds(10000), &message));
  EXPECT_EQ(message.message, channel::kClientCountMessage);
  EXPECT_EQ(message.wParam, 1u);
  EXPECT_EQ(message.lParam, 0);
  consumer.NotifyServerAboutClientConnection(true, L"a", 1, 1);  // no change
  consumer.NotifyServerAboutClientConnection(true, L"b", 1, 1);
  ASSERT_TRUE(window.WaitMessage(std::chrono::milliseconds(10000), &message));
  EXPECT_EQ(message.wParam, 2u) << "an unchanged count posts nothing";
  consumer.NotifyServerAboutClientConnection(false, L"a", 0, 0);
  ASSERT_TRUE(window.WaitMessage(std::chrono::milliseconds(10000), &message));
  EXPECT_EQ(message.wParam, 1u);
  producer.Destroy();
  EXPECT_FALSE(producer.IsCreated());
}

TEST_P(FileMappingExchangeTest, DestroyAnyNumberOfTimesAndInitAgain) {
  CFileMapping never(ConsumerViews());
  never.Destroy();
  CFileMapping producer(ProducerViews()), consumer(ConsumerViews());
  {
    CLogCapture log(0);
    ASSERT_EQ(producer.Init(true, nullptr), 0);
    EXPECT_EQ(producer.Init(true, nullptr), 1) << "a second Init keeps what it has (and starts no second thread)";
    const std::string messages = log.Messages();
    const std::string line = "System allocation granularity is ";
    EXPECT_NE(messages.find(line, messages.find(line) + 1), std::string::npos) << "logged by each Init";
  }
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

// ---- Frame leases ----------------------------------------------------------------

constexpr std::size_t kShowLogoAt = 14420;
constexpr std::size_t kLockCountAt = 14424 + 4;

bool SameBytes(const CFrameLease& lease, std::int32_t n) {
  const auto expected = Pattern(n);
  return lease.Held() && std::memcmp(lease.Pixels(), expected.data(), expected.size()) == 0;
}

TEST_P(FileMappingExchangeTest, LeasedFrameIsReadInPlaceAndItsWriteWaitsUntilTheLeaseEnds) {
  CFileMapping producer(ProducerViews()), consumer(ConsumerViews());
  ASSERT_EQ(producer.Init(true, nullptr), 0);
  ASSERT_EQ(consumer.Init(false, nullptr), 0);
  ASSERT_EQ(producer.SetServerResolution(kWidth, kHeight), 1);
  ASSERT_EQ(Write(producer, 1), 0);
  CRawRegion raw;
  ASSERT_TRUE(raw.IsOpen());
  CFrameLease lease = consumer.LeaseFrame(0, L"cam", nullptr);
  ASSERT_TRUE(lease.Held());
  EXPECT_EQ(lease.Width(), kWidth);
  EXPECT_EQ(lease.Height(), kHeight);
  EXPECT_EQ(raw.At<std::int32_t>(kLockCountAt), 1);
  EXPECT_EQ(Write(producer, 2), -1) << "a leased frame is not overwritten";
  // The lease keeps a view of its own: the object's one view stays free for the others.
  EXPECT_EQ(consumer.View(), nullptr);
  EXPECT_EQ(consumer.GetServerResolution(), (std::pair<std::int32_t, std::int32_t>{kWidth, kHeight}));
  consumer.NotifyServerAboutClientConnection(true, L"cam", kWidth, kHeight);
  EXPECT_EQ(consumer.GetClientCount(), 1);
  EXPECT_TRUE(SameBytes(lease, 1));

  CFrameLease moved = std::move(lease);
  EXPECT_FALSE(lease.Held());
  EXPECT_EQ(lease.Release(), 0) << "an empty lease has nothing to drop";
  EXPECT_EQ(raw.At<std::int32_t>(kLockCountAt), 1) << "moving hands the one hold over";
  EXPECT_TRUE(SameBytes(moved, 1));
  EXPECT_EQ(moved.Release(), 0);
  EXPECT_FALSE(moved.Held());
  EXPECT_EQ(raw.At<std::int32_t>(kLockCountAt), 0);
  ASSERT_EQ(Write(producer, 3), 0) << "the write goes through once the lease has ended";

  {
    CFrameLease first = consumer.LeaseFrame(0, L"cam", nullptr);
    CFrameLease second = consumer.LeaseFrame(0, L"cam", nullptr);
    ASSERT_TRUE(first.Held() && second.Held());
    EXPECT_EQ(raw.At<std::int32_t>(kLockCountAt), 2);
    EXPECT_TRUE(SameBytes(first, 3) && SameBytes(second, 3));
    first = std::move(second);  // drops the first hold, keeps the second
    EXPECT_EQ(raw.At<std::int32_t>(kLockCountAt), 1);
  }
  EXPECT_EQ(raw.At<std::int32_t>(kLockCountAt), 0) << "the destructor drops the hold";
  EXPECT_EQ(Write(producer, 4), 0);
}

TEST_P(FileMappingExchangeTest, ProducerWritingBackToBackNeverChangesALeasedFrame) {
  CFileMapping producer(ProducerViews()), consumer(ConsumerViews());
  ASSERT_EQ(producer.Init(true, nullptr), 0);
  ASSERT_EQ(consumer.Init(false, nullptr), 0);
  // Frames 1 to 8: the first byte (13 n) tells which one a lease holds.
  std::vector<std::vector<std::uint8_t>> frames;
  for (std::int32_t n = 1; n <= 8; ++n) frames.push_back(Pattern(n));
  ASSERT_EQ(Write(producer, 1), 0);
  std::atomic<bool> done{false};
  std::atomic<int> written{0}, tried{0};
  std::thread writer([&] {
    for (std::size_t i = 0; !done.load(); ++i) {
      const auto& frame = frames[i % frames.size()];
      if (producer.SetMediaSample(0, kWidth, kHeight, frame.data(), kBytes, 0, nullptr, nullptr) == 0) ++written;
      ++tried;
      // The access mutex is not fair: a writer that takes it again at once can keep a
      // waiting consumer out for good. A breath between writes lets the consumer in
      // while writes still come far faster than any frame rate.
      std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
  });
  int leased = 0, changed = 0, missed = 0;
  while (leased < 40 && missed < 1000) {
    // Each lease after a write of its own, and held until the writer has tried twice.
    const int before = written.load();
    if (!testing_support::WaitUntil([&] { return written.load() > before; }, 10000)) break;
    const CFrameLease lease = consumer.LeaseFrame(0, L"cam", nullptr);
    if (!lease.Held()) {
      ++missed;
      continue;
    }
    ++leased;
    const std::size_t n = lease.Pixels()[0] / 13;
    const int attempts = tried.load();
    if (!testing_support::WaitUntil([&] { return tried.load() >= attempts + 2; }, 10000)) break;
    if (n < 1 || n > frames.size() || std::memcmp(lease.Pixels(), frames[n - 1].data(), kBytes) != 0) ++changed;
  }
  done = true;
  writer.join();
  EXPECT_EQ(leased, 40);
  EXPECT_EQ(changed, 0);
}

TEST_F(FileMappingTest, LiveHoldOutlastsBlockedWritesThatFollowEachOtherWithinAMillisecond) {
  CFileMapping producer, consumer;
  ASSERT_EQ(producer.Init(true, nullptr), 0);
  ASSERT_EQ(consumer.Init(false, nullptr), 0);
  const auto frame = Pattern(1);
  const auto write = [&] { return producer.SetMediaSample(0, kWidth, kHeight, frame.data(), kBytes, 0, nullptr, nullptr); };
  CRawRegion raw;
  ASSERT_TRUE(raw.IsOpen());
  // Each round starts a new run of blocked writes; its second write nearly always falls
  // in the millisecond of the first, whatever the tick count is then.
  for (int round = 0; round < 200; ++round) {
    ASSERT_EQ(write(), 0);
    FrameDescriptor d{};
    ASSERT_EQ(consumer.LockMediaSample(0, &d), 0);
    const int first = write(), second = write();
    ASSERT_TRUE(first == -1 && second == -1) << "round " << round << ": a live hold was dropped";
    ASSERT_EQ(raw.At<std::int32_t>(kLockCountAt), 1);
    consumer.UnlockMediaSample(0);
  }
}

TEST_P(FileMappingExchangeTest, LeaseReadsTheLogoFlagAndRefreshesItsClientInTheTurnThatTakesTheHold) {
  CFileMapping producer(ProducerViews()), consumer(ConsumerViews());
  ASSERT_EQ(producer.Init(true, nullptr), 0);
  ASSERT_EQ(consumer.Init(false, nullptr), 0);
  ASSERT_EQ(Write(producer, 1), 0);
  consumer.NotifyServerAboutClientConnection(true, L"cam", kWidth, kHeight);
  CRawRegion raw;
  ASSERT_TRUE(raw.IsOpen());
  constexpr std::size_t kLastSeenAt = 12 + 140;
  raw.Put<std::int32_t>(kShowLogoAt, 7);
  raw.Put<std::uint32_t>(kLastSeenAt, 0);

  bool listed = false;
  CFrameLease lease = consumer.LeaseFrame(0, L"cam", &listed);
  ASSERT_TRUE(lease.Held());
  EXPECT_TRUE(lease.ShowLogo()) << "any nonzero flag";
  EXPECT_TRUE(listed);
  EXPECT_NE(raw.At<std::uint32_t>(kLastSeenAt), 0u) << "LastSeen refreshed";
  EXPECT_EQ(producer.SetShowLogo(0), 1);
  EXPECT_TRUE(lease.ShowLogo()) << "the flag as it was when the hold was taken";
  lease.Release();

  lease = consumer.LeaseFrame(0, L"gone", &listed);
  ASSERT_TRUE(lease.Held());
  EXPECT_FALSE(lease.ShowLogo());
  EXPECT_FALSE(listed) << "no entry for this name";
  EXPECT_EQ(consumer.GetClientCount(), 1) << "registering again is the caller's, after the lease is taken";
  lease.Release();

  // No hold, no refresh: a consumer that gets no frame is not told to register.
  raw.Put<std::uint32_t>(kLastSeenAt, 0);
  producer.SetServerEvent(false);
  listed = false;
  EXPECT_FALSE(consumer.LeaseFrame(0, L"gone", &listed).Held());
  EXPECT_TRUE(listed);
  EXPECT_FALSE(consumer.LeaseFrame(0, L"cam", nullptr).Held());
  EXPECT_EQ(raw.At<std::uint32_t>(kLastSeenAt), 0u);
  EXPECT_EQ(raw.At<std::int32_t>(kLockCountAt), 0);
}

TEST_P(FileMappingExchangeTest, DamagedDescriptorGivesNoLeaseAndLeavesTheHoldCountAsItWas) {
  CFileMapping producer(ProducerViews()), consumer(ConsumerViews());
  ASSERT_EQ(producer.Init(true, nullptr), 0);
  ASSERT_EQ(consumer.Init(false, nullptr), 0);
  constexpr std::size_t kDescriptor = 14424;
  struct Damage {
    const char* what;
    std::int32_t width, height, length;
    std::uint8_t valid;
    std::int32_t lockCount;
  };
  constexpr std::int32_t kMax = 2147483647;
  const std::int32_t wide = static_cast<std::int32_t>(channel::FrameBytes(4096, 1));
  const Damage rows[] = {
      {"length one byte short", kWidth, kHeight, kBytes - 1, 1, 0},
      {"length one byte long", kWidth, kHeight, kBytes + 1, 1, 0},
      {"width without the row padding", 321, kHeight, 321 * 3 * kHeight, 1, 0},
      {"zero width", 0, kHeight, 0, 1, 0},
      {"negative height", kWidth, -kHeight, kBytes, 1, 0},
      {"size whose byte count wraps to the length in 32 bits", 65536, 21846, 131072, 1, 0},
      {"side past 2^24", 1 << 25, 1, kBytes, 1, 0},
      {"exact picture larger than its area", 4096, 1281, wide * 1281, 1, 0},
      {"not valid", kWidth, kHeight, kBytes, 0, 0},
      {"held to the count's maximum", kWidth, kHeight, kBytes, 1, kMax},
      {"a negative count, which a hold would leave writable", kWidth, kHeight, kBytes, 1, -1},
      {"held by others", kWidth, kHeight, kBytes, 1, 3},
  };
  CRawRegion raw;
  ASSERT_TRUE(raw.IsOpen());
  for (const Damage& row : rows) {
    SCOPED_TRACE(row.what);
    ASSERT_EQ(Write(producer, 1), 0);
    raw.Put<std::int32_t>(kDescriptor + 8, row.width);
    raw.Put<std::int32_t>(kDescriptor + 12, row.height);
    raw.Put<std::int32_t>(kDescriptor + 40, row.length);
    raw.Put<std::uint8_t>(kDescriptor, row.valid);
    raw.Put<std::int32_t>(kLockCountAt, row.lockCount);
    CFrameLease lease = consumer.LeaseFrame(0, L"cam", nullptr);
    const bool healthy = row.lockCount == 3;
    EXPECT_EQ(lease.Held(), healthy);
    EXPECT_EQ(raw.At<std::int32_t>(kLockCountAt), row.lockCount + (healthy ? 1 : 0));
    lease.Release();
    EXPECT_EQ(raw.At<std::int32_t>(kLockCountAt), row.lockCount);
    raw.Put<std::int32_t>(kLockCountAt, 0);
  }
}

TEST_P(FileMappingExchangeTest, LeaseOutlivingItsChannelDropsNothingAndDoesNotCrash) {
  CFileMapping producer(ProducerViews());
  ASSERT_EQ(producer.Init(true, nullptr), 0);
  ASSERT_EQ(Write(producer, 1), 0);
  CRawRegion raw;
  ASSERT_TRUE(raw.IsOpen());
  CFrameLease afterDestroy, afterDelete;
  {
    CFileMapping consumer(ConsumerViews());
    ASSERT_EQ(consumer.Init(false, nullptr), 0);
    afterDestroy = consumer.LeaseFrame(0, L"cam", nullptr);
    ASSERT_TRUE(afterDestroy.Held());
    consumer.Destroy();
    ASSERT_EQ(consumer.Init(false, nullptr), 0);
    EXPECT_EQ(afterDestroy.Release(), -1) << "a lease of an earlier Init drops nothing";
    EXPECT_EQ(raw.At<std::int32_t>(kLockCountAt), 1);
    afterDelete = consumer.LeaseFrame(0, L"cam", nullptr);
    ASSERT_TRUE(afterDelete.Held());
    EXPECT_EQ(raw.At<std::int32_t>(kLockCountAt), 2);
  }
  EXPECT_EQ(afterDelete.Release(), -1);
  EXPECT_EQ(raw.At<std::int32_t>(kLockCountAt), 2) << "the holds stay for the producer to clear";
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
  ASSERT_TRUE(first.Wait(std::chrono::milliseconds(90000), &code));
  EXPECT_EQ(code, 0);
  ASSERT_TRUE(second.Wait(std::chrono::milliseconds(90000), &code));
  EXPECT_EQ(code, 0);
  producer.Kill();
  producer.Wait(std::chrono::milliseconds(10000), &code);
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
    if (!consumer.WaitAccessMutex(INFINITE)) return 5;
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
  ASSERT_TRUE(ready.Wait(std::chrono::milliseconds(30000)));
  child.Kill();
  int code = 0;
  ASSERT_TRUE(child.Wait(std::chrono::milliseconds(10000), &code));
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

TEST_F(FileMappingTest, LeaseThatMeetsAnAbandonedAccessMutexTakesNoHoldThatTurn) {
  CFileMapping producer, consumer;
  ASSERT_EQ(producer.Init(true, nullptr), 0);
  ASSERT_EQ(consumer.Init(false, nullptr), 0);
  ASSERT_EQ(Write(producer, 1), 0);
  KillWhileHolding(names, "mutex");
  CRawRegion raw;
  ASSERT_TRUE(raw.IsOpen());
  EXPECT_FALSE(consumer.LeaseFrame(0, L"cam", nullptr).Held()) << "the turn ends at the header's repair";
  EXPECT_EQ(raw.At<std::int32_t>(kLockCountAt), 0);
  const CFrameLease lease = consumer.LeaseFrame(0, L"cam", nullptr);
  EXPECT_TRUE(SameBytes(lease, 1)) << "the next turn acquires cleanly";
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
  ASSERT_TRUE(child.Wait(std::chrono::milliseconds(10000), &code));
  CFileMapping fresh;
  ASSERT_EQ(fresh.Init(false, nullptr), 0);
  EXPECT_EQ(fresh.GetServerResolution(), (std::pair<std::int32_t, std::int32_t>{0, 0}));
  FrameDescriptor d{};
  EXPECT_EQ(fresh.LockMediaSample(0, &d), -1);
}

// ---- Producer liveness, stale clients, bounded waits --------------------------------

// The frame number (Aux32) a consumer gets now, or -1 when it gets no frame.
int FrameNow(CFileMapping& consumer) {
  FrameDescriptor d{};
  if (consumer.LockMediaSample(0, &d) != 0) return -1;
  consumer.UnlockMediaSample(0);
  return d.Aux32;
}

// Writes frame n into index 0 as a producer that follows only the byte layout: the access
// mutex, descriptor 0, the frame bytes, the server event, and nothing else.
void WriteAsLayoutOnlyProducer(std::int32_t n) {
  CNamedMutex access;
  CNamedEvent server;
  CSharedMemory region;
  ASSERT_EQ(access.Open(channel::ObjectName(L"Trelvox_FileMapping_AccessMutex")), ERROR_SUCCESS);
  ASSERT_EQ(server.Open(channel::ObjectName(L"Trelvox_FileMapping_ServerEvent")), ERROR_SUCCESS);
  ASSERT_EQ(region.Open(channel::ObjectName(L"Trelvox_FileMapping")), ERROR_SUCCESS);
  auto* base = static_cast<std::uint8_t*>(region.MapView(0, channel::kHeaderSize + kBytes));
  ASSERT_NE(base, nullptr);
  // A producer killed while it held the access mutex leaves it abandoned to this one.
  const WaitResult taken = access.Wait(std::chrono::milliseconds(10000));
  ASSERT_TRUE(taken == WaitResult::kAcquired || taken == WaitResult::kAbandoned);
  FrameDescriptor& d = reinterpret_cast<channel::RegionHeader*>(base)->Frames[0];
  d.Width = kWidth;
  d.Height = kHeight;
  d.Aux32 = n;
  d.Length = kBytes;
  d.LockCount = 0;
  const auto frame = Pattern(n);
  std::memcpy(base + channel::kHeaderSize, frame.data(), frame.size());
  d.Valid = 1;
  access.Release();
  CSharedMemory::UnmapView(base, channel::kHeaderSize + kBytes);
  server.Set();
}

// Starts a producer process and waits until consumer sees its frames.
void StartProducerProcess(CChildProcess& child, const CChannelNamespace& names, CFileMapping& consumer) {
  ASSERT_TRUE(testing_support::StartChild(child, "channel-producer", {"100000000"}, names.Environment()));
  ASSERT_TRUE(testing_support::WaitUntil([&] { return FrameNow(consumer) > 0; }, 30000)) << "no frame from it";
}

TEST_F(FileMappingTest, KilledProducerLeavesEveryCameraWithoutAFrameUntilAnyProducerWritesAgain) {
  CLogCapture log(0);
  CFileMapping running;
  ASSERT_EQ(running.Init(false, nullptr), 0);
  CChildProcess producer;
  StartProducerProcess(producer, names, running);
  producer.Kill();
  int code = 0;
  ASSERT_TRUE(producer.Wait(std::chrono::milliseconds(10000), &code));
  EXPECT_TRUE(testing_support::WaitUntil([&] { return FrameNow(running) == -1; }, 2000))
      << "the frozen frame is withdrawn within 2 s";
  CFileMapping openedLater;
  ASSERT_EQ(openedLater.Init(false, nullptr), 0);
  EXPECT_EQ(FrameNow(openedLater), -1);
  EXPECT_EQ(FrameNow(running), -1) << "and stays withdrawn";
  EXPECT_NE(log.Messages().find("The producer ended without shutting the channel down"), std::string::npos);

  // Any producer brings the frames back: one that knows only the layout, then ours.
  WriteAsLayoutOnlyProducer(77);
  EXPECT_EQ(FrameNow(running), 77);
  EXPECT_EQ(FrameNow(openedLater), 77);
  CFileMapping returning;
  ASSERT_EQ(returning.Init(true, nullptr), 0);
  EXPECT_FALSE(returning.OtherProducerRuns());
  ASSERT_EQ(Write(returning, 78), 0);
  EXPECT_EQ(FrameNow(running), 78);
  EXPECT_EQ(FrameNow(openedLater), 78);
}

TEST_F(FileMappingTest, ProducerThatKnowsOnlyTheLayoutKeepsItsLastFrameOnShowAsBefore) {
  CFileMapping consumer;
  ASSERT_EQ(consumer.Init(false, nullptr), 0);
  WriteAsLayoutOnlyProducer(5);  // and gone, without resetting anything
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(2200);
  while (std::chrono::steady_clock::now() < until) {
    ASSERT_EQ(FrameNow(consumer), 5);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

// The channel's five objects, in this order: region, access mutex, server event, client
// event, producer mutex.
using ChannelObjectSet = std::vector<bool>;

// Which of the five a fresh holder can open now (opening creates nothing).
ChannelObjectSet ObjectsThatOpen() {
  CSharedMemory region;
  CNamedMutex access, producer;
  CNamedEvent server, client;
  return {region.Open(channel::ObjectName(L"Trelvox_FileMapping")) == ERROR_SUCCESS,
          access.Open(channel::ObjectName(L"Trelvox_FileMapping_AccessMutex")) == ERROR_SUCCESS,
          server.Open(channel::ObjectName(L"Trelvox_FileMapping_ServerEvent")) == ERROR_SUCCESS,
          client.Open(channel::ObjectName(L"Trelvox_FileMapping_ClientEvent")) == ERROR_SUCCESS,
          producer.Open(channel::ObjectName(L"Trelvox_FileMapping_ProducerMutex")) == ERROR_SUCCESS};
}

// Holds the objects of a set, made through the platform classes.
struct CChannelObjects {
  explicit CChannelObjects(const ChannelObjectSet& set) {
    bool created = false;
    if (set[0]) region.Create(channel::ObjectName(L"Trelvox_FileMapping"), channel::kRegionSize, &created);
    if (set[1]) access.Create(channel::ObjectName(L"Trelvox_FileMapping_AccessMutex"), &created);
    if (set[2]) server.Create(channel::ObjectName(L"Trelvox_FileMapping_ServerEvent"), true, false, &created);
    if (set[3]) client.Create(channel::ObjectName(L"Trelvox_FileMapping_ClientEvent"), false, false, &created);
    if (set[4]) producer.Create(channel::ObjectName(L"Trelvox_FileMapping_ProducerMutex"), &created);
  }
  CSharedMemory region;
  CNamedMutex access, producer;
  CNamedEvent server, client;
};

// The system's entries for the names of this test's namespace (Linux keeps them in
// its object folder; Windows in its object manager, where this finds none).
std::vector<std::string> SystemEntries(const CChannelNamespace& names) {
  std::vector<std::string> found;
  std::error_code error;
  const std::string key = platform::WideToUtf8(names.Value());
  for (const auto& entry : std::filesystem::directory_iterator(platform::NamedObjectFolder(), error))
    if (entry.path().filename().string().find(key) != std::string::npos) found.push_back(entry.path().string());
  std::sort(found.begin(), found.end());
  return found;
}

struct OpenOnlyCase {
  const char* what;
  ChannelObjectSet present;
  bool opens;
};

TEST_F(FileMappingTest, OpenOnlyConsumerOpensAChannelWhoseFourObjectsExistAndOtherwiseCreatesNothing) {
  const OpenOnlyCase cases[] = {
      {"nothing", {false, false, false, false, false}, false},
      {"the region alone", {true, false, false, false, false}, false},
      {"everything but the client event", {true, true, true, false, true}, false},
      {"everything but the server event", {true, true, false, true, false}, false},
      {"everything but the access mutex", {true, false, true, true, true}, false},
      {"everything but the region", {false, true, true, true, true}, false},
      {"the four a layout-only producer makes", {true, true, true, true, false}, true},
      {"all five", {true, true, true, true, true}, true},
  };
  for (const OpenOnlyCase& c : cases) {
    SCOPED_TRACE(c.what);
    CChannelNamespace rowNames;
    CChannelObjects present(c.present);
    ASSERT_EQ(ObjectsThatOpen(), c.present);
    const std::vector<std::string> before = SystemEntries(rowNames);
    CLogCapture log(1);  // the detailed log: callers say a missing channel once themselves
    CFileMapping consumer;
    EXPECT_EQ(consumer.Init(false, nullptr, CFileMapping::OpenMode::kOpenOnly), c.opens ? 0 : 1);
    EXPECT_EQ(consumer.IsCreated(), c.opens);
    EXPECT_EQ(ObjectsThatOpen(), c.present) << "nothing missing was created";
    EXPECT_EQ(SystemEntries(rowNames), before);
    if (c.opens) {
      WriteAsLayoutOnlyProducer(9);
      EXPECT_EQ(FrameNow(consumer), 9);
    } else {
      const std::string messages = log.Messages();
      EXPECT_EQ(std::count(messages.begin(), messages.end(), '\n'), 1) << messages;
      EXPECT_NE(messages.find("nothing was created"), std::string::npos) << messages;
    }
    consumer.Destroy();
    EXPECT_EQ(ObjectsThatOpen(), c.present);
  }
}

TEST_P(FileMappingExchangeTest, OpenOnlyConsumerLooksAgainUntilAProducerMadeTheChannel) {
  constexpr auto kOpenOnly = CFileMapping::OpenMode::kOpenOnly;
  CFileMapping consumer(ConsumerViews());
  EXPECT_EQ(consumer.Init(false, nullptr, kOpenOnly), 1);
  EXPECT_EQ(consumer.Init(false, nullptr, kOpenOnly), 1) << "a failed look holds nothing that stops the next";
  CFileMapping producer(ProducerViews());
  ASSERT_EQ(producer.Init(true, nullptr, kOpenOnly), 0) << "a producer opens or creates whatever it is asked";
  ASSERT_EQ(consumer.Init(false, nullptr, kOpenOnly), 0);
  EXPECT_EQ(consumer.Init(false, nullptr, kOpenOnly), 1) << "a second Init keeps what it has";
  ASSERT_EQ(Write(producer, 3), 0);
  FrameDescriptor d{};
  ASSERT_EQ(consumer.LockMediaSample(0, &d), 0);
  EXPECT_EQ(d.Aux32, 3);
  consumer.UnlockMediaSample(0);
  producer.Destroy();
  consumer.Destroy();
  EXPECT_EQ(consumer.Init(false, nullptr, kOpenOnly), 1) << "the channel ended with its last holder";
  EXPECT_EQ(ObjectsThatOpen(), ChannelObjectSet(5, false));
}

TEST_F(FileMappingTest, SecondProducerStandsAsideAndLeavesTheCamerasToTheFirst) {
  CLogCapture log(0);
  CFileMapping consumer;
  ASSERT_EQ(consumer.Init(false, nullptr), 0);
  CChildProcess first;
  StartProducerProcess(first, names, consumer);
  CFileMapping second;
  ASSERT_EQ(second.Init(true, nullptr), 0);
  EXPECT_TRUE(second.OtherProducerRuns());
  EXPECT_NE(log.Messages().find("Another producer is delivering frames on this channel.\n"), std::string::npos);
  second.Destroy();
  EXPECT_GT(FrameNow(consumer), 0) << "the one standing aside does not shut the first one's frames down";

  first.Kill();
  int code = 0;
  ASSERT_TRUE(first.Wait(std::chrono::milliseconds(10000), &code));
  EXPECT_TRUE(testing_support::WaitUntil([&] { return FrameNow(consumer) == -1; }, 2000));
  CFileMapping next;
  ASSERT_EQ(next.Init(true, nullptr), 0);
  EXPECT_FALSE(next.OtherProducerRuns()) << "the dead one's claim is gone";
}

std::atomic<DWORD> g_fakeTick{0};
DWORD FakeTick() { return g_fakeTick.load(); }

struct StaleCase {
  const char* what;
  DWORD firstWrite;  // the producer's first write
  DWORD now;         // the write that judges the entry
  DWORD lastSeen;
  bool withdrawn;
};

TEST_F(FileMappingTest, EntriesNotSeenForLongerThanTheLimitAreWithdrawnByTheProducersWrites) {
  constexpr DWORD t = 1000000;
  const StaleCase cases[] = {
      {"seen exactly the limit ago", t, t + 6000, t + 1000, false},
      {"seen one ms before that", t, t + 6000, t + 999, true},
      {"producer writing for exactly the limit", t, t + 5000, t - 100000, false},
      {"producer writing one ms longer", t, t + 5001, t - 100000, true},
      {"across the counter's wrap, at the limit", 0xFFFF0000u, 0xFFFFFF00u + 5000, 0xFFFFFF00u, false},
      {"across the counter's wrap, past it", 0xFFFF0000u, 0xFFFFFF00u + 5001, 0xFFFFFF00u, true},
  };
  constexpr std::size_t kEntry1 = 12 + 144;
  for (const StaleCase& c : cases) {
    SCOPED_TRACE(c.what);
    CFileMapping producer, consumer;
    producer.SetTickSource(&FakeTick);
    ASSERT_EQ(producer.Init(true, nullptr), 0);
    ASSERT_EQ(consumer.Init(false, nullptr), 0);
    consumer.NotifyServerAboutClientConnection(true, L"fresh", kWidth, kHeight);
    consumer.NotifyServerAboutClientConnection(true, L"judged", kWidth, kHeight);
    CRawRegion raw;
    ASSERT_TRUE(raw.IsOpen());
    raw.Put<std::uint32_t>(12 + 140, c.now);  // "fresh" was seen just now
    raw.Put<std::uint32_t>(kEntry1 + 140, c.lastSeen);
    g_fakeTick = c.firstWrite;
    ASSERT_EQ(Write(producer, 1), 0);
    g_fakeTick = c.now;
    ASSERT_EQ(Write(producer, 2), 0);
    EXPECT_EQ(raw.At<std::int32_t>(kEntry1) == 0, c.withdrawn);
    EXPECT_EQ(producer.GetClientCount(), c.withdrawn ? 1 : 2);
    EXPECT_NE(raw.At<std::int32_t>(12), 0) << "the fresh entry stays";
  }
}

TEST_F(FileMappingTest, WithdrawnStaleClientIsPostedAndRegistersAgainAtItsNextRead) {
  CNotifyQueue window;
  CFileMapping producer, consumer;
  producer.SetTickSource(&FakeTick);
  ASSERT_EQ(producer.Init(true, window.Window()), 0);
  ASSERT_EQ(consumer.Init(false, nullptr), 0);
  const DWORD now = platform::GetTickCount();
  consumer.NotifyServerAboutClientConnection(true, L"paused", kWidth, kHeight);
  NotifyMessage message{};
  ASSERT_TRUE(window.WaitMessage(std::chrono::milliseconds(10000), &message));
  EXPECT_EQ(message.wParam, 1u);
  g_fakeTick = now;
  ASSERT_EQ(Write(producer, 1), 0);
  g_fakeTick = now + 60000;
  ASSERT_EQ(Write(producer, 2), 0);
  ASSERT_TRUE(window.WaitMessage(std::chrono::milliseconds(10000), &message));
  EXPECT_EQ(message.message, channel::kClientCountMessage);
  EXPECT_EQ(message.wParam, 0u) << "the withdrawal is posted as any other";
  FrameDescriptor d{};
  std::vector<std::uint8_t> copy(kBytes);
  ASSERT_EQ(consumer.LockMediaSample(0, &d), 0);
  ASSERT_EQ(consumer.GetMediaSampleData(0, copy.data(), kBytes, L"paused", kWidth, kHeight), 0);
  consumer.UnlockMediaSample(0);
  ASSERT_TRUE(window.WaitMessage(std::chrono::milliseconds(10000), &message));
  EXPECT_EQ(message.wParam, 1u) << "the paused consumer is back at its next frame";
}

TEST_F(FileMappingTest, KilledConsumersLeaveAFullTableAndALiveConsumerGetsIn) {
  CFileMapping producer, idle, live;
  ASSERT_EQ(producer.Init(true, nullptr), 0);
  ASSERT_EQ(idle.Init(false, nullptr), 0);
  ASSERT_EQ(live.Init(false, nullptr), 0);
  for (int i = 0; i < channel::kMaxClients - 3; ++i)
    idle.NotifyServerAboutClientConnection(true, L"idle-" + std::to_wstring(i), kWidth, kHeight);
  int n = 1;
  ASSERT_EQ(Write(producer, n++), 0);
  std::vector<CChildProcess> consumers(3);
  for (std::size_t i = 0; i < consumers.size(); ++i)
    ASSERT_TRUE(testing_support::StartChild(consumers[i], "channel-consumer",
                                            {"killed-" + std::to_string(i), "100000000", "whole"}, names.Environment()));
  ASSERT_TRUE(testing_support::WaitUntil(
      [&] {
        Write(producer, n++);
        return producer.GetClientCount() == channel::kMaxClients;
      },
      30000));
  for (CChildProcess& child : consumers) {
    child.Kill();
    int code = 0;
    ASSERT_TRUE(child.Wait(std::chrono::milliseconds(10000), &code));
  }
  std::vector<std::uint8_t> copy(kBytes);
  std::vector<ClientEntry> clients;
  const auto listed = [&] {
    Write(producer, n++);
    FrameDescriptor d{};
    if (live.LockMediaSample(0, &d) == 0) {
      live.GetMediaSampleData(0, copy.data(), kBytes, L"live", kWidth, kHeight);
      live.UnlockMediaSample(0);
    }
    producer.GetClientInfo(&clients);
    return clients.size() == 1;
  };
  ASSERT_TRUE(testing_support::WaitUntil(listed, 30000)) << clients.size() << " clients listed";
  EXPECT_EQ(clients[0].Name[0], u'l');
  EXPECT_EQ(producer.GetClientCount(), 1);
}

TEST_F(FileMappingTest, PeerKeepingTheAccessMutexDelaysEveryOperationOnlyForItsWait) {
  CFileMapping producer, consumer;
  ASSERT_EQ(producer.Init(true, nullptr), 0);
  ASSERT_EQ(consumer.Init(false, nullptr), 0);
  ASSERT_EQ(Write(producer, 1), 0);
  ASSERT_EQ(producer.SetServerResolution(kWidth, kHeight), 1);
  consumer.NotifyServerAboutClientConnection(true, L"c", kWidth, kHeight);
  FrameDescriptor held{};
  ASSERT_EQ(consumer.LockMediaSample(0, &held), 0);

  const std::wstring eventName = names.Value() + L"ready";
  CNamedEvent ready;
  bool created = false;
  ASSERT_EQ(ready.Create(eventName, true, false, &created), ERROR_SUCCESS);
  CChildProcess holder;  // a stopped or hung peer: holds the mutex and never lets go
  ASSERT_TRUE(testing_support::StartChild(holder, "channel-holder", {platform::WideToUtf8(eventName), "mutex"},
                                          names.Environment()));
  ASSERT_TRUE(ready.Wait(std::chrono::milliseconds(30000)));

  struct Results {
    int lock = 0, copy = 0, write = 0, resolutionSet = 0, logoSet = 0;
    bool leased = true;
    std::int32_t count = -1, logo = -1;
    std::pair<std::int32_t, std::int32_t> resolution{-1, -1};
    std::size_t listed = 99;
  };
  std::vector<std::uint8_t> copy(kBytes);
  auto calls = std::async(std::launch::async, [&] {
    Results r;
    FrameDescriptor d{};
    r.lock = consumer.LockMediaSample(0, &d);
    r.leased = consumer.LeaseFrame(0, L"c", nullptr).Held();
    r.copy = consumer.GetMediaSampleData(0, copy.data(), kBytes, L"c", kWidth, kHeight);
    consumer.UnlockMediaSample(0);
    consumer.NotifyServerAboutClientConnection(false, L"c", 0, 0);
    const auto frame = Pattern(2);
    r.write = producer.SetMediaSample(0, kWidth, kHeight, frame.data(), kBytes, 2, nullptr, nullptr);
    r.count = producer.GetClientCount();
    r.resolution = consumer.GetServerResolution();
    r.resolutionSet = producer.SetServerResolution(1, 1);
    r.logo = consumer.GetShowLogo();
    r.logoSet = producer.SetShowLogo(1);
    std::vector<ClientEntry> clients;
    producer.GetClientInfo(&clients);
    r.listed = clients.size();
    return r;
  });
  const bool returned = calls.wait_for(std::chrono::seconds(20)) == std::future_status::ready;
  holder.Kill();  // lets a call that hangs go, so that the test can end
  int code = 0;
  ASSERT_TRUE(holder.Wait(std::chrono::milliseconds(10000), &code));
  ASSERT_TRUE(returned) << "a call waited for the mutex without limit";
  const Results r = calls.get();
  EXPECT_EQ(r.lock, -1) << "no frame: the placeholder";
  EXPECT_FALSE(r.leased);
  EXPECT_EQ(r.copy, -1);
  EXPECT_EQ(r.write, -1);
  EXPECT_EQ(r.count, 0);
  EXPECT_EQ(r.resolution, (std::pair<std::int32_t, std::int32_t>{0, 0}));
  EXPECT_EQ(r.resolutionSet, 0);
  EXPECT_EQ(r.logo, 0);
  EXPECT_EQ(r.logoSet, 0);
  EXPECT_EQ(r.listed, 0u);

  // The peer gone, everything works again and nothing was changed meanwhile.
  EXPECT_EQ(producer.GetClientCount(), 1) << "the withdrawal did not happen";
  EXPECT_EQ(consumer.GetServerResolution(), (std::pair<std::int32_t, std::int32_t>{kWidth, kHeight}));
  consumer.UnlockMediaSample(0);  // the hold the timed-out unlock could not drop
  ASSERT_EQ(Write(producer, 3), 0);
  EXPECT_EQ(FrameNow(consumer), 3);
}

}  // namespace
