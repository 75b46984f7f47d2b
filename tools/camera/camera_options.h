// CCameraOptions: what one run of amberline-camera is asked to do, read from its command
// line.
//
//   --camera NAME[=CHANNEL]    publish a camera of this name (several allowed; default
//                              one camera, "Trelvox Amberline") showing the feed of
//                              that channel (default: the default channel)
//   --channel CHANNEL          the channel of the --camera just before it
//   --install-user-service     write the systemd user unit that runs the program with
//                              the --camera arguments given, and start it when systemd can
//   --uninstall-user-service   stop and remove that unit
//   --help                     the usage, on standard output, and exit status 0
//
// A camera name is 1 to kMaxNameBytes bytes of UTF-8 without control characters, with at
// least one letter or digit in any script (its node name is built from its ASCII letters
// and digits, or from a hash of a name that has none: node_name.h); two names whose node
// names would be the same are refused. A channel is a channel name (channel_name.h);
// the last '=' of a --camera value starts it. Exit statuses (kExit...): 0 done, 1 the
// program cannot run (or a service step failed), 2 a wrong command line, 3 a camera of
// one of the names is already published on this PipeWire (by another program).
//
// Parse never throws and never exits: it fills the options or gives one sentence that
// names the offending argument. Plain value object, no threads, no resources.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

class CCameraOptions {
 public:
  static constexpr const char* kDefaultCamera = "Trelvox Amberline";
  static constexpr std::size_t kMaxNameBytes = 128;

  static constexpr int kExitSuccess = 0;
  static constexpr int kExitFailure = 1;
  static constexpr int kExitUsage = 2;
  static constexpr int kExitNameTaken = 3;

  enum class EServiceAction { None, Install, Uninstall };

  // Reads the arguments after the program name. On failure returns false, sets *error
  // and leaves *options unchanged.
  static bool Parse(const std::vector<std::string>& arguments, CCameraOptions* options, std::string* error);
  static std::string Usage();
  // Empty when name is acceptable as a camera name, otherwise why it is not.
  static std::string CheckCameraName(const std::string& name);

  struct Camera {
    std::string name;
    std::string channel;  // empty: the default channel
    bool operator==(const Camera&) const = default;
  };
  // The cameras to publish: the ones given, in order, or the default camera when none was.
  std::vector<Camera> CamerasToPublish() const;

  bool help = false;
  EServiceAction service = EServiceAction::None;
  // "NAME" or "NAME=CHANNEL" for each camera given (a --channel folded in); may be empty.
  std::vector<std::string> cameras;
};
