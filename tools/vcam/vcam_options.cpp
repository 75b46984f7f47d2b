#include "vcam_options.h"

const char* const kVcamUsage =
    "usage: amberline-vcam [--module <amberline-mf.dll>] <job> [--all-users]\n"
    "jobs:\n"
    "  --install   register the camera with Windows 11's frame server for good (it stays across\n"
    "              sign-outs and restarts); registers the module's class first when needed, and\n"
    "              makes the bridge agent (--bridge) start at logon: the value \"Amberline Bridge\"\n"
    "              under HKEY_CURRENT_USER (--all-users: HKEY_LOCAL_MACHINE)\\...\\CurrentVersion\\Run\n"
    "  --remove    remove the camera registered by --install, and the bridge agent's start at logon\n"
    "  --run       keep a camera only while this program runs (until Ctrl+C), then remove it\n"
    "  --bridge    carries the producer's frames to the Windows 11 camera service over a pipe; runs\n"
    "              until Ctrl+C or sign-out; started at logon by --install and by the installer.\n"
    "              Where Windows has virtual cameras it also keeps this user's camera while it\n"
    "              runs, as --run does\n"
    "  --list      the video capture devices Media Foundation lists now (virtual cameras among\n"
    "              them, with the name Windows gives them) and whether this camera's class is\n"
    "              registered\n"
    "  --check     what the frame server needs: the module and its folder readable by LOCAL\n"
    "              SERVICE, and a module that needs no MinGW runtime DLL\n"
    "  --diagnose  a report to paste into a bug report: the Windows build, the camera services,\n"
    "              virtual cameras, the class registration, the bridge agent's start at logon and\n"
    "              its pipe, the checks of --check, and the last lines of the camera's log. Each\n"
    "              line starts with \"OK  \" or \"NO  \"; the log's lines follow, indented. It names\n"
    "              no user. Exit status 0 when every line is OK, 1 otherwise.\n"
    "  --help      this text\n"
    "  --version   the version\n"
    "--all-users   (with --install, --remove, --run) one camera for every user of the computer;\n"
    "              needs a command prompt started as administrator. Default: the current user.\n"
    "--module      the Media Foundation module; default: amberline-mf.dll beside this program.\n"
    "Exit status: 0 success, 1 failure (with a message), 2 a wrong command line, 3 this Windows\n"
    "has no virtual cameras (before Windows 11): the camera still works for DirectShow\n"
    "applications through amberline.dll.\n";

namespace {

VcamJob JobOf(const std::string& argument) {
  if (argument == "--install") return VcamJob::kInstall;
  if (argument == "--remove") return VcamJob::kRemove;
  if (argument == "--run") return VcamJob::kRun;
  if (argument == "--bridge") return VcamJob::kBridge;
  if (argument == "--list") return VcamJob::kList;
  if (argument == "--check") return VcamJob::kCheck;
  if (argument == "--diagnose") return VcamJob::kDiagnose;
  if (argument == "--help" || argument == "-h" || argument == "/?") return VcamJob::kHelp;
  return VcamJob::kNone;
}

}  // namespace

bool ParseVcamOptions(const std::vector<std::string>& arguments, VcamOptions* options, std::string* problem) {
  *options = VcamOptions{};
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    const VcamJob job = JobOf(argument);
    if (job == VcamJob::kHelp) {
      options->job = job;
      return true;
    }
    if (job != VcamJob::kNone) {
      if (options->job != VcamJob::kNone) {
        *problem = "one job at a time (" + argument + " after another job)";
        return false;
      }
      options->job = job;
    } else if (argument == "--all-users") {
      options->allUsers = true;
    } else if (argument == "--module") {
      if (i + 1 >= arguments.size() || arguments[i + 1].empty()) {
        *problem = "--module needs the path of amberline-mf.dll";
        return false;
      }
      options->module = arguments[++i];
    } else {
      *problem = "unexpected argument: " + argument;
      return false;
    }
  }
  if (options->job == VcamJob::kNone) {
    *problem = "no job given";
    return false;
  }
  const bool makesCamera =
      options->job == VcamJob::kInstall || options->job == VcamJob::kRemove || options->job == VcamJob::kRun;
  if (options->allUsers && !makesCamera) {
    *problem = "--all-users goes with --install, --remove or --run";
    return false;
  }
  return true;
}
