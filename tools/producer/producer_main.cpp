// amberline-producer: the reference producer. Writes frames into the shared channel for
// every camera on this machine to deliver.
//
//   amberline-producer [--size WxH] [--fps N] [--seconds S | --frames N] [--logo on|off]
//                      [--image FILE.png | --y4m FILE|- [--loop]] [--allow-second-producer]
//
// Defaults: 640x480 at 25 frames a second until interrupted, no logo, a moving test
// pattern. --image sends a PNG picture letterboxed into the frame size; --y4m sends a
// YUV4MPEG2 stream (a file, or standard input for "-") at its own size and frame rate
// until it ends (--loop starts a file again at its end). A frame size that does not fit
// the channel is refused before the first frame, naming the limit. A damaged stream ends
// the run with a message naming the byte offset and exit status 1. It announces its frame
// size and logo flag, prints the client table whenever the number of clients changes, and
// on Ctrl+C / SIGTERM shuts the channel down so that the cameras fall back to their
// placeholder. Exit status 0 after a clean stop (a stream's end is one).
// While another producer delivers on the same channel it refuses to start (exit status
// 3), as the cameras would flicker between the two; --allow-second-producer runs it
// beside the other anyway.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <amberline/sender.h>

#include "channel/channel_name.h"
#include "channel/frame_region.h"
#include "diagnostics/version.h"
#include "frame_source.h"
#include "platform/stop_request.h"
#include "sender/frame_limit.h"
#include "stream_input.h"
#include "y4m_reader.h"

namespace {

// The smallest side --size takes.
constexpr int kMinSide = 16;

struct Options {
  int width = 640;
  int height = 480;
  bool sizeGiven = false;
  double fps = 25;
  bool fpsGiven = false;
  double seconds = 0;
  long long frames = 0;
  bool logo = false;
  std::string image;
  std::string y4m;
  bool loop = false;
  bool allowSecondProducer = false;
  std::string channel;  // empty: the default camera's
  bool help = false;
};

// The usage text; the largest frame is the channel's, as its layout gives it.
std::string UsageText() {
  return "usage: amberline-producer [--size WxH] [--fps N] [--seconds S | --frames N] [--logo on|off]\n"
      "                          [--image FILE.png | --y4m FILE|- [--loop]] [--allow-second-producer]\n"
      "                          [--channel NAME]\n"
      "  --size WxH    frame size of the test pattern or picture (default 640x480); one frame\n"
      "                must fit the channel's frame window of " + std::to_string(channel::kFrameAreaSize) +
      " bytes,\n"
      "                3 bytes a pixel (2560x1440 fits, 3840x2160 does not)\n"
      "  --fps N       frames a second, 1 to 120, decimals allowed (29.97); default 25\n"
      "  --seconds S   stop after S seconds\n"
      "  --frames N    stop after N frames\n"
      "  --logo on|off ask the cameras to blend their logo over the frames (default off)\n"
      "  --image FILE  send a PNG picture, letterboxed into the frame size\n"
      "  --y4m FILE|-  send a YUV4MPEG2 stream (4:2:0, 4:2:2, 4:4:4 or mono, 8-bit) from a file or,\n"
      "                with -, from standard input, at the stream's own size and frame rate:\n"
      "                  ffmpeg -i talk.mp4 -f yuv4mpegpipe - | amberline-producer --y4m -\n"
      "  --loop        with --y4m FILE: start the file again at its end\n"
      "  --allow-second-producer  run even while another producer delivers\n"
      "  --channel NAME  feed the camera whose channel is NAME (amberline-regsvr --list shows\n"
      "                each camera's); default: the default camera\n"
      "  --help        print this and exit\n"
      "  --version     print the version and exit\n"
      "Exit status: 0 after a clean stop, 1 on an error (a damaged stream, an unreadable file),\n"
      "2 for a wrong command line, 3 when another producer already delivers.\n";
}

int Usage(const char* problem) {
  std::fprintf(stderr, "amberline-producer: %s\n%s", problem, UsageText().c_str());
  return 2;
}

// A number that is the whole text, nothing before or after it.
bool ParseNumber(const std::string& text, double* value) {
  if (text.empty()) return false;
  char* end = nullptr;
  *value = std::strtod(text.c_str(), &end);
  return end == text.c_str() + text.size() && std::isfinite(*value);
}

bool ParseOptions(int argc, char** argv, Options* o, std::string* problem) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--allow-second-producer") {
      o->allowSecondProducer = true;
      continue;
    }
    if (arg == "--help" || arg == "-h") {
      o->help = true;
      return true;
    }
    if (arg == "--loop") {
      o->loop = true;
      continue;
    }
    const bool hasValue = i + 1 < argc;
    const std::string value = hasValue ? argv[i + 1] : "";
    if (arg == "--size" && hasValue) {
      char tail = 0;
      if (std::sscanf(value.c_str(), "%dx%d%c", &o->width, &o->height, &tail) != 2 || o->width < kMinSide ||
          o->height < kMinSide) {
        *problem = "--size takes WxH, each side at least " + std::to_string(kMinSide);
        return false;
      }
      if (const std::string limit = FrameSizeProblem(o->width, o->height, kMinSide); !limit.empty()) {
        *problem = "--size " + limit;
        return false;
      }
      o->sizeGiven = true;
    } else if (arg == "--fps" && hasValue) {
      if (!ParseNumber(value, &o->fps) || o->fps < 1 || o->fps > 120) {
        *problem = "--fps takes a number from 1 to 120 (decimals allowed, such as 29.97)";
        return false;
      }
      o->fpsGiven = true;
    } else if (arg == "--seconds" && hasValue) {
      o->seconds = std::atof(value.c_str());
      if (o->seconds <= 0) {
        *problem = "--seconds takes a positive number";
        return false;
      }
    } else if (arg == "--frames" && hasValue) {
      o->frames = std::atoll(value.c_str());
      if (o->frames <= 0) {
        *problem = "--frames takes a positive number";
        return false;
      }
    } else if (arg == "--logo" && hasValue && (value == "on" || value == "off")) {
      o->logo = value == "on";
    } else if (arg == "--image" && hasValue) {
      o->image = value;
    } else if (arg == "--y4m" && hasValue) {
      o->y4m = value;
    } else if (arg == "--channel" && hasValue) {
      if (!channel::IsChannelName(value)) {
        *problem = "--channel takes a name of 1 to " + std::to_string(channel::kMaxChannelNameChars) +
                   " letters, digits, '-' and '_'";
        return false;
      }
      o->channel = value;
    } else {
      *problem = "unknown or incomplete option " + arg;
      return false;
    }
    ++i;
  }
  if (!o->y4m.empty()) {
    if (!o->image.empty()) {
      *problem = "--image and --y4m each choose what to send; give one of them";
      return false;
    }
    if (o->sizeGiven || o->fpsGiven) {
      *problem = "--y4m sends the stream at its own size and frame rate; --size and --fps do not apply";
      return false;
    }
    if (o->loop && o->y4m == "-") {
      *problem = "--loop starts a file again at its end; standard input cannot be read twice";
      return false;
    }
  } else if (o->loop) {
    *problem = "--loop applies to --y4m FILE";
    return false;
  }
  return true;
}

// The client table: the count, then each client's name and negotiated size.
void PrintClients(amberline_sender* sender, std::int32_t* printed) {
  std::vector<amberline_consumer> clients(8);
  std::int32_t count = 0;
  for (;;) {
    for (amberline_consumer& client : clients) client.size = sizeof client;
    if (amberline_sender_consumers(sender, clients.data(), static_cast<std::int32_t>(clients.size()), &count, nullptr) !=
        AMBERLINE_OK)
      return;
    if (count <= static_cast<std::int32_t>(clients.size())) break;
    clients.resize(static_cast<std::size_t>(count));
  }
  if (count == *printed) return;
  *printed = count;
  std::printf("%d client(s)\n", static_cast<int>(count));
  for (std::int32_t i = 0; i < count; ++i)
    std::printf("  %s  %dx%d\n", clients[static_cast<std::size_t>(i)].name, static_cast<int>(clients[static_cast<std::size_t>(i)].width),
                static_cast<int>(clients[static_cast<std::size_t>(i)].height));
  std::fflush(stdout);
}

std::string DisplayName(const std::string& input) { return input == "-" ? "standard input" : input; }

}  // namespace

int main(int argc, char** argv) {
  if (PrintVersionIfAsked(argc, argv, "amberline-producer")) return 0;
  Options options;
  std::string problem;
  if (!ParseOptions(argc, argv, &options, &problem)) return Usage(problem.c_str());
  if (options.help) {
    std::fputs(UsageText().c_str(), stdout);
    return 0;
  }

  // What is sent is decided, and its size checked, before the channel is touched: a
  // stream that cannot be shown leaves the cameras as they are.
  std::unique_ptr<CStreamInput> stream;
  // Frames a second as a fraction, so that 30000:1001 is paced exactly.
  double rateNumerator = options.fps, rateDenominator = 1;
  if (!options.y4m.empty()) {
    stream = std::make_unique<CStreamInput>(options.y4m);
    if (!stream->Open(&problem)) {
      std::fprintf(stderr, "amberline-producer: %s: %s\n", DisplayName(options.y4m).c_str(), problem.c_str());
      return 1;
    }
    const CY4mReader::Format& format = stream->Reader().GetFormat();
    options.width = format.width;
    options.height = format.height;
    rateNumerator = static_cast<double>(format.rateNumerator);
    rateDenominator = static_cast<double>(format.rateDenominator);
  }
  CFrameSource source(options.width, options.height);
  if (!options.image.empty() && !source.LoadPicture(options.image, &problem)) {
    std::fprintf(stderr, "amberline-producer: %s\n", problem.c_str());
    return 1;
  }
  std::vector<std::uint8_t> streamFrame;
  if (stream != nullptr) streamFrame.resize(static_cast<std::size_t>(stream->Reader().OutputBytes()));
  const std::size_t stride = (static_cast<std::size_t>(options.width) * 3 + 3) & ~std::size_t{3};

  platform::WatchStopRequests();
  amberline_sender_options senderOptions;
  amberline_sender_options_init(&senderOptions);
  senderOptions.width = options.width;
  senderOptions.height = options.height;
  // --fps takes up to three decimals (29.97); a stream gives its own fraction.
  senderOptions.fps_num = static_cast<std::int32_t>(std::lround(rateNumerator * (stream != nullptr ? 1 : 1000)));
  senderOptions.fps_den = static_cast<std::int32_t>(std::lround(rateDenominator * (stream != nullptr ? 1 : 1000)));
  senderOptions.flags = (options.logo ? AMBERLINE_FLAG_SHOW_LOGO : 0u) |
                        (options.allowSecondProducer ? AMBERLINE_FLAG_ALLOW_SECOND : 0u);
  senderOptions.channel = options.channel.c_str();
  amberline_sender* sender = nullptr;
  if (const amberline_result created = amberline_sender_create(&senderOptions, &sender); created != AMBERLINE_OK) {
    if (created == AMBERLINE_ERROR_BUSY) {
      std::fprintf(stderr, "amberline-producer: %s Stop the other one, or start this one with --allow-second-producer to run both.\n",
                   amberline_last_error());
      return 3;
    }
    std::fprintf(stderr, "amberline-producer: %s\n", amberline_last_error());
    return 1;
  }
  amberline_sender_stats stats{};
  stats.size = sizeof stats;
  if (amberline_sender_get_stats(sender, &stats) == AMBERLINE_OK && stats.beside_another != 0)
    std::fprintf(stderr, "amberline-producer: running beside another producer (--allow-second-producer)\n");
  char rate[32];
  std::snprintf(rate, sizeof rate, "%.6g", rateNumerator / rateDenominator);
  std::printf("Producing %dx%d at %s fps%s%s%s%s\n", options.width, options.height, rate,
              options.logo ? " with the logo" : "", stream != nullptr ? " from " : "",
              stream != nullptr ? DisplayName(options.y4m).c_str() : "",
              options.channel.empty() ? "" : (" on channel \"" + options.channel + "\"").c_str());
  std::int32_t printed = -1;
  PrintClients(sender, &printed);

  using Clock = std::chrono::steady_clock;
  const auto start = Clock::now();
  int status = 0;
  for (long long frame = 0; !platform::StopRequested(); ++frame) {
    if (options.frames > 0 && frame >= options.frames) break;
    if (options.seconds > 0 && Clock::now() - start >= std::chrono::duration<double>(options.seconds)) break;
    const std::vector<std::uint8_t>* bytes = nullptr;
    if (stream != nullptr) {
      CY4mReader::Result result = stream->Reader().ReadFrame(&problem);
      if (result == CY4mReader::Result::kEnd && options.loop && stream->Reader().FramesRead() > 0) {
        const CY4mReader::Format before = stream->Reader().GetFormat();
        if (!stream->Open(&problem)) {
          result = CY4mReader::Result::kError;
        } else if (const CY4mReader::Format& after = stream->Reader().GetFormat();
                   after.width != before.width || after.height != before.height) {
          problem = "the file changed its frame size while it was sent";
          result = CY4mReader::Result::kError;
        } else {
          result = stream->Reader().ReadFrame(&problem);
        }
      }
      // A stop request interrupts a read that waits for a pipe: that is a stop, not damage.
      if (result == CY4mReader::Result::kEnd || platform::StopRequested()) break;
      if (result == CY4mReader::Result::kError) {
        std::fprintf(stderr, "amberline-producer: %s: %s\n", DisplayName(options.y4m).c_str(), problem.c_str());
        status = 1;
        break;
      }
      stream->Reader().ConvertFrame(streamFrame.data(), stride);
      bytes = &streamFrame;
    } else {
      bytes = &source.Frame(frame);
    }
    // The frames are the channel's bottom-up rows: the top row is the last in memory.
    const std::uint8_t* top = bytes->data() + stride * static_cast<std::size_t>(options.height - 1);
    if (amberline_sender_send(sender, top, -static_cast<std::int32_t>(stride)) < 0) {
      std::fprintf(stderr, "amberline-producer: %s\n", amberline_last_error());
      status = 1;
      break;
    }
    PrintClients(sender, &printed);
    // Frame n is due at anchor + n x interval (no drift; after a stall of more than a frame
    // the deadlines start again rather than a burst). Slow streams wait long between
    // frames: a stop request ends the wait within 100 ms.
    std::int64_t waitNs = 0;
    while (!platform::StopRequested() && amberline_sender_poll_next_frame(sender, &waitNs) == AMBERLINE_NOT_YET)
      std::this_thread::sleep_for(std::chrono::nanoseconds(std::min<std::int64_t>(waitNs, 100000000)));
  }
  stats.size = sizeof stats;
  amberline_sender_get_stats(sender, &stats);
  amberline_sender_destroy(sender);
  std::printf("Stopped: %llu frames written, %llu dropped\n", static_cast<unsigned long long>(stats.frames_sent),
              static_cast<unsigned long long>(stats.frames_dropped));
  return status;
}
