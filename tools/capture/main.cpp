// amberline-capture: a small video application. It finds a camera among the video input
// devices by its friendly name, connects it to a renderer in a filter graph, records
// its frames for a while (optionally as YUV4MPEG2, PNG files and a contact sheet) and
// prints how many frames arrived, how many reached each output and how evenly they came.
// Slow outputs pace the camera rather than lose frames. Ctrl+C, SIGTERM and a closed
// output pipe stop the graph, write what was received and the summary and release the
// camera. See capture_options.h for the command line and the exit statuses.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <set>
#include <string>
#include <system_error>
#include <vector>

#include "capture_options.h"
#include "capture_session.h"
#include "com/com_ptr.h"
#include "console_output.h"
#include "contact_sheet.h"
#include "device_finder.h"
#include "diagnostics/status_text.h"
#include "diagnostics/version.h"
#include "platform/guid.h"
#include "platform/stop_request.h"
#include "platform/wide_string.h"
#include "png_writer.h"
#include "utf8_path.h"
#include "y4m_writer.h"

namespace {

using diagnostics::DescribeStatus;

int ListDevices(CConsoleOutput& out) {
  std::vector<CDeviceFinder::Device> devices;
  const HRESULT hr = CDeviceFinder::List(&devices);
  if (FAILED(hr)) {
    out.Error("cannot enumerate the video input devices: " + DescribeStatus(hr));
    return CCaptureOptions::kExitDevice;
  }
  if (devices.empty()) {
    out.Print("no video input devices");
    return 0;
  }
  for (const auto& device : devices)
    out.Print(platform::WideToUtf8(platform::GuidToRegistryString(device.clsid)) + " " +
              platform::WideToUtf8(device.friendlyName));
  return 0;
}

std::string PngName(const std::string& dir, long long number) {
  char name[40];
  std::snprintf(name, sizeof name, "frame_%06lld.png", number);
  const std::u8string path = (Utf8Path(dir) / name).u8string();
  return std::string(path.begin(), path.end());
}

// How a run that was stopped from outside ends.
int InterruptedStatus(platform::StopReason reason) {
  return reason == platform::StopReason::kTerminate ? CCaptureOptions::kExitTerminated
                                                    : CCaptureOptions::kExitInterrupted;
}

int Capture(const CCaptureOptions& options, CConsoleOutput& out) {
  if (!options.pngDir.empty()) {
    std::error_code error;
    std::filesystem::create_directories(Utf8Path(options.pngDir), error);
    if (error) {
      out.Error("cannot create the folder " + options.pngDir + ": " + error.message());
      return CCaptureOptions::kExitOutput;
    }
  }

  CComPtr<IBaseFilter> camera;
  HRESULT hr = CDeviceFinder::Find(platform::Utf8ToWide(options.camera), camera.Receive());
  if (hr == VFW_E_NOT_FOUND) {
    out.Error("no video input device is called \"" + options.camera + "\" (" + DescribeStatus(hr) +
              "); --list shows the registered ones");
    return CCaptureOptions::kExitDevice;
  }
  if (FAILED(hr)) {
    out.Error("cannot open the camera \"" + options.camera + "\": " + DescribeStatus(hr));
    return CCaptureOptions::kExitDevice;
  }

  CY4mWriter y4m;
  CContactSheet sheet;
  bool outputFailed = false;  // an output could not take a frame: the run ended there
  long long middle = 0;       // 0: chosen by time (a timed run)
  long long middleNumber = 0;
  CRgbPicture last;
  long long lastNumber = 0;
  std::chrono::steady_clock::time_point firstAt{};
  std::set<long long> pngWanted;
  std::vector<std::string> pngWritten;
  auto savePng = [&](long long number, const CRgbPicture& picture) {
    pngWanted.insert(number);
    const std::string path = PngName(options.pngDir, number);
    if (CPngWriter::Write(path, picture)) {
      pngWritten.push_back(path);
      return true;
    }
    out.Error("cannot write " + path);
    outputFailed = true;
    return false;
  };

  CCaptureSession::Sink sink;
  sink.start = [&](const CCaptureSession::Format& format) {
    out.Print("camera \"" + options.camera + "\": " + std::to_string(format.width) + "x" +
              std::to_string(format.height) + " RGB24");
    middle = options.frames > 0 ? (options.frames + 1) / 2 : 0;
    if (options.y4mPath.empty()) return true;
    std::uint32_t numerator = 0, denominator = 0;
    CY4mWriter::RateFromDuration(format.frameTime, &numerator, &denominator);
    if (!y4m.Open(options.y4mPath, format.width, format.height, numerator, denominator)) {
      out.Error("cannot create " + options.y4mPath);
      return false;
    }
    return true;
  };
  sink.frame = [&](long long number, const CRgbPicture& picture) {
    const auto now = std::chrono::steady_clock::now();
    if (number == 1) firstAt = now;
    if (!options.y4mPath.empty() && !y4m.WriteFrame(picture)) {
      // A reader that closed its pipe is the user's stop, and so is a stop request that
      // cut a write short; anything else a failure.
      if (!y4m.ReaderGone() && !y4m.Stopped()) {
        out.Error("cannot write frame " + std::to_string(number) + " to " + options.y4mPath);
        outputFailed = true;
      }
      return false;
    }
    if (!options.sheetPath.empty()) sheet.Offer(number, picture);
    if (!options.pngDir.empty()) {
      // The first frame, the middle one (by count, or the first one handed on after
      // half the time in a timed run) and, at the end, the last.
      const bool isMiddle = middle > 0 ? number == middle
                                       : middleNumber == 0 && number > 1 &&
                                             now - firstAt >= std::chrono::duration<double>(options.seconds / 2);
      if (number == 1 || isMiddle) {
        if (isMiddle) middleNumber = number;
        if (!savePng(number, picture)) return false;
      }
      last = picture;
      lastNumber = number;
    }
    return true;
  };
  platform::ReportClosedPipesAsErrors();
  sink.stopRequested = [] { return platform::StopRequested(); };

  const auto duration = std::chrono::milliseconds(static_cast<long long>(options.seconds * 1000.0));
  int status = CCaptureOptions::kExitSuccess;
  {
    CCaptureSession session(camera.Get());
    camera.Reset();
    session.RequestFrameRate(options.fps);
    hr = session.Run(options.width, options.height, options.frames, duration, sink);
    if (FAILED(hr)) {
      std::string message = session.Step() + " failed: " + DescribeStatus(hr);
      // A size the camera refused: say which sizes it offers.
      const bool sizeStep = session.Step().find("SetFormat") != std::string::npos ||
                            session.Step().find("ConnectDirect") != std::string::npos;
      if (options.width > 0 && sizeStep) {
        const std::string sizes = session.AcceptedSizes();
        if (!sizes.empty())
          message += "; sizes the camera offers right now: " + sizes + " (asked for " +
                     std::to_string(options.width) + "x" + std::to_string(options.height) + ")";
      }
      out.Error(message);
      status = CCaptureOptions::kExitDevice;
    }
    if (!options.pngDir.empty() && lastNumber > 1 && !pngWanted.count(lastNumber) && !outputFailed)
      savePng(lastNumber, last);
    if (!options.y4mPath.empty() && !y4m.Close() && !y4m.ReaderGone()) {
      out.Error("cannot finish " + options.y4mPath);
      outputFailed = true;
    }
    const bool readerGone = !options.y4mPath.empty() && y4m.ReaderGone();
    const platform::StopReason stopReason = platform::StopRequestReason();
    const bool interrupted = stopReason != platform::StopReason::kNone || readerGone;

    if (status == CCaptureOptions::kExitSuccess) {
      const long long received = session.Timing().Count();
      if (session.EndedByCamera()) out.Print("the camera ended its stream");
      if (stopReason == platform::StopReason::kInterrupt) out.Print("stopped by an interrupt (Ctrl+C)");
      if (stopReason == platform::StopReason::kTerminate) out.Print("stopped by a termination request");
      if (readerGone) out.Print("stopped: the reader of " + options.y4mPath + " closed it");
      if (session.Missed() > 0)
        out.Print(std::to_string(session.Missed()) + " frames were lost (no memory for their copy)");
      if (session.Malformed() > 0)
        out.Print(std::to_string(session.Malformed()) + " frames were shorter than their format and were skipped");
      out.Print(session.Timing().Summary());
      // Every output against the frames it was to get.
      if (!options.y4mPath.empty())
        out.Print("y4m: " + options.y4mPath + ": " + std::to_string(y4m.FramesWritten()) + " of " +
                  std::to_string(received) + " frames written (C444)");
      for (const auto& path : pngWritten) out.Print("png: " + path);
      if (!options.pngDir.empty())
        out.Print("png: " + std::to_string(pngWritten.size()) + " of " + std::to_string(pngWanted.size()) +
                  " files written");
      if (!options.sheetPath.empty() && !sheet.Chosen().empty()) {
        if (CPngWriter::Write(options.sheetPath, sheet.Render())) {
          out.Print("sheet: " + options.sheetPath + " (" + std::to_string(sheet.Chosen().size()) + " frames)");
        } else {
          out.Error("cannot write " + options.sheetPath);
          outputFailed = true;
        }
      }
      const bool allWritten = (options.y4mPath.empty() || y4m.FramesWritten() == received) &&
                              pngWritten.size() == pngWanted.size() && !outputFailed;
      if (interrupted) {
        status = readerGone && stopReason == platform::StopReason::kNone ? CCaptureOptions::kExitPipeClosed
                                                                          : InterruptedStatus(stopReason);
      } else if (!allWritten) {
        out.Error("not every frame received reached its output (" + std::to_string(received) + " received)");
        status = CCaptureOptions::kExitOutput;
      } else if (options.frames > 0 && session.HandedOn() < options.frames) {
        out.Error("only " + std::to_string(session.HandedOn()) + " of the " + std::to_string(options.frames) +
                  " frames asked for could be recorded");
        status = CCaptureOptions::kExitDevice;
      }
    }
  }
  if (outputFailed && status == CCaptureOptions::kExitSuccess) status = CCaptureOptions::kExitOutput;
  // A stop while the graph was being set up (for instance while a named pipe waited for
  // its reader) is an interruption too.
  if (status == CCaptureOptions::kExitDevice && platform::StopRequested())
    status = InterruptedStatus(platform::StopRequestReason());
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  if (PrintVersionIfAsked(argc, argv, "amberline-capture")) return 0;
  CConsoleOutput out;
  CCaptureOptions options;
  std::string error;
  if (!CCaptureOptions::Parse(std::vector<std::string>(argv + 1, argv + argc), &options, &error)) {
    out.Error(error);
    std::fputs(CCaptureOptions::Usage().c_str(), stderr);
    return CCaptureOptions::kExitUsage;
  }
  if (options.help) {
    std::fputs(CCaptureOptions::Usage().c_str(), stdout);
    return CCaptureOptions::kExitSuccess;
  }
  // Installed before the camera is looked for, so that a stop at any point is orderly.
  platform::WatchStopRequests();
  if (!options.transcriptPath.empty() && !out.SetTranscript(options.transcriptPath)) {
    out.Error("cannot create " + options.transcriptPath);
    return CCaptureOptions::kExitUsage;
  }
  const HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  if (FAILED(hr)) {
    out.Error("CoInitializeEx failed: " + DescribeStatus(hr));
    return CCaptureOptions::kExitDevice;
  }
  const int status = options.list ? ListDevices(out) : Capture(options, out);
  CoUninitialize();
  return status;
}
