#include "capture_options.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>

namespace {

// Whole-string decimal integer; no sign, no spaces, no trailing text.
bool ParseCount(const std::string& text, long long max, long long* value) {
  if (text.empty() || text.size() > 18) return false;
  long long v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
  }
  if (v <= 0 || v > max) return false;
  *value = v;
  return true;
}

bool ParseSeconds(const std::string& text, double* value) {
  if (text.empty() || text.find_first_not_of("0123456789.") != std::string::npos) return false;
  errno = 0;
  char* end = nullptr;
  const double v = std::strtod(text.c_str(), &end);
  if (errno != 0 || end != text.c_str() + text.size() || !std::isfinite(v) || v <= 0 ||
      v > CCaptureOptions::kMaxSeconds)
    return false;
  *value = v;
  return true;
}

bool ParseSize(const std::string& text, int* width, int* height) {
  const std::size_t x = text.find_first_of("xX");
  if (x == std::string::npos) return false;
  long long w = 0, h = 0;
  if (!ParseCount(text.substr(0, x), CCaptureOptions::kMaxDimension, &w) ||
      !ParseCount(text.substr(x + 1), CCaptureOptions::kMaxDimension, &h))
    return false;
  *width = static_cast<int>(w);
  *height = static_cast<int>(h);
  return true;
}

}  // namespace

bool CCaptureOptions::Parse(const std::vector<std::string>& arguments, CCaptureOptions* options, std::string* error) {
  CCaptureOptions o;
  bool haveFrames = false, haveSeconds = false;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::string& arg = arguments[i];
    if (arg == "--help" || arg == "-h") {
      o.help = true;
      continue;
    }
    if (arg == "--list") {
      o.list = true;
      continue;
    }
    const bool takesValue = arg == "--camera" || arg == "--size" || arg == "--fps" || arg == "--frames" ||
                            arg == "--seconds" ||
                            arg == "--y4m" || arg == "--png" || arg == "--sheet" || arg == "--transcript";
    if (!takesValue) {
      *error = "unknown option \"" + arg + "\"";
      return false;
    }
    if (i + 1 >= arguments.size() || arguments[i + 1].empty()) {
      *error = arg + " needs a value";
      return false;
    }
    const std::string& value = arguments[++i];
    if (arg == "--camera") {
      o.camera = value;
    } else if (arg == "--size") {
      if (!ParseSize(value, &o.width, &o.height)) {
        *error = "--size takes WxH with both between 1 and " + std::to_string(kMaxDimension) + ", not \"" + value +
                 "\"";
        return false;
      }
    } else if (arg == "--fps") {
      long long fps = 0;
      if (!ParseCount(value, kMaxFps, &fps)) {
        *error = "--fps takes a whole number from 1 to " + std::to_string(kMaxFps) + ", not \"" + value + "\"";
        return false;
      }
      o.fps = static_cast<int>(fps);
    } else if (arg == "--frames") {
      if (!ParseCount(value, kMaxFrames, &o.frames)) {
        *error = "--frames takes a whole number from 1 to " + std::to_string(kMaxFrames) + ", not \"" + value + "\"";
        return false;
      }
      haveFrames = true;
    } else if (arg == "--seconds") {
      if (!ParseSeconds(value, &o.seconds)) {
        *error = "--seconds takes a positive number of seconds up to 86400, not \"" + value + "\"";
        return false;
      }
      haveSeconds = true;
    } else if (arg == "--y4m") {
      o.y4mPath = value;
    } else if (arg == "--png") {
      o.pngDir = value;
    } else if (arg == "--sheet") {
      o.sheetPath = value;
    } else {
      o.transcriptPath = value;
    }
  }
  if (haveFrames && haveSeconds) {
    *error = "--frames and --seconds cannot be combined";
    return false;
  }
  if (haveFrames) o.seconds = 0;
  *options = o;
  return true;
}

std::string CCaptureOptions::Usage() {
  return "usage: amberline-capture --list\n"
         "       amberline-capture [--camera NAME] [--size WxH] [--fps N] [--frames N | --seconds S]\n"
         "                         [--y4m FILE] [--png DIR] [--sheet FILE.png] [--transcript FILE]\n"
         "Records frames from a video input device (default \"Trelvox Amberline\", 5 seconds) and\n"
         "prints how many arrived, how many reached each output and how evenly they came.\n"
         "  --list             list the video input devices\n"
         "  --camera NAME      the camera's friendly name\n"
         "  --size WxH         ask the camera for this frame size (refused sizes are reported\n"
         "                     with the range the camera accepts)\n"
         "  --fps N            ask the camera for N frames a second (1 to 100)\n"
         "  --frames N         record N frames; every output gets all N\n"
         "  --seconds S        record for S seconds (default 5)\n"
         "  --y4m FILE         every frame as YUV4MPEG2 4:4:4 (a file or a named pipe)\n"
         "  --png DIR          the first, middle and last frame as PNG files\n"
         "  --sheet FILE.png   a contact sheet of up to 24 numbered thumbnails\n"
         "  --transcript FILE  a copy of everything printed\n"
         "  --help             this text\n"
         "  --version          the version\n"
         "Slow outputs slow the camera down instead of losing frames. Ctrl+C, SIGTERM and a\n"
         "closed --y4m pipe stop the recording: what was received is written, the summary\n"
         "printed and the camera released.\n"
         "Exit status: 0 every frame reached every output; 1 a device or graph step failed or\n"
         "the camera gave fewer frames than --frames asked for; 2 a bad command line or an\n"
         "output that could not be written; 130 stopped by Ctrl+C (SIGINT, Ctrl+Break), 143 by\n"
         "SIGTERM, as shells number a process a signal ended (128 + signal); 141 the reader of\n"
         "the --y4m pipe closed it (128 + SIGPIPE, what a shell reports for a pipeline writer\n"
         "whose reader left).\n";
}
