#include "camera_options.h"

#include <map>

#include "channel/channel_name.h"
#include "pipewire/node_name.h"

namespace {

constexpr const char* kChannelRule = "a channel name is 1 to 32 ASCII letters, digits, '-' and '_'";

// True when text is well-formed UTF-8 (no overlong forms, no surrogates, nothing past
// U+10FFFF).
bool IsUtf8(const std::string& text) {
  std::size_t i = 0;
  while (i < text.size()) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    std::size_t length = 0;
    unsigned int code = 0;
    if (c < 0x80) {
      ++i;
      continue;
    } else if (c >= 0xC2 && c <= 0xDF) {
      length = 2;
      code = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
      length = 3;
      code = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      length = 4;
      code = c & 0x07;
    } else {
      return false;
    }
    if (text.size() - i < length) return false;
    for (std::size_t k = 1; k < length; ++k) {
      const unsigned char next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      code = (code << 6) | (next & 0x3F);
    }
    if ((length == 3 && code < 0x800) || (length == 4 && (code < 0x10000 || code > 0x10FFFF)) ||
        (code >= 0xD800 && code <= 0xDFFF))
      return false;
    i += length;
  }
  return true;
}

bool HasControlCharacter(const std::string& text) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c < 0x20 || c == 0x7F) return true;
    // C1 controls U+0080..U+009F are encoded C2 80..C2 9F.
    if (c == 0xC2 && i + 1 < text.size()) {
      const unsigned char next = static_cast<unsigned char>(text[i + 1]);
      if (next >= 0x80 && next <= 0x9F) return true;
    }
  }
  return false;
}

}  // namespace

std::string CCameraOptions::CheckCameraName(const std::string& name) {
  if (name.empty()) return "a camera name cannot be empty";
  if (name.size() > kMaxNameBytes)
    return "a camera name can be at most " + std::to_string(kMaxNameBytes) + " bytes long, this one has " +
           std::to_string(name.size());
  if (!IsUtf8(name)) return "a camera name must be UTF-8 text";
  if (HasControlCharacter(name)) return "a camera name cannot contain control characters (line breaks, tabs, ...)";
  if (CameraNodeName(name) == CameraNodeName("")) return "a camera name needs at least one letter or digit";
  return {};
}

bool CCameraOptions::Parse(const std::vector<std::string>& arguments, CCameraOptions* options, std::string* error) {
  CCameraOptions o;
  std::map<std::string, std::string> bySlug;  // slug -> the first name that has it
  bool lastHasChannel = false;                 // the last --camera named its channel
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::string& arg = arguments[i];
    if (arg == "--help" || arg == "-h") {
      o.help = true;
      continue;
    }
    if (arg == "--install-user-service" || arg == "--uninstall-user-service") {
      const EServiceAction action =
          arg == "--install-user-service" ? EServiceAction::Install : EServiceAction::Uninstall;
      if (o.service != EServiceAction::None && o.service != action) {
        *error = "--install-user-service and --uninstall-user-service cannot be combined";
        return false;
      }
      o.service = action;
      continue;
    }
    if (arg == "--channel") {
      if (o.cameras.empty() || lastHasChannel) {
        *error = o.cameras.empty() ? "--channel belongs after the --camera it is for"
                                   : "--channel given twice for --camera \"" + o.cameras.back() + "\"";
        return false;
      }
      const std::string channelName = i + 1 < arguments.size() ? arguments[++i] : std::string();
      if (!channel::IsChannelName(channelName)) {
        *error = "--channel \"" + channelName.substr(0, 40) + "\": " + kChannelRule;
        return false;
      }
      o.cameras.back() += "=" + channelName;
      lastHasChannel = true;
      continue;
    }
    if (arg != "--camera") {
      *error = "unknown argument \"" + arg + "\"";
      return false;
    }
    // "--camera --help" is a forgotten name far more often than a camera called "--help".
    if (i + 1 >= arguments.size() || arguments[i + 1].rfind("--", 0) == 0) {
      *error = "--camera needs a name";
      return false;
    }
    const std::string& given = arguments[++i];
    const std::size_t equals = given.rfind('=');
    const std::string name = given.substr(0, equals);
    lastHasChannel = equals != std::string::npos;
    const std::string problem = CheckCameraName(name);
    if (!problem.empty()) {
      *error = "--camera \"" + (name.size() > kMaxNameBytes ? name.substr(0, 40) + "..." : name) + "\": " + problem;
      return false;
    }
    if (lastHasChannel && !channel::IsChannelName(given.substr(equals + 1))) {
      *error = "--camera \"" + given.substr(0, 60) + "\": the channel after '=' " + kChannelRule;
      return false;
    }
    const auto [earlier, added] = bySlug.emplace(CameraNodeName(name), name);
    if (!added) {
      *error = "--camera \"" + earlier->second + "\" and --camera \"" + name + "\" would both be the PipeWire node " +
               CameraNodeName(name) + "; give each camera a name that differs in its letters or digits";
      return false;
    }
    o.cameras.push_back(given);
  }
  if (o.service == EServiceAction::Uninstall && !o.cameras.empty()) {
    *error = "--uninstall-user-service takes no --camera: it removes the one user service";
    return false;
  }
  *options = o;
  return true;
}

std::vector<CCameraOptions::Camera> CCameraOptions::CamerasToPublish() const {
  if (cameras.empty()) return {{kDefaultCamera, {}}};
  std::vector<Camera> out;
  for (const std::string& given : cameras) {
    const std::size_t equals = given.rfind('=');
    if (equals == std::string::npos) out.push_back({given, {}});
    else out.push_back({given.substr(0, equals), given.substr(equals + 1)});
  }
  return out;
}

std::string CCameraOptions::Usage() {
  return "usage: amberline-camera [--camera NAME[=CHANNEL] [--channel CHANNEL]]...\n"
         "                        [--install-user-service | --uninstall-user-service]\n"
         "Publishes the producer's frames as PipeWire cameras (one node per --camera, default\n"
         "\"Trelvox Amberline\") that browsers, OBS and GStreamer applications can open. Runs\n"
         "in the foreground until Ctrl+C or SIGTERM, which removes the cameras.\n"
         "  --camera NAME[=CHANNEL]   a camera of this name; repeat for several. Names need a\n"
         "                            letter or digit (any script), at most 128 bytes, and must\n"
         "                            differ in their ASCII letters or digits, if they have any\n"
         "                            (they name the nodes). The camera shows the feed of\n"
         "                            CHANNEL (default: the default camera's)\n"
         "  --channel CHANNEL         the same, for the --camera just before it\n"
         "  --install-user-service    write a systemd user service that runs this program with\n"
         "                            the --camera arguments given, and start it at login\n"
         "  --uninstall-user-service  stop and remove that service\n"
         "  --help                    this text\n"
         "  --version                 the version\n"
         "Exit status: 0 done; 1 the cameras could not be published or a service step failed;\n"
         "2 a wrong command line; 3 a camera of one of the names is already published (by another\n"
         "amberline-camera, say).\n";
}
