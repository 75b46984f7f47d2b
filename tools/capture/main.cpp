// amberline-capture: a small video application. It finds a camera among the video input
// devices by its friendly name, connects it to a renderer in a filter graph, records
// its frames for a while (optionally as YUV4MPEG2, PNG files and a contact sheet) and
// prints how many frames arrived and how evenly. See capture_options.h for the command
// line. Exit status: 0 success, 1 a device or graph step failed (its HRESULT is
// printed in hex), 2 a bad command line or an output file that cannot be written.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "capture_options.h"
#include "capture_session.h"
#include "console_output.h"
#include "contact_sheet.h"
#include "device_finder.h"
#include "platform/guid.h"
#include "platform/wide_string.h"
#include "png_writer.h"
#include "utf8_path.h"
#include "y4m_writer.h"

namespace {

std::string Hex(HRESULT hr) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(static_cast<std::uint32_t>(hr)));
  return text;
}

int ListDevices(CConsoleOutput& out) {
  std::vector<CDeviceFinder::Device> devices;
  const HRESULT hr = CDeviceFinder::List(&devices);
  if (FAILED(hr)) {
    out.Error("cannot enumerate the video input devices: " + Hex(hr));
    return 1;
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

int Capture(const CCaptureOptions& options, CConsoleOutput& out) {
  if (!options.pngDir.empty()) {
    std::error_code error;
    std::filesystem::create_directories(Utf8Path(options.pngDir), error);
    if (error) {
      out.Error("cannot create the folder " + options.pngDir + ": " + error.message());
      return 2;
    }
  }

  IBaseFilter* camera = nullptr;
  HRESULT hr = CDeviceFinder::Find(platform::Utf8ToWide(options.camera), &camera);
  if (hr == VFW_E_NOT_FOUND) {
    out.Error("no video input device is called \"" + options.camera + "\" (" + Hex(hr) +
              "); --list shows the registered ones");
    return 1;
  }
  if (FAILED(hr)) {
    out.Error("cannot open the camera \"" + options.camera + "\": " + Hex(hr));
    return 1;
  }

  CY4mWriter y4m;
  CContactSheet sheet;
  bool outputFailed = false;
  long long middle = 0;
  CRgbPicture last;
  long long lastNumber = 0;
  std::vector<std::string> pngWritten;
  auto savePng = [&](long long number, const CRgbPicture& picture) {
    const std::string path = PngName(options.pngDir, number);
    if (CPngWriter::Write(path, picture)) pngWritten.push_back(path);
    else outputFailed = true;
  };

  CCaptureSession::Sink sink;
  sink.start = [&](const CCaptureSession::Format& format) {
    out.Print("camera \"" + options.camera + "\": " + std::to_string(format.width) + "x" +
              std::to_string(format.height) + " RGB24");
    const long long frameTime = format.frameTime > 0 ? format.frameTime : 400'000;
    middle = options.frames > 0 ? (options.frames + 1) / 2
                                : std::max(1LL, static_cast<long long>(options.seconds * 1e7 / frameTime) / 2);
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
    if (!options.y4mPath.empty() && !y4m.WriteFrame(picture)) outputFailed = true;
    if (!options.sheetPath.empty()) sheet.Offer(number, picture);
    if (!options.pngDir.empty()) {
      if (number == 1 || number == middle) savePng(number, picture);
      last = picture;
      lastNumber = number;
    }
  };

  const auto duration = std::chrono::milliseconds(static_cast<long long>(options.seconds * 1000.0));
  int status = 0;
  {
    CCaptureSession session(camera);
    camera->Release();
    session.RequestFrameRate(options.fps);
    hr = session.Run(options.width, options.height, options.frames, duration, sink);
    if (FAILED(hr)) {
      out.Error(session.Step() + " failed: " + Hex(hr));
      status = 1;
    }
    if (!options.pngDir.empty() && lastNumber > 1 && lastNumber != middle) savePng(lastNumber, last);
    if (!options.y4mPath.empty() && !y4m.Close()) outputFailed = true;
    if (!options.y4mPath.empty() && status == 0)
      out.Print("y4m: " + options.y4mPath + " (" + std::to_string(y4m.FramesWritten()) + " frames, C444)");
    for (const auto& path : pngWritten) out.Print("png: " + path);
    if (!options.sheetPath.empty() && !sheet.Chosen().empty()) {
      if (CPngWriter::Write(options.sheetPath, sheet.Render()))
        out.Print("sheet: " + options.sheetPath + " (" + std::to_string(sheet.Chosen().size()) + " frames)");
      else outputFailed = true;
    }
    if (status == 0) {
      if (session.EndedByCamera()) out.Print("the camera ended its stream");
      if (session.Missed() > 0)
        out.Print(std::to_string(session.Missed()) + " frames arrived faster than they could be written and were skipped");
      if (session.Malformed() > 0)
        out.Print(std::to_string(session.Malformed()) + " frames were shorter than their format and were skipped");
      out.Print(session.Timing().Summary());
    }
  }
  if (outputFailed) {
    out.Error("some output files could not be written");
    if (status == 0) status = 2;
  }
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  CConsoleOutput out;
  CCaptureOptions options;
  std::string error;
  if (!CCaptureOptions::Parse(std::vector<std::string>(argv + 1, argv + argc), &options, &error)) {
    out.Error(error);
    std::fputs(CCaptureOptions::Usage().c_str(), stderr);
    return 2;
  }
  if (options.help) {
    std::fputs(CCaptureOptions::Usage().c_str(), stdout);
    return 0;
  }
  if (!options.transcriptPath.empty() && !out.SetTranscript(options.transcriptPath)) {
    out.Error("cannot create " + options.transcriptPath);
    return 2;
  }
  const HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  if (FAILED(hr)) {
    out.Error("CoInitializeEx failed: " + Hex(hr));
    return 1;
  }
  const int status = options.list ? ListDevices(out) : Capture(options, out);
  CoUninitialize();
  return status;
}
