// amberline-regsvr: registers, unregisters, inspects or tidies camera module
// registrations, as the Windows registration tool does for component servers.
// The usage text below lists every form; the jobs are in regsvr_commands.h.
#include <cstdio>
#include <string>

#include "diagnostics/version.h"
#include "regsvr_commands.h"

namespace {

constexpr const char* kUsage =
    "usage: amberline-regsvr [/s] <module>      register the camera module (DllRegisterServer)\n"
    "       amberline-regsvr /u [/s] <module>   unregister it (DllUnregisterServer); succeeds when it\n"
    "                                           is not registered, and removes the registrations of a\n"
    "                                           module file that no longer exists\n"
    "       amberline-regsvr --info <module>    which camera the module is, whether it is registered,\n"
    "                                           and what loading it wrote to the log\n"
    "       amberline-regsvr --list             every registered camera: name, class identifier,\n"
    "                                           module file, channel; marks those whose file is gone\n"
    "       amberline-regsvr --prune            remove the registrations whose module file is gone\n"
    "       amberline-regsvr --add-camera NAME [--channel CHANNEL] [--module PATH]\n"
    "                                           a camera of its own: copies the installation (of\n"
    "                                           PATH, default the registered built-in camera's) to\n"
    "                                           Cameras/CHANNEL beside it, adds it to the camera list\n"
    "                                           with new class identifiers and registers it; CHANNEL\n"
    "                                           (1 to 32 letters, digits, '-', '_') defaults to one made\n"
    "                                           from NAME. Feed it: amberline-producer --channel CHANNEL\n"
    "       amberline-regsvr --remove-camera NAME\n"
    "                                           unregisters an added camera, deletes its entry and files\n"
    "       amberline-regsvr --help             this text\n"
    "       amberline-regsvr --version          the version\n"
    "/u and /s may also be written -u and -s; /s prints nothing on success.\n"
    "Exit status: 0 success, 1 failure (with a message on stderr), 2 a wrong command line.\n";

int Usage(const char* problem) {
  std::fprintf(stderr, "amberline-regsvr: %s\n%s", problem, kUsage);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (PrintVersionIfAsked(argc, argv, "amberline-regsvr")) return 0;
  bool unregister = false, silent = false;
  std::string job, module, camera, channelName, copyFrom;
  bool channelGiven = false, copyFromGiven = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h" || arg == "/?") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (arg == "--add-camera" || arg == "--remove-camera" || arg == "--channel" || arg == "--module") {
      if (i + 1 >= argc) return Usage((arg + " needs a value").c_str());
      const std::string value = argv[++i];
      if (arg == "--channel") channelName = value, channelGiven = true;
      else if (arg == "--module") copyFrom = value, copyFromGiven = true;
      else if (!job.empty()) return Usage("one of --info, --list, --prune, --add-camera and --remove-camera at a time");
      else job = arg, camera = value;
      continue;
    }
    if (arg == "/u" || arg == "-u") unregister = true;
    else if (arg == "/s" || arg == "-s") silent = true;
    else if (arg == "--info" || arg == "--list" || arg == "--prune") {
      if (!job.empty()) return Usage("one of --info, --list, --prune, --add-camera and --remove-camera at a time");
      job = arg;
    } else if (module.empty() && !arg.empty() && arg[0] != '-') module = arg;
    else return Usage(("unexpected argument: " + arg).c_str());
  }
  if (!job.empty() && (unregister || silent)) return Usage((job + " takes no /u or /s").c_str());
  if ((channelGiven || copyFromGiven) && job != "--add-camera") return Usage("--channel and --module belong to --add-camera");
  if (job == "--add-camera" || job == "--remove-camera") {
    if (!module.empty()) return Usage((job + " takes no module; --add-camera names one with --module").c_str());
    return job == "--add-camera" ? regsvr::AddCamera(camera, channelName, copyFrom) : regsvr::RemoveCamera(camera);
  }
  if (job == "--list" || job == "--prune") {
    if (!module.empty()) return Usage((job + " takes no module").c_str());
    return job == "--list" ? regsvr::ListCameras() : regsvr::PruneCameras();
  }
  if (module.empty()) return Usage("no module named");
  if (job == "--info") return regsvr::ShowInfo(module);
  return unregister ? regsvr::Unregister(module, silent) : regsvr::Register(module, silent);
}
