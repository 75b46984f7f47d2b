// amberline-regsvr: registers, unregisters, inspects or tidies camera module
// registrations, as the Windows registration tool does for component servers.
// The usage text below lists every form; the jobs are in regsvr_commands.h.
#include <cstdio>
#include <string>

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
    "                                           module file; marks those whose file is gone\n"
    "       amberline-regsvr --prune            remove the registrations whose module file is gone\n"
    "       amberline-regsvr --help             this text\n"
    "/u and /s may also be written -u and -s; /s prints nothing on success.\n"
    "Exit status: 0 success, 1 failure (with a message on stderr), 2 a wrong command line.\n";

int Usage(const char* problem) {
  std::fprintf(stderr, "amberline-regsvr: %s\n%s", problem, kUsage);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  bool unregister = false, silent = false;
  std::string job, module;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h" || arg == "/?") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (arg == "/u" || arg == "-u") unregister = true;
    else if (arg == "/s" || arg == "-s") silent = true;
    else if (arg == "--info" || arg == "--list" || arg == "--prune") {
      if (!job.empty()) return Usage("one of --info, --list and --prune at a time");
      job = arg;
    } else if (module.empty() && !arg.empty() && arg[0] != '-') module = arg;
    else return Usage(("unexpected argument: " + arg).c_str());
  }
  if (!job.empty() && (unregister || silent)) return Usage((job + " takes no /u or /s").c_str());
  if (job == "--list" || job == "--prune") {
    if (!module.empty()) return Usage((job + " takes no module").c_str());
    return job == "--list" ? regsvr::ListCameras() : regsvr::PruneCameras();
  }
  if (module.empty()) return Usage("no module named");
  if (job == "--info") return regsvr::ShowInfo(module);
  return unregister ? regsvr::Unregister(module, silent) : regsvr::Register(module, silent);
}
