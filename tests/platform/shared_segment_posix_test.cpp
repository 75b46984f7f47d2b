// Opening a named object that does not exist makes no file, not even for a moment: a
// program that only looks for the channel must leave /dev/shm as it found it.
#include <sys/inotify.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

#include "platform/guid.h"
#include "platform/named_sync.h"
#include "platform/shared_memory.h"
#include "platform/wide_string.h"

namespace {

TEST(SharedSegmentPosixTest, OpeningAMissingNameCreatesNoFileEvenBriefly) {
  GUID guid{};
  platform::CreateGuid(&guid);
  const std::wstring key = platform::GuidToRegistryString(guid).substr(1, 36);
  const int watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  ASSERT_GE(watch, 0);
  ASSERT_GE(::inotify_add_watch(watch, "/dev/shm", IN_CREATE), 0);

  CSharedMemory region;
  CNamedMutex mutex;
  CNamedEvent event;
  EXPECT_EQ(region.Open(L"AmberlineTest-look-" + key), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(mutex.Open(L"AmberlineTest-look-" + key), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(event.Open(L"AmberlineTest-look-" + key), ERROR_FILE_NOT_FOUND);

  // The watch itself works: a Create is seen.
  bool created = false;
  ASSERT_EQ(event.Create(L"AmberlineTest-made-" + key, true, false, &created), ERROR_SUCCESS);

  std::string made;
  alignas(inotify_event) char buffer[8192];
  for (;;) {
    const ssize_t n = ::read(watch, buffer, sizeof buffer);
    if (n <= 0) break;
    for (ssize_t at = 0; at < n;) {
      const auto* e = reinterpret_cast<const inotify_event*>(buffer + at);
      if (e->len > 0) made += std::string(e->name) + "\n";
      at += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
    }
  }
  ::close(watch);
  const std::string key8 = platform::WideToUtf8(key);
  EXPECT_EQ(made.find("look-" + key8), std::string::npos) << made;
  EXPECT_NE(made.find("made-" + key8), std::string::npos) << made;
}

}  // namespace
