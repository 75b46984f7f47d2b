// amberline-camera: the producer's frames as a PipeWire camera for Linux applications.
//
//   amberline-camera [--camera NAME]... [--install-user-service | --uninstall-user-service] [--help]
//
// Publishes one PipeWire video source node per camera name (default "Trelvox Amberline")
// and prints, for each node the daemon takes,
//   amberline-camera: "NAME" is PipeWire node ID (node.name amberline-camera.SLUG)
// on standard output (again, with the new id, after a reconnection). It runs in the
// foreground until SIGINT or SIGTERM, then removes its nodes, withdraws from the channel
// and exits 0. --install-user-service writes (and, with a user manager, enables and starts) a
// systemd user unit that runs this program with the --camera names given;
// --uninstall-user-service removes it. A PipeWire daemon that goes away is reconnected to (one line on standard
// error when the connection is lost, one when it is back). Exit status 2 for a wrong
// command line, 1 when it cannot run at all (no channel, no PipeWire loop).
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <pipewire/pipewire.h>

#include "camera_options.h"
#include "composer/install_paths.h"
#include "diagnostics/version.h"
#include "pipewire/camera_node.h"
#include "pipewire/node_census.h"
#include "pipewire/node_name.h"
#include "pipewire/pipewire_session.h"
#include "platform/named_object_folder.h"
#include "platform/paths.h"
#include "platform/stop_request.h"
#include "platform/wide_string.h"
#include "user_service.h"

namespace {

// The longest the start waits for the daemon's list of nodes, and for a node of its name
// to go; how often it looks again meanwhile.
constexpr std::chrono::seconds kCensusLimit{3};
constexpr std::chrono::milliseconds kCensusAgain{250};

class CConsoleListener : public CPipeWireSession::Listener {
 public:
  void NodePublished(const CCameraNode& node, std::uint32_t nodeId) override {
    std::printf("amberline-camera: \"%s\" is PipeWire node %u (node.name %s)\n", node.Name().c_str(),
                static_cast<unsigned>(nodeId), node.NodeName().c_str());
    std::fflush(stdout);
  }
  void NodeFailed(const CCameraNode& node) override {
    std::fprintf(stderr, "amberline-camera: PipeWire did not take the node of \"%s\"\n", node.Name().c_str());
    std::fflush(stderr);
  }
  void NodeEnded(const CCameraNode& node, const std::string& reason) override {
    std::fprintf(stderr, "amberline-camera: the node of \"%s\" ended (%s); publishing it again\n", node.Name().c_str(),
                 reason.c_str());
    std::fflush(stderr);
  }
  void ConnectionLost(bool wasConnected, const std::string& reason) override {
    if (wasConnected)
      std::fprintf(stderr, "amberline-camera: lost the connection to PipeWire (%s); reconnecting\n", reason.c_str());
    else
      std::fprintf(stderr, "amberline-camera: cannot connect to PipeWire (%s); trying again\n", reason.c_str());
    std::fflush(stderr);
  }
  void StillAway(const std::string& reason, std::chrono::seconds away, std::chrono::milliseconds retryEvery) override {
    // Where the connection looks for the daemon's socket, so that a wrong environment shows.
    const std::wstring runtime = platform::GetEnv(L"PIPEWIRE_RUNTIME_DIR");
    const std::wstring xdg = platform::GetEnv(L"XDG_RUNTIME_DIR");
    const std::wstring remote = platform::GetEnv(L"PIPEWIRE_REMOTE");
    std::string folder = "(none: neither PIPEWIRE_RUNTIME_DIR nor XDG_RUNTIME_DIR is set)";
    if (!runtime.empty())
      folder = platform::WideToUtf8(runtime);
    else if (!xdg.empty())
      folder = platform::WideToUtf8(xdg);
    std::fprintf(stderr,
                 "amberline-camera: still no connection to PipeWire after %lld s (%s); trying again every %lld s. "
                 "Is PipeWire running for this user (systemctl --user status pipewire.socket)? This camera looks "
                 "for the socket %s in %s\n",
                 static_cast<long long>(away.count()), reason.c_str(),
                 static_cast<long long>(std::chrono::duration_cast<std::chrono::seconds>(retryEvery).count()),
                 remote.empty() ? "pipewire-0" : platform::WideToUtf8(remote).c_str(), folder.c_str());
    std::fflush(stderr);
  }
  void Reconnected() override {
    std::fprintf(stderr, "amberline-camera: connected to PipeWire again\n");
    std::fflush(stderr);
  }
};

}  // namespace

int main(int argc, char** argv) {
  if (PrintVersionIfAsked(argc, argv, "amberline-camera")) return 0;
  CCameraOptions options;
  std::string error;
  if (!CCameraOptions::Parse(std::vector<std::string>(argv + 1, argv + argc), &options, &error)) {
    std::fprintf(stderr, "amberline-camera: %s\n%s", error.c_str(), CCameraOptions::Usage().c_str());
    return CCameraOptions::kExitUsage;
  }
  if (options.help) {
    std::fputs(CCameraOptions::Usage().c_str(), stdout);
    return CCameraOptions::kExitSuccess;
  }
  if (options.service != CCameraOptions::EServiceAction::None) {
    CUserService service(CUserService::FromProcess());
    const CUserService::Outcome outcome = options.service == CCameraOptions::EServiceAction::Install
                                              ? service.Install(options.cameras)
                                              : service.Uninstall();
    std::fputs(outcome.text.c_str(), outcome.exitCode == 0 ? stdout : stderr);
    return outcome.exitCode;
  }
  const std::vector<CCameraOptions::Camera> cameras = options.CamerasToPublish();

  platform::WatchStopRequests();
  pw_init(nullptr, nullptr);
  // A name another program already publishes would show twice in every picker. Where
  // the daemon cannot be asked now, the session below keeps trying and publishes then.
  // A node of a program that is just ending goes within moments: the census is taken
  // again until kCensusLimit has passed before a name counts as taken.
  const auto census = std::chrono::steady_clock::now();
  for (;;) {
    std::vector<CensusNode> published;
    std::string censusProblem;
    if (!TakeNodeCensus(kCensusLimit, &published, &censusProblem)) break;
    const CensusNode* taken = nullptr;
    const CCameraOptions::Camera* mine = nullptr;
    for (const CCameraOptions::Camera& camera : cameras)
      for (const CensusNode& node : published)
        if (taken == nullptr && node.name == CameraNodeName(camera.name)) taken = &node, mine = &camera;
    if (taken == nullptr) break;
    if (std::chrono::steady_clock::now() - census >= kCensusLimit) {
      std::fprintf(stderr,
                   "amberline-camera: \"%s\" is already published as PipeWire node %u (node.name %s), by another "
                   "program (another amberline-camera?); stop that one, or give this camera another name\n",
                   mine->name.c_str(), static_cast<unsigned>(taken->id), taken->name.c_str());
      pw_deinit();
      return CCameraOptions::kExitNameTaken;
    }
    std::this_thread::sleep_for(kCensusAgain);
  }
  // The pictures are the installation's: beside the program's folder in an installation or
  // a build tree, under lib/amberline in a system installation (<prefix>/bin).
  const std::wstring exe = platform::GetHostExecutablePath();
  const std::wstring root = FindProgramInstallationRoot(exe.substr(0, exe.find_last_of(platform::kPathSeparator) + 1));
  std::vector<std::unique_ptr<CCameraNode>> nodes;
  for (const CCameraOptions::Camera& camera : cameras) {
    auto node = std::make_unique<CCameraNode>(camera.name, root, platform::Utf8ToWide(camera.channel));
    if (!node->Init()) {
      const std::string why = platform::NamedObjectProblem();
      std::fprintf(stderr, "amberline-camera: cannot open the shared frame channel%s%s%s\n",
                   camera.channel.empty() ? "" : (" \"" + camera.channel + "\"").c_str(), why.empty() ? "" : ": ",
                   why.c_str());
      return 1;
    }
    nodes.push_back(std::move(node));
  }
  CConsoleListener listener;
  int status = 0;
  {
    CPipeWireSession session(std::move(nodes), listener);
    if (!session.Start()) {
      std::fprintf(stderr, "amberline-camera: cannot start a PipeWire loop\n");
      status = 1;
    } else {
      // A stop request is seen within 100 ms.
      while (!platform::StopRequested()) std::this_thread::sleep_for(std::chrono::milliseconds(100));
      session.Stop();
    }
  }
  pw_deinit();
  return status;
}
