#include "framework/am_thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

namespace {

constexpr DWORD kQuit = 0xFFFF;

// Answers every command with command + 1000 until kQuit, recording what it saw.
class CEchoThread : public CAMThread {
 public:
  ~CEchoThread() override { Close(); }
  std::vector<DWORD> m_seen;
  DWORD m_exit = 7;

 protected:
  DWORD ThreadProc() override {
    for (;;) {
      const DWORD command = GetRequest();
      m_seen.push_back(command);
      Reply(command + 1000);
      if (command == kQuit) return m_exit;
    }
  }
};

TEST(AMThreadTest, CallWorkerWithoutAThreadFailsAtOnce) {
  CEchoThread thread;
  EXPECT_FALSE(thread.ThreadExists());
  EXPECT_EQ(static_cast<HRESULT>(thread.CallWorker(1)), E_FAIL);
}

TEST(AMThreadTest, CommandsAreAnsweredInOrderAndTheExitCodeIsKept) {
  CEchoThread thread;
  ASSERT_TRUE(thread.Create());
  EXPECT_FALSE(thread.Create()) << "a second thread must not start while one exists";
  for (DWORD command = 0; command < 200; ++command) EXPECT_EQ(thread.CallWorker(command), command + 1000);
  EXPECT_EQ(thread.CallWorker(kQuit), kQuit + 1000);
  thread.Close();
  EXPECT_FALSE(thread.ThreadExists());
  EXPECT_EQ(thread.ExitCode(), 7u);
  ASSERT_EQ(thread.m_seen.size(), 201u);
  EXPECT_EQ(static_cast<HRESULT>(thread.CallWorker(1)), E_FAIL) << "after Close there is no thread to wait for";
  // A closed object can start a new thread.
  ASSERT_TRUE(thread.Create());
  EXPECT_EQ(thread.CallWorker(kQuit), kQuit + 1000);
}

// A worker that polls: CheckRequest must leave the command pending for GetRequest.
class CPollingThread : public CAMThread {
 public:
  ~CPollingThread() override { Close(); }
  std::atomic<int> m_checksSeen{0};

 protected:
  DWORD ThreadProc() override {
    DWORD polled = 0;
    while (!CheckRequest(&polled)) std::this_thread::yield();
    EXPECT_TRUE(CheckRequest(nullptr));
    m_checksSeen.fetch_add(1);
    const DWORD command = GetRequest();
    EXPECT_EQ(command, polled);
    Reply(command * 2);
    return 0;
  }
};

TEST(AMThreadTest, APolledCommandStaysPendingUntilReplied) {
  CPollingThread thread;
  ASSERT_TRUE(thread.Create());
  EXPECT_EQ(thread.CallWorker(21), 42u);
  thread.Close();
  EXPECT_EQ(thread.m_checksSeen.load(), 1);
}

TEST(AMThreadTest, ClientsOnSeveralThreadsEachGetTheirOwnAnswer) {
  CEchoThread thread;
  ASSERT_TRUE(thread.Create());
  std::vector<std::thread> clients;
  std::atomic<int> wrong{0};
  for (DWORD client = 0; client < 4; ++client) {
    clients.emplace_back([&thread, &wrong, client] {
      for (DWORD i = 0; i < 250; ++i) {
        const DWORD command = client * 1000 + i;
        if (thread.CallWorker(command) != command + 1000) wrong.fetch_add(1);
      }
    });
  }
  for (auto& client : clients) client.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_EQ(thread.CallWorker(kQuit), kQuit + 1000);
}

TEST(AMThreadTest, ConcurrentClosesWaitForTheThreadOnce) {
  for (int round = 0; round < 20; ++round) {
    CEchoThread thread;
    ASSERT_TRUE(thread.Create());
    EXPECT_EQ(thread.CallWorker(kQuit), kQuit + 1000);
    std::thread closerA([&thread] { thread.Close(); });
    std::thread closerB([&thread] { thread.Close(); });
    closerA.join();
    closerB.join();
    EXPECT_FALSE(thread.ThreadExists());
    EXPECT_EQ(thread.ExitCode(), 7u);
  }
}

}  // namespace
