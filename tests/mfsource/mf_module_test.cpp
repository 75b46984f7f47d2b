// amberline-mf.dll as a host meets it: loaded from the staged build, registered into the
// machine's (Wine prefix's) registry, created by class activation as an IMFActivate,
// activated into the media source. Copies named by the custom-source list show which class
// each copy takes. The registry is the real one here: every registration and entry is
// undone by a guard, also when a test fails.
#include <gtest/gtest.h>

#include <mfapi.h>
#include <mfidl.h>

#include <filesystem>
#include <string>
#include <vector>

#include "com/com_ptr.h"
#include "platform/guid.h"
#include "platform/mf_virtual_camera.h"
#include "platform/reg_key.h"
#include "platform/shared_library.h"
#include "platform/wide_string.h"
#include "support/test_support.h"

namespace {

constexpr wchar_t kBuiltInMfClsid[] = L"{9C3E6B14-2F7A-4E85-B0D1-6A4F8C2E7B39}";
constexpr wchar_t kFilterClsid[] = L"{5E0B7A21-93C4-4D6F-A1E8-27C3B94D0F6A}";
constexpr wchar_t kCustomSources[] = L"SOFTWARE\\Trelvox\\Amberline";
constexpr wchar_t kEntry[] = L"AmberlineMfModuleTest";
constexpr HRESULT kClassNotRegistrable = static_cast<HRESULT>(0x80040201u);
// Attribute keys of the test's own.
const GUID kLinkKey = {0x7d1c2a10, 0x4b3e, 0x4c55, {0x9a, 0x01, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77}};
const GUID kNumberKey = {0x7d1c2a11, 0x4b3e, 0x4c55, {0x9a, 0x01, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77}};

std::wstring ClassKey(const std::wstring& clsid) { return L"Software\\Classes\\CLSID\\" + clsid; }

CLSID Clsid(const std::wstring& text) {
  CLSID clsid{};
  EXPECT_TRUE(platform::GuidFromRegistryString(text.c_str(), &clsid));
  return clsid;
}

std::filesystem::path StagedMfModule() {
  return std::filesystem::absolute(std::filesystem::path(AMBERLINE_MF_MODULE_PATH)).make_preferred();
}

// One loaded copy of the module and its entry points.
class CMfModule {
 public:
  explicit CMfModule(const std::filesystem::path& path) : m_path(path) {
    EXPECT_TRUE(m_library.Load(path.wstring())) << platform::WideToUtf8(m_library.Error());
  }
  HRESULT Call(const char* entry) const {
    using Entry = HRESULT(STDAPICALLTYPE*)();
    const auto function = reinterpret_cast<Entry>(m_library.Symbol(entry));
    return function != nullptr ? function() : E_NOTIMPL;
  }
  HRESULT ClassObject(const std::wstring& clsid, CComPtr<IClassFactory>* factory) const {
    using Entry = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);
    const auto function = reinterpret_cast<Entry>(m_library.Symbol("DllGetClassObject"));
    if (function == nullptr) return E_NOTIMPL;
    return function(Clsid(clsid), IID_IClassFactory, factory->ReceiveVoid());
  }
  const std::filesystem::path& Path() const { return m_path; }

 private:
  std::filesystem::path m_path;
  CSharedLibrary m_library;
};

// The module registered for as long as the object lives.
class CRegistered {
 public:
  explicit CRegistered(const CMfModule& module) : m_module(module) { m_result = module.Call("DllRegisterServer"); }
  ~CRegistered() { m_module.Call("DllUnregisterServer"); }
  CRegistered(const CRegistered&) = delete;
  CRegistered& operator=(const CRegistered&) = delete;
  HRESULT Result() const { return m_result; }

 private:
  const CMfModule& m_module;
  HRESULT m_result;
};

// An entry of the custom-source list, removed when the object ends. Values with an empty
// text are left out.
class CCustomSourceEntry {
 public:
  CCustomSourceEntry(const std::filesystem::path& path, const std::wstring& clsid, const std::wstring& mfClsid) {
    CRegKey key;
    const std::wstring name = std::wstring(kCustomSources) + L"\\" + kEntry;
    EXPECT_EQ(key.Create(HKEY_LOCAL_MACHINE, name.c_str(), KEY_ALL_ACCESS), ERROR_SUCCESS);
    key.SetString(nullptr, L"Amberline MF Test");
    key.SetString(L"Path", path.wstring());
    if (!clsid.empty()) key.SetString(L"CLSID", clsid);
    if (!mfClsid.empty()) key.SetString(L"MFCLSID", mfClsid);
  }
  ~CCustomSourceEntry() {
    CRegKey list;
    if (list.Open(HKEY_LOCAL_MACHINE, kCustomSources, KEY_ALL_ACCESS) == ERROR_SUCCESS) list.DeleteTree(kEntry);
  }
  CCustomSourceEntry(const CCustomSourceEntry&) = delete;
  CCustomSourceEntry& operator=(const CCustomSourceEntry&) = delete;
};

std::wstring ReadString(const std::wstring& key, const wchar_t* value) {
  CRegKey k;
  std::wstring text;
  if (k.Open(HKEY_LOCAL_MACHINE, key.c_str(), KEY_READ) == ERROR_SUCCESS) k.QueryString(value, &text);
  return text;
}

// Every value name and subkey name of a key, to see that nothing else was written.
std::vector<std::wstring> Contents(const std::wstring& key) {
  std::vector<std::wstring> names;
  CRegKey k;
  if (k.Open(HKEY_LOCAL_MACHINE, key.c_str(), KEY_READ) != ERROR_SUCCESS) return names;
  std::wstring value;
  DWORD type = 0;
  for (DWORD i = 0; k.EnumValue(i, &value, &type) == ERROR_SUCCESS; ++i) names.push_back(L"=" + value);
  wchar_t sub[256];
  DWORD chars = 256;
  for (DWORD i = 0; k.EnumKey(i, sub, &chars) == ERROR_SUCCESS; ++i, chars = 256) names.push_back(sub);
  return names;
}

bool KeyExists(const std::wstring& key) {
  CRegKey k;
  return k.Open(HKEY_LOCAL_MACHINE, key.c_str(), KEY_READ) == ERROR_SUCCESS;
}

class MfModuleTest : public testing::Test {
 protected:
  void SetUp() override {
    m_com = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    m_mf = MFStartup(MF_VERSION, MFSTARTUP_NOSOCKET);
    ASSERT_EQ(m_mf, S_OK);
  }
  void TearDown() override {
    if (SUCCEEDED(m_mf)) MFShutdown();
    CoFreeUnusedLibrariesEx(0, 0);
    if (SUCCEEDED(m_com)) CoUninitialize();
  }
  // A copy of the staged module in a folder of its own (<temp>/<folder>/Bin).
  std::filesystem::path Copy(const std::string& folder) {
    const auto target = m_dir.Path() / folder / "Bin" / StagedMfModule().filename();
    std::filesystem::create_directories(target.parent_path());
    std::filesystem::copy_file(StagedMfModule(), target);
    return std::filesystem::absolute(target).make_preferred();
  }

  HRESULT m_com = E_FAIL;
  HRESULT m_mf = E_FAIL;
  testing_support::CTempDir m_dir;
};

TEST_F(MfModuleTest, RegistrationWritesOnlyTheMachineWideClassKeyAndUnregistrationRemovesIt) {
  const CMfModule module(StagedMfModule());
  const bool filterClassBefore = KeyExists(L"Software\\Classes\\CLSID\\" + std::wstring(kFilterClsid));
  {
    const CRegistered registration(module);
    ASSERT_EQ(registration.Result(), S_OK);
    const std::wstring key = ClassKey(kBuiltInMfClsid);
    EXPECT_EQ(ReadString(key, nullptr), L"Trelvox Amberline");
    EXPECT_EQ(Contents(key), (std::vector<std::wstring>{L"=", L"InprocServer32"}));
    EXPECT_TRUE(platform::EqualsNoCase(ReadString(key + L"\\InprocServer32", nullptr), module.Path().wstring()));
    EXPECT_EQ(ReadString(key + L"\\InprocServer32", L"ThreadingModel"), L"Both");
    EXPECT_EQ(Contents(key + L"\\InprocServer32").size(), 2u);
    EXPECT_EQ(KeyExists(L"Software\\Classes\\CLSID\\" + std::wstring(kFilterClsid)), filterClassBefore)
        << "the DirectShow camera's class is not the Media Foundation module's business";
    // Registering again rewrites the same key.
    EXPECT_EQ(module.Call("DllRegisterServer"), S_OK);
    EXPECT_EQ(module.Call("DllUnregisterServer"), S_OK);
    EXPECT_FALSE(KeyExists(ClassKey(kBuiltInMfClsid)));
  }
  EXPECT_EQ(module.Call("DllUnregisterServer"), S_OK) << "nothing left to remove is no failure";
}

TEST_F(MfModuleTest, ClassActivationGivesAnActivateWhoseOneSourceListsTheFormatsAndCarriesItsAttributes) {
  const CMfModule module(StagedMfModule());
  const CRegistered registration(module);
  ASSERT_EQ(registration.Result(), S_OK);

  CComPtr<IMFActivate> activate;
  ASSERT_EQ(CoCreateInstance(Clsid(kBuiltInMfClsid), nullptr, CLSCTX_INPROC_SERVER, IID_IMFActivate,
                             activate.ReceiveVoid()),
            S_OK);
  EXPECT_EQ(module.Call("DllCanUnloadNow"), S_FALSE) << "the activate keeps the module";
  ASSERT_EQ(activate->SetString(kLinkKey, L"\\\\?\\amberline#test"), S_OK);
  ASSERT_EQ(activate->SetUINT32(kNumberKey, 7), S_OK);
  UINT32 count = 0;
  EXPECT_EQ(activate->GetCount(&count), S_OK);
  EXPECT_EQ(count, 2u);

  CComPtr<IMFMediaSource> source;
  ASSERT_EQ(activate->ActivateObject(IID_IMFMediaSource, source.ReceiveVoid()), S_OK);
  CComPtr<IMFMediaSourceEx> again;
  ASSERT_EQ(activate->ActivateObject(IID_IMFMediaSourceEx, again.ReceiveVoid()), S_OK);
  EXPECT_EQ(QueryAs<IUnknown>(source.Get(), IID_IUnknown).Get(), QueryAs<IUnknown>(again.Get(), IID_IUnknown).Get())
      << "later activations hand out the same source";

  CComPtr<IMFPresentationDescriptor> presentation;
  ASSERT_EQ(source->CreatePresentationDescriptor(presentation.Receive()), S_OK);
  DWORD streams = 0;
  ASSERT_EQ(presentation->GetStreamDescriptorCount(&streams), S_OK);
  ASSERT_EQ(streams, 1u);
  BOOL selected = FALSE;
  CComPtr<IMFStreamDescriptor> stream;
  ASSERT_EQ(presentation->GetStreamDescriptorByIndex(0, &selected, stream.Receive()), S_OK);
  CComPtr<IMFMediaTypeHandler> handler;
  ASSERT_EQ(stream->GetMediaTypeHandler(handler.Receive()), S_OK);
  DWORD types = 0;
  ASSERT_EQ(handler->GetMediaTypeCount(&types), S_OK);
  EXPECT_GE(types, 2u);
  for (DWORD i = 0; i < types; ++i) {
    CComPtr<IMFMediaType> type;
    ASSERT_EQ(handler->GetMediaTypeByIndex(i, type.Receive()), S_OK);
    GUID major{}, subtype{};
    EXPECT_EQ(type->GetGUID(MF_MT_MAJOR_TYPE, &major), S_OK);
    EXPECT_EQ(type->GetGUID(MF_MT_SUBTYPE, &subtype), S_OK);
    EXPECT_EQ(major, MFMediaType_Video);
    EXPECT_TRUE(subtype == MFVideoFormat_NV12 || subtype == MFVideoFormat_RGB32) << i;
  }

  CComPtr<IMFAttributes> sourceAttributes;
  ASSERT_EQ(again->GetSourceAttributes(sourceAttributes.Receive()), S_OK);
  WCHAR link[64] = {};
  EXPECT_EQ(sourceAttributes->GetString(kLinkKey, link, 64, nullptr), S_OK);
  EXPECT_STREQ(link, L"\\\\?\\amberline#test");
  UINT32 number = 0;
  EXPECT_EQ(sourceAttributes->GetUINT32(kNumberKey, &number), S_OK);
  EXPECT_EQ(number, 7u);

  EXPECT_EQ(activate->ShutdownObject(), E_NOTIMPL);
  EXPECT_EQ(activate->DetachObject(), E_NOTIMPL);
  EXPECT_EQ(source->Shutdown(), S_OK);
  again.Reset();
  sourceAttributes.Reset();
  presentation.Reset();
  stream.Reset();
  handler.Reset();
  // A host may keep the source and drop the activation object: the source's code must
  // stay loaded for it.
  activate.Reset();
  EXPECT_EQ(module.Call("DllCanUnloadNow"), S_FALSE) << "the source alone keeps the module";
  source.Reset();
  EXPECT_EQ(module.Call("DllCanUnloadNow"), S_OK);
}

TEST_F(MfModuleTest, ACustomSourceEntryGivesTheCopyItsMfClassAndAnUnusableOneNeverTakesTheBuiltInClass) {
  const std::wstring ownClass = L"{3B7D9E21-6C4A-4F08-8D2E-51A0C7E3F964}";
  {
    // The entry names the DirectShow module beside the copy: one entry, one camera.
    const auto copy = Copy("Second");
    const CCustomSourceEntry entry(copy.parent_path() / "amberline.dll", L"C4E1D2A7-5B3F-4A09-8E61-7D2C9F0B3A58",
                                   ownClass.substr(1, 36));
    const CMfModule module(copy);
    CComPtr<IClassFactory> factory;
    EXPECT_EQ(module.ClassObject(ownClass, &factory), S_OK);
    EXPECT_EQ(module.ClassObject(kBuiltInMfClsid, &factory), CLASS_E_CLASSNOTAVAILABLE);
    const CRegistered registration(module);
    ASSERT_EQ(registration.Result(), S_OK);
    EXPECT_EQ(ReadString(ClassKey(ownClass), nullptr), L"Amberline MF Test");
    EXPECT_TRUE(platform::EqualsNoCase(ReadString(ClassKey(ownClass) + L"\\InprocServer32", nullptr), copy.wstring()));
  }
  EXPECT_FALSE(KeyExists(ClassKey(ownClass)));

  struct Case {
    const char* what;
    std::wstring mfClsid;
  };
  const std::vector<Case> unusable = {
      {"missing", L""},
      {"not a class identifier", L"not-a-class"},
      {"the built-in class", std::wstring(kBuiltInMfClsid).substr(1, 36)},
      {"the entry's own CLSID", L"C4E1D2A7-5B3F-4A09-8E61-7D2C9F0B3A58"},
      {"the DirectShow camera's class", std::wstring(kFilterClsid).substr(1, 36)},
  };
  int index = 0;
  for (const Case& c : unusable) {
    SCOPED_TRACE(c.what);
    const auto copy = Copy("Bad" + std::to_string(index++));
    const CCustomSourceEntry entry(copy, L"C4E1D2A7-5B3F-4A09-8E61-7D2C9F0B3A58", c.mfClsid);
    const CMfModule module(copy);
    CComPtr<IClassFactory> factory;
    EXPECT_EQ(module.ClassObject(kBuiltInMfClsid, &factory), S_OK) << "it runs under the built-in class";
    EXPECT_EQ(module.Call("DllRegisterServer"), kClassNotRegistrable);
    EXPECT_FALSE(platform::EqualsNoCase(ReadString(ClassKey(kBuiltInMfClsid) + L"\\InprocServer32", nullptr),
                                        copy.wstring()));
    EXPECT_EQ(module.Call("DllUnregisterServer"), kClassNotRegistrable);
  }
}

}  // namespace
