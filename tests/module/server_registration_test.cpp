// Registers and unregisters real copies of the built module, as an installer would, and
// checks what the registry and the system's filter mapper keep of them; asks a loaded
// copy for its class factory as a host would.
#include <gtest/gtest.h>

#include <string>

#include "module/server_registration.h"
#include "platform/com_ids.h"
#include "platform/dshow_types.h"
#include "platform/guid.h"
#include "platform/reg_key.h"
#include "platform/shared_library.h"
#include "platform/wide_string.h"
#include "support/channel_fixture.h"
#include "support/log_capture.h"
#include "support/registry_fixture.h"
#include "support/test_server_class.h"

namespace {

using testing_support::CRegistrySandbox;

using GetClassObjectFunction = HRESULT(STDMETHODCALLTYPE*)(REFCLSID, REFIID, void**);
using ServerFunction = HRESULT(STDMETHODCALLTYPE*)();

const CLSID kBuiltIn = {0x5E0B7A21, 0x93C4, 0x4D6F, {0xA1, 0xE8, 0x27, 0xC3, 0xB9, 0x4D, 0x0F, 0x6A}};
const CLSID kStudio = {0x11111111, 0x2222, 0x3333, {0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55}};

std::wstring ClassKey(const CLSID& clsid) { return L"CLSID\\" + platform::GuidToRegistryString(clsid); }
std::wstring CategoryEntry(const std::wstring& name) {
  return L"CLSID\\" + platform::GuidToRegistryString(CLSID_VideoInputDeviceCategory) + L"\\Instance\\" + name;
}

bool KeyExists(const std::wstring& path) {
  CRegKey key;
  return key.Open(HKEY_CLASSES_ROOT, path.c_str(), KEY_READ) == ERROR_SUCCESS;
}

std::wstring StringValue(const std::wstring& path, const wchar_t* name) {
  CRegKey key;
  std::wstring value;
  if (key.Open(HKEY_CLASSES_ROOT, path.c_str(), KEY_READ) != ERROR_SUCCESS) return L"<no key>";
  if (key.QueryString(name, &value) != ERROR_SUCCESS) return L"<no value>";
  return value;
}

class ServerRegistrationTest : public testing::Test {
 protected:
  void SetUp() override { m_init = CoInitializeEx(nullptr, COINIT_MULTITHREADED); }
  void TearDown() override {
    m_library.Unload();
    if (SUCCEEDED(m_init)) CoUninitialize();
  }

  // Loads a copy of the module from folder (under the sandbox), optionally named in the
  // custom-source list as name with class id clsid.
  std::filesystem::path Load(const std::string& folder, const std::string& name = "", const std::string& clsid = "",
                             CSharedLibrary* library = nullptr, const std::string& moreValues = "") {
    if (library == nullptr) library = &m_library;
    const auto dir = m_sandbox.Root() / folder;
    std::filesystem::create_directories(dir);
    const auto module = dir / testing_support::StagedModulePath().filename();
    std::filesystem::copy_file(testing_support::StagedModulePath(), module);
    if (!name.empty()) {
      m_sandbox.WriteHive("HKEY_LOCAL_MACHINE", "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Trelvox\\Amberline\\" + folder +
                                                    "]\n@=\"" + name + "\"\n\"Path\"=" +
                                                    CRegistrySandbox::Quoted(module.string()) + "\n\"CLSID\"=\"" +
                                                    clsid + "\"\n" + moreValues);
    }
    EXPECT_TRUE(library->Load(module.wstring())) << platform::WideToUtf8(library->Error());
    return module;
  }
  HRESULT Call(const char* entry, const CSharedLibrary* library = nullptr) {
    if (library == nullptr) library = &m_library;
    auto function = reinterpret_cast<ServerFunction>(library->Symbol(entry));
    return function != nullptr ? function() : E_FAIL;
  }
  GetClassObjectFunction GetClassObject() {
    return reinterpret_cast<GetClassObjectFunction>(m_library.Symbol("DllGetClassObject"));
  }

  HRESULT m_init = E_FAIL;
  CRegistrySandbox m_sandbox;
  CSharedLibrary m_library;
};

TEST_F(ServerRegistrationTest, RegistrationWritesTheServerKeysAndTheCategoryEntryAndUnregistrationRemovesThem) {
  const auto module = Load("Bin");
  const std::wstring classKey = ClassKey(kBuiltIn);
  for (int round = 0; round < 2; ++round) {
    ASSERT_EQ(Call("DllRegisterServer"), S_OK) << "registering the same module again overwrites its entries";
    EXPECT_EQ(StringValue(classKey, nullptr), L"Trelvox Amberline");
    EXPECT_TRUE(std::filesystem::equivalent(std::filesystem::path(StringValue(classKey + L"\\InprocServer32", nullptr)),
                                            module));
    EXPECT_EQ(StringValue(classKey + L"\\InprocServer32", L"ThreadingModel"), L"Both");
    EXPECT_TRUE(KeyExists(CategoryEntry(L"Trelvox Amberline")));
    EXPECT_EQ(StringValue(CategoryEntry(L"Trelvox Amberline"), L"FriendlyName"), L"Trelvox Amberline");
    EXPECT_EQ(platform::WideToUtf8(StringValue(CategoryEntry(L"Trelvox Amberline"), L"CLSID")),
              platform::WideToUtf8(platform::GuidToRegistryString(kBuiltIn)));
  }
  ASSERT_EQ(Call("DllUnregisterServer"), S_OK);
  EXPECT_FALSE(KeyExists(classKey));
  EXPECT_FALSE(KeyExists(CategoryEntry(L"Trelvox Amberline")));
}

TEST_F(ServerRegistrationTest, UnregistrationReachesTheCategoryEvenWhenTheClassKeyIsGone) {
  Load("Bin");
  ASSERT_EQ(Call("DllRegisterServer"), S_OK);
  {
    CRegKey clsidKey;
    ASSERT_EQ(clsidKey.Open(HKEY_CLASSES_ROOT, L"CLSID", KEY_ALL_ACCESS), ERROR_SUCCESS);
    ASSERT_EQ(clsidKey.DeleteTree(platform::GuidToRegistryString(kBuiltIn).c_str()), ERROR_SUCCESS);
  }
  EXPECT_EQ(Call("DllUnregisterServer"), S_OK);
  EXPECT_FALSE(KeyExists(CategoryEntry(L"Trelvox Amberline")));
}

TEST_F(ServerRegistrationTest, ACustomCopyRegistersUnderItsOwnNameAndClassId) {
  Load("Studio", "Studio Cam", "11111111-2222-3333-4444-555555555555");
  ASSERT_EQ(Call("DllRegisterServer"), S_OK);
  EXPECT_EQ(StringValue(ClassKey(kStudio), nullptr), L"Studio Cam");
  EXPECT_FALSE(KeyExists(ClassKey(kBuiltIn)));
  EXPECT_EQ(StringValue(CategoryEntry(L"Studio Cam"), L"FriendlyName"), L"Studio Cam");
  ASSERT_EQ(Call("DllUnregisterServer"), S_OK);
  EXPECT_FALSE(KeyExists(CategoryEntry(L"Studio Cam")));
}

TEST_F(ServerRegistrationTest, ACopyWhoseEntryHasAnUnparsableClassIdRefusesToRegisterAndLeavesTheBuiltInCameraAlone) {
  m_sandbox.CreateLogFolder();
  const auto builtIn = Load("Bin");
  ASSERT_EQ(Call("DllRegisterServer"), S_OK);
  CSharedLibrary broken;
  Load("Broken", "Broken Cam", "not-a-class-id", &broken);

  for (const char* entry : {"DllRegisterServer", "DllUnregisterServer"}) {
    EXPECT_EQ(Call(entry, &broken), static_cast<HRESULT>(0x80040201u)) << entry;
    const std::wstring classKey = ClassKey(kBuiltIn);
    EXPECT_EQ(StringValue(classKey, nullptr), L"Trelvox Amberline") << entry;
    EXPECT_TRUE(std::filesystem::equivalent(std::filesystem::path(StringValue(classKey + L"\\InprocServer32", nullptr)),
                                            builtIn))
        << entry << " must not point the built-in class at the copy";
    EXPECT_EQ(StringValue(CategoryEntry(L"Trelvox Amberline"), L"FriendlyName"), L"Trelvox Amberline") << entry;
    EXPECT_FALSE(KeyExists(CategoryEntry(L"Broken Cam"))) << entry;
  }
  const std::string log = testing_support::LogMessages(m_sandbox.LogPath());
  for (const char* action : {"registered", "unregistered"})
    EXPECT_NE(log.find(std::string("Not ") + action +
                       ": the custom source entry Broken names this module with a CLSID value that is not a class "
                       "identifier.\n"),
              std::string::npos)
        << log;

  // The copy still runs, under the built-in class identifier.
  const auto getClassObject = reinterpret_cast<GetClassObjectFunction>(broken.Symbol("DllGetClassObject"));
  ASSERT_NE(getClassObject, nullptr);
  IClassFactory* factory = nullptr;
  ASSERT_EQ(getClassObject(kBuiltIn, IID_IClassFactory, reinterpret_cast<void**>(&factory)), S_OK);
  factory->Release();
}

// A copy's channel is its entry's "Channel"; a value that is not a channel name keeps the
// copy off the registry (it would be a camera showing another camera's feed) and says so.
TEST_F(ServerRegistrationTest, ACopyRegistersWithItsChannelAndRefusesToWithABadOne) {
  testing_support::CChannelNamespace names;
  m_sandbox.CreateLogFolder();
  CSharedLibrary desk;
  Load("Desk", "Desk Cam", "11111111-2222-3333-4444-555555555555", &desk, "\"Channel\"=\"desk\"\n");
  EXPECT_EQ(Call("DllRegisterServer", &desk), S_OK);
  EXPECT_EQ(StringValue(ClassKey(kStudio), nullptr), L"Desk Cam");
  EXPECT_EQ(Call("DllUnregisterServer", &desk), S_OK);
  std::string log = testing_support::LogMessages(m_sandbox.LogPath());
  EXPECT_NE(log.find("My channel = \"desk\" (objects named " + platform::WideToUtf8(names.Value()) +
                     "desk_Trelvox_FileMapping...)\n"),
            std::string::npos)
      << log;

  CSharedLibrary broken;
  Load("Broken", "Broken Cam", "22222222-2222-3333-4444-555555555555", &broken, "\"Channel\"=\"my desk\"\n");
  EXPECT_EQ(Call("DllRegisterServer", &broken), static_cast<HRESULT>(0x80040201u));
  EXPECT_FALSE(KeyExists(CategoryEntry(L"Broken Cam")));
  EXPECT_FALSE(KeyExists(ClassKey(kBuiltIn))) << "the built-in camera's class is untouched";
  EXPECT_NE(Call("DllUnregisterServer", &broken), static_cast<HRESULT>(0x80040201u)) << "its own class may be removed";
  log = testing_support::LogMessages(m_sandbox.LogPath());
  EXPECT_NE(log.find("Not registered: the custom source entry Broken names this module with a Channel value that is "
                     "not a channel name.\n"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("My channel = the default one"), std::string::npos) << log;
}

// Logging on or off, a copy named in the custom-source list is the same camera: its
// factory serves its own class only, its filter reports that class, and it registers
// under it.
class CustomCopyIdentityTest : public ServerRegistrationTest, public testing::WithParamInterface<bool> {
 protected:
  testing_support::CChannelNamespace m_namespace;
};

TEST_P(CustomCopyIdentityTest, TheCopyServesRegistersAndReportsItsOwnClassId) {
  const bool logging = GetParam();
  m_sandbox.CreateLogFolder();
  if (!logging)
    m_sandbox.WriteHive("HKEY_CURRENT_USER", "[HKEY_CURRENT_USER\\SOFTWARE\\Trelvox]\n\"EnableLogging\"=dword:00000000\n"
                                             "\"LoggingLevel\"=dword:00000003\n");
  Load("Studio", "Studio Cam", "11111111-2222-3333-4444-555555555555");
  EXPECT_EQ(std::filesystem::exists(m_sandbox.LogPath()), logging);

  const auto getClassObject = GetClassObject();
  ASSERT_NE(getClassObject, nullptr);
  IClassFactory* factory = nullptr;
  EXPECT_EQ(getClassObject(kBuiltIn, IID_IClassFactory, reinterpret_cast<void**>(&factory)), CLASS_E_CLASSNOTAVAILABLE);
  ASSERT_EQ(getClassObject(kStudio, IID_IClassFactory, reinterpret_cast<void**>(&factory)), S_OK);
  IPersist* persist = nullptr;
  ASSERT_EQ(factory->CreateInstance(nullptr, IID_IPersist, reinterpret_cast<void**>(&persist)), S_OK);
  CLSID reported = GUID_NULL;
  EXPECT_EQ(persist->GetClassID(&reported), S_OK);
  EXPECT_EQ(platform::GuidToRegistryString(reported), platform::GuidToRegistryString(kStudio));
  persist->Release();
  factory->Release();

  ASSERT_EQ(Call("DllRegisterServer"), S_OK);
  EXPECT_EQ(StringValue(ClassKey(kStudio), nullptr), L"Studio Cam");
  EXPECT_EQ(platform::WideToUtf8(StringValue(CategoryEntry(L"Studio Cam"), L"CLSID")),
            platform::WideToUtf8(platform::GuidToRegistryString(kStudio)));
  EXPECT_FALSE(KeyExists(ClassKey(kBuiltIn)));
  ASSERT_EQ(Call("DllUnregisterServer"), S_OK);
  EXPECT_EQ(std::filesystem::exists(m_sandbox.LogPath()), logging) << "logging off writes no file at all";
}

INSTANTIATE_TEST_SUITE_P(Logging, CustomCopyIdentityTest, testing::Bool(),
                         [](const testing::TestParamInfo<bool>& info) { return info.param ? "On" : "Off"; });

TEST_F(ServerRegistrationTest, TheClassFactoryServesOnlyTheCameraAndKeepsTheModuleWhileLocked) {
  Load("Bin");
  const auto getClassObject = GetClassObject();
  ASSERT_NE(getClassObject, nullptr);
  IClassFactory* factory = reinterpret_cast<IClassFactory*>(1);
  EXPECT_EQ(getClassObject(kStudio, IID_IClassFactory, reinterpret_cast<void**>(&factory)), CLASS_E_CLASSNOTAVAILABLE);
  EXPECT_EQ(factory, nullptr);
  EXPECT_EQ(getClassObject(kBuiltIn, IID_IBaseFilter, reinterpret_cast<void**>(&factory)), E_NOINTERFACE)
      << "the interface is checked before the class";
  ASSERT_EQ(getClassObject(kBuiltIn, IID_IClassFactory, reinterpret_cast<void**>(&factory)), S_OK);
  EXPECT_EQ(Call("DllCanUnloadNow"), S_FALSE) << "a live factory keeps the module";

  void* object = reinterpret_cast<void*>(1);
  EXPECT_EQ(factory->CreateInstance(reinterpret_cast<IUnknown*>(factory), IID_IBaseFilter, &object), E_NOINTERFACE)
      << "an aggregating caller gets the inner unknown only";
  EXPECT_EQ(object, nullptr);
  EXPECT_EQ(factory->LockServer(TRUE), S_OK);
  EXPECT_EQ(factory->Release(), 0u);
  EXPECT_EQ(Call("DllCanUnloadNow"), S_FALSE) << "locked";
  ASSERT_EQ(getClassObject(kBuiltIn, IID_IUnknown, reinterpret_cast<void**>(&factory)), S_OK);
  EXPECT_EQ(factory->LockServer(FALSE), S_OK);
  EXPECT_EQ(factory->Release(), 0u);
  EXPECT_EQ(Call("DllCanUnloadNow"), S_OK);
}

// Whether a module file is mapped into this process (Linux: /proc/self/maps).
bool ModuleMapped(const std::string& path) {
  const std::string maps = testing_support::ReadFile("/proc/self/maps");
  return maps.find(std::filesystem::canonical(path).string()) != std::string::npos;
}

TEST(ServerRegistrationUnloadTest, RegistrationAsksTheSystemToUnloadLibrariesNoLongerInUse) {
  CRegistrySandbox sandbox;
  const HRESULT init = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  sandbox.WriteHive("HKEY_CLASSES_ROOT", "[HKEY_CLASSES_ROOT\\CLSID\\" +
                                             platform::WideToUtf8(platform::GuidToRegistryString(testing_support::kTestServerClass)) +
                                             "\\InprocServer32]\n@=" + CRegistrySandbox::Quoted(AMBERLINE_TEST_SERVER_PATH) +
                                             "\n");
  IUnknown* object = nullptr;
  const HRESULT created = CoCreateInstance(testing_support::kTestServerClass, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                                           reinterpret_cast<void**>(&object));
  if (created == REGDB_E_CLASSNOTREG || !std::filesystem::exists("/proc/self/maps")) {
    if (object != nullptr) object->Release();
    if (SUCCEEDED(init)) CoUninitialize();
    GTEST_SKIP() << "the system's class activation does not read this test's private registry, or the process's "
                    "mapped files cannot be listed";
  }
  ASSERT_EQ(created, S_OK);
  object->Release();
  ASSERT_TRUE(ModuleMapped(AMBERLINE_TEST_SERVER_PATH)) << "the server stays loaded until it is asked to unload";
  CoFreeUnusedLibraries();
  if (ModuleMapped(AMBERLINE_TEST_SERVER_PATH)) {
    if (SUCCEEDED(init)) CoUninitialize();
    GTEST_SKIP() << "this build keeps unloaded libraries mapped (a sanitizer's runtime does)";
  }
  ASSERT_EQ(CoCreateInstance(testing_support::kTestServerClass, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                             reinterpret_cast<void**>(&object)),
            S_OK);
  object->Release();
  ASSERT_TRUE(ModuleMapped(AMBERLINE_TEST_SERVER_PATH));

  EXPECT_EQ(RegisterModuleServer(true), S_OK);
  EXPECT_FALSE(ModuleMapped(AMBERLINE_TEST_SERVER_PATH)) << "registration left an unused library loaded";
  if (SUCCEEDED(init)) CoUninitialize();
}

}  // namespace
