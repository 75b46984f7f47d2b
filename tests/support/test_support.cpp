#include "support/test_support.h"

#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <thread>

#include "platform/paths.h"
#include "platform/wide_string.h"

namespace testing_support {
namespace {

std::map<std::string, ChildMode>& Modes() {
  static std::map<std::string, ChildMode> modes;
  return modes;
}

}  // namespace

CTempDir::CTempDir() {
  static std::atomic<unsigned> counter{0};
  std::random_device random;
  const auto base = std::filesystem::temp_directory_path();
  for (;;) {
    std::ostringstream name;
    name << "amberline-test-" << random() << "-" << counter++;
    std::error_code error;
    if (std::filesystem::create_directory(base / name.str(), error)) {
      m_path = base / name.str();
      return;
    }
  }
}

CTempDir::~CTempDir() {
  std::error_code error;
  std::filesystem::remove_all(m_path, error);
}

CScopedEnvironment::~CScopedEnvironment() {
  for (auto it = m_saved.rbegin(); it != m_saved.rend(); ++it)
    platform::SetEnv(it->first.c_str(), it->second.first ? it->second.second.c_str() : nullptr);
}

void CScopedEnvironment::Remember(const std::wstring& name) {
  // An empty variable counts as unset: Windows does not keep empty ones either.
  const std::wstring old = platform::GetEnv(name.c_str());
  m_saved.push_back({name, {!old.empty(), old}});
}

void CScopedEnvironment::Set(const std::wstring& name, const std::wstring& value) {
  Remember(name);
  platform::SetEnv(name.c_str(), value.c_str());
}

void CScopedEnvironment::Unset(const std::wstring& name) {
  Remember(name);
  platform::SetEnv(name.c_str(), nullptr);
}

ChildModeRegistration::ChildModeRegistration(const char* name, ChildMode mode) { Modes()[name] = mode; }

int RunChildModeIfRequested(int argc, char** argv) {
  constexpr const char* kPrefix = "--child=";
  if (argc < 2 || std::strncmp(argv[1], kPrefix, std::strlen(kPrefix)) != 0) return -1;
  const auto it = Modes().find(argv[1] + std::strlen(kPrefix));
  if (it == Modes().end()) return 125;
  return it->second(argc - 2, argv + 2);
}

testing::AssertionResult StartChild(CChildProcess& child, const std::string& mode,
                                    const std::vector<std::string>& arguments,
                                    const CChildProcess::Environment& environment) {
  std::vector<std::string> all{"--child=" + mode};
  all.insert(all.end(), arguments.begin(), arguments.end());
  if (child.Start(platform::WideToUtf8(platform::GetHostExecutablePath()), all, environment))
    return testing::AssertionSuccess();
  return testing::AssertionFailure() << "child mode " << mode << ": " << child.StartError();
}

std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

std::string ReadText(const std::filesystem::path& path) {
  std::string text = ReadFile(path);
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i)
    if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) out.push_back(text[i]);
  return out;
}

void WriteFile(const std::filesystem::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::filesystem::path StagedModulePath() {
  return std::filesystem::path(AMBERLINE_STAGE_BIN_DIR) / AMBERLINE_MODULE_FILE_NAME;
}

bool WaitUntil(const std::function<bool()>& condition, int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

bool RaceReaderAgainstWriter(const std::function<void()>& read, const std::function<bool(int)>& write, int writes,
                             int reads) {
  std::atomic<bool> done{false};
  std::atomic<int> readCount{0};
  std::thread reader([&] {
    while (!done.load()) {
      read();
      ++readCount;
    }
  });
  bool ok = WaitUntil([&] { return readCount.load() > 0; }, 10000);
  const int readsBefore = readCount.load();
  for (int i = 0; ok && (i < writes || readCount.load() - readsBefore < reads) && i < 20 * writes; ++i) {
    ok = write(i);
  }
  done.store(true);
  reader.join();
  return ok;
}

}  // namespace testing_support
