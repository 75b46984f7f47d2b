#include "bridge_agent.h"

#include <atomic>
#include <list>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include "channel/bridge_protocol.h"
#include "channel/channel_name.h"
#include "channel/file_mapping.h"
#include "composer/client_name.h"
#include "composer/frame_composer.h"
#include "composer/install_paths.h"
#include "composer/stream_images.h"
#include "diagnostics/log_file.h"
#include "mfsource/mf_format_list.h"
#include "mfsource/mf_host_context.h"
#include "mfsource/mf_last_producer_size.h"
#include "platform/pipe_server.h"
#include "platform/process_context.h"
#include "platform/service_query.h"
#include "platform/system_error.h"
#include "platform/wide_string.h"

namespace {

using namespace std::chrono_literals;

// How often a client's channel is looked for while no producer has made one.
constexpr auto kOpenRetry = 1s;
// A request is read in steps of this length, so that a stop request is seen quickly.
constexpr auto kReadStep = 250ms;
// How often a taken name is said again in the log.
constexpr auto kTakenNameReminder = 60s;

MfFormat FormatOf(const bridge::FrameShape& shape) {
  MfFormat format;
  format.width = shape.width;
  format.height = shape.height;
  format.format = shape.format == bridge::Format::kNv12 ? PixelFormat::kNv12 : PixelFormat::kBgra;
  return format;
}

// The service's identity for the access list, and whether LOCAL SERVICE must be let in as
// well (the service carries no SID of its own, or that cannot be told).
struct ServiceTrustee {
  std::wstring sid;
  bool grantLocalService = true;
  std::wstring why;
};

ServiceTrustee FrameServerTrustee() {
  ServiceTrustee trustee;
  trustee.sid = platform::ServiceSidText(L"FrameServer");
  const platform::ServiceFacts facts = platform::QueryServiceFacts(L"FrameServer");
  switch (facts.sidType) {
    case platform::ServiceSidType::kUnrestricted:
    case platform::ServiceSidType::kRestricted:
      trustee.grantLocalService = trustee.sid.empty();
      trustee.why = trustee.grantLocalService ? L"its service SID could not be resolved, so LOCAL SERVICE is let in"
                                              : L"the service carries its own SID (NT SERVICE\\FrameServer)";
      break;
    case platform::ServiceSidType::kNone:
      trustee.why = L"the service carries no SID of its own, so LOCAL SERVICE is let in (every LOCAL SERVICE service)";
      break;
    case platform::ServiceSidType::kUnknown:
      trustee.why = L"the service's SID type could not be read, so LOCAL SERVICE is let in as well";
      break;
  }
  return trustee;
}

}  // namespace

bool CBridgeAgent::SettingsHere(Settings* settings, std::string* problem) {
  const std::optional<std::uint32_t> seam = BridgeSessionFromEnvironment();
  const platform::ProcessContext self = platform::QueryProcessContext();
  if (!seam && self.sessionId == 0) {
    *problem = "the bridge runs in a signed-in user's session, and this is session 0 (a service's); it is started at "
               "logon by amberline-vcam --install";
    return false;
  }
  settings->session = seam.value_or(self.sessionId);
  settings->checkFrameServer = !seam.has_value();
  settings->picturesRoot = GetInstallationRoot(nullptr);
  return true;
}

CBridgeAgent::CBridgeAgent(Settings settings, std::ostream& out) : m_settings(std::move(settings)), m_out(out) {}

std::wstring CBridgeAgent::NameSpace() const { return channel::ChannelNamespace(m_settings.channelName); }

void CBridgeAgent::Say(const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  const std::wstring line = platform::FormatV(format, args);
  va_end(args);
  CLockHolder<CLock> hold(m_sayLock);
  g_Log.Write(0, L"Bridge: %s\n", line.c_str());
  m_out << "bridge: " << platform::WideToUtf8(line) << std::endl;
}

int CBridgeAgent::Run(const std::function<bool()>& stopRequested) {
  const platform::ProcessContext self = platform::QueryProcessContext();
  if (self.userSid.empty()) {
    Say(L"the user's SID cannot be read, so the pipe's access list cannot be made; the Windows 11 camera will show "
        L"its placeholder.");
    return 1;
  }
  const ServiceTrustee trustee = FrameServerTrustee();
  const std::wstring sddl = bridge::PipeSddl(self.userSid, trustee.sid, trustee.grantLocalService);
  const std::wstring name = bridge::PipeName(m_settings.session, NameSpace());
  Say(L"serving session %lu, %s, on %s", static_cast<unsigned long>(m_settings.session),
      m_settings.channelName.empty() ? L"the default channel" : (L"channel \"" + m_settings.channelName + L"\"").c_str(),
      name.c_str());
  Say(L"camera service identity: %s (%s)", trustee.sid.empty() ? L"LOCAL SERVICE" : trustee.sid.c_str(),
      trustee.why.c_str());
  Say(L"pipe access list: %s", sddl.c_str());
  if (!m_settings.checkFrameServer) Say(L"test mode: clients are not checked for the FrameServer process");

  struct Client {
    std::thread thread;
    std::atomic<bool> done{false};
  };
  std::list<Client> clients;
  std::atomic<unsigned> instances{0};
  CPipeServer listening;
  std::chrono::steady_clock::time_point lastTakenSaid{};
  bool takenSaid = false;
  std::chrono::steady_clock::time_point nextTry{};

  while (!stopRequested()) {
    for (auto it = clients.begin(); it != clients.end();) {
      if (it->done) {
        it->thread.join();
        it = clients.erase(it);
      } else {
        ++it;
      }
    }
    if (!listening.IsOpen()) {
      const auto now = std::chrono::steady_clock::now();
      if (now < nextTry) {
        std::this_thread::sleep_for(100ms);
        continue;
      }
      // The first instance claims the name; the others join it while a client holds one.
      const bool first = instances == 0;
      const DWORD error = listening.Create(name, sddl, first, kMaxInstances);
      if (error != ERROR_SUCCESS) {
        if (first && (error == ERROR_ACCESS_DENIED || error == ERROR_PIPE_BUSY)) {
          if (!takenSaid || now - lastTakenSaid >= kTakenNameReminder) {
            Say(L"bridge name taken: another process already has %s (%s); the Windows 11 camera will show its "
                L"placeholder. Trying again every %d seconds.",
                name.c_str(), platform::DescribeSystemError(error).c_str(), static_cast<int>(kRetryTakenName.count()));
            lastTakenSaid = now;
            takenSaid = true;
          }
          nextTry = now + kRetryTakenName;
        } else if (first) {
          Say(L"the pipe %s cannot be made (%s); trying again in %d seconds.", name.c_str(), platform::DescribeSystemError(error).c_str(),
              static_cast<int>(kRetryTakenName.count()));
          nextTry = now + kRetryTakenName;
        } else {
          // Every instance is serving a client: the next one waits for a free place.
          nextTry = now + 500ms;
        }
        continue;
      }
      if (first) {
        if (takenSaid) Say(L"the pipe name is free again; serving.");
        takenSaid = false;
        DWORD securityError = ERROR_SUCCESS;
        const std::wstring readBack = listening.SecurityText(&securityError);
        if (!readBack.empty()) Say(L"pipe made; its security descriptor reads %s", readBack.c_str());
      }
      ++instances;
    }
    const DWORD waited = listening.WaitForClient(200ms);
    if (waited == WAIT_TIMEOUT) continue;
    if (waited != ERROR_SUCCESS) {
      Say(L"waiting for a client failed (%s); the pipe is made again.", platform::DescribeSystemError(waited).c_str());
      listening.Close();
      --instances;
      continue;
    }
    // The connected instance goes to a thread of its own; a new one listens next.
    Client& client = clients.emplace_back();
    auto pipe = std::make_shared<CPipeServer>(std::move(listening));
    listening = CPipeServer();
    try {
      client.thread = std::thread([this, pipe, &client, &instances, stopRequested] {
        if (ClientAllowed(*pipe)) Serve(*pipe, stopRequested);
        pipe->Close();
        --instances;
        client.done = true;
      });
    } catch (...) {
      pipe->Close();
      --instances;
      clients.pop_back();
    }
  }
  for (Client& client : clients) client.thread.join();
  listening.Close();
  Say(L"stopped.");
  return 0;
}

bool CBridgeAgent::ClientAllowed(CPipeServer& pipe) {
  std::uint32_t processId = 0;
  std::uint32_t session = 0;
  const DWORD pidError = pipe.ClientProcessId(&processId);
  const DWORD sessionError = pipe.ClientSessionId(&session);
  if (pidError != ERROR_SUCCESS || sessionError != ERROR_SUCCESS) {
    Say(L"a client was refused: who it is cannot be read (%s).",
        platform::DescribeSystemError(pidError != ERROR_SUCCESS ? pidError : sessionError).c_str());
    return false;
  }
  if (!m_settings.checkFrameServer) {
    Say(L"client connected: process %lu, session %lu.", static_cast<unsigned long>(processId),
        static_cast<unsigned long>(session));
    return true;
  }
  if (session != 0) {
    Say(L"a client was refused: process %lu runs in session %lu, and the camera service runs in session 0.",
        static_cast<unsigned long>(processId), static_cast<unsigned long>(session));
    return false;
  }
  const platform::ServiceFacts frameServer = platform::QueryServiceFacts(L"FrameServer");
  if (frameServer.processId == 0 || frameServer.processId != processId) {
    Say(L"a client was refused: process %lu is not the FrameServer service's process (%lu).",
        static_cast<unsigned long>(processId), static_cast<unsigned long>(frameServer.processId));
    return false;
  }
  Say(L"client connected: the FrameServer service, process %lu.", static_cast<unsigned long>(processId));
  return true;
}

void CBridgeAgent::Serve(CPipeServer& pipe, const std::function<bool()>& stopRequested) {
  bridge::MessageHeader hello{};
  DWORD error = pipe.Read(&hello, sizeof hello, kIdleLimit);
  if (error != ERROR_SUCCESS) {
    Say(L"the client sent no hello (%s); dropped.", platform::DescribeSystemError(error).c_str());
    return;
  }
  bridge::FrameShape shape;
  const bridge::Field helloField = bridge::CheckHello(hello, &shape);
  if (helloField != bridge::Field::kNone) {
    const bridge::MessageHeader refusal = bridge::MakeHelloReply(hello, bridge::Status::kRefused);
    pipe.Write(&refusal, sizeof refusal, kWriteLimit);
    Say(L"the client's hello was refused (its %s); dropped.", bridge::FieldName(helloField));
    return;
  }
  // What the first frame needs is made before the hello is answered: the client's first
  // request then waits for a frame, not for a channel to be mapped or a logo decoded.
  CStreamImages images;  // the logo only: the source shows its own placeholder
  if (!m_settings.picturesRoot.empty()) images.LoadPictures(m_settings.picturesRoot);
  CFileMapping channel;
  channel.SetChannelNamespace(NameSpace());
  bool opened = channel.Init(false, nullptr, CFileMapping::OpenMode::kOpenOnly) == 0;
  auto lastOpenTry = std::chrono::steady_clock::now();
  const bridge::MessageHeader helloReply = bridge::MakeHelloReply(hello, bridge::Status::kAccepted);
  error = pipe.Write(&helloReply, sizeof helloReply, kWriteLimit);
  if (error != ERROR_SUCCESS) {
    Say(L"the hello's answer could not be sent (%s); dropped.", platform::DescribeSystemError(error).c_str());
    return;
  }
  Say(L"protocol version %u, %dx%d %s.", static_cast<unsigned>(bridge::kVersion), static_cast<int>(shape.width),
      static_cast<int>(shape.height), bridge::FormatName(shape.format));

  const std::int64_t payloadBytes = bridge::FramePayloadBytes(shape);
  std::vector<std::uint8_t> frame;
  try {
    frame.resize(static_cast<std::size_t>(payloadBytes));
  } catch (...) {
    Say(L"no memory for %dx%d frames; dropped.", static_cast<int>(shape.width), static_cast<int>(shape.height));
    return;
  }
  const OutputPicture picture = MfOutputPicture(FormatOf(shape), frame.data(), frame.size());

  CFrameComposer composer(channel, images);
  const std::wstring clientName = NewClientName(L"Windows camera");
  bool announced = false;
  auto lastRequest = std::chrono::steady_clock::now();
  std::int32_t rememberedWidth = 0, rememberedHeight = 0;
  bridge::Status lastStatus = bridge::Status::kAccepted;
  std::uint64_t served = 0, live = 0;

  while (!stopRequested()) {
    bridge::MessageHeader request{};
    std::size_t arrived = 0;
    error = pipe.Read(&request, sizeof request, kReadStep, &arrived);
    if (error == WAIT_TIMEOUT && arrived == 0) {
      if (std::chrono::steady_clock::now() - lastRequest < kIdleLimit) continue;
      Say(L"the client asked for nothing for %d seconds; dropped.", static_cast<int>(kIdleLimit.count()));
      break;
    }
    if (error != ERROR_SUCCESS) {
      Say(L"the client went (%s).", platform::DescribeSystemError(error).c_str());
      break;
    }
    lastRequest = std::chrono::steady_clock::now();
    if (const bridge::Field field = bridge::CheckFrameRequest(request); field != bridge::Field::kNone) {
      Say(L"a request was refused (its %s); dropped.", bridge::FieldName(field));
      break;
    }

    if (!opened && lastRequest - lastOpenTry >= kOpenRetry) {
      lastOpenTry = lastRequest;
      opened = channel.Init(false, nullptr, CFileMapping::OpenMode::kOpenOnly) == 0;
    }
    bridge::Status status = bridge::Status::kNoProducer;
    if (opened) {
      if (!announced) {
        composer.Announce(clientName, shape.width, shape.height);
        announced = true;
      }
      const CFrameComposer::Report report = composer.Compose(picture);
      if (report.result == CFrameComposer::Result::kOk && report.live) {
        status = bridge::Status::kLive;
        if (report.producerWidth != rememberedWidth || report.producerHeight != rememberedHeight) {
          RememberProducerSize(report.producerWidth, report.producerHeight);
          rememberedWidth = report.producerWidth;
          rememberedHeight = report.producerHeight;
        }
      } else {
        status = channel.WaitServerEvent(0) ? bridge::Status::kNoNewFrame : bridge::Status::kProducerStopped;
      }
    }
    if (status != lastStatus) {
      Say(L"frames: %s.", bridge::StatusName(status));
      lastStatus = status;
    }
    const bridge::MessageHeader reply = bridge::MakeFrameReply(shape, request.Sequence, status);
    error = pipe.Write(&reply, sizeof reply, kWriteLimit);
    if (error == ERROR_SUCCESS && reply.PayloadBytes != 0) error = pipe.Write(frame.data(), reply.PayloadBytes, kWriteLimit);
    if (error != ERROR_SUCCESS) {
      Say(L"a reply could not be sent (%s); dropped.", platform::DescribeSystemError(error).c_str());
      break;
    }
    ++served;
    if (status == bridge::Status::kLive) ++live;
  }
  if (announced) composer.Withdraw();
  channel.Destroy();
  Say(L"client done: %I64u replies, %I64u of them live frames.", static_cast<unsigned long long>(served),
      static_cast<unsigned long long>(live));
}
