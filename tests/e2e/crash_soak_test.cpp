// Crash and soak runs across processes (Linux): producers, consumers and camera hosts are
// started, killed with SIGKILL at random points (most of their time is spent inside
// channel operations, so many kills land inside one) and started again, for a bounded
// time; children of a deterministic mode kill themselves while they own the access mutex
// in the middle of a frame write or read, while they hold a frame, or right after they
// registered. Throughout, every consumer must keep making progress (a watchdog with a
// deadline), frames must come back after every producer restart, and at the end the
// client table must be consistent and no channel object may be left in the object folder.
//
// The suite runs when AMBERLINE_SOAK_SECONDS is set (ctest's "soak" test sets it; a
// longer run: AMBERLINE_SOAK_SECONDS=600 amberline_unit_tests --gtest_filter=CrashSoak*).
// Random choices come from a seed that is printed; AMBERLINE_SOAK_SEED=<seed> replays
// them (process timing still varies). Each run prints its counts.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "channel/file_mapping.h"
#include "platform/named_object_folder.h"
#include "platform/wide_string.h"
#include "support/channel_fixture.h"
#include "support/registry_fixture.h"
#include "support/test_support.h"

namespace {

using testing_support::WaitUntil;
using Clock = std::chrono::steady_clock;
using channel::ClientEntry;
using channel::FrameDescriptor;

constexpr int kFrameWidth = 160;
constexpr int kFrameHeight = 120;
constexpr std::int32_t kFrameBytes = kFrameWidth * kFrameHeight * 3;
// A consumer or producer that has not passed through its loop for this long hangs.
constexpr int kHangMs = 15000;
// Frames must flow again this long after a producer restart or a child's death at the
// latest (an abandoned hold alone costs CFileMapping::kAbandonedHoldMs).
constexpr int kResumeMs = 15000;
constexpr int kChildExitMs = 20000;

std::int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch()).count();
}

// Every byte of frame number n of producer generation g (a uniform grey, so that it also
// survives the camera's colour conversion as one value).
std::uint8_t FrameValue(std::int64_t generation, std::int64_t n) {
  return static_cast<std::uint8_t>(16 + (generation * 37 + n * 5) % 200);
}

// One child's progress, in a file every process maps. Children write, the test reads
// (stop is the other way round).
struct SoakSlot {
  std::atomic<std::int64_t> heartbeatMs;  // the latest pass through the child's loop
  std::atomic<std::int64_t> frames;       // frames written (producer) or read intact (consumer)
  std::atomic<std::int64_t> generation;   // producer generation of the latest frame read
  std::atomic<std::int64_t> frameNumber;  // number of that frame
  std::atomic<std::int64_t> placeholders; // reads that found no frame
  std::atomic<std::int64_t> torn;         // frames whose bytes disagree with their descriptor
  std::atomic<std::int64_t> copyFailures; // a held frame that could not be copied
  std::atomic<std::int32_t> stop;         // asks the child to end cleanly
};
constexpr int kSlots = 16;
struct SoakBoard {
  SoakSlot slots[kSlots];
};
static_assert(std::atomic<std::int64_t>::is_always_lock_free);

// The board file mapped into this process; a child maps the file it is given.
class CBoard {
 public:
  explicit CBoard(const std::string& path, bool create) {
    FILE* file = std::fopen(path.c_str(), create ? "w+b" : "r+b");
    if (file == nullptr) return;
    if (create) {
      std::fseek(file, sizeof(SoakBoard) - 1, SEEK_SET);
      std::fputc(0, file);
      std::fflush(file);
    }
    void* view = ::mmap(nullptr, sizeof(SoakBoard), PROT_READ | PROT_WRITE, MAP_SHARED, fileno(file), 0);
    std::fclose(file);
    if (view != MAP_FAILED) m_board = static_cast<SoakBoard*>(view);
  }
  ~CBoard() {
    if (m_board != nullptr) ::munmap(m_board, sizeof(SoakBoard));
  }
  CBoard(const CBoard&) = delete;
  CBoard& operator=(const CBoard&) = delete;
  bool IsOpen() const { return m_board != nullptr; }
  SoakSlot& operator[](int slot) { return m_board->slots[slot]; }
  void Clear(int slot) {
    SoakSlot& s = m_board->slots[slot];
    for (auto* v : {&s.frames, &s.generation, &s.frameNumber, &s.placeholders, &s.torn, &s.copyFailures}) v->store(0);
    s.heartbeatMs.store(NowMs());  // the watchdog counts from the start
    s.stop.store(0);
  }

 private:
  SoakBoard* m_board = nullptr;
};

// --- children ------------------------------------------------------------------------

// Producer: <board> <slot> <generation>. Writes uniform frames as fast as a short pause
// allows until asked to stop, then shuts its channel down.
int SoakProducer(int argc, char** argv) {
  if (argc != 3) return 2;
  CBoard board(argv[0], false);
  if (!board.IsOpen()) return 3;
  SoakSlot& slot = board[std::atoi(argv[1])];
  const std::int64_t generation = std::atoll(argv[2]);
  CFileMapping channel;
  if (channel.Init(true, nullptr) != 0) return 4;
  channel.SetServerResolution(kFrameWidth, kFrameHeight);
  std::vector<std::uint8_t> frame(kFrameBytes);
  for (std::int64_t n = 1; slot.stop.load() == 0; ++n) {
    slot.heartbeatMs.store(NowMs());
    std::memset(frame.data(), FrameValue(generation, n), frame.size());
    const std::int64_t stamp = NowMs();
    if (channel.SetMediaSample(0, kFrameWidth, kFrameHeight, frame.data(), kFrameBytes,
                               static_cast<std::int32_t>(generation), &n, &stamp) == 0)
      slot.frames.fetch_add(1);
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  channel.Destroy();
  return 0;
}
AMBERLINE_CHILD_MODE("soak-producer", SoakProducer);

// Consumer: <board> <slot> <client name>. Registers, then locks, copies and unlocks frame
// 0 in a tight loop, checking every copy against its descriptor, until asked to stop;
// then withdraws.
int SoakConsumer(int argc, char** argv) {
  if (argc != 3) return 2;
  CBoard board(argv[0], false);
  if (!board.IsOpen()) return 3;
  SoakSlot& slot = board[std::atoi(argv[1])];
  const std::wstring name = platform::Utf8ToWide(argv[2]);
  CFileMapping channel;
  if (channel.Init(false, nullptr) != 0) return 4;
  channel.NotifyServerAboutClientConnection(true, name, kFrameWidth, kFrameHeight);
  std::vector<std::uint8_t> copy(kFrameBytes);
  while (slot.stop.load() == 0) {
    slot.heartbeatMs.store(NowMs());
    FrameDescriptor d{};
    if (channel.LockMediaSample(0, &d) != 0) {
      slot.placeholders.fetch_add(1);
    } else {
      if (channel.GetMediaSampleData(0, copy.data(), kFrameBytes, name, kFrameWidth, kFrameHeight) != 0) {
        slot.copyFailures.fetch_add(1);
      } else {
        const std::uint8_t want = FrameValue(d.Aux32, d.Aux64A);
        if (std::all_of(copy.begin(), copy.end(), [want](std::uint8_t b) { return b == want; })) {
          slot.generation.store(d.Aux32);
          slot.frameNumber.store(d.Aux64A);
          slot.frames.fetch_add(1);
        } else {
          slot.torn.fetch_add(1);  // a producer killed in the middle of this frame's write
        }
      }
      channel.UnlockMediaSample(0);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  channel.NotifyServerAboutClientConnection(false, name, 0, 0);
  channel.Destroy();
  return 0;
}
AMBERLINE_CHILD_MODE("soak-consumer", SoakConsumer);

[[noreturn]] void KillSelf(int) {
  ::raise(SIGKILL);
  ::_exit(99);
}

// Memory whose first half can be read and written and whose second half faults, so that
// a copy through it ends this process halfway (see KillSelf).
std::uint8_t* HalfGuardedBuffer(std::size_t bytes) {
  const std::size_t page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  const std::size_t open = (bytes / 2 + page - 1) / page * page;
  const std::size_t total = (bytes + page - 1) / page * page + page;
  void* memory = ::mmap(nullptr, total, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (memory == MAP_FAILED) return nullptr;
  ::mprotect(static_cast<std::uint8_t*>(memory) + open, total - open, PROT_NONE);
  std::memset(memory, 0x5A, open);
  return static_cast<std::uint8_t*>(memory);
}

// Dies at a fixed point: <kind> <client name>, where kind is
//   mutex     owning the access mutex between two operations' worth of work
//   write     owning the mutex in the middle of a frame write (descriptor already new)
//   read      owning the mutex and a frame hold in the middle of a frame copy
//   hold      holding a frame between its lock and its copy
//   register  right after registering as a client
// Exits with 98 when it could not reach its point (no frame within the deadline).
int SoakDie(int argc, char** argv) {
  if (argc != 2) return 2;
  const std::string kind = argv[0];
  const std::wstring name = platform::Utf8ToWide(argv[1]);
  struct sigaction action {};
  action.sa_handler = KillSelf;
  ::sigaction(SIGSEGV, &action, nullptr);
  ::sigaction(SIGBUS, &action, nullptr);
  CFileMapping channel;
  if (channel.Init(kind == "write", nullptr) != 0) return 4;
  const auto lockFrame = [&] {
    const auto deadline = Clock::now() + std::chrono::milliseconds(kResumeMs);
    FrameDescriptor d{};
    while (Clock::now() < deadline) {
      if (channel.LockMediaSample(0, &d) == 0) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return false;
  };
  if (kind == "mutex") {
    if (!channel.WaitAccessMutex(INFINITE)) return 5;
  } else if (kind == "write") {
    std::uint8_t* source = HalfGuardedBuffer(kFrameBytes);
    if (source == nullptr) return 5;
    const std::int64_t n = 0;
    // A write is dropped while a consumer holds the frame: try until one is copied.
    const auto deadline = Clock::now() + std::chrono::milliseconds(kResumeMs);
    while (Clock::now() < deadline) {
      channel.SetMediaSample(0, kFrameWidth, kFrameHeight, source, kFrameBytes, -1, &n, &n);
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return 98;
  } else if (kind == "read") {
    std::uint8_t* destination = HalfGuardedBuffer(kFrameBytes);
    if (destination == nullptr) return 5;
    if (!lockFrame()) return 98;
    channel.GetMediaSampleData(0, destination, kFrameBytes, name, kFrameWidth, kFrameHeight);
    return 98;
  } else if (kind == "hold") {
    if (!lockFrame()) return 98;
  } else if (kind == "register") {
    channel.NotifyServerAboutClientConnection(true, name, kFrameWidth, kFrameHeight);
  } else {
    return 2;
  }
  KillSelf(0);
}
AMBERLINE_CHILD_MODE("soak-die", SoakDie);

// --- the test side -------------------------------------------------------------------

// Locks, copies and unlocks frame 0: true when a frame was there; *intact tells whether its
// bytes are the ones its descriptor names.
bool ReadFrame(CFileMapping& consumer, FrameDescriptor* d, bool* intact) {
  if (consumer.LockMediaSample(0, d) != 0) return false;
  std::vector<std::uint8_t> copy(kFrameBytes);
  const bool copied = consumer.GetMediaSampleData(0, copy.data(), kFrameBytes, L"reader", 0, 0) == 0;
  consumer.UnlockMediaSample(0);
  const std::uint8_t want = FrameValue(d->Aux32, d->Aux64A);
  *intact = copied && std::all_of(copy.begin(), copy.end(), [want](std::uint8_t b) { return b == want; });
  return true;
}

TEST(ChannelCrash, ProducerKilledInTheMiddleOfAFrameLeavesNoTornFrame) {
  testing_support::CChannelNamespace names;
  CFileMapping producer, consumer;
  ASSERT_EQ(producer.Init(true, nullptr), 0);
  ASSERT_EQ(consumer.Init(false, nullptr), 0);
  std::vector<std::uint8_t> frame(kFrameBytes, FrameValue(1, 1));
  std::int64_t n = 1;
  ASSERT_EQ(producer.SetMediaSample(0, kFrameWidth, kFrameHeight, frame.data(), kFrameBytes, 1, &n, &n), 0);

  CChildProcess writer;
  ASSERT_TRUE(testing_support::StartChild(writer, "soak-die", {"write", "writer"}, names.Environment()));
  int code = -1;
  ASSERT_TRUE(writer.Wait(std::chrono::milliseconds(kChildExitMs), &code));
  ASSERT_EQ(code, 128 + SIGKILL) << "the writer died in the middle of its copy";

  // The first lock meets the abandoned mutex; none may deliver the half-written frame.
  FrameDescriptor d{};
  bool intact = false;
  for (int i = 0; i < 3; ++i) {
    if (ReadFrame(consumer, &d, &intact)) {
      EXPECT_TRUE(intact) << "a torn frame (number " << d.Aux64A << ")";
    }
  }

  n = 2;
  std::memset(frame.data(), FrameValue(1, 2), frame.size());
  ASSERT_EQ(producer.SetMediaSample(0, kFrameWidth, kFrameHeight, frame.data(), kFrameBytes, 1, &n, &n), 0);
  ASSERT_TRUE(ReadFrame(consumer, &d, &intact));
  EXPECT_TRUE(intact);
  EXPECT_EQ(d.Aux64A, 2);
}

int SoakSeconds() {
  const char* text = std::getenv("AMBERLINE_SOAK_SECONDS");
  return text != nullptr ? std::atoi(text) : 0;
}

// The channel objects of this run that are still in the object folder (regions, lock objects,
// mutex and event segments).
std::vector<std::string> LeftInSharedMemory(const std::wstring& nameSpace) {
  std::vector<std::string> left;
  const std::string tag = platform::WideToUtf8(nameSpace);
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(platform::NamedObjectFolder(), error))
    if (entry.path().filename().string().find(tag) != std::string::npos) left.push_back(entry.path().filename());
  return left;
}

struct Counts {
  long starts = 0, kills = 0, restarts = 0, producerRestarts = 0, resumes = 0, deaths = 0;
  long mutexDeaths = 0, holdDeaths = 0, registerDeaths = 0, unreached = 0;
  long long frames = 0, placeholders = 0, torn = 0;
};

class CrashSoak : public testing::Test {
 protected:
  void SetUp() override {
    m_seconds = SoakSeconds();
    if (m_seconds <= 0) GTEST_SKIP() << "set AMBERLINE_SOAK_SECONDS to run the crash and soak tests";
    const char* seedText = std::getenv("AMBERLINE_SOAK_SEED");
    m_seed = seedText != nullptr ? std::strtoull(seedText, nullptr, 10) : std::random_device{}();
    std::printf("[ soak     ] %s: seed %llu (replay with AMBERLINE_SOAK_SEED=%llu), %d s in all\n",
                testing::UnitTest::GetInstance()->current_test_info()->name(), m_seed, m_seed, m_seconds);
    std::fflush(stdout);
    m_random.seed(m_seed);
    m_board = std::make_unique<CBoard>((m_dir.Path() / "board").string(), true);
    ASSERT_TRUE(m_board->IsOpen());
  }

  int Random(int low, int high) { return std::uniform_int_distribution<int>(low, high)(m_random); }
  std::string BoardPath() const { return (m_dir.Path() / "board").string(); }
  SoakSlot& Slot(int slot) { return (*m_board)[slot]; }

  bool Start(CChildProcess& child, int slot, const std::string& mode, const std::vector<std::string>& arguments) {
    if (slot >= 0) m_board->Clear(slot);
    ++m_counts.starts;
    return static_cast<bool>(testing_support::StartChild(child, mode, arguments, m_names.Environment()));
  }
  // SIGKILL, and the exit seen.
  void Kill(CChildProcess& child) {
    child.Kill();
    int code = 0;
    ASSERT_TRUE(child.Wait(std::chrono::milliseconds(kChildExitMs), &code)) << "a killed child did not end";
    ++m_counts.kills;
  }
  // Asks the child in slot to end cleanly and expects exit status 0.
  void Stop(CChildProcess& child, int slot, const char* what) {
    Slot(slot).stop.store(1);
    int code = -1;
    ASSERT_TRUE(child.Wait(std::chrono::milliseconds(kChildExitMs), &code)) << what << " did not stop (hang)";
    EXPECT_EQ(code, 0) << what;
  }

  int m_seconds = 0;
  unsigned long long m_seed = 0;
  std::mt19937_64 m_random;
  testing_support::CChannelNamespace m_names;
  testing_support::CTempDir m_dir;
  std::unique_ptr<CBoard> m_board;
  Counts m_counts;
};

constexpr int kProducerSlot = 0;
constexpr int kConsumers = 4;
constexpr int kFirstConsumerSlot = 1;

TEST_F(CrashSoak, ChannelKeepsWorkingThroughKilledProducersAndConsumers) {
  const auto end = Clock::now() + std::chrono::seconds(std::max(10, m_seconds * 55 / 100));
  long generation = 1;
  long nameCounter = 0;
  CChildProcess producer;
  ASSERT_TRUE(Start(producer, kProducerSlot, "soak-producer", {BoardPath(), "0", std::to_string(generation)}));
  struct Consumer {
    CChildProcess process;
    std::string name;
  };
  std::vector<Consumer> consumers(kConsumers);
  std::set<std::string> deadClients;  // names of consumers ended without withdrawing
  const auto startConsumer = [&](int i) {
    consumers[i].name = "soak-" + std::to_string(m_seed % 100000) + "-" + std::to_string(++nameCounter);
    return Start(consumers[i].process, kFirstConsumerSlot + i, "soak-consumer",
                 {BoardPath(), std::to_string(kFirstConsumerSlot + i), consumers[i].name});
  };
  for (int i = 0; i < kConsumers; ++i) ASSERT_TRUE(startConsumer(i));

  // Every consumer reads a frame of the current producer generation newer than `after`.
  const auto framesFlow = [&](const std::vector<std::int64_t>& after) {
    return WaitUntil(
        [&] {
          for (int i = 0; i < kConsumers; ++i) {
            SoakSlot& s = Slot(kFirstConsumerSlot + i);
            if (s.generation.load() != generation || s.frames.load() <= after[i]) return false;
          }
          return true;
        },
        kResumeMs);
  };
  const auto framesNow = [&] {
    std::vector<std::int64_t> now;
    for (int i = 0; i < kConsumers; ++i) now.push_back(Slot(kFirstConsumerSlot + i).frames.load());
    return now;
  };
  const auto describe = [&] {
    std::string text = "seed " + std::to_string(m_seed) + "; producer generation " + std::to_string(generation) + ";";
    for (int i = 0; i < kConsumers; ++i) {
      SoakSlot& s = Slot(kFirstConsumerSlot + i);
      text += " consumer " + std::to_string(i) + ": frames " + std::to_string(s.frames.load()) + " generation " +
              std::to_string(s.generation.load()) + " idle " + std::to_string(NowMs() - s.heartbeatMs.load()) +
              " ms;";
    }
    return text;
  };
  const auto collect = [&](int slot) {
    m_counts.frames += Slot(slot).frames.load();
    m_counts.placeholders += Slot(slot).placeholders.load();
    m_counts.torn += Slot(slot).torn.load();
    EXPECT_EQ(Slot(slot).copyFailures.load(), 0) << "a live consumer could not copy the frame it held; " << describe();
  };
  ASSERT_TRUE(framesFlow(std::vector<std::int64_t>(kConsumers, 0))) << "no frames at the start; " << describe();

  const char* kDeathKinds[] = {"mutex", "write", "read", "hold", "register"};
  while (Clock::now() < end && !HasFailure()) {
    const int action = Random(0, 99);
    if (action < 35) {
      // A consumer killed at a random moment of its loop and started again.
      const int i = Random(0, kConsumers - 1);
      std::this_thread::sleep_for(std::chrono::milliseconds(Random(0, 30)));
      collect(kFirstConsumerSlot + i);
      Kill(consumers[i].process);
      deadClients.insert(consumers[i].name);
      ASSERT_TRUE(startConsumer(i));
      ++m_counts.restarts;
    } else if (action < 55) {
      // The producer killed, possibly in the middle of a frame, and started again after a
      // while without one.
      std::this_thread::sleep_for(std::chrono::milliseconds(Random(0, 30)));
      m_counts.frames += Slot(kProducerSlot).frames.load();
      Kill(producer);
      std::this_thread::sleep_for(std::chrono::milliseconds(Random(0, 300)));
      const auto before = framesNow();
      ++generation;
      ASSERT_TRUE(Start(producer, kProducerSlot, "soak-producer", {BoardPath(), "0", std::to_string(generation)}));
      ++m_counts.producerRestarts;
      ASSERT_TRUE(framesFlow(before)) << "frames did not come back after a producer restart; " << describe();
      ++m_counts.resumes;
    } else if (action < 75) {
      // A child that dies at a fixed point inside the channel.
      const std::string kind = kDeathKinds[Random(0, 4)];
      const std::string name = "soak-die-" + std::to_string(++nameCounter);
      const auto before = framesNow();
      CChildProcess child;
      ASSERT_TRUE(Start(child, -1, "soak-die", {kind, name}));
      int code = -1;
      ASSERT_TRUE(child.Wait(std::chrono::milliseconds(kChildExitMs), &code)) << kind << " child hung; " << describe();
      ++m_counts.deaths;
      if (code == 98) {
        ++m_counts.unreached;
      } else {
        ASSERT_EQ(code, 128 + SIGKILL) << kind << " child";
        if (kind == "mutex" || kind == "write" || kind == "read") ++m_counts.mutexDeaths;
        if (kind == "read" || kind == "hold") ++m_counts.holdDeaths;
        if (kind == "register") ++m_counts.registerDeaths;
      }
      // A reader registers itself again on its copy (it never registered before).
      if (kind == "register" || kind == "read") deadClients.insert(name);
      ASSERT_TRUE(framesFlow(before)) << "frames stopped after a child died (" << kind << "); " << describe();
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(Random(20, 200)));
    }
    // Watchdog: nobody is stuck.
    for (int slot = kProducerSlot; slot < kFirstConsumerSlot + kConsumers; ++slot)
      ASSERT_LT(NowMs() - Slot(slot).heartbeatMs.load(), kHangMs)
          << (slot == kProducerSlot ? "the producer" : "a consumer") << " hangs; " << describe();
  }

  // The client table: the count matches the occupied entries, every running consumer is
  // in it once (unless the table is full), and what else is there belongs to clients
  // that ended without withdrawing (their entries stay while the region exists).
  const auto checkTable = [&](bool consumersRunning) {
    CFileMapping observer;
    ASSERT_EQ(observer.Init(false, nullptr), 0);
    std::vector<ClientEntry> entries;
    observer.GetClientInfo(&entries);
    EXPECT_EQ(observer.GetClientCount(), static_cast<std::int32_t>(entries.size()));
    std::multiset<std::string> names;
    for (const ClientEntry& entry : entries) {
      std::size_t n = 0;
      while (n < channel::kClientNameUnits && entry.Name[n] != 0) ++n;
      names.insert(platform::WideToUtf8(platform::Utf16ToWide(entry.Name, n)));
    }
    const bool full = entries.size() == channel::kMaxClients;
    for (const Consumer& c : consumers) {
      if (consumersRunning) {
        EXPECT_TRUE(names.count(c.name) == 1 || (full && names.count(c.name) == 0)) << c.name;
      } else {
        EXPECT_EQ(names.count(c.name), 0u) << c.name << " withdrew";
      }
    }
    for (const std::string& name : names) {
      const bool live = consumersRunning && std::any_of(consumers.begin(), consumers.end(),
                                                        [&](const Consumer& c) { return c.name == name; });
      // A client killed halfway through writing its entry leaves a part of its name.
      const bool partial = std::any_of(deadClients.begin(), deadClients.end(),
                                       [&](const std::string& dead) { return dead.compare(0, name.size(), name) == 0; });
      EXPECT_TRUE(live || partial) << "entry of unknown client " << name;
      if (!name.empty()) {
        EXPECT_EQ(names.count(name), 1u) << name << " is in the table more than once";
      }
    }
    std::printf("[ soak     ] client table: %zu entries (%zu of clients that died)%s\n", entries.size(),
                entries.size() - (consumersRunning ? std::min<std::size_t>(entries.size(), kConsumers) : 0),
                full ? ", full" : "");
  };
  // A consumer started last may not have registered yet: it registers before it reads.
  EXPECT_TRUE(WaitUntil(
      [&] {
        for (int i = 0; i < kConsumers; ++i)
          if (Slot(kFirstConsumerSlot + i).frames.load() == 0) return false;
        return true;
      },
      kResumeMs))
      << describe();
  if (!HasFailure()) checkTable(true);

  for (int i = 0; i < kConsumers; ++i) {
    collect(kFirstConsumerSlot + i);
    Stop(consumers[i].process, kFirstConsumerSlot + i, "a consumer");
  }
  if (!HasFailure()) checkTable(false);
  m_counts.frames += Slot(kProducerSlot).frames.load();
  Stop(producer, kProducerSlot, "the producer");

  EXPECT_EQ(m_counts.torn, 0) << "consumers read frames that a killed producer left half written";
  const auto left = LeftInSharedMemory(m_names.Value());
  EXPECT_TRUE(left.empty()) << "left in " << platform::NamedObjectFolder() << ": " << left.front();
  std::printf(
      "[ soak     ] channel: %ld starts, %ld kills, %ld consumer restarts, %ld producer restarts (%ld resumed), "
      "%ld deaths at fixed points (%ld owning the mutex, %ld holding a frame, %ld registered, %ld unreached), "
      "%lld frames written and read, %lld reads without a frame, %lld torn frames\n",
      m_counts.starts, m_counts.kills, m_counts.restarts, m_counts.producerRestarts, m_counts.resumes, m_counts.deaths,
      m_counts.mutexDeaths, m_counts.holdDeaths, m_counts.registerDeaths, m_counts.unreached, m_counts.frames,
      m_counts.placeholders, m_counts.torn);
}

// The last complete frame of a growing Y4M file: its luma at a few points, or nothing.
struct Y4mTail {
  long frames = 0;
  bool uniform = false;
  int luma = -1;
};

Y4mTail ReadY4mTail(const std::filesystem::path& path) {
  Y4mTail tail;
  FILE* file = std::fopen(path.string().c_str(), "rb");
  if (file == nullptr) return tail;
  char header[128] = {};
  if (std::fgets(header, sizeof header, file) != nullptr) {
    int width = 0, height = 0;
    if (std::sscanf(header, "YUV4MPEG2 W%d H%d", &width, &height) == 2 && width > 0 && height > 0) {
      const long headerBytes = static_cast<long>(std::strlen(header));
      const long frameBytes = 6 + 3L * width * height;
      std::fseek(file, 0, SEEK_END);
      tail.frames = (std::ftell(file) - headerBytes) / frameBytes;
      if (tail.frames > 0) {
        std::vector<std::uint8_t> luma(static_cast<std::size_t>(width) * height);
        std::fseek(file, headerBytes + (tail.frames - 1) * frameBytes + 6, SEEK_SET);
        if (std::fread(luma.data(), 1, luma.size(), file) == luma.size()) {
          tail.luma = luma[0];
          tail.uniform = std::all_of(luma.begin(), luma.end(), [&](std::uint8_t y) { return y == luma[0]; });
        }
      }
    }
  }
  std::fclose(file);
  return tail;
}

TEST_F(CrashSoak, CameraHostKilledMidStreamDoesNotStopTheOtherCameras) {
  const auto end = Clock::now() + std::chrono::seconds(std::max(10, m_seconds * 45 / 100));
  testing_support::CRegistrySandbox registry;
  {
    CChildProcess regsvr;
    int code = -1;
    ASSERT_TRUE(regsvr.Start(AMBERLINE_REGSVR_PATH, {"-s", testing_support::StagedModulePath().string()},
                             m_names.Environment()));
    ASSERT_TRUE(regsvr.Wait(std::chrono::milliseconds(kChildExitMs), &code));
    ASSERT_EQ(code, 0);
  }
  CChildProcess producer;
  ASSERT_TRUE(Start(producer, kProducerSlot, "soak-producer", {BoardPath(), "0", "1"}));

  constexpr int kHosts = 3;
  struct Host {
    CChildProcess process;
    std::filesystem::path y4m;
    int lastLuma = -1;
  };
  std::vector<Host> hosts(kHosts);
  int runs = 0;
  long long framesReceived = 0;
  const auto startHost = [&](Host& host) {
    std::error_code error;
    if (!host.y4m.empty()) std::filesystem::remove(host.y4m, error);
    host.y4m = m_dir.Path() / ("camera" + std::to_string(++runs) + ".y4m");
    host.lastLuma = -1;
    ++m_counts.starts;
    // Through a shell that gives its process to the capture tool, with the tool's
    // messages kept out of the test's output.
    return host.process.Start("/bin/sh",
                              {"-c", "exec \"$0\" \"$@\" > /dev/null", AMBERLINE_CAPTURE_PATH, "--size",
                               std::to_string(kFrameWidth) + "x" + std::to_string(kFrameHeight), "--seconds", "80000",
                               "--y4m", host.y4m.string()},
                              m_names.Environment());
  };
  // Each host delivers a producer frame (uniform) other than the one it showed last time.
  const auto newProducerFrame = [&](Host& host) {
    Y4mTail tail;
    const bool fresh = WaitUntil(
        [&] {
          tail = ReadY4mTail(host.y4m);
          return tail.uniform && tail.luma != host.lastLuma;
        },
        kResumeMs);
    host.lastLuma = tail.luma;
    return fresh;
  };
  for (Host& host : hosts) ASSERT_TRUE(startHost(host));
  for (int i = 0; i < kHosts; ++i) ASSERT_TRUE(newProducerFrame(hosts[i])) << "camera " << i << " shows no frames";

  long hostKills = 0;
  while (Clock::now() < end && !HasFailure()) {
    // One host killed at a random moment of its stream (inside FillBuffer, its copy or its
    // delivery, or its pause), the others checked, and the host started again.
    const int victim = Random(0, kHosts - 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(Random(50, 1500)));
    framesReceived += ReadY4mTail(hosts[victim].y4m).frames;
    Kill(hosts[victim].process);
    ++hostKills;
    for (int i = 0; i < kHosts; ++i) {
      if (i == victim) continue;
      ASSERT_TRUE(newProducerFrame(hosts[i])) << "camera " << i << " froze after camera " << victim
                                              << " was killed; seed " << m_seed;
    }
    ASSERT_TRUE(startHost(hosts[victim]));
    ++m_counts.restarts;
    ASSERT_TRUE(newProducerFrame(hosts[victim])) << "restarted camera " << victim << " shows no producer frames";
    if (Random(0, 1) == 0) {
      // What a camera does in the middle of FillBuffer, ended there: owning the mutex and
      // a frame hold halfway through its copy, or holding the frame before its copy.
      const std::string kind = Random(0, 1) == 0 ? "read" : "hold";
      CChildProcess child;
      ASSERT_TRUE(Start(child, -1, "soak-die", {kind, "soak-camera-die-" + std::to_string(runs)}));
      int code = -1;
      ASSERT_TRUE(child.Wait(std::chrono::milliseconds(kChildExitMs), &code)) << kind << " child hung";
      EXPECT_EQ(code, 128 + SIGKILL) << kind << " child";
      ++m_counts.deaths;
      for (int i = 0; i < kHosts; ++i)
        ASSERT_TRUE(newProducerFrame(hosts[i])) << "camera " << i << " froze after a reader died (" << kind << ")";
    }
    ASSERT_LT(NowMs() - Slot(kProducerSlot).heartbeatMs.load(), kHangMs) << "the producer hangs";
  }
  for (Host& host : hosts) {
    framesReceived += ReadY4mTail(host.y4m).frames;
    Kill(host.process);
  }
  const long long written = Slot(kProducerSlot).frames.load();
  Stop(producer, kProducerSlot, "the producer");
  const auto left = LeftInSharedMemory(m_names.Value());
  EXPECT_TRUE(left.empty()) << "left in " << platform::NamedObjectFolder() << ": " << left.front();
  std::printf("[ soak     ] cameras: %ld starts, %ld camera hosts killed and restarted, %ld readers died inside a "
              "frame read, %lld frames delivered by the cameras, %lld frames written\n",
              m_counts.starts, hostKills, m_counts.deaths, framesReceived, written);
}

}  // namespace
