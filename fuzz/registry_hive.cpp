// Registry hive files as this system keeps them on Linux: the registry editor's export
// text, UTF-8 (with or without a mark) or UTF-16 with its mark (either byte order), read by
// CRegistryHive::Parse; then the same bytes as the machine-wide hive file that the
// camera's start-up reads its custom-source list from.
//
// Checked besides the sanitizers: a hive that parsed cleanly serialises to a text that
// parses cleanly to the same text again (nothing is lost or changed by a write-back), and
// a hive that did not parse cleanly says why.
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>

#include "fuzz_support.h"
#include "identity/camera_identity.h"
#include "platform/registry_hive.h"
#include "platform/registry_override.h"

namespace {

using fuzz_support::Check;

struct CRegistryWorld {
  std::string folder;
  std::string machineHive;
  CRegistryOverride* override = nullptr;
  CRegistryWorld() {
    fuzz_support::LogEverything(3);
    char pattern[] = "/tmp/amberline-fuzz-registry-XXXXXX";
    Check(::mkdtemp(pattern) != nullptr, "a scratch folder");
    folder = pattern;
    machineHive = folder + "/HKEY_LOCAL_MACHINE.reg";
    override = new CRegistryOverride(folder);  // for the life of the process
    std::atexit([] {
      // The scratch folder goes with the process.
      std::string command = "rm -rf '" + World().folder + "'";
      if (std::system(command.c_str()) != 0) {}
    });
  }
  static CRegistryWorld& World();
};

CRegistryWorld& CRegistryWorld::World() {
  static CRegistryWorld* world = new CRegistryWorld;
  return *world;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  CRegistryWorld& world = CRegistryWorld::World();
  const char* text = reinterpret_cast<const char*>(data);

  const CRegistryHive hive = CRegistryHive::Parse(L"HKEY_LOCAL_MACHINE", text, size);
  Check(hive.IsClean() == hive.Problem().empty(), "a hive that did not parse cleanly says why");
  if (hive.IsClean()) {
    const std::string written = hive.Serialize();
    const CRegistryHive again = CRegistryHive::Parse(L"HKEY_LOCAL_MACHINE", written);
    Check(again.IsClean(), "a hive written back parses cleanly");
    Check(again.Serialize() == written, "a hive written back reads as the same hive");
  }

  // The camera's start-up over the same bytes as the machine-wide hive file.
  {
    std::ofstream file(world.machineHive, std::ios::binary | std::ios::trunc);
    file.write(text, static_cast<std::streamsize>(size));
  }
  // (A matching entry without a default value gives an empty name: that is the rule.)
  LookUpCameraIdentity(L"/opt/amberline/Bin/amberline.so");
  return 0;
}
