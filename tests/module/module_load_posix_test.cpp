// Loading the module where its log path is a FIFO: the load never waits for a reader and
// nothing is written into the FIFO (POSIX only: Windows has no FIFOs in the file system).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>

#include "platform/shared_library.h"
#include "platform/wide_string.h"
#include "support/registry_fixture.h"

namespace {

using testing_support::CRegistrySandbox;

int LoadModule(int argc, char** argv) {
  if (argc != 1) return 2;
  CSharedLibrary library;
  return library.Load(platform::Utf8ToWide(argv[0])) ? 0 : 3;
}
AMBERLINE_CHILD_MODE("load-module", LoadModule);

// Loads the staged module in a child process; false when it did not finish in time.
bool LoadInChild(int* exitCode) {
  CChildProcess child;
  if (!testing_support::StartChild(child, "load-module", {testing_support::StagedModulePath().string()})) return false;
  if (child.Wait(std::chrono::milliseconds(20000), exitCode)) return true;
  child.Kill();
  return false;
}

TEST(ModuleLoadFifoTest, ALogPathThatIsAFifoGivesNoLogAndTheLoadNeverWaits) {
  CRegistrySandbox sandbox;
  sandbox.CreateLogFolder();
  const std::string fifo = sandbox.LogPath().string();
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);

  int exitCode = -1;
  ASSERT_TRUE(LoadInChild(&exitCode)) << "loading the module waited for a reader of the FIFO";
  EXPECT_EQ(exitCode, 0);

  // With a reader the open would succeed; the module still writes nothing into it.
  const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  ASSERT_TRUE(LoadInChild(&exitCode));
  EXPECT_EQ(exitCode, 0);
  char byte = 0;
  EXPECT_EQ(::read(reader, &byte, 1), 0) << "the module wrote into the FIFO";
  ::close(reader);
  struct stat status {};
  ASSERT_EQ(::stat(fifo.c_str(), &status), 0);
  EXPECT_TRUE(S_ISFIFO(status.st_mode));
}

}  // namespace
