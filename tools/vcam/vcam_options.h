// The command line of amberline-vcam: one job (--install, --remove, --run, --bridge,
// --list, --check, --diagnose, --help), --all-users for the jobs that make a camera, and --module to name
// the Media Foundation module (default: amberline-mf.dll beside the program).
//
// Threading: any thread; no state. Failure: ParseVcamOptions returns false and says
// what is wrong in words (the program then exits 2).
#pragma once

#include <string>
#include <vector>

enum class VcamJob { kNone, kInstall, kRemove, kRun, kBridge, kList, kCheck, kDiagnose, kHelp };

struct VcamOptions {
  VcamJob job = VcamJob::kNone;
  bool allUsers = false;
  std::string module;  // empty: the default beside the program
};

bool ParseVcamOptions(const std::vector<std::string>& arguments, VcamOptions* options, std::string* problem);

extern const char* const kVcamUsage;
