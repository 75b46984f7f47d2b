// Where the named objects live: the user's own folder, which no other user can block, and
// in it no file that only looking for a name would make.
#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "platform/guid.h"
#include "platform/named_object_folder.h"
#include "platform/named_sync.h"
#include "platform/posix/object_folder.h"
#include "platform/shared_memory.h"
#include "platform/wide_string.h"
#include "support/test_support.h"

namespace {

TEST(SharedSegmentPosixTest, OpeningAMissingNameCreatesNoFileEvenBriefly) {
  GUID guid{};
  platform::CreateGuid(&guid);
  const std::wstring key = platform::GuidToRegistryString(guid).substr(1, 36);
  // Something of this user's holds the folder open while the test watches it.
  CNamedEvent holder;
  bool holderMade = false;
  ASSERT_EQ(holder.Create(L"AmberlineTest-hold-" + key, true, false, &holderMade), ERROR_SUCCESS);
  const int watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  ASSERT_GE(watch, 0);
  ASSERT_GE(::inotify_add_watch(watch, platform::NamedObjectFolder().c_str(), IN_CREATE), 0);

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

using platform::posix::EnsureObjectFolder;
using testing_support::CTempDir;
using platform::posix::ObjectFolder;
using platform::posix::ObjectFolderOf;
using platform::posix::ObjectFolderRoots;

constexpr uid_t kOtherUid = 12345;

// Who may change a file's owner: the tests that plant another user's folder need it.
bool MayChown() { return ::geteuid() == 0; }

mode_t ModeOf(const std::filesystem::path& path) {
  struct stat info {};
  return ::lstat(path.c_str(), &info) == 0 ? info.st_mode & 07777 : 0;
}

struct FolderChoiceCase {
  const char* what;
  // How <runtime>/<uid> is made: "none", "private", "wide", "other" (another user's),
  // "link" (a link to a private folder).
  const char* runtime;
  bool inRuntime;
};

TEST(ObjectFolderTest, TheRuntimeFolderIsUsedOnlyWhenItIsTheUsersPrivateFolder) {
  const FolderChoiceCase cases[] = {
      {"no runtime folder", "none", false},
      {"a private runtime folder", "private", true},
      {"a runtime folder others may enter", "wide", false},
      {"another user's runtime folder", "other", false},
      {"a link to a private folder", "link", false},
  };
  const uid_t uid = ::geteuid();
  for (const FolderChoiceCase& c : cases) {
    SCOPED_TRACE(c.what);
    if (std::string(c.runtime) == "other" && !MayChown()) continue;
    CTempDir dir;
    const ObjectFolderRoots roots{(dir.Path() / "run").string(), (dir.Path() / "shm").string()};
    std::filesystem::create_directories(dir.Path() / "run");
    std::filesystem::create_directories(dir.Path() / "shm");
    const std::filesystem::path runtime = dir.Path() / "run" / std::to_string(uid);
    const std::string how = c.runtime;
    if (how == "link") {
      ASSERT_EQ(::mkdir((dir.Path() / "elsewhere").c_str(), 0700), 0);
      std::filesystem::create_directory_symlink(dir.Path() / "elsewhere", runtime);
    } else if (how != "none") {
      ASSERT_EQ(::mkdir(runtime.c_str(), 0700), 0);
      if (how == "wide") {
        ASSERT_EQ(::chmod(runtime.c_str(), 0750), 0);
      }
      if (how == "other") {
        ASSERT_EQ(::chown(runtime.c_str(), kOtherUid, kOtherUid), 0);
      }
    }
    const ObjectFolder folder = ObjectFolderOf(roots, uid);
    EXPECT_EQ(folder.inRuntimeFolder, c.inRuntime);
    EXPECT_EQ(folder.path, c.inRuntime ? (runtime / "amberline").string()
                                       : (dir.Path() / "shm" / ("amberline-" + std::to_string(uid))).string());
    EXPECT_EQ(folder.runtimeFolder, runtime.string());
  }
}

struct FolderStateCase {
  const char* what;
  // What stands at the folder's place: "none", "mine" (mode below), "other" (another
  // user's folder), "file" (a file of the user's), "link" (a link to a private folder).
  const char* present;
  mode_t mode;
  bool create;
  int error;
};

TEST(ObjectFolderTest, OnlyTheUsersOwnFolderIsUsedAndAnotherUsersIsNamedInTheProblem) {
  const FolderStateCase cases[] = {
      {"missing, looking only", "none", 0, false, ENOENT},
      {"missing, creating", "none", 0, true, 0},
      {"the user's own", "mine", 0700, false, 0},
      {"the user's own, others may enter", "mine", 0755, true, 0},
      {"the user's own, narrower", "mine", 0500, false, 0},
      {"another user's folder", "other", 0700, true, EACCES},
      {"another user's folder, looking only", "other", 0777, false, EACCES},
      {"a file", "file", 0600, true, EACCES},
      {"a link to a private folder", "link", 0700, true, EACCES},
  };
  const uid_t uid = ::geteuid();
  const mode_t umaskBefore = ::umask(0);  // a new folder is 0700 whatever the umask lets through
  for (const FolderStateCase& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string present = c.present;
    if (present == "other" && !MayChown()) continue;
    CTempDir dir;
    const ObjectFolder folder = ObjectFolderOf(ObjectFolderRoots{(dir.Path() / "run").string(), dir.Path().string()}, uid);
    const std::filesystem::path path = folder.path;
    if (present == "mine" || present == "other") {
      ASSERT_EQ(::mkdir(path.c_str(), 0700), 0);
      ASSERT_EQ(::chmod(path.c_str(), c.mode), 0);
      if (present == "other") {
        ASSERT_EQ(::chown(path.c_str(), kOtherUid, kOtherUid), 0);
      }
    } else if (present == "file") {
      const int file = ::open(path.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, c.mode);
      ASSERT_GE(file, 0);
      ::close(file);
    } else if (present == "link") {
      ASSERT_EQ(::mkdir((dir.Path() / "elsewhere").c_str(), 0700), 0);
      std::filesystem::create_directory_symlink(dir.Path() / "elsewhere", path);
    }
    std::string problem;
    EXPECT_EQ(EnsureObjectFolder(folder, uid, c.create, &problem), c.error);
    if (c.error == 0) {
      EXPECT_TRUE(std::filesystem::is_directory(path));
      EXPECT_EQ(ModeOf(path), 0700u);
      EXPECT_EQ(problem, "");
    } else if (c.error == ENOENT) {
      EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(path)));
    } else {
      // The problem says whose it is and how it goes away; nothing there was changed.
      EXPECT_NE(problem.find(folder.path), std::string::npos) << problem;
      EXPECT_NE(problem.find(present == "other" ? "uid 12345" : "not a folder"), std::string::npos) << problem;
      if (present == "other") {
        EXPECT_NE(problem.find("sudo rm -r " + folder.path), std::string::npos) << problem;
        EXPECT_NE(problem.find(folder.runtimeFolder), std::string::npos) << problem;
        EXPECT_EQ(ModeOf(path), c.mode);
      }
    }
  }
  ::umask(umaskBefore);
}

// An object in the user's folder that the user did not make (only the administrator could
// put one there) is neither read nor a reason to fail: the name is made anew.
TEST(ObjectFolderTest, AnObjectOfAnotherOwnerInTheFolderIsReplacedNotUsed) {
  if (!MayChown()) GTEST_SKIP() << "planting another user's object needs the administrator";
  GUID guid{};
  platform::CreateGuid(&guid);
  const std::wstring name = L"AmberlineTest-planted-" + platform::GuidToRegistryString(guid).substr(1, 36);
  {
    CNamedEvent probe;  // makes the folder
    bool made = false;
    ASSERT_EQ(probe.Create(name + L"-probe", true, false, &made), ERROR_SUCCESS);
  }
  const std::filesystem::path folder = platform::NamedObjectFolder();
  const std::filesystem::path region = folder / ("map-" + platform::WideToUtf8(name));
  const std::filesystem::path lock = folder / ("map-" + platform::WideToUtf8(name) + ".lock");
  for (const std::filesystem::path& path : {region, lock}) {
    const int file = ::open(path.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0666);
    ASSERT_GE(file, 0);
    ASSERT_EQ(::write(file, "planted!", 8), 8);
    ASSERT_EQ(::fchown(file, kOtherUid, kOtherUid), 0);
    ::close(file);
  }
  CSharedMemory memory;
  bool created = false;
  ASSERT_EQ(memory.Create(name, platform::AllocationGranularity(), &created), ERROR_SUCCESS);
  EXPECT_TRUE(created) << "the planted object was taken for the user's region";
  const auto* bytes = static_cast<const char*>(memory.MapView(0, platform::AllocationGranularity()));
  ASSERT_NE(bytes, nullptr);
  EXPECT_EQ(std::string(bytes, 8), std::string(8, '\0'));
  struct stat info {};
  ASSERT_EQ(::stat(region.c_str(), &info), 0);
  EXPECT_EQ(info.st_uid, ::geteuid());
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  CSharedMemory::UnmapView(const_cast<char*>(bytes), platform::AllocationGranularity());
  memory.Close();
  EXPECT_FALSE(std::filesystem::exists(region));
  EXPECT_FALSE(std::filesystem::exists(lock));
}

}  // namespace
