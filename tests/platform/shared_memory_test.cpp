#include "platform/named_object_folder.h"
#include "platform/shared_memory.h"

#include <gtest/gtest.h>

#include <chrono>
#include <algorithm>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/guid.h"
#include "platform/named_sync.h"
#include "platform/paths.h"
#include "platform/wide_string.h"
#include "support/test_support.h"

namespace {

// The GUID part alone, as it appears (unescaped) in a system name.
std::wstring NewGuidText() {
  GUID guid{};
  platform::CreateGuid(&guid);
  return platform::GuidToRegistryString(guid).substr(1, 36);
}

std::wstring UniqueName(const std::wstring& what) { return L"AmberlineTest-" + what + L"-" + NewGuidText(); }

bool OnWindows() { return platform::kPathSeparator == L'\\'; }

std::size_t Granularity() { return platform::AllocationGranularity(); }

// A mapped window that unmaps itself.
class CView {
 public:
  CView(const CSharedMemory& memory, std::uint64_t offset, std::size_t size)
      : m_bytes(static_cast<unsigned char*>(memory.MapView(offset, size))), m_size(size) {}
  ~CView() {
    if (m_bytes != nullptr) CSharedMemory::UnmapView(m_bytes, m_size);
  }
  CView(const CView&) = delete;
  CView& operator=(const CView&) = delete;
  unsigned char* Bytes() const { return m_bytes; }
  bool AllZero() const { return std::all_of(m_bytes, m_bytes + m_size, [](unsigned char b) { return b == 0; }); }

 private:
  unsigned char* m_bytes;
  std::size_t m_size;
};

TEST(SharedMemoryTest, OpenNeverCreatesARegion) {
  const std::wstring name = UniqueName(L"open");
  CSharedMemory memory;
  EXPECT_EQ(memory.Open(name), ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(memory.IsOpen());
  EXPECT_EQ(memory.Open(name), ERROR_FILE_NOT_FOUND);

  CSharedMemory creator;
  bool created = false;
  ASSERT_EQ(creator.Create(name, Granularity(), &created), ERROR_SUCCESS);
  EXPECT_TRUE(created);
  EXPECT_EQ(memory.Open(name), ERROR_SUCCESS);
  EXPECT_TRUE(memory.IsOpen());
}

TEST(SharedMemoryTest, LaterHoldersSeeTheSameBytes) {
  const std::wstring name = UniqueName(L"share");
  const std::size_t size = 2 * Granularity() + 100;
  CSharedMemory first;
  bool created = false;
  ASSERT_EQ(first.Create(name, size, &created), ERROR_SUCCESS);
  ASSERT_TRUE(created);
  CView whole(first, 0, size);
  ASSERT_NE(whole.Bytes(), nullptr);
  EXPECT_TRUE(whole.AllZero());
  std::memcpy(whole.Bytes() + Granularity(), "amber", 5);
  whole.Bytes()[size - 1] = 0x5A;

  CSharedMemory second;
  ASSERT_EQ(second.Create(name, size, &created), ERROR_SUCCESS);
  EXPECT_FALSE(created);
  CSharedMemory third;
  ASSERT_EQ(third.Open(name), ERROR_SUCCESS);

  CView tail(third, Granularity(), size - Granularity());
  ASSERT_NE(tail.Bytes(), nullptr);
  EXPECT_EQ(std::memcmp(tail.Bytes(), "amber", 5), 0);
  EXPECT_EQ(tail.Bytes()[size - Granularity() - 1], 0x5A);
  tail.Bytes()[0] = 'A';
  CView fromSecond(second, 0, size);
  ASSERT_NE(fromSecond.Bytes(), nullptr);
  EXPECT_EQ(fromSecond.Bytes()[Granularity()], 'A');
}

TEST(SharedMemoryTest, RegionVanishesWithItsLastHolder) {
  const std::wstring name = UniqueName(L"lifetime");
  CSharedMemory a;
  bool created = false;
  ASSERT_EQ(a.Create(name, Granularity(), &created), ERROR_SUCCESS);
  {
    CView view(a, 0, Granularity());
    ASSERT_NE(view.Bytes(), nullptr);
    view.Bytes()[7] = 7;
  }
  CSharedMemory b;
  ASSERT_EQ(b.Open(name), ERROR_SUCCESS);
  a.Close();
  EXPECT_FALSE(a.IsOpen());

  // b still holds it: it lives on, bytes and all.
  CSharedMemory c;
  ASSERT_EQ(c.Open(name), ERROR_SUCCESS);
  {
    CView view(c, 0, Granularity());
    ASSERT_NE(view.Bytes(), nullptr);
    EXPECT_EQ(view.Bytes()[7], 7);
  }
  b.Close();
  c.Close();

  EXPECT_EQ(c.Open(name), ERROR_FILE_NOT_FOUND);
  ASSERT_EQ(c.Create(name, Granularity(), &created), ERROR_SUCCESS);
  EXPECT_TRUE(created);
  CView fresh(c, 0, Granularity());
  ASSERT_NE(fresh.Bytes(), nullptr);
  EXPECT_TRUE(fresh.AllZero());
}

TEST(SharedMemoryTest, ReopeningTheOnlyHolderKeepsTheRegion) {
  const std::wstring name = UniqueName(L"reopen");
  CSharedMemory memory;
  bool created = false;
  ASSERT_EQ(memory.Create(name, Granularity(), &created), ERROR_SUCCESS);
  {
    CView view(memory, 0, Granularity());
    ASSERT_NE(view.Bytes(), nullptr);
    view.Bytes()[0] = 42;
  }
  ASSERT_EQ(memory.Create(name, Granularity(), &created), ERROR_SUCCESS);
  EXPECT_FALSE(created);
  ASSERT_EQ(memory.Open(name), ERROR_SUCCESS);
  // A failed open leaves the held region as it was.
  EXPECT_EQ(memory.Open(UniqueName(L"missing")), ERROR_FILE_NOT_FOUND);
  ASSERT_TRUE(memory.IsOpen());
  CView view(memory, 0, Granularity());
  ASSERT_NE(view.Bytes(), nullptr);
  EXPECT_EQ(view.Bytes()[0], 42);
}

TEST(SharedMemoryTest, ViewsOutsideTheRegionAreRefused) {
  const std::wstring name = UniqueName(L"bounds");
  CSharedMemory small;
  bool created = false;
  ASSERT_EQ(small.Create(name, Granularity(), &created), ERROR_SUCCESS);

  EXPECT_EQ(small.MapView(0, 2 * Granularity()), nullptr);
  EXPECT_EQ(small.MapView(Granularity(), 1), nullptr);
  EXPECT_EQ(small.MapView(1ull << 40, 1), nullptr);
  EXPECT_EQ(small.MapView(1, 16), nullptr) << "offsets are multiples of the granularity";
  EXPECT_EQ(small.MapView(0, 0), nullptr);

  // Someone expecting a larger region gets the existing one and cannot map past its end.
  CSharedMemory large;
  ASSERT_EQ(large.Create(name, 4 * Granularity(), &created), ERROR_SUCCESS);
  EXPECT_FALSE(created);
  EXPECT_EQ(large.MapView(0, 4 * Granularity()), nullptr);
  CView fits(large, 0, Granularity());
  EXPECT_NE(fits.Bytes(), nullptr);

  CSharedMemory closed;
  EXPECT_EQ(closed.MapView(0, 1), nullptr);
  EXPECT_FALSE(CSharedMemory::UnmapView(nullptr, 1));
  EXPECT_EQ(closed.Create(UniqueName(L"empty"), 0, &created), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(closed.Create(L"", 1, &created), ERROR_INVALID_PARAMETER);
}

TEST(SharedMemoryTest, MovingTransfersTheHolder) {
  const std::wstring name = UniqueName(L"move");
  CSharedMemory memory;
  bool created = false;
  ASSERT_EQ(memory.Create(name, Granularity(), &created), ERROR_SUCCESS);
  CSharedMemory moved(std::move(memory));
  EXPECT_FALSE(memory.IsOpen());
  CSharedMemory assigned;
  assigned = std::move(moved);
  EXPECT_FALSE(moved.IsOpen());
  ASSERT_TRUE(assigned.IsOpen());
  CView view(assigned, 0, Granularity());
  EXPECT_NE(view.Bytes(), nullptr);
  CSharedMemory other;
  EXPECT_EQ(other.Open(name), ERROR_SUCCESS);
  other.Close();
  assigned.Close();
  EXPECT_EQ(other.Open(name), ERROR_FILE_NOT_FOUND);
}

TEST(SharedMemoryTest, NamesAreDistinctWhateverTheirCharacters) {
  const std::wstring base = UniqueName(L"chars");
  const std::vector<std::wstring> names = {
      base + L"/a", base + L"%2Fa", base + L"_a", base + L".a", base + L" \u00E9\u4E2D:a",
      // Long names that differ only at the end.
      base + std::wstring(180, L'x') + L"1", base + std::wstring(180, L'x') + L"2"};
  std::vector<CSharedMemory> regions(names.size());
  for (std::size_t i = 0; i < names.size(); ++i) {
    bool created = false;
    ASSERT_EQ(regions[i].Create(names[i], Granularity(), &created), ERROR_SUCCESS) << i;
    EXPECT_TRUE(created) << i;
    CView view(regions[i], 0, Granularity());
    ASSERT_NE(view.Bytes(), nullptr);
    view.Bytes()[0] = static_cast<unsigned char>(i + 1);
  }
  for (std::size_t i = 0; i < names.size(); ++i) {
    CSharedMemory again;
    ASSERT_EQ(again.Open(names[i]), ERROR_SUCCESS) << i;
    CView view(again, 0, Granularity());
    ASSERT_NE(view.Bytes(), nullptr);
    EXPECT_EQ(view.Bytes()[0], i + 1);
  }
}

// Linux keeps regions as files of the shared-memory file system.
std::vector<std::filesystem::path> SystemEntries(const std::wstring& guidText) {
  std::vector<std::filesystem::path> found;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(platform::NamedObjectFolder(), error))
    if (entry.path().filename().string().find(platform::WideToUtf8(guidText)) != std::string::npos)
      found.push_back(entry.path());
  return found;
}

TEST(SharedMemoryTest, RegionsArePrivateToTheUserAndLeaveNothingBehind) {
  if (OnWindows()) GTEST_SKIP() << "Windows keeps named objects in its object manager, not in files";
  const std::wstring guid = NewGuidText();
  {
    CSharedMemory memory;
    bool created = false;
    ASSERT_EQ(memory.Create(L"AmberlineTest-mode-" + guid, Granularity(), &created), ERROR_SUCCESS);
    const auto entries = SystemEntries(guid);
    ASSERT_FALSE(entries.empty());
    for (const auto& path : entries)
      EXPECT_EQ(std::filesystem::status(path).permissions(), std::filesystem::perms::owner_read |
                                                                 std::filesystem::perms::owner_write)
          << path;
  }
  EXPECT_TRUE(SystemEntries(guid).empty());
  CSharedMemory missing;
  EXPECT_EQ(missing.Open(L"AmberlineTest-mode-" + guid), ERROR_FILE_NOT_FOUND);
  EXPECT_TRUE(SystemEntries(guid).empty());
}

// Child: creates the region, fills it with 0xAB, tells the parent and waits to be killed.
int HoldRegion(int argc, char** argv) {
  if (argc < 3) return 2;
  const std::wstring name = platform::Utf8ToWide(argv[0]);
  CSharedMemory memory;
  bool created = false;
  if (memory.Create(name, Granularity(), &created) != ERROR_SUCCESS || !created) return 3;
  void* view = memory.MapView(0, Granularity());
  if (view == nullptr) return 4;
  std::memset(view, 0xAB, Granularity());
  CNamedEvent ready;
  CNamedEvent never;
  if (ready.Open(platform::Utf8ToWide(argv[1])) != ERROR_SUCCESS ||
      never.Create(platform::Utf8ToWide(argv[2]), true, false, &created) != ERROR_SUCCESS)
    return 5;
  ready.Set();
  never.Wait(std::chrono::milliseconds(60000));
  return 6;
}
AMBERLINE_CHILD_MODE("shm-hold", HoldRegion);

class SharedMemoryKilledHolderTest : public testing::TestWithParam<bool> {};

TEST_P(SharedMemoryKilledHolderTest, RegionOfAKilledHolderIsNotReused) {
  const bool openFirst = GetParam();
  const std::wstring name = UniqueName(L"killed");
  const std::wstring readyName = UniqueName(L"killed-ready");
  const std::wstring neverName = UniqueName(L"never");
  CNamedEvent ready;
  bool created = false;
  ASSERT_EQ(ready.Create(readyName, false, false, &created), ERROR_SUCCESS);
  CChildProcess child;
  ASSERT_TRUE(testing_support::StartChild(
      child, "shm-hold",
      {platform::WideToUtf8(name), platform::WideToUtf8(readyName), platform::WideToUtf8(neverName)}));
  ASSERT_TRUE(ready.Wait(std::chrono::milliseconds(30000)));
  {
    CSharedMemory peek;
    ASSERT_EQ(peek.Open(name), ERROR_SUCCESS);
    CView view(peek, 0, Granularity());
    ASSERT_NE(view.Bytes(), nullptr);
    EXPECT_EQ(view.Bytes()[0], 0xAB);
  }
  child.Kill();
  int code = 0;
  ASSERT_TRUE(child.Wait(std::chrono::milliseconds(30000), &code));
  CNamedEvent never;
  EXPECT_EQ(never.Open(neverName), ERROR_FILE_NOT_FOUND) << "died with its only holder";

  CSharedMemory memory;
  if (openFirst) {
    EXPECT_EQ(memory.Open(name), ERROR_FILE_NOT_FOUND);
  }
  ASSERT_EQ(memory.Create(name, Granularity(), &created), ERROR_SUCCESS);
  EXPECT_TRUE(created);
  CView view(memory, 0, Granularity());
  ASSERT_NE(view.Bytes(), nullptr);
  EXPECT_TRUE(view.AllZero());
}

INSTANTIATE_TEST_SUITE_P(AfterOpenOrDirectly, SharedMemoryKilledHolderTest, testing::Bool(),
                         [](const testing::TestParamInfo<bool>& info) {
                           return info.param ? std::string("OpenThenCreate") : std::string("Create");
                         });

}  // namespace
