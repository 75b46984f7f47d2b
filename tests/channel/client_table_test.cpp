#include "channel/client_table.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "channel/client_expiry.h"
#include "channel/hold_ledger.h"

using channel::ClientEntry;
using channel::FrameDescriptor;
using channel::RegionHeader;

namespace {

std::unique_ptr<RegionHeader> EmptyHeader() {
  auto header = std::make_unique<RegionHeader>();
  std::memset(header.get(), 0, sizeof(RegionHeader));
  return header;
}

constexpr std::uint32_t kWrap = std::numeric_limits<std::uint32_t>::max();

}  // namespace

// An entry is withdrawn only once it has not been seen for longer than the limit,
// measured in 32-bit ticks: a tick count that wrapped between the last sight and now is
// the same distance as one that did not.
struct ExpiryRow {
  const char* name;
  std::uint32_t lastSeen;
  std::uint32_t now;
  bool withdrawn;
};

class ClientTableExpiryTest : public testing::TestWithParam<ExpiryRow> {};

TEST_P(ClientTableExpiryTest, EntryGoesOnlyPastTheLimit) {
  const ExpiryRow& row = GetParam();
  auto header = EmptyHeader();
  CClientTable table(header.get());
  table.Register(true, u"cam", 640, 480, row.lastSeen);
  table.Register(true, u"fresh", 320, 240, row.now);
  ASSERT_EQ(header->ClientCount, 2);
  EXPECT_EQ(table.WithdrawNotSeenFor(channel::kStaleClientMs, row.now), row.withdrawn ? 1 : 0);
  EXPECT_EQ(header->ClientCount, row.withdrawn ? 1 : 2);
  EXPECT_EQ(header->Clients[0].InUse, row.withdrawn ? 0 : 1);
  EXPECT_EQ(header->Clients[1].InUse, 1) << "an entry seen now stays";
  if (row.withdrawn) {
    EXPECT_EQ(header->Clients[0].Width, 0);
    EXPECT_EQ(header->Clients[0].Height, 0);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Ticks, ClientTableExpiryTest,
    testing::Values(ExpiryRow{"AtTheLimit", 1000, 1000 + channel::kStaleClientMs, false},
                    ExpiryRow{"OnePast", 1000, 1001 + channel::kStaleClientMs, true},
                    ExpiryRow{"AtTheLimitAcrossTheWrap", kWrap - 100, channel::kStaleClientMs - 101, false},
                    ExpiryRow{"OnePastAcrossTheWrap", kWrap - 100, channel::kStaleClientMs - 100, true},
                    ExpiryRow{"SeenAtTheLastTickBeforeTheWrap", kWrap, channel::kStaleClientMs, true},
                    ExpiryRow{"SeenJustNow", 42, 42, false}),
    [](const testing::TestParamInfo<ExpiryRow>& info) { return std::string(info.param.name); });

// A producer judges entries only once it has itself been writing for longer than the
// limit (consumers refresh LastSeen only while frames come), also across the tick wrap;
// a new set-up starts that wait again.
TEST(ClientExpiryTest, EntriesAreJudgedOnlyOnceTheProducerHasWrittenForLongerThanTheLimit) {
  struct Row {
    std::uint32_t firstWrite, now;
    bool judged;
  };
  const std::uint32_t limit = channel::kStaleClientMs;
  for (const Row& row : {Row{1000, 1000 + limit, false}, Row{1000, 1001 + limit, true},
                         Row{kWrap - 10, limit - 11, false}, Row{kWrap - 10, limit - 10, true}}) {
    SCOPED_TRACE(testing::Message() << "first write " << row.firstWrite << ", now " << row.now);
    auto header = EmptyHeader();
    CClientTable(header.get()).Register(true, u"gone", 640, 480, row.firstWrite - limit - 1);
    CClientExpiry expiry;
    EXPECT_EQ(expiry.Sweep(header.get(), row.firstWrite), 0) << "the first write judges nobody";
    EXPECT_EQ(expiry.Sweep(header.get(), row.now), row.judged ? 1 : 0);
    EXPECT_EQ(header->ClientCount, row.judged ? 0 : 1);
    if (row.judged) continue;
    expiry.Reset();
    EXPECT_EQ(expiry.Sweep(header.get(), row.now + limit), 0) << "a new set-up waits again";
  }
}

TEST(ClientTableTest, NamesAreMatchedWithinTheirFieldAndTheCountStepsWithoutOverflow) {
  auto header = EmptyHeader();
  CClientTable table(header.get());
  // A name longer than the field is stored cut to 63 units and found again by the same
  // long name (cut the same way), so a connect after it adds no second entry.
  const std::u16string longName(100, u'x');
  table.Register(true, longName, 1, 1, 7);
  table.Register(true, longName, 1, 1, 7);
  EXPECT_EQ(header->ClientCount, 1);
  EXPECT_EQ(CClientTable::NameOf(header->Clients[0]), std::wstring(channel::kClientNameUnits - 1, L'x'));
  EXPECT_TRUE(table.Touch(longName.substr(0, channel::kClientNameUnits - 1), 9));
  EXPECT_EQ(header->Clients[0].LastSeen, 9u);
  EXPECT_FALSE(table.Touch(u"other", 9));
  // A name with no terminator in the field (written by a peer) is read to the field's end.
  for (auto& unit : header->Clients[0].Name) unit = u'y';
  EXPECT_EQ(CClientTable::NameOf(header->Clients[0]).size(), static_cast<std::size_t>(channel::kClientNameUnits));
  // A count a peer left at the largest value steps over instead of overflowing.
  header->ClientCount = std::numeric_limits<std::int32_t>::max();
  table.Register(true, u"next", 1, 1, 1);
  EXPECT_EQ(header->ClientCount, std::numeric_limits<std::int32_t>::min());
  EXPECT_EQ(table.Recount(), std::numeric_limits<std::int32_t>::min());
  EXPECT_EQ(header->ClientCount, 2);
  table.Register(false, u"next", 0, 0, 1);
  EXPECT_EQ(header->ClientCount, 1);
  std::vector<ClientEntry> copies;
  CClientTable::CopyOccupied(header.get(), &copies);
  ASSERT_EQ(copies.size(), 1u);
}

TEST(ClientTableTest, AFullTableTakesNoMoreEntries) {
  auto header = EmptyHeader();
  CClientTable table(header.get());
  for (int i = 0; i < channel::kMaxClients; ++i) {
    const std::string name = "client " + std::to_string(i);
    table.Register(true, std::u16string(name.begin(), name.end()), 1, 1, 1);
  }
  EXPECT_EQ(header->ClientCount, channel::kMaxClients);
  table.Register(true, u"one too many", 1, 1, 1);
  EXPECT_EQ(header->ClientCount, channel::kMaxClients);
}

// A hold blocks writes until it has blocked every write for the abandonment limit; then
// only the part of the count present at every write of that run is dropped.
TEST(HoldLedgerTest, AHoldIsAbandonedOnlyAtTheLimitAndOnlyTheLeastCountGoes) {
  for (const std::uint32_t start : {1000u, kWrap - 500}) {
    SCOPED_TRACE(start);
    CHoldLedger ledger;
    FrameDescriptor d{};
    d.LockCount = 2;
    EXPECT_FALSE(ledger.MayWrite(0, d, start));
    d.LockCount = 1;  // one holder let go meanwhile: the least count seen is 1
    EXPECT_FALSE(ledger.MayWrite(0, d, start + 1));
    d.LockCount = 3;  // and two new, live holds arrived
    // Ticks are marked with their low bit set, so the last tick inside the limit is 2 before it.
    EXPECT_FALSE(ledger.MayWrite(0, d, (start | 1u) + CHoldLedger::kAbandonedHoldMs - 2));
    EXPECT_EQ(d.LockCount, 3);
    EXPECT_FALSE(ledger.MayWrite(0, d, (start | 1u) + CHoldLedger::kAbandonedHoldMs)) << "live holds remain";
    EXPECT_EQ(d.LockCount, 2) << "only the hold present at every write is dropped";
    d.LockCount = 0;
    EXPECT_TRUE(ledger.MayWrite(0, d, start + 5000));
  }
  // Two indices run their own timers; a write forgets the run.
  CHoldLedger ledger;
  FrameDescriptor a{}, b{};
  a.LockCount = b.LockCount = 1;
  EXPECT_FALSE(ledger.MayWrite(0, a, 1));
  EXPECT_FALSE(ledger.MayWrite(1, b, 1 + CHoldLedger::kAbandonedHoldMs));
  EXPECT_TRUE(ledger.MayWrite(0, a, 1 + CHoldLedger::kAbandonedHoldMs));
  ledger.Forget(1);
  EXPECT_FALSE(ledger.MayWrite(1, b, 2 + 2 * CHoldLedger::kAbandonedHoldMs)) << "a forgotten run starts again";
}
