// The camera inside the platform's own host, as an application that knows nothing of
// it meets it: the staged module is registered with the system's registration tool
// (regsvr32, a separate process), found by name through the system device enumerator,
// created through its moniker, connected to a renderer in the system's filter graph
// and run on the graph's clock while the reference producer runs as a process of its
// own. A second copy of the module, named in the custom-source list, is a second
// camera beside the first. amberline-capture does the same as a process.
//
// The registry here is the real one of the machine (or Wine prefix), shared by every
// test that runs there: each registration is undone by a guard, also when a test fails,
// and nothing assumes the registry was clean before.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "channel/file_mapping.h"
#include "common/renderer_filter.h"
#include "device_finder.h"
#include "framework/media_type.h"
#include "platform/guid.h"
#include "platform/reg_key.h"
#include "platform/wide_string.h"
#include "platform/windows_types.h"
#include "support/channel_fixture.h"
#include "support/test_pictures.h"
#include "support/test_support.h"

namespace {

using namespace std::chrono_literals;
using testing_support::WaitUntil;
using testing_support::CPicture;
using testing_support::FirstDifference;
using testing_support::PictureFromFrame;
using Clock = std::chrono::steady_clock;

constexpr int kTimeoutMs = 60000;
constexpr int kWidth = 320;
constexpr int kHeight = 240;

// The camera a module copy is when the custom-source list does not name it.
constexpr wchar_t kBuiltInName[] = L"Trelvox Amberline";
constexpr wchar_t kBuiltInClsid[] = L"{5E0B7A21-93C4-4D6F-A1E8-27C3B94D0F6A}";
// The second camera's entry in the custom-source list.
constexpr wchar_t kSecondName[] = L"Amberline Host Test Second";
constexpr wchar_t kSecondClsid[] = L"{C4E1D2A7-5B3F-4A09-8E61-7D2C9F0B3A58}";
constexpr wchar_t kCustomSources[] = L"SOFTWARE\\Trelvox\\Amberline";
constexpr wchar_t kSecondEntry[] = L"AmberlineHostTestSecond";

std::wstring ClassKey(const std::wstring& clsid) { return L"CLSID\\" + clsid; }
// Where the filter mapper keeps a camera's entry in the video input device category.
std::wstring CategoryEntryKey(const std::wstring& name) {
  return L"CLSID\\{860BB310-5D01-11D0-BD3B-00A0C911CE86}\\Instance\\" + name;
}

// A path as Windows programs name it ("Z:\work\..." for a Unix path under Wine).
std::filesystem::path WindowsPath(const std::filesystem::path& path) {
  return std::filesystem::absolute(path).make_preferred();
}

std::string Utf8(const std::filesystem::path& path) { return platform::WideToUtf8(path.wstring()); }

std::wstring ReadString(HKEY root, const std::wstring& key, const wchar_t* value, LONG* result = nullptr) {
  CRegKey k;
  std::wstring text;
  LONG r = k.Open(root, key.c_str(), KEY_READ);
  if (r == ERROR_SUCCESS) r = k.QueryString(value, &text);
  if (result != nullptr) *result = r;
  return text;
}

bool KeyExists(HKEY root, const std::wstring& key) {
  CRegKey k;
  return k.Open(root, key.c_str(), KEY_READ) == ERROR_SUCCESS;
}

// Runs the system's registration tool on module and returns its exit code (-1 when it
// could not be started or did not end).
int RunRegsvr32(const std::vector<std::string>& switches, const std::filesystem::path& module) {
  wchar_t system[MAX_PATH] = {};
  const UINT length = ::GetSystemDirectoryW(system, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return -1;
  std::vector<std::string> arguments = switches;
  arguments.push_back(Utf8(module));
  CChildProcess tool;
  if (!tool.Start(platform::WideToUtf8(std::wstring(system) + L"\\regsvr32.exe"), arguments)) {
    ADD_FAILURE() << tool.StartError();
    return -1;
  }
  int code = -1;
  if (!tool.Wait(std::chrono::milliseconds(kTimeoutMs), &code)) {
    ADD_FAILURE() << "regsvr32 did not end";
    return -1;
  }
  return code;
}

// One module registered with regsvr32 for as long as the object lives: the destructor
// unregisters it again, so a failing test leaves no camera behind in the shared
// registry.
class CRegsvr32Registration {
 public:
  explicit CRegsvr32Registration(std::filesystem::path module) : m_module(std::move(module)) {}
  ~CRegsvr32Registration() {
    if (m_registered) Unregister();
  }
  CRegsvr32Registration(const CRegsvr32Registration&) = delete;
  CRegsvr32Registration& operator=(const CRegsvr32Registration&) = delete;

  int Register() {
    m_registered = true;
    return RunRegsvr32({"/s"}, m_module);
  }
  int Unregister() {
    m_registered = false;
    return RunRegsvr32({"/u", "/s"}, m_module);
  }

 private:
  std::filesystem::path m_module;
  bool m_registered = false;
};

// An entry in the machine-wide custom-source list, removed when the object ends.
class CCustomSourceEntry {
 public:
  CCustomSourceEntry(const std::wstring& name, const std::filesystem::path& module, const std::wstring& clsid) {
    CRegKey key;
    const std::wstring path = std::wstring(kCustomSources) + L"\\" + kSecondEntry;
    m_result = key.Create(HKEY_LOCAL_MACHINE, path.c_str(), KEY_ALL_ACCESS);
    if (m_result == ERROR_SUCCESS) m_result = key.SetString(nullptr, name);
    if (m_result == ERROR_SUCCESS) m_result = key.SetString(L"Path", module.wstring());
    // The list names the class without braces.
    if (m_result == ERROR_SUCCESS) m_result = key.SetString(L"CLSID", clsid.substr(1, 36));
  }
  ~CCustomSourceEntry() {
    CRegKey list;
    if (list.Open(HKEY_LOCAL_MACHINE, kCustomSources, KEY_ALL_ACCESS) == ERROR_SUCCESS) list.DeleteTree(kSecondEntry);
  }
  CCustomSourceEntry(const CCustomSourceEntry&) = delete;
  CCustomSourceEntry& operator=(const CCustomSourceEntry&) = delete;
  LONG Result() const { return m_result; }

 private:
  LONG m_result = ERROR_SUCCESS;
};

// A camera and a renderer in one filter graph of the system's (and, connected through
// the capture graph builder's tee, a second renderer on the preview output).
struct CameraBranch {
  IBaseFilter* camera = nullptr;
  CRendererFilter* renderer = nullptr;
  CRendererFilter* preview = nullptr;
};

class PlatformHostTest : public testing::Test {
 protected:
  void SetUp() override {
    m_init = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    m_module = WindowsPath(testing_support::StagedModulePath());
  }
  void TearDown() override {
    ReleaseGraph();
    if (m_producer.IsRunning()) m_producer.Kill();
    // Lets module copies go, so that their folders can be removed.
    CoFreeUnusedLibrariesEx(0, 0);
    if (SUCCEEDED(m_init)) CoUninitialize();
  }

  // The devices of the video input category as the system device enumerator lists them.
  static std::vector<CDeviceFinder::Device> Devices() {
    std::vector<CDeviceFinder::Device> devices;
    EXPECT_EQ(CDeviceFinder::List(&devices), S_OK);
    return devices;
  }
  static int CountNamed(const std::vector<CDeviceFinder::Device>& devices, const std::wstring& name,
                        const std::wstring& clsid) {
    int count = 0;
    for (const auto& device : devices)
      if (device.friendlyName == name && platform::GuidToRegistryString(device.clsid) == clsid) ++count;
    return count;
  }

  // Checks the keys a registration leaves for one camera.
  static void ExpectRegistered(const std::wstring& name, const std::wstring& clsid, const std::filesystem::path& module) {
    LONG result = 0;
    EXPECT_EQ(ReadString(HKEY_CLASSES_ROOT, ClassKey(clsid), nullptr, &result), name) << result;
    const std::wstring server = ClassKey(clsid) + L"\\InprocServer32";
    EXPECT_TRUE(platform::EqualsNoCase(ReadString(HKEY_CLASSES_ROOT, server, nullptr, &result), module.wstring()))
        << Utf8(module) << " " << result;
    EXPECT_EQ(ReadString(HKEY_CLASSES_ROOT, server, L"ThreadingModel", &result), L"Both") << result;
    EXPECT_EQ(ReadString(HKEY_CLASSES_ROOT, CategoryEntryKey(name), L"FriendlyName", &result), name) << result;
    EXPECT_TRUE(platform::EqualsNoCase(ReadString(HKEY_CLASSES_ROOT, CategoryEntryKey(name), L"CLSID", &result), clsid))
        << result;
    EXPECT_EQ(CountNamed(Devices(), name, clsid), 1) << "the device enumerator lists the camera once";
  }
  static void ExpectGone(const std::wstring& name, const std::wstring& clsid) {
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, ClassKey(clsid)));
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, CategoryEntryKey(name)));
    for (const auto& device : Devices()) EXPECT_NE(device.friendlyName, name);
  }

  // Creates the camera named name through its moniker and joins it, with a renderer that
  // keeps copies of the last frames, to the graph (made on first use). Both filters are
  // added under the names a host would give them and connected as hosts connect them:
  // through the capture graph builder as a capture and a preview stream (the builder
  // puts the system's Smart Tee between the camera and the two renderers; the tee keeps
  // a sample of the camera's while it copies it to its preview output), or by asking the
  // graph to connect the camera's output pin.
  enum class Connection { CaptureGraphBuilder, GraphConnect };
  void AddCamera(const std::wstring& name, Connection connection) {
    if (m_graph == nullptr) {
      ASSERT_EQ(CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder,
                                 reinterpret_cast<void**>(&m_graph)),
                S_OK);
      ASSERT_EQ(m_graph->QueryInterface(IID_IMediaControl, reinterpret_cast<void**>(&m_control)), S_OK);
    }
    CameraBranch branch;
    ASSERT_EQ(CDeviceFinder::Find(name, &branch.camera), S_OK) << platform::WideToUtf8(name);
    branch.renderer = CRendererFilter::Create();
    m_branches.push_back(branch);
    branch.renderer->InputPin()->AcceptOnly(MEDIASUBTYPE_RGB24, kWidth, kHeight);
    branch.renderer->InputPin()->KeepDataCopies(4);
    ASSERT_EQ(m_graph->AddFilter(branch.camera, name.c_str()), S_OK);
    ASSERT_EQ(m_graph->AddFilter(branch.renderer->Filter(), (name + L" renderer").c_str()), S_OK);

    if (connection == Connection::CaptureGraphBuilder) {
      m_branches.back().preview = branch.preview = CRendererFilter::Create();
      branch.preview->InputPin()->AcceptOnly(MEDIASUBTYPE_RGB24, kWidth, kHeight);
      branch.preview->InputPin()->KeepDataCopies(4);
      ASSERT_EQ(m_graph->AddFilter(branch.preview->Filter(), (name + L" preview").c_str()), S_OK);
      ICaptureGraphBuilder2* builder = nullptr;
      ASSERT_EQ(CoCreateInstance(CLSID_CaptureGraphBuilder2, nullptr, CLSCTX_INPROC_SERVER, IID_ICaptureGraphBuilder2,
                                 reinterpret_cast<void**>(&builder)),
                S_OK);
      EXPECT_EQ(builder->SetFiltergraph(m_graph), S_OK);
      const HRESULT captured = builder->RenderStream(&PIN_CATEGORY_CAPTURE, &MEDIATYPE_Video, branch.camera, nullptr,
                                                     branch.renderer->Filter());
      const HRESULT previewed = builder->RenderStream(&PIN_CATEGORY_PREVIEW, &MEDIATYPE_Video, branch.camera, nullptr,
                                                      branch.preview->Filter());
      builder->Release();
      ASSERT_EQ(captured, S_OK);
      ASSERT_TRUE(SUCCEEDED(previewed)) << std::hex << previewed;
      return;
    }
    IEnumPins* pins = nullptr;
    ASSERT_EQ(branch.camera->EnumPins(&pins), S_OK);
    IPin* output = nullptr;
    ULONG fetched = 0;
    ASSERT_EQ(pins->Next(1, &output, &fetched), S_OK);
    pins->Release();
    PIN_DIRECTION direction = PINDIR_INPUT;
    EXPECT_EQ(output->QueryDirection(&direction), S_OK);
    EXPECT_EQ(direction, PINDIR_OUTPUT);
    const HRESULT connected = m_graph->Connect(output, branch.renderer->Pin());
    output->Release();
    ASSERT_EQ(connected, S_OK);
  }

  void Run() {
    ASSERT_TRUE(SUCCEEDED(m_control->Run()));
    // The graph chose a clock and gave it to every filter before they ran.
    IMediaFilter* graphFilter = nullptr;
    ASSERT_EQ(m_graph->QueryInterface(IID_IMediaFilter, reinterpret_cast<void**>(&graphFilter)), S_OK);
    IReferenceClock* graphClock = nullptr;
    EXPECT_EQ(graphFilter->GetSyncSource(&graphClock), S_OK);
    graphFilter->Release();
    ASSERT_NE(graphClock, nullptr);
    for (const auto& branch : m_branches) {
      IReferenceClock* clock = nullptr;
      EXPECT_EQ(branch.camera->GetSyncSource(&clock), S_OK);
      EXPECT_EQ(clock, graphClock) << "the camera runs on the graph's clock";
      if (clock != nullptr) clock->Release();
    }
    graphClock->Release();
  }

  // Waits until a frame that arrived after this call equals expected.
  static std::string WaitForPicture(const CameraBranch& branch, const CPicture& expected) {
    return WaitForPicture(branch.renderer, expected);
  }
  static std::string WaitForPicture(CRendererFilter* renderer, const CPicture& expected) {
    const int width = expected.width, height = expected.height;
    CRendererInputPin* pin = renderer->InputPin();
    const LONG after = pin->SampleCount();
    std::string last = "no frame";
    const auto deadline = Clock::now() + std::chrono::milliseconds(kTimeoutMs);
    for (LONG wanted = after + 1; Clock::now() < deadline; ++wanted) {
      if (!pin->WaitForSamples(wanted, 10s)) return "no frames: " + last;
      const auto copies = pin->DataCopies();
      if (copies.empty() || copies.back().index < after) continue;
      const auto& bytes = copies.back().bytes;
      last = FirstDifference(PictureFromFrame(bytes.data(), bytes.size(), width, height), expected);
      if (last.empty()) return {};
    }
    return "not within the deadline: " + last;
  }

  // The graph's events so far: none may report a failure.
  void ExpectNoErrorEvents() {
    IMediaEvent* events = nullptr;
    ASSERT_EQ(m_graph->QueryInterface(IID_IMediaEvent, reinterpret_cast<void**>(&events)), S_OK);
    LONG code = 0;
    LONG_PTR first = 0, second = 0;
    while (events->GetEvent(&code, &first, &second, 0) == S_OK) {
      EXPECT_NE(code, EC_ERRORABORT) << std::hex << first;
      EXPECT_NE(code, EC_STREAM_ERROR_STOPPED) << std::hex << first;
      events->FreeEventParams(code, first, second);
    }
    events->Release();
  }

  // Stops the graph, takes every filter out and checks that nothing but this test holds
  // them afterwards.
  void StopAndRemove() {
    if (m_control != nullptr) {
      EXPECT_EQ(m_control->Stop(), S_OK);
    }
    for (auto& branch : m_branches) {
      EXPECT_EQ(m_graph->RemoveFilter(branch.renderer->Filter()), S_OK);
      if (branch.preview != nullptr) {
        EXPECT_EQ(m_graph->RemoveFilter(branch.preview->Filter()), S_OK);
      }
      RemoveTees();
      EXPECT_EQ(m_graph->RemoveFilter(branch.camera), S_OK);
      EXPECT_EQ(branch.renderer->Filter()->Release(), 0u) << "the graph let go of the renderer";
      if (branch.preview != nullptr) {
        EXPECT_EQ(branch.preview->Filter()->Release(), 0u) << "the graph let go of the preview renderer";
      }
      EXPECT_EQ(branch.camera->Release(), 0u) << "the graph let go of the camera";
    }
    m_branches.clear();
    ReleaseGraph();
  }
  // Takes out the filters the capture graph builder added (its tee), so that the camera
  // is held by nothing but this test once it is removed too.
  void RemoveTees() {
    std::vector<IBaseFilter*> others;
    IEnumFilters* filters = nullptr;
    if (m_graph == nullptr || FAILED(m_graph->EnumFilters(&filters)) || filters == nullptr) return;
    IBaseFilter* filter = nullptr;
    ULONG fetched = 0;
    while (filters->Next(1, &filter, &fetched) == S_OK && fetched == 1) {
      bool ours = false;
      for (const auto& branch : m_branches) {
        ours = ours || filter == branch.camera || filter == branch.renderer->Filter() ||
               (branch.preview != nullptr && filter == branch.preview->Filter());
      }
      if (ours) filter->Release();
      else others.push_back(filter);
    }
    filters->Release();
    for (IBaseFilter* other : others) {
      m_graph->RemoveFilter(other);
      other->Release();
    }
  }
  void ReleaseGraph() {
    if (m_control != nullptr) m_control->Stop();
    for (auto& branch : m_branches) {
      if (m_graph != nullptr) {
        m_graph->RemoveFilter(branch.renderer->Filter());
        if (branch.preview != nullptr) m_graph->RemoveFilter(branch.preview->Filter());
        RemoveTees();
        m_graph->RemoveFilter(branch.camera);
      }
      branch.renderer->Filter()->Release();
      if (branch.preview != nullptr) branch.preview->Filter()->Release();
      branch.camera->Release();
    }
    m_branches.clear();
    if (m_control != nullptr) m_control->Release();
    if (m_graph != nullptr) m_graph->Release();
    m_control = nullptr;
    m_graph = nullptr;
  }

  // Starts the producer with picture for frames frames at 50 a second and waits until
  // its first frame is in the channel.
  void StartProducer(const std::filesystem::path& picture, int frames) {
    ASSERT_TRUE(m_producer.Start(AMBERLINE_PRODUCER_PATH,
                                 {"--size", std::to_string(kWidth) + "x" + std::to_string(kHeight), "--fps", "50",
                                  "--frames", std::to_string(frames), "--image", Utf8(picture)},
                                 m_names.Environment()))
        << m_producer.StartError();
    CFileMapping consumer;
    ASSERT_EQ(consumer.Init(false, nullptr), 0);
    channel::FrameDescriptor d{};
    ASSERT_TRUE(WaitUntil(
        [&] {
          if (consumer.LockMediaSample(0, &d) != 0) return false;
          consumer.UnlockMediaSample(0);
          return true;
        },
        kTimeoutMs))
        << "no frame from the producer";
  }

  std::filesystem::path Out(const std::string& name) const { return WindowsPath(m_dir.Path() / name); }

  HRESULT m_init = E_FAIL;
  std::filesystem::path m_module;
  testing_support::CChannelNamespace m_names;
  testing_support::CTempDir m_dir;
  CChildProcess m_producer;
  IGraphBuilder* m_graph = nullptr;
  IMediaControl* m_control = nullptr;
  std::vector<CameraBranch> m_branches;
};

TEST_F(PlatformHostTest, RegisteredCameraIsFoundByNameAndDeliversTheProducersFramesThenThePlaceholder) {
  const CPicture placeholder = testing_support::ExpectedPlaceholder(kWidth, kHeight);
  ASSERT_FALSE(placeholder.rgb.empty()) << "the staged placeholder cannot be loaded";
  const CPicture picture = testing_support::MarkedPicture(kWidth, kHeight);
  testing_support::WritePng(Out("picture.png"), picture);
  {
    CRegsvr32Registration registration(m_module);
    ASSERT_EQ(registration.Register(), 0) << "regsvr32 /s " << Utf8(m_module);
    ExpectRegistered(kBuiltInName, kBuiltInClsid, m_module);

    AddCamera(kBuiltInName, Connection::CaptureGraphBuilder);
    Run();
    EXPECT_EQ(WaitForPicture(m_branches[0], placeholder), "") << "without a producer";

    StartProducer(Out("picture.png"), 250);
    EXPECT_EQ(WaitForPicture(m_branches[0], picture), "") << "the producer's picture, unchanged";
    EXPECT_EQ(WaitForPicture(m_branches[0].preview, picture), "") << "live frames on the preview output too";
    int code = -1;
    ASSERT_TRUE(m_producer.Wait(std::chrono::milliseconds(kTimeoutMs), &code));
    EXPECT_EQ(code, 0);
    EXPECT_EQ(WaitForPicture(m_branches[0], placeholder), "") << "after the producer ended";

    const std::vector<CRendererInputPin::SampleRecord> samples = m_branches[0].renderer->InputPin()->Samples();
    ExpectNoErrorEvents();
    StopAndRemove();
    ASSERT_FALSE(samples.empty());
    for (const auto& sample : samples) {
      ASSERT_EQ(sample.actual, static_cast<LONG>(testing_support::FrameStride(kWidth) * kHeight));
      ASSERT_EQ(sample.timeResult, S_OK) << "every frame carries its stream time";
    }

    EXPECT_EQ(registration.Unregister(), 0) << "regsvr32 /u /s " << Utf8(m_module);
  }
  ExpectGone(kBuiltInName, kBuiltInClsid);
}

TEST_F(PlatformHostTest, KilledProducerGivesThePlaceholderAgainAndAReturningOneItsFrames) {
  const CPicture placeholder = testing_support::ExpectedPlaceholder(kWidth, kHeight);
  ASSERT_FALSE(placeholder.rgb.empty()) << "the staged placeholder cannot be loaded";
  const CPicture picture = testing_support::MarkedPicture(kWidth, kHeight);
  testing_support::WritePng(Out("picture.png"), picture);
  {
    CRegsvr32Registration registration(m_module);
    ASSERT_EQ(registration.Register(), 0) << "regsvr32 /s " << Utf8(m_module);
    AddCamera(kBuiltInName, Connection::GraphConnect);
    Run();
    StartProducer(Out("picture.png"), 100000);
    EXPECT_EQ(WaitForPicture(m_branches[0], picture), "") << "the producer's picture";
    m_producer.Kill();  // TerminateProcess: no shut-down of its channel
    int code = 0;
    ASSERT_TRUE(m_producer.Wait(std::chrono::milliseconds(kTimeoutMs), &code));
    EXPECT_EQ(WaitForPicture(m_branches[0], placeholder), "") << "not the dead producer's last frame";
    StartProducer(Out("picture.png"), 100000);
    EXPECT_EQ(WaitForPicture(m_branches[0], picture), "") << "a returning producer's picture";
    ExpectNoErrorEvents();
    StopAndRemove();
    m_producer.Kill();
    EXPECT_EQ(registration.Unregister(), 0);
  }
  ExpectGone(kBuiltInName, kBuiltInClsid);
}

TEST_F(PlatformHostTest, ACopyNamedInTheCustomSourceListIsASecondCameraBesideTheFirst) {
  // The copy in an installation folder of its own, with its pictures beside it.
  const std::filesystem::path stage = WindowsPath(testing_support::StagedModulePath().parent_path().parent_path());
  const std::filesystem::path root = Out("second");
  std::filesystem::copy(stage, root, std::filesystem::copy_options::recursive);
  const std::filesystem::path copy = root / "Bin" / m_module.filename();
  ASSERT_TRUE(std::filesystem::exists(copy));
  const CPicture picture = testing_support::MarkedPicture(kWidth, kHeight);
  testing_support::WritePng(Out("picture.png"), picture);
  {
    CCustomSourceEntry entry(kSecondName, copy, kSecondClsid);
    ASSERT_EQ(entry.Result(), ERROR_SUCCESS);
    CRegsvr32Registration first(m_module);
    CRegsvr32Registration second(copy);
    ASSERT_EQ(first.Register(), 0);
    ASSERT_EQ(second.Register(), 0);
    ExpectRegistered(kBuiltInName, kBuiltInClsid, m_module);
    ExpectRegistered(kSecondName, kSecondClsid, copy);

    // Both cameras, two copies of one module in one process, deliver the producer's
    // picture side by side.
    AddCamera(kBuiltInName, Connection::GraphConnect);
    AddCamera(kSecondName, Connection::GraphConnect);
    Run();
    StartProducer(Out("picture.png"), 100000);
    EXPECT_EQ(WaitForPicture(m_branches[0], picture), "") << "first camera";
    EXPECT_EQ(WaitForPicture(m_branches[1], picture), "") << "second camera";
    ExpectNoErrorEvents();
    StopAndRemove();
    m_producer.Kill();

    EXPECT_EQ(second.Unregister(), 0);
    ExpectGone(kSecondName, kSecondClsid);
    ExpectRegistered(kBuiltInName, kBuiltInClsid, m_module);
    EXPECT_EQ(first.Unregister(), 0);
  }
  ExpectGone(kBuiltInName, kBuiltInClsid);
}

// A camera added with amberline-regsvr --add-camera shows the feed of its own channel in
// the system's graph, beside the built-in camera with another producer's picture; its
// producer's end costs only it the placeholder.
TEST_F(PlatformHostTest, ACameraAddedWithItsOwnChannelShowsThatChannelsProducerBesideTheBuiltInCamera) {
  const std::filesystem::path stage = WindowsPath(testing_support::StagedModulePath().parent_path().parent_path());
  const std::filesystem::path root = Out("installation");
  std::filesystem::copy(stage, root, std::filesystem::copy_options::recursive);
  const CPicture main = testing_support::MarkedPicture(kWidth, kHeight);
  const CPicture desk = testing_support::MakePicture(kWidth, kHeight, [](int x, int y) {
    return testing_support::Rgb{static_cast<std::uint8_t>(x), static_cast<std::uint8_t>(y), 200};
  });
  testing_support::WritePng(Out("main.png"), main);
  testing_support::WritePng(Out("desk.png"), desk);
  const auto regsvr = [&](const std::vector<std::string>& arguments) {
    CChildProcess tool;
    int code = -1;
    EXPECT_TRUE(tool.Start(AMBERLINE_REGSVR_PATH, arguments, m_names.Environment())) << tool.StartError();
    EXPECT_TRUE(tool.Wait(std::chrono::milliseconds(kTimeoutMs), &code)) << "amberline-regsvr did not end";
    return code;
  };
  CRegsvr32Registration builtIn(m_module);
  ASSERT_EQ(builtIn.Register(), 0);
  ASSERT_EQ(regsvr({"--add-camera", "Amberline Host Test Desk", "--channel", "hostdesk", "--module",
                    Utf8(root / "Bin" / m_module.filename())}),
            0);
  // Whatever happens below, the added camera goes again.
  struct Removal {
    std::function<void()> run;
    ~Removal() { run(); }
  } removal{[&] { regsvr({"--remove-camera", "Amberline Host Test Desk"}); }};
  const std::filesystem::path copy = root / "Cameras" / "hostdesk" / "Bin" / m_module.filename();
  ASSERT_TRUE(std::filesystem::exists(copy));
  int listed = 0;
  for (const auto& device : Devices()) listed += device.friendlyName == L"Amberline Host Test Desk" ? 1 : 0;
  EXPECT_EQ(listed, 1) << "the device enumerator lists the added camera once";

  AddCamera(kBuiltInName, Connection::GraphConnect);
  AddCamera(L"Amberline Host Test Desk", Connection::GraphConnect);
  Run();
  StartProducer(Out("main.png"), 100000);
  CChildProcess deskProducer;
  ASSERT_TRUE(deskProducer.Start(AMBERLINE_PRODUCER_PATH,
                                 {"--size", std::to_string(kWidth) + "x" + std::to_string(kHeight), "--fps", "50",
                                  "--image", Utf8(Out("desk.png")), "--channel", "hostdesk"},
                                 m_names.Environment()))
      << deskProducer.StartError();
  EXPECT_EQ(WaitForPicture(m_branches[0], main), "") << "built-in camera";
  EXPECT_EQ(WaitForPicture(m_branches[1], desk), "") << "added camera";
  deskProducer.Kill();
  int code = -1;
  EXPECT_TRUE(deskProducer.Wait(std::chrono::milliseconds(kTimeoutMs), &code));
  EXPECT_EQ(WaitForPicture(m_branches[1], testing_support::ExpectedPlaceholder(kWidth, kHeight)), "")
      << "the added camera after its producer ended";
  EXPECT_EQ(WaitForPicture(m_branches[0], main), "") << "the built-in camera stays live";
  ExpectNoErrorEvents();
  StopAndRemove();
  m_producer.Kill();
  // The copy's module file can be deleted once nothing here holds it loaded.
  CoFreeUnusedLibrariesEx(0, 0);
  // A sender that opens and closes the channel removes what the killed producer left.
  CChildProcess cleaner;
  if (cleaner.Start(AMBERLINE_PRODUCER_PATH, {"--frames", "1", "--channel", "hostdesk"}, m_names.Environment()))
    cleaner.Wait(std::chrono::milliseconds(kTimeoutMs), &code);
  EXPECT_EQ(regsvr({"--remove-camera", "Amberline Host Test Desk"}), 0);
  EXPECT_FALSE(std::filesystem::exists(copy));
  for (const auto& device : Devices()) EXPECT_NE(device.friendlyName, L"Amberline Host Test Desk");
  EXPECT_EQ(builtIn.Unregister(), 0);
}

// A format an application sets on the connected camera reaches the renderer through the
// system graph's reconnection: the renderer's type and the frames have the new size.
TEST_F(PlatformHostTest, AFormatSetWhileConnectedIsTheOneTheSystemGraphReconnects) {
  const auto colour = [](int, int) { return testing_support::Rgb{200, 40, 90}; };
  testing_support::WritePng(Out("solid.png"), testing_support::MakePicture(kWidth, kHeight, colour));
  CRegsvr32Registration registration(m_module);
  ASSERT_EQ(registration.Register(), 0);
  AddCamera(kBuiltInName, Connection::GraphConnect);
  CRendererFilter* renderer = m_branches[0].renderer;
  renderer->InputPin()->AcceptOnly(MEDIASUBTYPE_RGB24, 0, 0);

  IEnumPins* pins = nullptr;
  ASSERT_EQ(m_branches[0].camera->EnumPins(&pins), S_OK);
  IPin* output = nullptr;
  ULONG fetched = 0;
  ASSERT_EQ(pins->Next(1, &output, &fetched), S_OK);
  pins->Release();
  IAMStreamConfig* config = nullptr;
  const HRESULT queried = output->QueryInterface(IID_IAMStreamConfig, reinterpret_cast<void**>(&config));
  output->Release();
  ASSERT_EQ(queried, S_OK);
  CMediaType smaller = MakeRgb24VideoType(160, 120, 400000);
  const HRESULT set = config->SetFormat(&smaller);
  config->Release();
  ASSERT_EQ(set, S_OK);
  CMediaType connected;
  ASSERT_EQ(renderer->Pin()->ConnectionMediaType(&connected), S_OK);
  ASSERT_GE(connected.cbFormat, sizeof(VIDEOINFOHEADER));
  const auto* format = reinterpret_cast<const VIDEOINFOHEADER*>(connected.pbFormat);
  EXPECT_EQ(format->bmiHeader.biWidth, 160) << "the renderer reads what the camera writes";
  EXPECT_EQ(format->bmiHeader.biHeight, 120);

  Run();
  StartProducer(Out("solid.png"), 100000);
  EXPECT_EQ(WaitForPicture(renderer, testing_support::MakePicture(160, 120, colour)), "")
      << "the producer's picture at the set size";
  for (const auto& sample : renderer->InputPin()->Samples())
    EXPECT_EQ(sample.actual, static_cast<LONG>(testing_support::FrameStride(160) * 120)) << sample.index;
  ExpectNoErrorEvents();
  StopAndRemove();
  m_producer.Kill();
  EXPECT_EQ(registration.Unregister(), 0);
}

TEST_F(PlatformHostTest, CaptureToolListsAndRecordsTheRegisteredCamera) {
  const CPicture picture = testing_support::MarkedPicture(kWidth, kHeight);
  testing_support::WritePng(Out("picture.png"), picture);
  CRegsvr32Registration registration(m_module);
  ASSERT_EQ(registration.Register(), 0);

  auto runCapture = [&](std::vector<std::string> arguments, std::string* transcript) {
    const std::filesystem::path file = Out("transcript.txt");
    arguments.insert(arguments.end(), {"--transcript", Utf8(file)});
    CChildProcess capture;
    int code = -1;
    EXPECT_TRUE(capture.Start(AMBERLINE_CAPTURE_PATH, arguments, m_names.Environment())) << capture.StartError();
    EXPECT_TRUE(capture.Wait(std::chrono::milliseconds(kTimeoutMs), &code)) << "amberline-capture did not end";
    *transcript = testing_support::ReadText(file);
    return code;
  };

  std::string transcript;
  ASSERT_EQ(runCapture({"--list"}, &transcript), 0) << transcript;
  EXPECT_NE(transcript.find(platform::WideToUtf8(kBuiltInClsid) + " Trelvox Amberline\n"), std::string::npos)
      << transcript;

  StartProducer(Out("picture.png"), 100000);
  ASSERT_EQ(runCapture({"--camera", "Trelvox Amberline", "--size", "320x240", "--frames", "6", "--y4m",
                        Utf8(Out("camera.y4m")), "--sheet", Utf8(Out("sheet.png")), "--png", Utf8(Out("png"))},
                       &transcript),
            0)
      << transcript;
  m_producer.Kill();
  EXPECT_NE(transcript.find("camera \"Trelvox Amberline\": 320x240 RGB24"), std::string::npos) << transcript;
  EXPECT_NE(transcript.find("frames received: 6,"), std::string::npos) << transcript;

  // Six 4:4:4 frames of 320 x 240 behind the stream header.
  const std::string y4m = testing_support::ReadFile(Out("camera.y4m"));
  const std::size_t headerEnd = y4m.find('\n');
  ASSERT_NE(headerEnd, std::string::npos);
  const std::string header = y4m.substr(0, headerEnd);
  EXPECT_EQ(header.rfind("YUV4MPEG2 W320 H240 ", 0), 0u) << header;
  EXPECT_NE(header.find(" C444"), std::string::npos) << header;
  const std::size_t frameBytes = 6 + static_cast<std::size_t>(kWidth) * kHeight * 3;
  EXPECT_EQ(y4m.size(), headerEnd + 1 + 6 * frameBytes);
  for (int i = 0; i < 6; ++i)
    EXPECT_EQ(y4m.compare(headerEnd + 1 + i * frameBytes, 6, "FRAME\n"), 0) << "frame " << i + 1;

  const CPicture sheet = testing_support::ReadPng(Out("sheet.png"));
  EXPECT_GT(sheet.width, 0) << "the contact sheet decodes";
  EXPECT_GT(sheet.height, 0);
  EXPECT_EQ(FirstDifference(testing_support::ReadPng(Out("png") / "frame_000006.png"), picture), "");

  EXPECT_EQ(registration.Unregister(), 0);
  ASSERT_EQ(runCapture({"--list"}, &transcript), 0) << transcript;
  EXPECT_EQ(transcript.find("Trelvox Amberline"), std::string::npos) << transcript;
}

}  // namespace
