#include "capture_session.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <limits>

#include "common/renderer_filter.h"
#include "com/com_ptr.h"
#include "framework/media_type.h"
#include "framework/scoped_media_type.h"

namespace {

using Clock = std::chrono::steady_clock;

}  // namespace

CCaptureSession::CCaptureSession(IBaseFilter* camera) : m_camera(camera, kAddRef) {}

CCaptureSession::~CCaptureSession() = default;

HRESULT CCaptureSession::Fail(const char* step, HRESULT hr) {
  m_step = step;
  return FAILED(hr) ? hr : E_FAIL;
}

HRESULT CCaptureSession::FindOutputPin(IBaseFilter* filter, IPin** ppPin) {
  *ppPin = nullptr;
  CComPtr<IEnumPins> pins;
  HRESULT hr = filter->EnumPins(pins.Receive());
  if (FAILED(hr)) return hr;
  if (!pins) return E_POINTER;
  for (;;) {
    CComPtr<IPin> pin;
    ULONG fetched = 0;
    if (pins->Next(1, pin.Receive(), &fetched) != S_OK || fetched != 1 || !pin) break;
    PIN_DIRECTION direction = PINDIR_INPUT;
    if (SUCCEEDED(pin->QueryDirection(&direction)) && direction == PINDIR_OUTPUT) {
      *ppPin = pin.Detach();  // The caller's reference.
      break;
    }
  }
  return *ppPin ? S_OK : VFW_E_NOT_FOUND;
}

HRESULT CCaptureSession::SetCameraFormat(IPin* pin, int width, int height) {
  CComPtr<IAMStreamConfig> config;
  HRESULT hr = pin->QueryInterface(IID_IAMStreamConfig, config.ReceiveVoid());
  if (FAILED(hr)) return Fail("IAMStreamConfig on the camera's output pin", hr);

  // Keep the camera's own frame duration and size where they are not asked for.
  REFERENCE_TIME frameTime = 0;
  CScopedMediaType current;
  if (SUCCEEDED(config->GetFormat(current.Receive())) && current) {
    if (IsEqualGUID(current->formattype, FORMAT_VideoInfo) && current->pbFormat != nullptr &&
        current->cbFormat >= sizeof(VIDEOINFOHEADER)) {
      const auto* format = reinterpret_cast<const VIDEOINFOHEADER*>(current->pbFormat);
      frameTime = format->AvgTimePerFrame;
      if (width <= 0 || height <= 0) {
        width = format->bmiHeader.biWidth;
        height = format->bmiHeader.biHeight;
      }
    }
  }
  if (width <= 0 || height <= 0) return Fail("IAMStreamConfig::GetFormat (the camera's size)", VFW_E_INVALIDMEDIATYPE);
  if (m_fps > 0) frameTime = (10'000'000 + m_fps / 2) / m_fps;

  CMediaType type = MakeRgb24VideoType(width, height, frameTime);
  if (type.pbFormat == nullptr) return Fail("IAMStreamConfig::SetFormat", E_OUTOFMEMORY);
  hr = config->SetFormat(&type);
  if (FAILED(hr)) return Fail("IAMStreamConfig::SetFormat", hr);
  return S_OK;
}

std::string CCaptureSession::AcceptedSizes() const {
  CComPtr<IPin> pin;
  if (FAILED(FindOutputPin(m_camera.Get(), pin.Receive()))) return {};
  CComPtr<IAMStreamConfig> config;
  if (FAILED(pin->QueryInterface(IID_IAMStreamConfig, config.ReceiveVoid()))) return {};
  int count = 0, size = 0;
  if (FAILED(config->GetNumberOfCapabilities(&count, &size)) || count < 1 ||
      size < static_cast<int>(sizeof(VIDEO_STREAM_CONFIG_CAPS)))
    return {};
  std::string sizes;
  for (int i = 0; i < count; ++i) {
    std::vector<BYTE> block(static_cast<std::size_t>(size));
    CScopedMediaType type;
    if (FAILED(config->GetStreamCaps(i, type.Receive(), block.data()))) continue;
    VIDEO_STREAM_CONFIG_CAPS caps;
    std::memcpy(&caps, block.data(), sizeof caps);
    auto text = [](const SIZE& s) { return std::to_string(s.cx) + "x" + std::to_string(s.cy); };
    std::string range;
    if (caps.MinOutputSize.cx == caps.MaxOutputSize.cx && caps.MinOutputSize.cy == caps.MaxOutputSize.cy) {
      range = "only " + text(caps.MaxOutputSize);
    } else {
      range = "from " + text(caps.MinOutputSize) + " to " + text(caps.MaxOutputSize);
      if (caps.OutputGranularityX > 1 || caps.OutputGranularityY > 1)
        range += " in steps of " + std::to_string(caps.OutputGranularityX) + "x" +
                 std::to_string(caps.OutputGranularityY);
    }
    sizes += (sizes.empty() ? "" : ", or ") + range;
  }
  return sizes;
}

HRESULT CCaptureSession::ReadConnectedFormat(IPin* pin) {
  CMediaType type;
  HRESULT hr = pin->ConnectionMediaType(&type);
  if (FAILED(hr)) return Fail("ConnectionMediaType", hr);
  if (!IsEqualGUID(type.formattype, FORMAT_VideoInfo) || type.pbFormat == nullptr ||
      type.cbFormat < sizeof(VIDEOINFOHEADER))
    return Fail("reading the connected format", VFW_E_INVALIDMEDIATYPE);
  const auto* vih = reinterpret_cast<const VIDEOINFOHEADER*>(type.pbFormat);
  const long long width = vih->bmiHeader.biWidth;
  const long long height = vih->bmiHeader.biHeight;
  if (vih->bmiHeader.biBitCount != 24 || CRgbPicture::FrameStride(width) < 0 || height == 0 ||
      height < -(1LL << 15) || height > (1LL << 15))
    return Fail("reading the connected format", VFW_E_INVALIDMEDIATYPE);
  m_format.width = static_cast<int>(width);
  m_format.height = static_cast<int>(height < 0 ? -height : height);
  m_format.frameTime = vih->AvgTimePerFrame > 0 ? vih->AvgTimePerFrame : 0;
  m_signedHeight = height;
  return S_OK;
}

HRESULT CCaptureSession::Run(int width, int height, long long frames, std::chrono::milliseconds duration,
                             const Sink& sink) {
  m_step.clear();
  m_timing = CFrameTiming();
  m_missed = m_malformed = m_handedOn = 0;
  m_endedByCamera = m_endedBySink = m_interrupted = false;

  CComPtr<IGraphBuilder> graph;
  HRESULT hr = CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder,
                                graph.ReceiveVoid());
  if (FAILED(hr)) return Fail("CoCreateInstance(CLSID_FilterGraph)", hr);
  CComPtr<IMediaControl> control;
  hr = graph->QueryInterface(IID_IMediaControl, control.ReceiveVoid());
  if (FAILED(hr)) return Fail("IMediaControl on the graph", hr);
  CComPtr<IMediaEvent> events;
  hr = graph->QueryInterface(IID_IMediaEvent, events.ReceiveVoid());
  if (FAILED(hr)) return Fail("IMediaEvent on the graph", hr);

  CComPtr<CRendererFilter> renderer(CRendererFilter::Create(), kAdoptRef);
  if (!renderer) return Fail("creating the renderer", E_OUTOFMEMORY);
  CRendererInputPin* input = renderer->InputPin();
  input->AcceptOnly(MEDIASUBTYPE_RGB24, width, height);
  input->QueueDataCopies(kQueueDepth);
  const long long limit = frames > 0 ? frames : LLONG_MAX;
  input->SetMaxRecords(static_cast<std::size_t>(std::min<long long>(limit, 1LL << 20)));

  bool cameraAdded = false, rendererAdded = false, running = false;
  // Stops and empties the graph; runs on every way out.
  auto cleanUp = [&]() {
    if (running) control->Stop();
    running = false;
    if (rendererAdded) graph->RemoveFilter(renderer->Filter());
    if (cameraAdded) graph->RemoveFilter(m_camera.Get());
    rendererAdded = cameraAdded = false;
  };
  auto fail = [&](const char* step, HRESULT result) {
    const HRESULT failure = Fail(step, result);
    cleanUp();
    return failure;
  };

  hr = graph->AddFilter(m_camera.Get(), L"Camera");
  if (FAILED(hr)) return fail("AddFilter(camera)", hr);
  cameraAdded = true;
  hr = graph->AddFilter(renderer->Filter(), L"Renderer");
  if (FAILED(hr)) return fail("AddFilter(renderer)", hr);
  rendererAdded = true;

  CComPtr<IPin> output;
  hr = FindOutputPin(m_camera.Get(), output.Receive());
  if (FAILED(hr)) return fail("finding the camera's output pin", hr);
  if ((width > 0 && height > 0) || m_fps > 0) {
    hr = SetCameraFormat(output.Get(), width, height);  // names its own failing step
    if (FAILED(hr)) {
      cleanUp();
      return hr;
    }
  }
  hr = graph->ConnectDirect(output.Get(), renderer->Pin(), nullptr);
  if (FAILED(hr)) return fail("ConnectDirect(camera output, renderer In)", hr);
  hr = ReadConnectedFormat(renderer->Pin());  // names its own failing step
  if (FAILED(hr)) {
    cleanUp();
    return hr;
  }
  if (sink.start && !sink.start(m_format)) return fail("output set-up", E_ABORT);

  const Clock::time_point epoch = Clock::now();
  hr = control->Run();
  if (FAILED(hr)) return fail("IMediaControl::Run", hr);
  running = true;

  long long next = 0;  // index of the next sample to hand on
  bool sinkEnded = false;
  // Hands on the queued copies below `end` in order; true when it handed on any.
  auto drain = [&](long long end) {
    bool handed = false;
    for (const auto& copy : input->TakeDataCopies()) {
      // Asked before every frame, so that a stop is not held up by a slow sink.
      if (!m_interrupted && sink.stopRequested && sink.stopRequested()) m_interrupted = true;
      if (sinkEnded || m_interrupted || copy.index < next || copy.index >= end) continue;
      m_missed += copy.index - next;
      next = copy.index + 1LL;
      CRgbPicture picture;
      if (!picture.FromFrame(copy.bytes.data(), copy.bytes.size(), m_format.width, m_signedHeight)) {
        ++m_malformed;
        continue;
      }
      handed = true;
      ++m_handedOn;
      if (sink.frame && !sink.frame(copy.index + 1LL, picture)) sinkEnded = true;
    }
    return handed;
  };

  long long end = limit;
  Clock::time_point lastArrival = Clock::now();
  long long lastCount = 0;
  for (;;) {
    if (m_interrupted || (sink.stopRequested && sink.stopRequested())) {
      m_interrupted = true;
      end = std::min(end, static_cast<long long>(input->SampleCount()));
      break;
    }
    input->WaitForSamples(static_cast<LONG>(std::min<long long>(next + 1, std::numeric_limits<LONG>::max())),
                          std::chrono::milliseconds(50));
    LONG code = 0;
    LONG_PTR param1 = 0, param2 = 0;
    bool stop = false;
    while (events->GetEvent(&code, &param1, &param2, 0) == S_OK) {
      events->FreeEventParams(code, param1, param2);
      if (code == EC_ERRORABORT) return fail("running the graph (EC_ERRORABORT)", static_cast<HRESULT>(param1));
      if (code == EC_COMPLETE) {
        m_endedByCamera = true;
        stop = true;
      }
    }
    // Time the sink spends writing is not the camera stalling.
    if (drain(end)) lastArrival = Clock::now();
    if (sinkEnded) {
      m_endedBySink = true;
      end = next;
      break;
    }
    const long long count = input->SampleCount();
    const Clock::time_point now = Clock::now();
    if (count != lastCount) {
      lastCount = count;
      lastArrival = now;
    } else if (now - lastArrival >= kStallTimeout) {
      return fail("waiting for frames (none arrived for 10 s)", VFW_E_TIMEOUT);
    }
    if (frames > 0 && count >= frames) break;
    if (frames == 0 && now - epoch >= duration) {
      end = count;
      break;
    }
    if (stop) {
      end = std::min(end, count);
      break;
    }
  }
  hr = control->Stop();
  running = false;
  if (FAILED(hr)) return fail("IMediaControl::Stop", hr);
  drain(end);
  if (sinkEnded) {
    m_endedBySink = true;
    end = std::min(end, next);
  }
  // Frames still queued at a stop request were received but are not handed on.
  if (next < end && end != LLONG_MAX && !m_interrupted) m_missed += end - next;

  for (const auto& record : input->Samples())
    if (record.index < end)
      m_timing.Add(std::chrono::duration<double, std::milli>(record.received - epoch).count());

  cleanUp();
  return S_OK;
}
