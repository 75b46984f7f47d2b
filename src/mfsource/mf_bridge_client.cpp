#include "mfsource/mf_bridge_client.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <utility>

#include "diagnostics/log_file.h"
#include "platform/pipe_probe.h"
#include "platform/process_context.h"

namespace {

using namespace std::chrono_literals;

constexpr auto kFailureReminder = 60s;

const wchar_t* ConnectMeaning(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND: return L"no bridge agent runs in that session (amberline-vcam --bridge)";
    case ERROR_ACCESS_DENIED: return L"the pipe's access list does not let this service in (see sc qsidtype FrameServer)";
    case ERROR_PIPE_BUSY: return L"every instance of the pipe is busy";
    default: return L"the pipe cannot be opened";
  }
}

}  // namespace

CMfBridgeClient::CMfBridgeClient(const bridge::FrameShape& shape, std::chrono::milliseconds budget,
                                 std::optional<std::uint32_t> forcedSession)
    : m_shape(shape),
      m_frameBytes(static_cast<std::size_t>(std::max<std::int64_t>(bridge::FramePayloadBytes(shape), 0))),
      m_budget(budget),
      m_forcedSession(forcedSession) {
  try {
    m_thread = std::thread([this] { ConnectLoop(); });
  } catch (...) {
    // Without the thread there is never a connection: every frame is the placeholder.
    g_Log.Write(0, L"Media Foundation bridge: the connection thread cannot be started; the placeholder is shown.\n");
  }
}

CMfBridgeClient::~CMfBridgeClient() {
  {
    CLockHolder<CLock> hold(m_lock);
    m_stopping = true;
    m_wake.notify_all();
  }
  if (m_thread.joinable()) m_thread.join();
  CLockHolder<CLock> hold(m_lock);
  m_pipe.Close();
  g_Log.Write(0, L"Media Foundation bridge: done, %I64u frames from the agent and %I64u placeholders.\n",
              static_cast<unsigned long long>(m_frames), static_cast<unsigned long long>(m_placeholders));
}

std::optional<std::uint32_t> CMfBridgeClient::ChooseSession() {
  std::wstring said;
  std::optional<std::uint32_t> chosen;
  if (m_forcedSession) {
    chosen = m_forcedSession;
    said = L"session " + std::to_wstring(*chosen) + L" (test seam)";
  } else {
    const std::uint32_t console = platform::ActiveConsoleSession();
    if (console != 0xFFFFFFFFu && console != 0 && platform::PipeExists(bridge::PipeName(console))) {
      chosen = console;
      said = L"session " + std::to_wstring(console) + L" (the console session, which has a bridge)";
    } else {
      std::wstring problem;
      std::vector<std::uint32_t> withBridge;
      std::wstring listed;
      for (const std::uint32_t session : platform::ActiveUserSessions(&problem)) {
        listed += (listed.empty() ? L"" : L", ") + std::to_wstring(session);
        if (platform::PipeExists(bridge::PipeName(session))) withBridge.push_back(session);
      }
      const std::wstring context = L"console session " +
                                   (console == 0xFFFFFFFFu ? std::wstring(L"none") : std::to_wstring(console)) +
                                   L", active sessions [" + listed + L"]" +
                                   (problem.empty() ? L"" : L" (" + problem + L")");
      if (withBridge.size() == 1) {
        chosen = withBridge.front();
        said = L"session " + std::to_wstring(*chosen) + L" (the only active session with a bridge; " + context + L")";
      } else if (withBridge.empty()) {
        said = L"none: no session has a bridge (" + context + L"); the placeholder is shown";
      } else {
        said = L"none: " + std::to_wstring(withBridge.size()) + L" sessions have a bridge, and which user asked "
               L"cannot be told (" + context + L"); the placeholder is shown";
      }
    }
  }
  if (said != m_lastChoiceSaid) {
    g_Log.Write(0, L"Media Foundation bridge: session %s.\n", said.c_str());
    m_lastChoiceSaid = said;
  }
  return chosen;
}

CPipeClient CMfBridgeClient::Attempt() {
  CPipeClient pipe;
  if (!m_session) m_session = ChooseSession();
  if (!m_session) return pipe;
  const std::wstring name = bridge::PipeName(*m_session);
  DWORD error = pipe.Connect(name);
  std::wstring failure;
  if (error == ERROR_SUCCESS) {
    std::uint32_t serverSession = 0xFFFFFFFFu;
    std::uint32_t serverProcess = 0;
    error = pipe.ServerSessionId(&serverSession);
    pipe.ServerProcessId(&serverProcess);
    if (error != ERROR_SUCCESS || serverSession != *m_session) {
      failure = L"the pipe's server runs in session " +
                (error == ERROR_SUCCESS ? std::to_wstring(serverSession) : std::wstring(L"(unreadable)")) +
                L", not " + std::to_wstring(*m_session) + L": it is not that session's bridge, so it gets nothing";
      error = ERROR_ACCESS_DENIED;
    } else {
      const bridge::MessageHeader hello = bridge::MakeHello(m_shape);
      bridge::MessageHeader reply{};
      error = pipe.Write(&hello, sizeof hello, kHelloLimit);
      if (error == ERROR_SUCCESS) error = pipe.Read(&reply, sizeof reply, kHelloLimit);
      if (error != ERROR_SUCCESS) {
        failure = L"the hello got no answer";
      } else if (const bridge::Field field = bridge::CheckHelloReply(reply, m_shape); field != bridge::Field::kNone) {
        failure = std::wstring(L"the hello's answer was rejected (its ") + bridge::FieldName(field) + L")";
        error = ERROR_INVALID_DATA;
      } else {
        g_Log.Write(0, L"Media Foundation bridge: connected to %s: server session %lu, process %lu, protocol version %u, "
                       L"%dx%d %s.\n",
                    name.c_str(), static_cast<unsigned long>(serverSession), static_cast<unsigned long>(serverProcess),
                    static_cast<unsigned>(bridge::kVersion), static_cast<int>(m_shape.width),
                    static_cast<int>(m_shape.height), bridge::FormatName(m_shape.format));
        m_lastError = ERROR_SUCCESS;
        m_failures = 0;
        return pipe;
      }
    }
  } else {
    failure = ConnectMeaning(error);
  }
  pipe.Close();
  ++m_failures;
  const auto now = std::chrono::steady_clock::now();
  if (error != m_lastError || now - m_lastFailureSaid >= kFailureReminder) {
    g_Log.Write(0, L"Media Foundation bridge: %s: system error %lu: %s (attempt %u); the placeholder is shown.\n",
                name.c_str(), static_cast<unsigned long>(error), failure.c_str(), m_failures);
    m_lastError = error;
    m_lastFailureSaid = now;
  }
  return pipe;
}

void CMfBridgeClient::ConnectLoop() {
  std::chrono::seconds backOff = kFirstBackOff;
  std::unique_lock<CLock> lock(m_lock);
  // Held from here on except across Attempt, which touches nothing m_lock guards; the
  // waits below release and retake it inside the condition variable.
  m_lock.AssertHeld();
  while (!m_stopping) {
    if (m_connected) {
      // Woken when Fetch drops the connection (or at the end).
      m_wake.wait(lock);
      if (!m_connected && !m_stopping) {
        // Not at once: an agent that breaks every connection is not hammered.
        m_wake.wait_for(lock, backOff, [this]() REQUIRES(m_lock) { return m_stopping; });
      }
      continue;
    }
    lock.unlock();
    CPipeClient pipe = Attempt();
    lock.lock();
    if (pipe.IsOpen()) {
      m_pipe = std::move(pipe);
      m_connected = true;
      backOff = kFirstBackOff;
      continue;
    }
    m_wake.wait_for(lock, backOff, [this]() REQUIRES(m_lock) { return m_stopping; });
    backOff = std::min<std::chrono::seconds>(backOff * 2, kLongestBackOff);
  }
}

void CMfBridgeClient::DropLocked() {
  m_pipe.Close();
  m_connected = false;
  m_outstanding = false;
  m_lateSince.reset();
  m_haveFrame = false;
  m_wake.notify_all();
}

void CMfBridgeClient::SayLink(Link link) {
  if (link == m_link) return;
  m_link = link;
  const wchar_t* text = L"";
  switch (link) {
    case Link::kNone: return;
    case Link::kLive: text = L"live: the producer's frames"; break;
    case Link::kNoProducer: text = L"no producer in that session; the placeholder is shown"; break;
    case Link::kProducerStopped: text = L"the producer stopped; the placeholder is shown"; break;
    case Link::kAgentGone: text = L"no bridge agent connected; the placeholder is shown"; break;
  }
  g_Log.Write(0, L"Media Foundation bridge: %s.\n", text);
}

void CMfBridgeClient::CopyPacked(const std::uint8_t* packed, const OutputPicture& picture) {
  const bool nv12 = picture.format == PixelFormat::kNv12;
  const std::size_t row = static_cast<std::size_t>(picture.width) * (nv12 ? 1 : 4);
  const std::size_t rows = static_cast<std::size_t>(picture.height) + (nv12 ? picture.height / 2 : 0);
  const auto stride = static_cast<std::size_t>(picture.stride);
  if (stride == row) {
    std::memcpy(picture.buffer, packed, row * rows);
    return;
  }
  for (std::size_t y = 0; y < rows; ++y) std::memcpy(picture.buffer + y * stride, packed + y * row, row);
}

bool CMfBridgeClient::IsConnected() {
  CLockHolder<CLock> hold(m_lock);
  return m_connected;
}

bool CMfBridgeClient::Fetch(const OutputPicture& picture, bridge::Status* status) {
  if (status != nullptr) *status = bridge::Status::kNoProducer;
  CLockHolder<CLock> hold(m_lock);
  const bool shapeFits = picture.width == m_shape.width && picture.height == m_shape.height &&
                         picture.stride >= picture.width * (m_shape.format == bridge::Format::kNv12 ? 1 : 4) &&
                         IsUsable(picture) && m_frameBytes > 0;
  if (!m_connected || !shapeFits) {
    ++m_placeholders;
    SayLink(Link::kAgentGone);
    return false;
  }
  const auto deadline = std::chrono::steady_clock::now() + m_budget;
  const auto left = [&] {
    return std::max(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()),
                    std::chrono::milliseconds(1));
  };
  // One request at a time: a reply still due is waited for again instead of asking anew.
  DWORD error = ERROR_SUCCESS;
  if (!m_outstanding) {
    const bridge::MessageHeader request = bridge::MakeFrameRequest(++m_sequence);
    error = m_pipe.Write(&request, sizeof request, left());
  }
  const std::uint32_t sequence = m_sequence;
  bridge::MessageHeader reply{};
  std::size_t arrived = 0;
  if (error == ERROR_SUCCESS) error = m_pipe.Read(&reply, sizeof reply, left(), &arrived);
  const auto now = std::chrono::steady_clock::now();
  if (error == WAIT_TIMEOUT && arrived == 0 && (!m_lateSince || now - *m_lateSince < kLateLimit)) {
    // A slow agent (a busy machine) is not a broken one: the stream is still in step, the
    // reply is read at the next frame, and this frame is the last one again.
    m_outstanding = true;
    if (!m_lateSince) m_lateSince = now;
    if (m_haveFrame) {
      CopyPacked(m_staging.data(), picture);
      ++m_frames;
      return true;
    }
    ++m_placeholders;
    return false;
  }
  m_outstanding = false;
  if (error != ERROR_SUCCESS) {
    g_Log.Write(0, L"Media Foundation bridge: the agent did not answer in time or went (system error %lu).\n",
                static_cast<unsigned long>(error));
    DropLocked();
    ++m_placeholders;
    SayLink(Link::kAgentGone);
    return false;
  }
  if (const bridge::Field field = bridge::CheckFrameReply(reply, m_shape, sequence); field != bridge::Field::kNone) {
    g_Log.Write(0, L"Media Foundation bridge: a reply was rejected (its %s); the connection is dropped.\n",
                bridge::FieldName(field));
    DropLocked();
    ++m_placeholders;
    SayLink(Link::kAgentGone);
    return false;
  }
  m_lateSince.reset();
  const auto replyStatus = static_cast<bridge::Status>(reply.Status);
  if (status != nullptr) *status = replyStatus;
  if (replyStatus == bridge::Status::kLive) {
    if (m_staging.size() != m_frameBytes) {
      try {
        m_staging.assign(m_frameBytes, 0);
      } catch (...) {
        DropLocked();
        ++m_placeholders;
        return false;
      }
    }
    // Its header has come, so its bytes are on their way: they get a budget of their own.
    error = m_pipe.Read(m_staging.data(), m_frameBytes, m_budget);
    if (error != ERROR_SUCCESS) {
      g_Log.Write(0, L"Media Foundation bridge: a frame arrived incomplete (system error %lu); the connection is "
                     L"dropped.\n",
                  static_cast<unsigned long>(error));
      DropLocked();
      ++m_placeholders;
      SayLink(Link::kAgentGone);
      return false;
    }
    m_haveFrame = true;
    if (!m_firstLiveSaid) {
      g_Log.Write(0, L"Media Foundation bridge: first live frame, %dx%d %s.\n", static_cast<int>(m_shape.width),
                  static_cast<int>(m_shape.height), bridge::FormatName(m_shape.format));
      m_firstLiveSaid = true;
    }
  } else if (replyStatus != bridge::Status::kNoNewFrame || !m_haveFrame) {
    // No frame this time: what is shown now says why.
    m_haveFrame = false;
    ++m_placeholders;
    SayLink(replyStatus == bridge::Status::kNoProducer ? Link::kNoProducer : Link::kProducerStopped);
    return false;
  }
  // A live frame, or the last one again while the producer has none new.
  CopyPacked(m_staging.data(), picture);
  ++m_frames;
  SayLink(Link::kLive);
  return true;
}
