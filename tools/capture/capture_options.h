// CCaptureOptions: what one run of amberline-capture is asked to do, read from its
// command line.
//
//   --list                 list the video input devices and stop
//   --camera NAME          the camera's friendly name (default "Trelvox Amberline")
//   --size WxH             fix the camera's RGB24 frame size before connecting
//   --fps N                ask the camera for N frames a second (1 to 100) before connecting
//   --frames N | --seconds S
//                          how long to record (default 5 seconds)
//   --y4m FILE             every frame as YUV4MPEG2 (4:4:4, BT.601 limited range)
//   --png DIR              the first, middle and last frame as PNG files
//   --sheet FILE.png       a contact sheet of up to 24 numbered thumbnails
//   --transcript FILE      a copy of everything the tool prints
//   --help                 the usage, on standard output, and exit status 0
//
// Exit statuses (kExit...): 0 every frame received reached every output and, with
// --frames N, N frames were recorded; 1 a device or graph step failed or the camera gave
// fewer frames than asked for; 2 a bad command line or an output that could not be
// written; 130 stopped by SIGINT / Ctrl+C / Ctrl+Break, 143 by SIGTERM or the console
// closing (128 + the signal's number, as shells report a process the signal ended);
// 141 the reader of the --y4m pipe closed it (128 + SIGPIPE, what a shell reports for
// a pipeline writer whose reader left, so `set -o pipefail` scripts see the same).
//
// Parse never throws and never exits: it fills the options or gives one sentence that
// names the offending argument. Plain value object, no threads, no resources.
#pragma once

#include <string>
#include <vector>

class CCaptureOptions {
 public:
  static constexpr const char* kDefaultCamera = "Trelvox Amberline";
  static constexpr double kDefaultSeconds = 5.0;
  static constexpr int kMaxDimension = 8192;
  static constexpr int kMaxFps = 100;
  static constexpr long long kMaxFrames = 10'000'000;
  static constexpr double kMaxSeconds = 24.0 * 3600.0;

  static constexpr int kExitSuccess = 0;
  static constexpr int kExitDevice = 1;
  static constexpr int kExitUsage = 2;
  static constexpr int kExitOutput = 2;
  static constexpr int kExitInterrupted = 130;
  static constexpr int kExitPipeClosed = 141;
  static constexpr int kExitTerminated = 143;

  // Reads the arguments after the program name. On failure returns false, sets *error
  // and leaves *options unspecified.
  static bool Parse(const std::vector<std::string>& arguments, CCaptureOptions* options, std::string* error);
  static std::string Usage();

  bool help = false;
  bool list = false;
  std::string camera = kDefaultCamera;
  int width = 0;  // 0: keep the camera's own size
  int height = 0;
  int fps = 0;  // 0: keep the camera's own rate
  long long frames = 0;  // 0: record for `seconds`
  double seconds = kDefaultSeconds;
  std::string y4mPath;
  std::string pngDir;
  std::string sheetPath;
  std::string transcriptPath;
};
