#include <algorithm>
#include <utility>

#include "platform/child_process.h"
#include "platform/wide_string.h"
#include "platform/windows_types.h"

namespace {

// Quotes one argument so that the C runtime of the child splits it back unchanged.
std::wstring Quote(const std::wstring& arg) {
  if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) return arg;
  std::wstring out = L"\"";
  std::size_t backslashes = 0;
  for (wchar_t c : arg) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    if (c == L'"') out.append(backslashes * 2 + 1, L'\\');
    else out.append(backslashes, L'\\');
    backslashes = 0;
    out.push_back(c);
  }
  out.append(backslashes * 2, L'\\');
  out.push_back(L'"');
  return out;
}

}  // namespace

bool CChildProcess::Launch(const std::string& program, const std::vector<std::string>& arguments,
                           const Environment& extraEnvironment, bool capture) {
  if (IsRunning()) return Refuse(program, "a child started by this object still runs");
  m_startError.clear();
  m_output.Reset();
  const std::wstring wideProgram = platform::Utf8ToWide(program);
  std::wstring commandLine = Quote(wideProgram);
  for (const auto& a : arguments) commandLine += L" " + Quote(platform::Utf8ToWide(a));

  std::wstring block;
  if (wchar_t* env = ::GetEnvironmentStringsW()) {
    for (const wchar_t* e = env; *e != L'\0'; e += wcslen(e) + 1) {
      const std::wstring entry(e);
      const std::size_t eq = entry.find(L'=', 1);
      const std::wstring name = entry.substr(0, eq);
      bool replaced = false;
      for (const auto& [key, value] : extraEnvironment)
        replaced = replaced || platform::EqualsNoCase(platform::Utf8ToWide(key), name);
      if (!replaced) block += entry + L'\0';
    }
    ::FreeEnvironmentStringsW(env);
  }
  for (const auto& [key, value] : extraEnvironment)
    block += platform::Utf8ToWide(key) + L"=" + platform::Utf8ToWide(value) + L'\0';
  block += L'\0';

  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  // Captured: input from NUL, output and error into one pipe whose write end alone is
  // inherited; this process keeps the read end.
  platform::CFileHandle readEnd, writeEnd, nothing;
  if (capture) {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE readHandle = nullptr, writeHandle = nullptr;
    if (!::CreatePipe(&readHandle, &writeHandle, &inherit, 0)) return FailStart(program, ::GetLastError());
    readEnd.Reset(readHandle);
    writeEnd.Reset(writeHandle);
    ::SetHandleInformation(readEnd.Get(), HANDLE_FLAG_INHERIT, 0);
    const HANDLE nul =
        ::CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0, nullptr);
    if (nul != INVALID_HANDLE_VALUE) nothing.Reset(nul);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = nothing.IsValid() ? nothing.Get() : nullptr;
    startup.hStdOutput = writeEnd.Get();
    startup.hStdError = writeEnd.Get();
  }
  PROCESS_INFORMATION info{};
  if (!::CreateProcessW(wideProgram.c_str(), commandLine.data(), nullptr, nullptr, TRUE, CREATE_UNICODE_ENVIRONMENT,
                        block.data(), nullptr, &startup, &info))
    return FailStart(program, ::GetLastError());
  ::CloseHandle(info.hThread);
  m_process.Reset(info.hProcess);
  if (capture) m_output = std::move(readEnd);
  return true;
}

bool CChildProcess::ReadOutput(std::chrono::milliseconds timeout, std::size_t maxBytes, std::string* output) {
  if (!m_output.IsValid() || output == nullptr) return false;
  const ULONGLONG deadline = ::GetTickCount64() + static_cast<ULONGLONG>(std::max<long long>(0, timeout.count()));
  std::size_t kept = 0;
  for (;;) {
    // An anonymous pipe has no overlapped reads: what is there is peeked at, so that a
    // ReadFile never blocks past the deadline.
    DWORD available = 0;
    if (!::PeekNamedPipe(m_output.Get(), nullptr, 0, nullptr, &available, nullptr)) {
      m_output.Reset();  // broken: every writer has closed its end
      return true;
    }
    if (available == 0) {
      if (::GetTickCount64() >= deadline) return false;
      ::Sleep(5);
      continue;
    }
    char buffer[4096];
    DWORD n = 0;
    if (!::ReadFile(m_output.Get(), buffer, std::min<DWORD>(available, sizeof buffer), &n, nullptr) || n == 0) {
      m_output.Reset();
      return true;
    }
    const std::size_t take = std::min(static_cast<std::size_t>(n), maxBytes - kept);
    output->append(buffer, take);
    kept += take;
  }
}

bool CChildProcess::Wait(std::chrono::milliseconds timeout, int* exitCode) {
  if (!IsRunning()) return false;
  if (::WaitForSingleObject(m_process.Get(), platform::WaitMilliseconds(timeout)) != WAIT_OBJECT_0) return false;
  DWORD code = 0;
  ::GetExitCodeProcess(m_process.Get(), &code);
  m_process.Reset();
  if (exitCode != nullptr) *exitCode = static_cast<int>(code);
  return true;
}

double CChildProcess::CpuSeconds() const {
  if (!IsRunning()) return -1;
  FILETIME created{}, exited{}, kernel{}, user{};
  if (!::GetProcessTimes(m_process.Get(), &created, &exited, &kernel, &user)) return -1;
  const auto ticks = [](const FILETIME& t) {
    return static_cast<double>((static_cast<unsigned long long>(t.dwHighDateTime) << 32) | t.dwLowDateTime);
  };
  return (ticks(kernel) + ticks(user)) * 1e-7;  // 100-ns units
}

void CChildProcess::Kill() {
  // 137 = 128 + 9, what a child killed by SIGKILL reports elsewhere.
  if (IsRunning()) ::TerminateProcess(m_process.Get(), 137);
}

void CChildProcess::RequestStop() { Kill(); }
