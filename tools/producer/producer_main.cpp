// amberline-producer: the reference producer. Writes frames into the shared channel for
// every camera on this machine to deliver.
//
//   amberline-producer [--size WxH] [--fps N] [--seconds S | --frames N] [--logo on|off]
//                      [--image FILE.png] [--allow-second-producer]
//
// Defaults: 640x480 at 25 frames a second until interrupted, no logo, a moving test
// pattern. It announces its frame size and logo flag, prints the client table whenever
// the number of clients changes, and on Ctrl+C / SIGTERM shuts the channel down so that
// the cameras fall back to their placeholder. Exit status 0 after a clean stop.
// While another producer delivers on the same channel it refuses to start (exit status
// 3), as the cameras would flicker between the two; --allow-second-producer runs it
// beside the other anyway.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "channel/file_mapping.h"
#include "frame_source.h"
#include "platform/notify_queue.h"
#include "platform/stop_request.h"
#include "platform/wide_string.h"

namespace {

struct Options {
  int width = 640;
  int height = 480;
  int fps = 25;
  double seconds = 0;
  long long frames = 0;
  bool logo = false;
  std::string image;
  bool allowSecondProducer = false;
};

int Usage(const char* problem) {
  std::fprintf(stderr,
               "amberline-producer: %s\n"
               "usage: amberline-producer [--size WxH] [--fps N] [--seconds S | --frames N] [--logo on|off] "
               "[--image FILE.png] [--allow-second-producer]\n",
               problem);
  return 2;
}

bool ParseOptions(int argc, char** argv, Options* o, std::string* problem) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--allow-second-producer") {
      o->allowSecondProducer = true;
      continue;
    }
    const bool hasValue = i + 1 < argc;
    const std::string value = hasValue ? argv[i + 1] : "";
    if (arg == "--size" && hasValue) {
      if (std::sscanf(value.c_str(), "%dx%d", &o->width, &o->height) != 2 || o->width < 16 || o->height < 16 ||
          o->width > 3840 || o->height > 2160) {
        *problem = "--size takes WxH between 16x16 and 3840x2160";
        return false;
      }
    } else if (arg == "--fps" && hasValue) {
      o->fps = std::atoi(value.c_str());
      if (o->fps < 1 || o->fps > 120) {
        *problem = "--fps takes 1 to 120";
        return false;
      }
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
    } else {
      *problem = "unknown or incomplete option " + arg;
      return false;
    }
    ++i;
  }
  return true;
}

void PrintClients(CFileMapping& channel, std::int32_t count) {
  std::vector<channel::ClientEntry> clients;
  channel.GetClientInfo(&clients);
  std::printf("%d client(s)\n", static_cast<int>(count));
  for (const auto& c : clients) {
    std::size_t n = 0;
    while (n < channel::kClientNameUnits && c.Name[n] != 0) ++n;
    std::printf("  %s  %dx%d\n", platform::WideToUtf8(platform::Utf16ToWide(c.Name, n)).c_str(),
                static_cast<int>(c.Width), static_cast<int>(c.Height));
  }
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  std::string problem;
  if (!ParseOptions(argc, argv, &options, &problem)) return Usage(problem.c_str());

  CFrameSource source(options.width, options.height);
  if (!options.image.empty() && !source.LoadPicture(options.image, &problem)) {
    std::fprintf(stderr, "amberline-producer: %s\n", problem.c_str());
    return 1;
  }

  platform::WatchStopRequests();
  CNotifyQueue notifications;
  CFileMapping channel;
  if (channel.Init(true, notifications.Window()) != 0) {
    std::fprintf(stderr, "amberline-producer: cannot open the shared frame channel\n");
    return 1;
  }
  if (channel.OtherProducerRuns()) {
    if (!options.allowSecondProducer) {
      std::fprintf(stderr,
                   "amberline-producer: another producer is already delivering frames to the cameras; two at once "
                   "make every camera flicker between their frames. Stop the other one, or start this one with "
                   "--allow-second-producer to run both.\n");
      channel.Destroy();
      return 3;
    }
    std::fprintf(stderr, "amberline-producer: running beside another producer (--allow-second-producer)\n");
  }
  channel.SetServerResolution(options.width, options.height);
  channel.SetShowLogo(options.logo ? 1 : 0);
  std::printf("Producing %dx%d at %d fps%s\n", options.width, options.height, options.fps,
              options.logo ? " with the logo" : "");
  PrintClients(channel, channel.GetClientCount());

  using Clock = std::chrono::steady_clock;
  const auto start = Clock::now();
  const auto interval = std::chrono::duration<double>(1.0 / options.fps);
  long long written = 0, dropped = 0;
  for (long long frame = 0; !platform::StopRequested(); ++frame) {
    if (options.frames > 0 && frame >= options.frames) break;
    if (options.seconds > 0 && Clock::now() - start >= std::chrono::duration<double>(options.seconds)) break;
    const auto& bytes = source.Frame(frame);
    const std::int64_t stamp = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    const std::int64_t number = frame;
    if (channel.SetMediaSample(0, options.width, options.height, bytes.data(), source.Bytes(),
                               static_cast<std::int32_t>(frame), &number, &stamp) == 0)
      ++written;
    else
      ++dropped;
    NotifyMessage message{};
    while (notifications.WaitMessage(0, &message))
      if (message.message == channel::kClientCountMessage)
        PrintClients(channel, static_cast<std::int32_t>(message.wParam));
    std::this_thread::sleep_until(start + std::chrono::duration_cast<Clock::duration>(interval * (frame + 1)));
  }
  channel.Destroy();
  std::printf("Stopped: %lld frames written, %lld dropped\n", written, dropped);
  return 0;
}
