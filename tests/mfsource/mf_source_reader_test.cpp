// The camera's Media Foundation source read by the platform's own source reader
// (MFCreateSourceReaderFromMediaSource, a consumer written by nobody here) while the
// reference producer runs as a process of its own on private channel names: RGB32 frames
// are the producer's picture byte for byte and upright, NV12 frames are within rounding
// of it, a size that needs a letterbox shows what the DirectShow camera shows at that
// size, and without a producer the frames are the installed placeholder picture.
#include <gtest/gtest.h>

// mfreadwrite.h uses the sink interfaces of mfidl.h without including it.
// clang-format off
#include <mfapi.h>
#include <mferror.h>
#include <mfidl.h>
#include <mfreadwrite.h>
// clang-format on

#include <libyuv/convert_argb.h>
#include <libyuv/convert_from_argb.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "channel/channel_name.h"
#include "channel/file_mapping.h"
#include "channel/frame_region.h"
#include "composer/image.h"
#include "composer/letterbox.h"
#include "com/com_ptr.h"
#include "mfsource/mf_format_list.h"
#include "mfsource/mf_last_producer_size.h"
#include "mfsource/mf_media_source.h"
#include "pipewire/raw_video.h"
#include "platform/child_process.h"
#include "platform/guid.h"
#include "platform/paths.h"
#include "platform/reg_key.h"
#include "platform/shared_library.h"
#include "platform/wide_string.h"
#include "support/channel_fixture.h"
#include "support/test_pictures.h"
#include "support/test_support.h"

namespace {

using namespace std::chrono_literals;
using testing_support::CPicture;

constexpr int kTimeoutMs = 60000;
constexpr int kProducerWidth = 320;
constexpr int kProducerHeight = 240;
// Frames read before a test gives up on seeing the expected picture.
constexpr int kMaxFrames = 40;

// The answers of an asynchronous source reader, one at a time with a deadline.
class CReaderCallback final : public IMFSourceReaderCallback {
 public:
  struct Answer {
    HRESULT status = E_FAIL;
    DWORD flags = 0;
    CComPtr<IMFSample> sample;
  };

  static CComPtr<CReaderCallback> Create() { return CComPtr<CReaderCallback>(new CReaderCallback, kAdoptRef); }

  std::optional<Answer> Next(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(m_lock);
    if (!m_changed.wait_for(lock, timeout, [this] { return !m_answers.empty(); })) return std::nullopt;
    Answer answer = std::move(m_answers.front());
    m_answers.pop_front();
    return answer;
  }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
    if (object == nullptr) return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_IMFSourceReaderCallback) {
      *object = static_cast<IMFSourceReaderCallback*>(this);
      AddRef();  // handed to the caller
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++m_refs; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG refs = --m_refs;
    if (refs == 0) delete this;
    return refs;
  }
  HRESULT STDMETHODCALLTYPE OnReadSample(HRESULT status, DWORD /*streamIndex*/, DWORD flags, LONGLONG /*time*/,
                                         IMFSample* sample) override {
    std::lock_guard<std::mutex> lock(m_lock);
    m_answers.push_back({status, flags, CComPtr<IMFSample>(sample, kAddRef)});
    m_changed.notify_all();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE OnFlush(DWORD /*streamIndex*/) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE OnEvent(DWORD /*streamIndex*/, IMFMediaEvent* /*event*/) override { return S_OK; }

 private:
  CReaderCallback() = default;
  ~CReaderCallback() = default;

  std::atomic<ULONG> m_refs{1};
  std::mutex m_lock;
  std::condition_variable m_changed;
  std::deque<Answer> m_answers;
};

// A picture as a frame of the channel (BGR, rows padded to 4 bytes, bottom line first).
std::vector<std::uint8_t> FrameFromPicture(const CPicture& picture) {
  const std::size_t stride = testing_support::FrameStride(picture.width);
  std::vector<std::uint8_t> frame(stride * picture.height);
  for (int y = 0; y < picture.height; ++y) {
    std::uint8_t* row = frame.data() + (picture.height - 1 - y) * stride;
    for (int x = 0; x < picture.width; ++x) {
      const std::uint8_t* rgb = picture.At(x, y);
      row[3 * x] = rgb[2];
      row[3 * x + 1] = rgb[1];
      row[3 * x + 2] = rgb[0];
    }
  }
  return frame;
}

// What the DirectShow camera shows of picture in a width x height frame: the letterbox
// of the composer's own scaling, as a picture.
CPicture Letterboxed(const CPicture& picture, int width, int height) {
  std::vector<std::uint8_t> source = FrameFromPicture(picture);
  const auto image = CImage::Wrap(source.data(), picture.width, picture.height, 8, 3, CImage::kBottomLeft, 4);
  std::vector<std::uint8_t> frame(testing_support::FrameStride(width) * height);
  EXPECT_TRUE(image && ScaleFrameLetterboxed(*image, frame.data(), width, height));
  return testing_support::PictureFromFrame(frame.data(), frame.size(), width, height);
}

// The picture after a trip through NV12 (BT.601 limited range, 2x2 chroma): what an NV12
// frame of it can at best give back.
CPicture ThroughNv12(const CPicture& picture) {
  const int w = picture.width, h = picture.height;
  std::vector<std::uint8_t> argb(static_cast<std::size_t>(w) * h * 4);
  std::vector<std::uint8_t> nv12(static_cast<std::size_t>(w) * h * 3 / 2);
  EXPECT_EQ(libyuv::RAWToARGB(picture.rgb.data(), w * 3, argb.data(), w * 4, w, h), 0);
  EXPECT_EQ(libyuv::ARGBToNV12(argb.data(), w * 4, nv12.data(), w, nv12.data() + static_cast<std::size_t>(w) * h, w,
                               w, h),
            0);
  return testing_support::PictureFromRaw("NV12", w, h, nv12);
}

// The sample's one buffer, rows packed (the layout PictureFromRaw reads).
std::vector<std::uint8_t> PackedFrame(IMFSample* sample, bool nv12, int width, int height) {
  CComPtr<IMFMediaBuffer> buffer;
  if (FAILED(sample->GetBufferByIndex(0, buffer.Receive()))) return {};
  CComPtr<IMF2DBuffer> plane = buffer.As<IMF2DBuffer>(IID_IMF2DBuffer);
  if (!plane) {
    ADD_FAILURE() << "not a 2-D buffer";
    return {};
  }
  BYTE* scanline0 = nullptr;
  LONG pitch = 0;
  if (FAILED(plane->Lock2D(&scanline0, &pitch))) return {};
  EXPECT_GT(pitch, 0) << "rows top-down";
  const std::size_t row = static_cast<std::size_t>(width) * (nv12 ? 1 : 4);
  const int rows = nv12 ? height + height / 2 : height;
  std::vector<std::uint8_t> packed(row * rows);
  if (pitch > 0) {
    for (int y = 0; y < rows; ++y) std::memcpy(packed.data() + y * row, scanline0 + static_cast<std::size_t>(y) * pitch, row);
  }
  plane->Unlock2D();
  return packed;
}

struct ReadCase {
  const char* name;
  bool producer;
  bool nv12;
  int width, height;
};

class MfSourceReaderTest : public testing::TestWithParam<ReadCase> {
 protected:
  void SetUp() override {
    m_init = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    ASSERT_TRUE(SUCCEEDED(m_init)) << std::hex << m_init;
    m_started = MFStartup(MF_VERSION, MFSTARTUP_FULL);
    ASSERT_EQ(m_started, S_OK);
  }
  void TearDown() override {
    if (m_producer.IsRunning()) m_producer.Kill();
    int code = 0;
    if (m_producer.IsRunning()) m_producer.Wait(std::chrono::milliseconds(kTimeoutMs), &code);
    if (SUCCEEDED(m_started)) MFShutdown();
    if (SUCCEEDED(m_init)) CoUninitialize();
  }

  // The producer with picture, waiting until it has announced its size (which the source
  // offers first); its frames follow.
  void StartProducer(const CPicture& picture, bool remember) {
    const std::filesystem::path png = std::filesystem::absolute(m_dir.Path() / "picture.png").make_preferred();
    testing_support::WritePng(png, picture);
    ASSERT_TRUE(m_producer.Start(AMBERLINE_PRODUCER_PATH,
                                 {"--size", std::to_string(picture.width) + "x" + std::to_string(picture.height),
                                  "--fps", "50", "--frames", "100000", "--image", platform::WideToUtf8(png.wstring())},
                                 m_names.Environment()))
        << m_producer.StartError();
    CFileMapping consumer;
    ASSERT_EQ(consumer.Init(false, nullptr), 0);
    const std::pair<std::int32_t, std::int32_t> size{picture.width, picture.height};
    ASSERT_TRUE(testing_support::WaitUntil([&] { return consumer.GetServerResolution() == size; }, kTimeoutMs))
        << "the producer did not announce its size";
    // What the user's side keeps of it for sources made later, so that they offer it
    // first (a source writes it too, once it shows a frame: checked where it is not
    // written here).
    if (remember) RememberProducerSize(picture.width, picture.height);
  }

  HRESULT m_init = E_FAIL;
  HRESULT m_started = E_FAIL;
  testing_support::CChannelNamespace m_names;
  testing_support::CTempDir m_dir;
  CChildProcess m_producer;
};

TEST_P(MfSourceReaderTest, ReaderGetsThePictureTheCameraShowsAtTheChosenType) {
  const ReadCase& c = GetParam();
  const CPicture picture = testing_support::MakePicture(kProducerWidth, kProducerHeight, [](int x, int y) {
    // Quadrants (a flip or mirror shows) with a bar of odd colours (swapped channels
    // show); every edge on even coordinates, so that NV12's shared chroma loses nothing.
    if (x >= 16 && x < 64 && y >= 8 && y < 24) return testing_support::Rgb{250, 120, 10};
    return testing_support::Quadrant(x, y, kProducerWidth, kProducerHeight);
  });
  CPicture expected;
  if (c.producer) {
    ASSERT_NO_FATAL_FAILURE(StartProducer(picture, c.width == picture.width && c.height == picture.height));
    expected = c.width == picture.width && c.height == picture.height ? picture
                                                                       : Letterboxed(picture, c.width, c.height);
  } else {
    expected = testing_support::ExpectedPlaceholder(c.width, c.height);
    ASSERT_FALSE(expected.rgb.empty()) << "the staged placeholder cannot be loaded";
  }
  if (c.nv12) expected = ThroughNv12(expected);

  // The channel's table, there before the source starts (a source only ever opens it).
  CFileMapping table;
  ASSERT_EQ(table.Init(false, nullptr), 0);
  const std::wstring root =
      testing_support::StagedModulePath().parent_path().parent_path().wstring() + platform::kPathSeparator;
  CComPtr<CMfMediaSource> source;
  ASSERT_EQ(CMfMediaSource::Create(root, source.Receive()), S_OK);
  CComPtr<CReaderCallback> callback = CReaderCallback::Create();
  CComPtr<IMFAttributes> attributes;
  ASSERT_EQ(MFCreateAttributes(attributes.Receive(), 1), S_OK);
  ASSERT_EQ(attributes->SetUnknown(MF_SOURCE_READER_ASYNC_CALLBACK, callback.Get()), S_OK);
  CComPtr<IMFSourceReader> reader;
  ASSERT_EQ(MFCreateSourceReaderFromMediaSource(static_cast<IMFMediaSource*>(source.Get()), attributes.Get(),
                                                reader.Receive()),
            S_OK);
  attributes = nullptr;

  // The reader offers the source's own types; the test picks one at 30 frames a second.
  const GUID subtype = c.nv12 ? MFVideoFormat_NV12 : MFVideoFormat_RGB32;
  CComPtr<IMFMediaType> chosen;
  for (DWORD i = 0;; ++i) {
    CComPtr<IMFMediaType> type;
    if (FAILED(reader->GetNativeMediaType(MF_SOURCE_READER_FIRST_VIDEO_STREAM, i, type.Receive()))) break;
    GUID s{};
    UINT32 w = 0, h = 0, n = 0, d = 0;
    type->GetGUID(MF_MT_SUBTYPE, &s);
    MFGetAttributeSize(type.Get(), MF_MT_FRAME_SIZE, &w, &h);
    MFGetAttributeRatio(type.Get(), MF_MT_FRAME_RATE, &n, &d);
    if (s == subtype && static_cast<int>(w) == c.width && static_cast<int>(h) == c.height && n == 30 && d == 1) {
      chosen = type;
      break;
    }
  }
  ASSERT_TRUE(chosen) << "the reader does not offer the type";
  ASSERT_EQ(reader->SetCurrentMediaType(MF_SOURCE_READER_FIRST_VIDEO_STREAM, nullptr, chosen.Get()), S_OK);

  std::string last = "no frame";
  bool matched = false;
  for (int frame = 0; frame < kMaxFrames && !matched; ++frame) {
    ASSERT_EQ(reader->ReadSample(MF_SOURCE_READER_FIRST_VIDEO_STREAM, 0, nullptr, nullptr, nullptr, nullptr), S_OK);
    std::optional<CReaderCallback::Answer> answer = callback->Next(std::chrono::milliseconds(kTimeoutMs));
    ASSERT_TRUE(answer) << "the reader gave no answer";
    ASSERT_EQ(answer->status, S_OK) << std::hex << answer->status;
    EXPECT_EQ(answer->flags & MF_SOURCE_READERF_ENDOFSTREAM, 0u) << "a camera's stream does not end";
    if (!answer->sample) continue;  // a stream tick or a type change
    const CPicture actual = testing_support::PictureFromRaw(
        c.nv12 ? "NV12" : "BGRx", c.width, c.height, PackedFrame(answer->sample.Get(), c.nv12, c.width, c.height));
    if (c.nv12) {
      const testing_support::Deviation deviation = testing_support::LargestDeviation(actual, expected, 2);
      matched = deviation.largest <= 2;
      last = deviation.Describe();
    } else {
      last = testing_support::FirstDifference(actual, expected);
      matched = last.empty();
    }
  }
  EXPECT_TRUE(matched) << "last frame: " << last;
  if (c.producer) {
    // A source that showed the producer's frames keeps their size for sources made later.
    EXPECT_EQ(ReadLastProducerSize(), (std::pair<std::int32_t, std::int32_t>{kProducerWidth, kProducerHeight}));
  }

  // The producer lists the reader's camera while it streams.
  std::vector<channel::ClientEntry> clients;
  table.GetClientInfo(&clients);
  ASSERT_EQ(clients.size(), 1u);
  EXPECT_EQ(clients[0].Width, c.width);
  EXPECT_EQ(clients[0].Height, c.height);

  reader = nullptr;
  const HRESULT shutdown = source->Shutdown();
  EXPECT_TRUE(shutdown == S_OK || shutdown == MF_E_SHUTDOWN) << std::hex << shutdown;
  clients.clear();
  table.GetClientInfo(&clients);
  EXPECT_TRUE(clients.empty());
  // The reader lets go of the source once the source's queues released its requests.
  EXPECT_TRUE(testing_support::WaitUntil(
      [&] {
        source->AddRef();
        return source->Release() == 1;
      },
      kTimeoutMs))
      << "the source is still held";
  EXPECT_EQ(static_cast<IMFMediaSource*>(source.Detach())->Release(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Pictures, MfSourceReaderTest,
    testing::Values(ReadCase{"live_rgb32_own_size", true, false, kProducerWidth, kProducerHeight},
                    ReadCase{"live_nv12_own_size", true, true, kProducerWidth, kProducerHeight},
                    ReadCase{"live_rgb32_letterboxed", true, false, 1280, 720},
                    ReadCase{"live_nv12_letterboxed", true, true, 1280, 720},
                    ReadCase{"placeholder_rgb32", false, false, 640, 480},
                    ReadCase{"placeholder_nv12", false, true, 640, 480}),
    [](const testing::TestParamInfo<ReadCase>& info) { return std::string(info.param.name); });


// A copy of amberline-mf.dll whose custom-source entry gives a channel: the source its
// class factory makes shows that channel's producer (here 640x480, a size every source
// offers), not the default channel's.
TEST(MfCopyChannelTest, ACopysSourceReadsTheChannelOfItsEntry) {
  const HRESULT init = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  ASSERT_EQ(MFStartup(MF_VERSION, MFSTARTUP_FULL), S_OK);
  testing_support::CChannelNamespace names;
  testing_support::CTempDir dir;
  const std::filesystem::path copy =
      std::filesystem::absolute(dir.Path() / "Desk" / "Bin" / "amberline-mf.dll").make_preferred();
  std::filesystem::create_directories(copy.parent_path());
  std::filesystem::copy_file(std::filesystem::path(AMBERLINE_MF_MODULE_PATH), copy);
  const wchar_t* const entryKey = L"SOFTWARE\\Trelvox\\Amberline\\AmberlineMfCopyChannelTest";
  const std::wstring mfClass = L"{6A1F0C3E-2B9D-4E57-8C14-93D2E0B7A5F1}";
  {
    CRegKey entry;
    ASSERT_EQ(entry.Create(HKEY_LOCAL_MACHINE, entryKey, KEY_ALL_ACCESS), ERROR_SUCCESS);
    entry.SetString(nullptr, L"Amberline MF Desk");
    entry.SetString(L"Path", copy.wstring());
    entry.SetString(L"CLSID", L"D2E1C0B9-5A4F-4E3D-8C2B-1A0F9E8D7C6B");
    entry.SetString(L"MFCLSID", mfClass.substr(1, 36));
    entry.SetString(L"Channel", L"mfdesk");
  }
  struct EntryRemoval {
    const wchar_t* key;
    ~EntryRemoval() {
      CRegKey list;
      if (list.Open(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Trelvox\\Amberline", KEY_ALL_ACCESS) == ERROR_SUCCESS)
        list.DeleteTree(L"AmberlineMfCopyChannelTest");
    }
  } removal{entryKey};

  // The desk channel's producer, and on the default channel one with another picture.
  const CPicture desk = testing_support::MakePicture(640, 480, [](int x, int y) {
    return testing_support::Rgb{static_cast<std::uint8_t>(x / 3), static_cast<std::uint8_t>(y / 2), 90};
  });
  const CPicture other = testing_support::MarkedPicture(640, 480);
  const std::filesystem::path deskPng = std::filesystem::absolute(dir.Path() / "desk.png").make_preferred();
  const std::filesystem::path otherPng = std::filesystem::absolute(dir.Path() / "other.png").make_preferred();
  testing_support::WritePng(deskPng, desk);
  testing_support::WritePng(otherPng, other);
  CChildProcess deskProducer, otherProducer;
  ASSERT_TRUE(deskProducer.Start(AMBERLINE_PRODUCER_PATH,
                                 {"--size", "640x480", "--fps", "50", "--image", platform::WideToUtf8(deskPng.wstring()),
                                  "--channel", "mfdesk"},
                                 names.Environment()));
  ASSERT_TRUE(otherProducer.Start(AMBERLINE_PRODUCER_PATH,
                                  {"--size", "640x480", "--fps", "50", "--image", platform::WideToUtf8(otherPng.wstring())},
                                  names.Environment()));
  // The desk channel holds a frame before the source starts (a source opens it at once).
  CFileMapping deskChannel;
  deskChannel.SetChannelNamespace(channel::ChannelNamespace(L"mfdesk"));
  ASSERT_EQ(deskChannel.Init(false, nullptr), 0);
  ASSERT_TRUE(testing_support::WaitUntil(
      [&] { return deskChannel.GetServerResolution() == std::pair<std::int32_t, std::int32_t>{640, 480}; }, kTimeoutMs))
      << "the desk producer did not start";
  {
    CSharedLibrary module;
    ASSERT_TRUE(module.Load(copy.wstring())) << platform::WideToUtf8(module.Error());
    using GetClassObject = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);
    const auto getClassObject = reinterpret_cast<GetClassObject>(module.Symbol("DllGetClassObject"));
    ASSERT_NE(getClassObject, nullptr);
    CLSID clsid{};
    ASSERT_TRUE(platform::GuidFromRegistryString(mfClass.c_str(), &clsid));
    CComPtr<IClassFactory> factory;
    ASSERT_EQ(getClassObject(clsid, IID_IClassFactory, factory.ReceiveVoid()), S_OK);
    CComPtr<IMFActivate> activate;
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_IMFActivate, activate.ReceiveVoid()), S_OK);
    CComPtr<IMFMediaSource> source;
    ASSERT_EQ(activate->ActivateObject(IID_IMFMediaSource, source.ReceiveVoid()), S_OK);

    CComPtr<CReaderCallback> callback = CReaderCallback::Create();
    CComPtr<IMFAttributes> attributes;
    ASSERT_EQ(MFCreateAttributes(attributes.Receive(), 1), S_OK);
    ASSERT_EQ(attributes->SetUnknown(MF_SOURCE_READER_ASYNC_CALLBACK, callback.Get()), S_OK);
    CComPtr<IMFSourceReader> reader;
    ASSERT_EQ(MFCreateSourceReaderFromMediaSource(source.Get(), attributes.Get(), reader.Receive()), S_OK);
    CComPtr<IMFMediaType> chosen;
    for (DWORD i = 0; !chosen; ++i) {
      CComPtr<IMFMediaType> type;
      if (FAILED(reader->GetNativeMediaType(MF_SOURCE_READER_FIRST_VIDEO_STREAM, i, type.Receive()))) break;
      GUID subtype{};
      UINT32 w = 0, h = 0;
      type->GetGUID(MF_MT_SUBTYPE, &subtype);
      MFGetAttributeSize(type.Get(), MF_MT_FRAME_SIZE, &w, &h);
      if (subtype == MFVideoFormat_RGB32 && w == 640 && h == 480) chosen = type;
    }
    ASSERT_TRUE(chosen) << "the source offers no RGB32 640x480";
    ASSERT_EQ(reader->SetCurrentMediaType(MF_SOURCE_READER_FIRST_VIDEO_STREAM, nullptr, chosen.Get()), S_OK);
    std::string last = "no frame";
    bool matched = false;
    for (int frame = 0; frame < kMaxFrames && !matched; ++frame) {
      ASSERT_EQ(reader->ReadSample(MF_SOURCE_READER_FIRST_VIDEO_STREAM, 0, nullptr, nullptr, nullptr, nullptr), S_OK);
      std::optional<CReaderCallback::Answer> answer = callback->Next(std::chrono::milliseconds(kTimeoutMs));
      ASSERT_TRUE(answer) << "the reader gave no answer";
      if (!answer->sample) continue;
      last = testing_support::FirstDifference(
          testing_support::PictureFromRaw("BGRx", 640, 480, PackedFrame(answer->sample.Get(), false, 640, 480)), desk);
      matched = last.empty();
    }
    EXPECT_TRUE(matched) << "last frame: " << last;
    reader = nullptr;
    source->Shutdown();
    source = nullptr;
    activate = nullptr;
    factory = nullptr;
  }
  for (CChildProcess* producer : {&deskProducer, &otherProducer}) {
    producer->Kill();
    int code = 0;
    producer->Wait(std::chrono::milliseconds(kTimeoutMs), &code);
  }
  // Producers that open and close each channel remove what the killed ones left.
  for (const std::vector<std::string>& arguments :
       {std::vector<std::string>{"--frames", "1", "--channel", "mfdesk"}, std::vector<std::string>{"--frames", "1"}}) {
    CChildProcess cleaner;
    int code = 0;
    if (cleaner.Start(AMBERLINE_PRODUCER_PATH, arguments, names.Environment()))
      cleaner.Wait(std::chrono::milliseconds(kTimeoutMs), &code);
  }
  MFShutdown();
  if (SUCCEEDED(init)) CoUninitialize();
}

// The camera service's path under Wine (one session, no frame service): the test seam
// makes the source behave as in session 0 and take its frames from the bridge agent
// (amberline-vcam --bridge, a process of its own) of this session, while the producer is
// a third process. The picture is the DirectShow camera's at that size; the placeholder
// follows within two seconds when the producer or the agent is killed; the frames come
// back when either starts again; and the source never makes the channel's region.
class MfBridgeReaderTest : public testing::TestWithParam<bool> {
 protected:
  static constexpr int kWidth = 640;
  static constexpr int kHeight = 480;

  void SetUp() override {
    m_init = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    ASSERT_TRUE(SUCCEEDED(m_init)) << std::hex << m_init;
    m_started = MFStartup(MF_VERSION, MFSTARTUP_FULL);
    ASSERT_EQ(m_started, S_OK);
    DWORD session = 0;
    ::ProcessIdToSessionId(::GetCurrentProcessId(), &session);
    m_session = std::to_string(session);
    m_seam.Set(L"AMBERLINE_MF_BRIDGE_SESSION", platform::Utf8ToWide(m_session));
  }
  void TearDown() override {
    for (CChildProcess* child : {&m_producer, &m_agent}) {
      if (child->IsRunning()) child->Kill();
      int code = 0;
      if (child->IsRunning()) child->Wait(std::chrono::milliseconds(kTimeoutMs), &code);
    }
    if (SUCCEEDED(m_started)) MFShutdown();
    if (SUCCEEDED(m_init)) CoUninitialize();
  }

  CChildProcess::Environment Environment() const {
    CChildProcess::Environment environment = m_names.Environment();
    environment.emplace_back("AMBERLINE_MF_BRIDGE_SESSION", m_session);
    return environment;
  }
  void StartAgent() {
    ASSERT_TRUE(m_agent.Start(AMBERLINE_VCAM_PATH, {"--bridge"}, Environment())) << m_agent.StartError();
  }
  void StartProducer() {
    ASSERT_TRUE(m_producer.Start(AMBERLINE_PRODUCER_PATH,
                                 {"--size", std::to_string(kProducerWidth) + "x" + std::to_string(kProducerHeight),
                                  "--fps", "50", "--frames", "100000", "--image",
                                  platform::WideToUtf8(m_png.wstring())},
                                 Environment()))
        << m_producer.StartError();
  }
  static void Kill(CChildProcess& child) {
    child.Kill();
    int code = 0;
    ASSERT_TRUE(child.Wait(std::chrono::milliseconds(kTimeoutMs), &code));
  }

  // Reads frames until one matches expected or the time is up; the time it took, or none.
  std::optional<std::chrono::milliseconds> ReadUntil(const CPicture& expected, std::chrono::milliseconds limit,
                                                     std::string* last) {
    const auto start = std::chrono::steady_clock::now();
    while (std::chrono::steady_clock::now() - start < limit) {
      if (FAILED(m_reader->ReadSample(MF_SOURCE_READER_FIRST_VIDEO_STREAM, 0, nullptr, nullptr, nullptr, nullptr)))
        return std::nullopt;
      std::optional<CReaderCallback::Answer> answer = m_callback->Next(std::chrono::milliseconds(kTimeoutMs));
      if (!answer || answer->status != S_OK) return std::nullopt;
      if (!answer->sample) continue;
      const bool nv12 = GetParam();
      const CPicture actual = testing_support::PictureFromRaw(
          nv12 ? "NV12" : "BGRx", kWidth, kHeight, PackedFrame(answer->sample.Get(), nv12, kWidth, kHeight));
      bool matched = false;
      if (nv12) {
        const testing_support::Deviation deviation = testing_support::LargestDeviation(actual, expected, 2);
        matched = deviation.largest <= 2;
        *last = deviation.Describe();
      } else {
        *last = testing_support::FirstDifference(actual, expected);
        matched = last->empty();
      }
      if (matched)
        return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    }
    return std::nullopt;
  }

  HRESULT m_init = E_FAIL;
  HRESULT m_started = E_FAIL;
  testing_support::CChannelNamespace m_names;
  testing_support::CScopedEnvironment m_seam;
  std::string m_session;
  testing_support::CTempDir m_dir;
  std::filesystem::path m_png;
  CChildProcess m_producer;
  CChildProcess m_agent;
  CComPtr<CReaderCallback> m_callback;
  CComPtr<IMFSourceReader> m_reader;
};

TEST_P(MfBridgeReaderTest, FramesComeThroughTheAgentAndThePlaceholderStandsInForWhateverIsMissing) {
  const bool nv12 = GetParam();
  const CPicture picture = testing_support::MakePicture(kProducerWidth, kProducerHeight, [](int x, int y) {
    if (x >= 16 && x < 64 && y >= 8 && y < 24) return testing_support::Rgb{250, 120, 10};
    return testing_support::Quadrant(x, y, kProducerWidth, kProducerHeight);
  });
  m_png = std::filesystem::absolute(m_dir.Path() / "picture.png").make_preferred();
  testing_support::WritePng(m_png, picture);
  CPicture live = Letterboxed(picture, kWidth, kHeight);
  CPicture placeholder = testing_support::ExpectedPlaceholder(kWidth, kHeight);
  ASSERT_FALSE(placeholder.rgb.empty()) << "the staged placeholder cannot be loaded";
  if (nv12) {
    live = ThroughNv12(live);
    placeholder = ThroughNv12(placeholder);
  }

  ASSERT_NO_FATAL_FAILURE(StartAgent());
  const std::wstring root =
      testing_support::StagedModulePath().parent_path().parent_path().wstring() + platform::kPathSeparator;
  CComPtr<CMfMediaSource> source;
  ASSERT_EQ(CMfMediaSource::Create(root, source.Receive()), S_OK);
  m_callback = CReaderCallback::Create();
  CComPtr<IMFAttributes> attributes;
  ASSERT_EQ(MFCreateAttributes(attributes.Receive(), 1), S_OK);
  ASSERT_EQ(attributes->SetUnknown(MF_SOURCE_READER_ASYNC_CALLBACK, m_callback.Get()), S_OK);
  ASSERT_EQ(MFCreateSourceReaderFromMediaSource(static_cast<IMFMediaSource*>(source.Get()), attributes.Get(),
                                                m_reader.Receive()),
            S_OK);
  CComPtr<IMFMediaType> type;
  MfFormat format;
  format.width = kWidth;
  format.height = kHeight;
  format.format = nv12 ? PixelFormat::kNv12 : PixelFormat::kBgra;
  ASSERT_EQ(CreateMfMediaType(format, type.Receive()), S_OK);
  ASSERT_EQ(m_reader->SetCurrentMediaType(MF_SOURCE_READER_FIRST_VIDEO_STREAM, nullptr, type.Get()), S_OK);

  std::string last;
  // No producer: the placeholder, and the region was made by nobody (the agent and the
  // source only ever open it).
  ASSERT_TRUE(ReadUntil(placeholder, 20s, &last)) << "no placeholder without a producer: " << last;
  const std::wstring region = channel::ObjectName(L"Trelvox_FileMapping");
  const HANDLE made = ::OpenFileMappingW(FILE_MAP_READ, FALSE, region.c_str());
  EXPECT_EQ(made, nullptr) << "the region exists before any producer ran";
  if (made != nullptr) ::CloseHandle(made);

  ASSERT_NO_FATAL_FAILURE(StartProducer());
  ASSERT_TRUE(ReadUntil(live, 30s, &last)) << "the producer's frames did not come through the agent: " << last;

  ASSERT_NO_FATAL_FAILURE(Kill(m_producer));
  std::optional<std::chrono::milliseconds> took = ReadUntil(placeholder, 10s, &last);
  ASSERT_TRUE(took) << "no placeholder after the producer was killed: " << last;
  EXPECT_LE(took->count(), 2000) << "the placeholder came late after the producer ended";

  ASSERT_NO_FATAL_FAILURE(StartProducer());
  ASSERT_TRUE(ReadUntil(live, 30s, &last)) << "no frames after the producer started again: " << last;

  ASSERT_NO_FATAL_FAILURE(Kill(m_agent));
  took = ReadUntil(placeholder, 10s, &last);
  ASSERT_TRUE(took) << "no placeholder after the agent was killed: " << last;
  EXPECT_LE(took->count(), 2000) << "the placeholder came late after the agent ended";

  ASSERT_NO_FATAL_FAILURE(StartAgent());
  ASSERT_TRUE(ReadUntil(live, 40s, &last)) << "no frames after the agent started again: " << last;

  m_reader = nullptr;
  const HRESULT shutdown = source->Shutdown();
  EXPECT_TRUE(shutdown == S_OK || shutdown == MF_E_SHUTDOWN) << std::hex << shutdown;
}

INSTANTIATE_TEST_SUITE_P(Formats, MfBridgeReaderTest, testing::Values(false, true),
                         [](const testing::TestParamInfo<bool>& info) { return info.param ? "nv12" : "rgb32"; });

}  // namespace
