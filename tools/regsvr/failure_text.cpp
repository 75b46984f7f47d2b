#include "failure_text.h"

#include <cstdio>

#include "diagnostics/status_text.h"
#include "platform/reg_key.h"

namespace regsvr {

namespace {

// The module's refusal to register a class (SELFREG_E_CLASS; not in every system's headers).
constexpr HRESULT kClassNotRegistrable = static_cast<HRESULT>(0x80040201u);

std::string RegistryPlace(const std::string& registryFolder) {
  return registryFolder.empty() ? std::string("the system registry") : "the hive files in " + registryFolder;
}

}  // namespace

std::string DescribeRegistrationStatus(HRESULT hr) {
  return diagnostics::DescribeStatus(hr, diagnostics::StatusDomain::kRegistration);
}

std::string AdviceFor(HRESULT hr, const std::string& registryFolder) {
  if (hr == E_ACCESSDENIED)
    return registryFolder.empty()
               ? "Writing the registration needs an administrator: run it from a command prompt started as administrator."
               : "This user may not write " + RegistryPlace(registryFolder) +
                     ": make them writable, or set AMBERLINE_REGISTRY_ROOT to a folder of your own.";
  if (hr == HRESULT_FROM_WIN32(ERROR_BADDB))
    return "A hive file in " + registryFolder +
           " does not parse, and it is left as it is rather than overwritten: correct it (the registry "
           "editor's text) or move it away, then run this again.";
  if (hr == kClassNotRegistrable)
    return "The custom-source entry that names this module (HKEY_LOCAL_MACHINE\\SOFTWARE\\Trelvox\\Amberline) gives "
           "a CLSID value that is not a class identifier (write one without braces) or a Channel value that is not "
           "a channel name (1 to 32 letters, digits, '-' and '_'): correct it, then register again. "
           "--info shows the entry.";
  if (hr == REGDB_E_CLASSNOTREG)
    return "The system's filter mapper is not registered: the media framework of this system is missing or "
           "damaged.";
  if (hr == CO_E_NOTINITIALIZED) return "The component runtime could not be initialised on this thread.";
  if (hr == HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND) || hr == HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND))
    return "Something the step needs is missing from " + RegistryPlace(registryFolder) + ".";
  return std::string();
}

void PrintFailure(const std::string& what, HRESULT hr, const std::string& otherAdvice) {
  std::fprintf(stderr, "amberline-regsvr: %s failed: %s.\n", what.c_str(), DescribeRegistrationStatus(hr).c_str());
  std::string advice = AdviceFor(hr, platform::RegistryRootFolder());
  if (advice.empty()) advice = otherAdvice;
  if (!advice.empty()) std::fprintf(stderr, "  %s\n", advice.c_str());
  for (const std::string& problem : platform::RegistryFileProblems())
    std::fprintf(stderr, "amberline-regsvr: a registry file does not parse: %s\n", problem.c_str());
}

void PrintLoadFailure(const std::string& path, const std::string& reason) {
  std::fprintf(stderr,
               "amberline-regsvr: cannot load %s: %s\n"
               "  Name the camera module of an installation (Bin/%s), built for this system.\n",
               path.c_str(), reason.c_str(), AMBERLINE_MODULE_FILE_NAME);
}

}  // namespace regsvr
