// CCaptureSession: one recording from a camera filter — builds a filter graph with the
// camera and a CRendererFilter, optionally fixes the camera's frame size and/or frame
// rate (RequestFrameRate) through its output pin's IAMStreamConfig, connects the camera's output pin directly to the
// renderer's "In", runs the graph until enough frames arrived or the time is up, stops
// it and takes both filters out again.
//
// Frames are handed to the caller's sink on the calling thread, in order, as top-down
// RGB pictures numbered from 1. Every received frame is handed on: the renderer queues
// at most kQueueDepth copies and holds the camera's delivery while the queue is full,
// so a slow sink paces the camera (which then skips pictures at its source) instead of
// losing received frames. A frame whose copy could not be allocated is counted in
// Missed(); samples whose data does not hold the connected format's picture are counted
// in Malformed(); neither is handed on, so HandedOn() + Missed() + Malformed() is the
// number of frames received (up to the asked-for count).
//
// The run ends when enough frames arrived, the time is up, the camera ends its stream
// (EndedByCamera), the sink's frame callback returns false (EndedBySink; no later frame
// is handed on) or the sink's stopRequested answers true (Interrupted; asked before
// every frame and every wait of at most 50 ms). Each of these is a success: the graph is stopped and
// Run returns S_OK. After the first three the frames received until then are handed
// on; after a stop request none is, so that a stop is prompt even when the sink is
// stuck (the frames still queued count as received in Timing, not in HandedOn).
// A camera that delivers nothing for kStallTimeout (time spent in the sink not
// counted) ends the run with VFW_E_TIMEOUT.
// Failure: Run returns the HRESULT of the first graph step that failed and Step() names
// that step ("ConnectDirect(camera output, renderer In)"); the graph is then stopped and
// emptied as far as it can be. An EC_ERRORABORT from the graph ends the run with the
// error it carries; EC_COMPLETE ends it early and successfully.
// Ownership: holds one reference on the camera from construction to destruction; the
// graph and the renderer live for one Run. Threading: one thread; the renderer is fed
// by the camera's worker thread meanwhile.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "frame_timing.h"
#include "com/com_ptr.h"
#include "platform/dshow_types.h"
#include "rgb_picture.h"

class CCaptureSession {
 public:
  static constexpr std::size_t kQueueDepth = 8;
  static constexpr std::chrono::seconds kStallTimeout{10};

  struct Format {
    int width = 0;
    int height = 0;          // rows of the picture (always positive)
    long long frameTime = 0;  // AvgTimePerFrame, 100 ns units (0: not given)
  };
  struct Sink {
    // Called once the connection is made, before the graph runs; false cancels the run
    // (E_ABORT, step "output set-up").
    std::function<bool(const Format&)> start;
    // False: the output cannot take more frames; the run ends.
    std::function<bool(long long number, const CRgbPicture& picture)> frame;
    // Asked between frames; true ends the run (a user's stop request).
    std::function<bool()> stopRequested;
  };

  explicit CCaptureSession(IBaseFilter* camera);
  ~CCaptureSession();
  CCaptureSession(const CCaptureSession&) = delete;
  CCaptureSession& operator=(const CCaptureSession&) = delete;

  // width/height 0: the camera's own format. frames 0: run for `duration`.
  HRESULT Run(int width, int height, long long frames, std::chrono::milliseconds duration, const Sink& sink);

  // Frames a second the next Run asks the camera for (0: the camera's own rate). With
  // no size given the camera's current size is kept.
  void RequestFrameRate(int fps) { m_fps = fps; }

  const std::string& Step() const { return m_step; }
  // The frame sizes the camera offers right now, as its stream capabilities give them
  // ("from 160x120 to 640x480 in steps of 8x8", or "only 320x240" while a producer's
  // size is the camera's own); empty when the camera does not say. Safe between runs.
  std::string AcceptedSizes() const;
  const Format& ConnectedFormat() const { return m_format; }
  const CFrameTiming& Timing() const { return m_timing; }
  long long Missed() const { return m_missed; }
  long long Malformed() const { return m_malformed; }
  long long HandedOn() const { return m_handedOn; }
  bool EndedByCamera() const { return m_endedByCamera; }
  bool EndedBySink() const { return m_endedBySink; }
  bool Interrupted() const { return m_interrupted; }

 private:
  HRESULT Fail(const char* step, HRESULT hr);
  static HRESULT FindOutputPin(IBaseFilter* filter, IPin** ppPin);
  HRESULT SetCameraFormat(IPin* pin, int width, int height);
  HRESULT ReadConnectedFormat(IPin* pin);

  const CComPtr<IBaseFilter> m_camera;
  int m_fps = 0;
  std::string m_step;
  Format m_format;
  long long m_signedHeight = 0;  // as the format gives it: positive = bottom line first
  CFrameTiming m_timing;
  long long m_missed = 0;
  long long m_malformed = 0;
  long long m_handedOn = 0;
  bool m_endedByCamera = false;
  bool m_endedBySink = false;
  bool m_interrupted = false;
};
