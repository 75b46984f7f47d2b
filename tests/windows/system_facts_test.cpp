// What the system says about this process, its services and its pipes, as the camera's
// bridge and amberline-vcam --diagnose read it: facts of the test process checked against
// the system's own calls, a service that exists and one that does not, and a pipe seen
// without being connected to.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "platform/pipe_probe.h"
#include "platform/process_context.h"
#include "platform/service_query.h"
#include "platform/wide_string.h"

namespace {

std::string Text(const std::vector<std::wstring>& problems) {
  std::string text;
  for (const std::wstring& problem : problems) text += platform::WideToUtf8(problem) + "\n";
  return text;
}

TEST(ProcessContextTest, DescribesThisProcessAsTheSystemDoes) {
  const platform::ProcessContext context = platform::QueryProcessContext();
  EXPECT_EQ(context.processId, ::GetCurrentProcessId());
  DWORD session = 0;
  ASSERT_TRUE(::ProcessIdToSessionId(::GetCurrentProcessId(), &session));
  EXPECT_EQ(context.sessionId, session);
  EXPECT_EQ(context.userSid.rfind(L"S-1-5-", 0), 0u) << platform::WideToUtf8(context.userSid);
  EXPECT_FALSE(platform::IntegrityName(context.integrityRid).empty());
  EXPECT_TRUE(platform::EqualsNoCase(context.executable.substr(context.executable.rfind(L'\\') + 1),
                                     L"amberline_unit_tests.exe"))
      << platform::WideToUtf8(context.executable);
  EXPECT_FALSE(context.appContainer);
  EXPECT_TRUE(context.problems.empty()) << Text(context.problems);

  // "major.minor.build", all numbers.
  const std::wstring build = platform::WindowsBuild();
  EXPECT_EQ(std::count(build.begin(), build.end(), L'.'), 2) << platform::WideToUtf8(build);
  EXPECT_EQ(build.find_first_not_of(L"0123456789."), std::wstring::npos) << platform::WideToUtf8(build);

  std::wstring problem = L"(not cleared)";
  const std::vector<std::uint32_t> sessions = platform::ActiveUserSessions(&problem);
  EXPECT_TRUE(problem.empty()) << platform::WideToUtf8(problem);
  EXPECT_EQ(std::count(sessions.begin(), sessions.end(), 0u), 0) << "session 0 is never a user's";
}

TEST(ProcessContextTest, IntegrityLevelsHaveNamesAndOthersTheirNumber) {
  const std::pair<std::uint32_t, const wchar_t*> rows[] = {
      {SECURITY_MANDATORY_LOW_RID, L"low"},       {SECURITY_MANDATORY_MEDIUM_RID, L"medium"},
      {SECURITY_MANDATORY_HIGH_RID, L"high"},     {SECURITY_MANDATORY_SYSTEM_RID, L"system"},
      {0x2100, L"0x2100"}, {0, L"0x0000"},
  };
  for (const auto& [rid, name] : rows) EXPECT_EQ(platform::IntegrityName(rid), name) << rid;
}

TEST(ServiceQueryTest, AServiceThatIsThereAndOneThatIsNot) {
  const platform::ServiceFacts missing = platform::QueryServiceFacts(L"AmberlineNoSuchService");
  EXPECT_FALSE(missing.exists);
  ASSERT_EQ(missing.problems.size(), 1u) << Text(missing.problems);
  EXPECT_EQ(missing.problems[0], L"the service manager has no service named AmberlineNoSuchService");
  EXPECT_EQ(missing.processId, 0u);

  // The remote procedure call service is in every system, Wine's too, and runs.
  const platform::ServiceFacts rpc = platform::QueryServiceFacts(L"RpcSs");
  EXPECT_TRUE(rpc.exists) << Text(rpc.problems);
  EXPECT_FALSE(rpc.account.empty());
}

TEST(ServiceQueryTest, ServiceSidIsTheNtServiceIdentifierOfTheNameInAnyCase) {
  // The identifier Windows shows for its installer service.
  EXPECT_EQ(platform::ServiceSidText(L"TrustedInstaller"),
            L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464");
  const std::wstring sid = platform::ServiceSidText(L"FrameServer");
  EXPECT_EQ(sid.rfind(L"S-1-5-80-", 0), 0u) << platform::WideToUtf8(sid);
  EXPECT_EQ(platform::ServiceSidText(L"frameserver"), sid);
  EXPECT_STREQ(platform::ServiceSidTypeName(platform::ServiceSidType::kRestricted), L"restricted");
}

TEST(PipeProbeTest, SeesAServedPipeAlsoWhenBusyAndNotAMissingOne) {
  const std::wstring name = L"\\\\.\\pipe\\AmberlinePipeProbeTest_" + std::to_wstring(::GetCurrentProcessId());
  std::wstring problem;
  EXPECT_FALSE(platform::PipeExists(name, &problem));
  EXPECT_TRUE(problem.empty()) << "a missing pipe is an answer, not a failure: " << platform::WideToUtf8(problem);

  HANDLE server = ::CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE | PIPE_WAIT, 1, 4096, 4096, 0,
                                     nullptr);
  ASSERT_NE(server, INVALID_HANDLE_VALUE) << ::GetLastError();
  EXPECT_TRUE(platform::PipeExists(name, &problem)) << platform::WideToUtf8(problem);
  // The probe did not take the one instance: a client still gets it.
  HANDLE client = ::CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(client, INVALID_HANDLE_VALUE) << ::GetLastError();
  EXPECT_TRUE(platform::PipeExists(name, &problem)) << "every instance busy: " << platform::WideToUtf8(problem);
  ::CloseHandle(client);
  ::CloseHandle(server);
  EXPECT_FALSE(platform::PipeExists(name, &problem));
}

}  // namespace
