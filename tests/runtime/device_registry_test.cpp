// Finding and creating registered classes as a video application does: class activation
// from the registry, the filter mapper writing category entries and the system device
// enumerator listing them, through the Windows interfaces only. Every test works in a
// private registry; on Windows they run against the system's own services.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "com/com_ptr.h"
#include "platform/dshow_types.h"
#include "support/registry_fixture.h"
#include "support/test_server_class.h"
#include "support/test_support.h"

namespace {

using testing_support::CRegistrySandbox;
using testing_support::kTestServerClass;

// A category of our own, so that nothing the system lists by itself appears in it.
const CLSID kTestCategory = {0x5C9D2A61, 0x4E3B, 0x4F70, {0x9B, 0x12, 0x6A, 0xD4, 0x30, 0x8E, 0x51, 0xC7}};
const CLSID kFilterA = {0x1E4F7A30, 0x8C21, 0x4B5D, {0xA3, 0x9E, 0x52, 0x07, 0xC1, 0x6F, 0x84, 0x2D}};
const CLSID kFilterB = {0x2A6B9C41, 0x7D32, 0x4C6E, {0xB4, 0x0F, 0x63, 0x18, 0xD2, 0x70, 0x95, 0x3E}};
const wchar_t* const kFilterAText = L"{1E4F7A30-8C21-4B5D-A39E-5207C16F842D}";
const char* const kTestServerClassText = "{7B1C4E52-2F0A-4C39-8E61-3D95A017C42B}";
const char* const kTestCategoryText = "{5C9D2A61-4E3B-4F70-9B12-6AD4308E51C7}";

const REGPINTYPES kVideoRgb24 = {&MEDIATYPE_Video, &MEDIASUBTYPE_RGB24};
const REGFILTERPINS2 kCapturePin = {REG_PINFLAG_B_OUTPUT, 1, 1, &kVideoRgb24, 0, nullptr, &PIN_CATEGORY_CAPTURE};

REGFILTER2 CaptureRecord(DWORD merit = MERIT_DO_NOT_USE) {
  REGFILTER2 record{};
  record.dwVersion = 2;
  record.dwMerit = merit;
  record.cPins2 = 1;
  record.rgPins2 = &kCapturePin;
  return record;
}

std::string Narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

// One listed entry as an application sees it.
struct Entry {
  std::wstring name;
  std::wstring clsid;
  std::wstring displayName;
  bool operator<(const Entry& other) const { return name < other.name; }
};

// A property bag of our own that records what an object saves into it.
class CRecordingBag final : public IPropertyBag {
 public:
  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    if (riid != IID_IUnknown && riid != IID_IPropertyBag) return E_NOINTERFACE;
    *ppv = static_cast<IPropertyBag*>(this);
    return S_OK;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return 2; }
  STDMETHODIMP_(ULONG) Release() override { return 1; }
  STDMETHODIMP Read(LPCOLESTR, VARIANT*, IErrorLog*) override { return E_FAIL; }
  STDMETHODIMP Write(LPCOLESTR pszPropName, VARIANT* pVar) override {
    if (pVar == nullptr || pVar->vt != VT_BSTR) return E_INVALIDARG;
    m_written = std::wstring(pszPropName) + L"=" + (pVar->bstrVal != nullptr ? pVar->bstrVal : L"");
    return S_OK;
  }
  std::wstring m_written;
};

class DeviceRegistryTest : public testing::Test {
 protected:
  void SetUp() override {
    m_init = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    ASSERT_EQ(CoCreateInstance(CLSID_FilterMapper2, nullptr, CLSCTX_INPROC_SERVER, IID_IFilterMapper2,
                               m_mapper.ReceiveVoid()),
              S_OK);
    ASSERT_EQ(CoCreateInstance(CLSID_SystemDeviceEnum, nullptr, CLSCTX_INPROC_SERVER, IID_ICreateDevEnum,
                               m_devEnum.ReceiveVoid()),
              S_OK);
  }
  void TearDown() override {
    // Released before the runtime is left.
    m_devEnum.Reset();
    m_mapper.Reset();
    CoFreeUnusedLibraries();
    if (SUCCEEDED(m_init)) CoUninitialize();
  }

  // The entries of category; *result receives CreateClassEnumerator's answer.
  std::vector<Entry> List(REFCLSID category, DWORD flags = 0, HRESULT* result = nullptr) {
    std::vector<Entry> entries;
    IEnumMoniker* monikers = reinterpret_cast<IEnumMoniker*>(&entries);
    const HRESULT hr = m_devEnum->CreateClassEnumerator(category, &monikers, flags);
    if (result != nullptr) *result = hr;
    if (hr != S_OK) {
      EXPECT_EQ(monikers, nullptr);
      return entries;
    }
    const CComPtr<IEnumMoniker> held(monikers, kAdoptRef);
    CComPtr<IMoniker> moniker;
    while (held->Next(1, moniker.Receive(), nullptr) == S_OK) {
      Entry entry;
      CComPtr<IPropertyBag> bag;
      if (SUCCEEDED(moniker->BindToStorage(nullptr, nullptr, IID_IPropertyBag, bag.ReceiveVoid()))) {
        entry.name = ReadString(bag.Get(), L"FriendlyName");
        entry.clsid = ReadString(bag.Get(), L"CLSID");
      }
      LPOLESTR displayName = nullptr;
      if (SUCCEEDED(moniker->GetDisplayName(nullptr, nullptr, &displayName))) {
        entry.displayName = displayName;
        CoTaskMemFree(displayName);
      }
      entries.push_back(entry);
    }
    std::sort(entries.begin(), entries.end());
    return entries;
  }

  static std::wstring ReadString(IPropertyBag* bag, const wchar_t* name) {
    VARIANT value;
    VariantInit(&value);
    value.vt = VT_BSTR;
    if (FAILED(bag->Read(name, &value, nullptr)) || value.vt != VT_BSTR) return L"<none>";
    std::wstring text = value.bstrVal != nullptr ? value.bstrVal : L"";
    VariantClear(&value);
    return text;
  }

  // The moniker of the entry of category named name (friendly name), or null.
  IMoniker* Find(REFCLSID category, const std::wstring& name) {
    CComPtr<IEnumMoniker> monikers;
    if (m_devEnum->CreateClassEnumerator(category, monikers.Receive(), 0) != S_OK) return nullptr;
    CComPtr<IMoniker> moniker;
    while (monikers->Next(1, moniker.Receive(), nullptr) == S_OK) {
      CComPtr<IPropertyBag> bag;
      if (SUCCEEDED(moniker->BindToStorage(nullptr, nullptr, IID_IPropertyBag, bag.ReceiveVoid())) &&
          ReadString(bag.Get(), L"FriendlyName") == name)
        return moniker.Detach();  // the caller's reference
    }
    return nullptr;
  }

  // Registers clsid as an in-process server at path (registry editor text of a value).
  void RegisterServer(const std::string& clsidText, const std::string& defaultValue) {
    m_registry.WriteHive("HKEY_CLASSES_ROOT", "[HKEY_CLASSES_ROOT\\CLSID\\" + clsidText +
                                                  "\\InprocServer32]\n@=" + defaultValue +
                                                  "\n\"ThreadingModel\"=\"Both\"\n");
  }

  // An entry of the test category written by hand, with the given value lines.
  void WriteEntry(const std::string& instance, const std::string& values) {
    m_registry.WriteHive("HKEY_CLASSES_ROOT", std::string("[HKEY_CLASSES_ROOT\\CLSID\\") + kTestCategoryText +
                                                  "\\Instance\\" + instance + "]\n" + values);
  }

  // Registers the test server's class and answers whether class activation finds it in
  // this test's private registry. Wine's component runtime reads the machine's class registrations directly
  // and never sees the process's redirected HKEY_CLASSES_ROOT; the runtime here always
  // does, so the answer is only ever false on Windows.
  bool ActivationSeesPrivateRegistry() {
    RegisterServer(kTestServerClassText, CRegistrySandbox::Quoted(AMBERLINE_TEST_SERVER_PATH));
    CComPtr<IUnknown> object;
    const HRESULT hr = CoCreateInstance(kTestServerClass, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, object.ReceiveVoid());
    return !(platform::kIsWindows && hr == REGDB_E_CLASSNOTREG);
  }

  HRESULT Create(REFCLSID clsid, IUnknown* outer, REFIID riid, IUnknown** object) {
    *object = reinterpret_cast<IUnknown*>(object);
    const HRESULT hr = CoCreateInstance(clsid, outer, CLSCTX_INPROC_SERVER, riid, reinterpret_cast<void**>(object));
    if (FAILED(hr)) {
      EXPECT_EQ(*object, nullptr);
    }
    return hr;
  }

  CRegistrySandbox m_registry;
  HRESULT m_init = E_FAIL;
  CComPtr<IFilterMapper2> m_mapper;
  CComPtr<ICreateDevEnum> m_devEnum;
};

using ClassActivationTest = DeviceRegistryTest;

TEST_F(DeviceRegistryTest, RegisteredVideoInputIsListedWithNameAndClassUntilUnregistered) {
  const REGFILTER2 record = CaptureRecord();
  ASSERT_EQ(m_mapper->RegisterFilter(kFilterA, L"Amberline Test Camera", nullptr, &CLSID_VideoInputDeviceCategory,
                                     L"Amberline Test Camera", &record),
            S_OK);
  std::vector<Entry> entries = List(CLSID_VideoInputDeviceCategory);
  auto ours = std::find_if(entries.begin(), entries.end(),
                           [](const Entry& e) { return e.name == L"Amberline Test Camera"; });
  ASSERT_NE(ours, entries.end());
  EXPECT_EQ(Narrow(ours->clsid), Narrow(kFilterAText));
  EXPECT_EQ(Narrow(ours->displayName),
            "@device:sw:{860BB310-5D01-11D0-BD3B-00A0C911CE86}\\Amberline Test Camera");

  // The bag knows no other names.
  IMoniker* moniker = Find(CLSID_VideoInputDeviceCategory, L"Amberline Test Camera");
  ASSERT_NE(moniker, nullptr);
  IPropertyBag* bag = nullptr;
  ASSERT_EQ(moniker->BindToStorage(nullptr, nullptr, IID_IPropertyBag, reinterpret_cast<void**>(&bag)), S_OK);
  VARIANT value;
  VariantInit(&value);
  value.vt = VT_BSTR;
  EXPECT_TRUE(FAILED(bag->Read(L"DevicePath", &value, nullptr)));
  EXPECT_EQ(ReadString(bag, L"FriendlyName"), L"Amberline Test Camera");
  bag->Release();

  ASSERT_EQ(m_mapper->UnregisterFilter(&CLSID_VideoInputDeviceCategory, L"Amberline Test Camera", kFilterA), S_OK);
  // The moniker outlives its entry and only reports that it is gone.
  bag = nullptr;
  if (SUCCEEDED(moniker->BindToStorage(nullptr, nullptr, IID_IPropertyBag, reinterpret_cast<void**>(&bag)))) {
    EXPECT_EQ(ReadString(bag, L"FriendlyName"), L"<none>");
    bag->Release();
  }
  moniker->Release();
  HRESULT hr = E_FAIL;
  entries = List(CLSID_VideoInputDeviceCategory, 0, &hr);
  EXPECT_TRUE(std::none_of(entries.begin(), entries.end(),
                           [](const Entry& e) { return e.name == L"Amberline Test Camera"; }));
  EXPECT_EQ(m_mapper->UnregisterFilter(&CLSID_VideoInputDeviceCategory, L"Amberline Test Camera", kFilterA),
            HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
}

TEST_F(DeviceRegistryTest, EmptyOrUnknownCategoryAnswersSFalseWithoutEnumerator) {
  HRESULT hr = E_FAIL;
  EXPECT_TRUE(List(kTestCategory, 0, &hr).empty());
  EXPECT_EQ(hr, S_FALSE);
  const REGFILTER2 record = CaptureRecord();
  ASSERT_EQ(m_mapper->RegisterFilter(kFilterA, L"Only", nullptr, &kTestCategory, L"Only", &record), S_OK);
  ASSERT_EQ(List(kTestCategory).size(), 1u);
  ASSERT_EQ(m_mapper->UnregisterFilter(&kTestCategory, L"Only", kFilterA), S_OK);
  EXPECT_TRUE(List(kTestCategory, 0, &hr).empty());
  EXPECT_EQ(hr, S_FALSE);
}

TEST_F(DeviceRegistryTest, EntriesWithDifferentNamesAreAllListedAndReRegisteringReplaces) {
  const REGFILTER2 record = CaptureRecord();
  ASSERT_EQ(m_mapper->RegisterFilter(kFilterA, L"First", nullptr, &kTestCategory, L"First", &record), S_OK);
  ASSERT_EQ(m_mapper->RegisterFilter(kFilterB, L"Second", nullptr, &kTestCategory, L"Second", &record), S_OK);
  std::vector<Entry> entries = List(kTestCategory);
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].name, L"First");
  EXPECT_EQ(entries[1].name, L"Second");
  EXPECT_NE(entries[0].clsid, entries[1].clsid);

  // The same instance again: one entry, the new values.
  ASSERT_EQ(m_mapper->RegisterFilter(kFilterB, L"First renamed", nullptr, &kTestCategory, L"First", &record), S_OK);
  entries = List(kTestCategory);
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].name, L"First renamed");
  EXPECT_EQ(entries[0].clsid, entries[1].clsid);
}

TEST_F(DeviceRegistryTest, WithoutCategoryOrInstanceTheFilterIsALegacyFilterNamedByItsClass) {
  const REGFILTER2 record = CaptureRecord(MERIT_NORMAL);
  ASSERT_EQ(m_mapper->RegisterFilter(kFilterA, L"Legacy Filter", nullptr, nullptr, nullptr, &record), S_OK);
  IMoniker* moniker = Find(CLSID_LegacyAmFilterCategory, L"Legacy Filter");
  ASSERT_NE(moniker, nullptr);
  LPOLESTR displayName = nullptr;
  ASSERT_EQ(moniker->GetDisplayName(nullptr, nullptr, &displayName), S_OK);
  EXPECT_EQ(Narrow(displayName),
            "@device:sw:{083863F1-70DE-11D0-BD40-00A0C911CE86}\\" + Narrow(kFilterAText));
  CoTaskMemFree(displayName);
  moniker->Release();
  EXPECT_EQ(m_mapper->UnregisterFilter(nullptr, nullptr, kFilterA), S_OK);
  moniker = Find(CLSID_LegacyAmFilterCategory, L"Legacy Filter");
  EXPECT_EQ(moniker, nullptr);
  if (moniker != nullptr) moniker->Release();
}

TEST_F(DeviceRegistryTest, BindingCreatesTheRegisteredClassAndHandsItItsPropertyBag) {
  if (!ActivationSeesPrivateRegistry())
    GTEST_SKIP() << "the system's class activation does not read the classes registered in this test's private "
                    "registry (Wine reads the machine's own)";
  RegisterServer(kTestServerClassText, CRegistrySandbox::Quoted(AMBERLINE_TEST_SERVER_PATH));
  const REGFILTER2 record = CaptureRecord();
  ASSERT_EQ(m_mapper->RegisterFilter(kTestServerClass, L"Served Camera", nullptr, &kTestCategory, nullptr, &record),
            S_OK);
  IMoniker* moniker = Find(kTestCategory, L"Served Camera");
  ASSERT_NE(moniker, nullptr);
  IPersistPropertyBag* object = nullptr;
  ASSERT_EQ(moniker->BindToObject(nullptr, nullptr, IID_IPersistPropertyBag, reinterpret_cast<void**>(&object)),
            S_OK);
  CRecordingBag saved;
  EXPECT_EQ(object->Save(&saved, FALSE, TRUE), S_OK);
  EXPECT_EQ(saved.m_written, L"FriendlyName=Served Camera");
  CLSID clsid{};
  EXPECT_EQ(object->GetClassID(&clsid), S_OK);
  EXPECT_TRUE(clsid == kTestServerClass);
  object->Release();
  moniker->Release();
}

TEST_F(DeviceRegistryTest, HostileEntriesAreListedButFailCleanly) {
  RegisterServer("{2A6B9C41-7D32-4C6E-B40F-6318D270953E}", "\"" + std::string("/nonexistent/amberline-missing.module") +
                                                               "\"");
  WriteEntry("Bad Class Text", "\"FriendlyName\"=\"Bad Class Text\"\n\"CLSID\"=\"not a class\"\n");
  WriteEntry("Class As Number", "\"FriendlyName\"=\"Class As Number\"\n\"CLSID\"=dword:00000007\n");
  WriteEntry("No Class", "\"FriendlyName\"=\"No Class\"\n");
  WriteEntry("Missing Module",
             "\"FriendlyName\"=\"Missing Module\"\n\"CLSID\"=\"{2A6B9C41-7D32-4C6E-B40F-6318D270953E}\"\n");
  WriteEntry("Garbage Data", std::string("\"FriendlyName\"=\"Garbage Data\"\n\"CLSID\"=\"") + kTestServerClassText +
                                 "\"\n\"FilterData\"=hex:02,00,00,00,ff,ff,ff,ff,07\n");

  const std::vector<Entry> entries = List(kTestCategory);
  ASSERT_EQ(entries.size(), 5u);
  for (const wchar_t* name : {L"Bad Class Text", L"Class As Number", L"No Class", L"Missing Module"}) {
    SCOPED_TRACE(Narrow(name));
    IMoniker* moniker = Find(kTestCategory, name);
    ASSERT_NE(moniker, nullptr);
    IBaseFilter* filter = reinterpret_cast<IBaseFilter*>(&filter);
    EXPECT_TRUE(FAILED(moniker->BindToObject(nullptr, nullptr, IID_IBaseFilter, reinterpret_cast<void**>(&filter))));
    EXPECT_EQ(filter, nullptr);
    moniker->Release();
  }
  // Unreadable filter data leaves the entry's other values readable.
  const auto garbage = std::find_if(entries.begin(), entries.end(), [](const Entry& e) {
    return e.name == L"Garbage Data";
  });
  ASSERT_NE(garbage, entries.end());
  EXPECT_EQ(Narrow(garbage->clsid), kTestServerClassText);
}

TEST_F(DeviceRegistryTest, WithoutInstanceNameTheEntryIsNamedByTheClassText) {
  const REGFILTER2 record = CaptureRecord();
  ASSERT_EQ(m_mapper->RegisterFilter(kFilterA, L"Default Instance", nullptr, &kTestCategory, nullptr, &record), S_OK);
  EXPECT_EQ(List(kTestCategory).size(), 1u);
  EXPECT_EQ(m_mapper->UnregisterFilter(&kTestCategory, kFilterAText, kFilterA), S_OK);
}

TEST_F(ClassActivationTest, RegisteredServerCreatesItsClassAndPassesAggregationThrough) {
  if (!ActivationSeesPrivateRegistry())
    GTEST_SKIP() << "the system's class activation does not read the classes registered in this test's private "
                    "registry (Wine reads the machine's own)";
  RegisterServer(kTestServerClassText, CRegistrySandbox::Quoted(AMBERLINE_TEST_SERVER_PATH));
  IUnknown* object = nullptr;
  ASSERT_EQ(Create(kTestServerClass, nullptr, IID_IPersistPropertyBag, &object), S_OK);
  object->Release();

  // The server's own refusal reaches the caller unchanged.
  IUnknown* outer = nullptr;
  ASSERT_EQ(Create(CLSID_SystemClock, nullptr, IID_IUnknown, &outer), S_OK);
  EXPECT_EQ(Create(kTestServerClass, outer, IID_IUnknown, &object), CLASS_E_NOAGGREGATION);
  outer->Release();

  IClassFactory* factory = nullptr;
  ASSERT_EQ(CoGetClassObject(kTestServerClass, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                             reinterpret_cast<void**>(&factory)),
            S_OK);
  EXPECT_EQ(factory->CreateInstance(nullptr, IID_IPersist, reinterpret_cast<void**>(&object)), S_OK);
  factory->Release();
  object->Release();

  // Unloading what nothing uses any more does not stop the class from being created again.
  CoFreeUnusedLibraries();
  ASSERT_EQ(Create(kTestServerClass, nullptr, IID_IUnknown, &object), S_OK);
  object->Release();
}

TEST_F(ClassActivationTest, ModuleThatRefusesTheClassPassesItsAnswerThrough) {
  if (!ActivationSeesPrivateRegistry())
    GTEST_SKIP() << "the system's class activation does not read the classes registered in this test's private "
                    "registry (Wine reads the machine's own)";
  // The camera module serves its own class only; registered under another it refuses.
  RegisterServer("{1E4F7A30-8C21-4B5D-A39E-5207C16F842D}",
                 CRegistrySandbox::Quoted(testing_support::StagedModulePath().string()));
  IUnknown* object = nullptr;
  EXPECT_EQ(Create(kFilterA, nullptr, IID_IUnknown, &object), CLASS_E_CLASSNOTAVAILABLE);
}

TEST_F(ClassActivationTest, MissingOrBrokenServersFailWithoutAnObject) {
  IUnknown* object = nullptr;
  EXPECT_EQ(Create(kFilterA, nullptr, IID_IUnknown, &object), REGDB_E_CLASSNOTREG);

  // A class key without a server key is not registered as an in-process server.
  m_registry.WriteHive("HKEY_CLASSES_ROOT",
                       "[HKEY_CLASSES_ROOT\\CLSID\\{1E4F7A30-8C21-4B5D-A39E-5207C16F842D}]\n@=\"No server\"\n");
  EXPECT_EQ(Create(kFilterA, nullptr, IID_IUnknown, &object), REGDB_E_CLASSNOTREG);
  if (!ActivationSeesPrivateRegistry())
    GTEST_SKIP() << "the system's class activation does not read the classes registered in this test's private "
                    "registry (Wine reads the machine's own)";

  // Windows versions name a module that does not load or lacks the entry point with
  // either the component runtime's code or the loader's.
  RegisterServer("{1E4F7A30-8C21-4B5D-A39E-5207C16F842D}", "\"/nonexistent/amberline-missing.module\"");
  HRESULT hr = Create(kFilterA, nullptr, IID_IUnknown, &object);
  EXPECT_TRUE(hr == CO_E_DLLNOTFOUND || hr == HRESULT_FROM_WIN32(126 /* ERROR_MOD_NOT_FOUND */)) << std::hex << hr;

  RegisterServer("{1E4F7A30-8C21-4B5D-A39E-5207C16F842D}",
                 CRegistrySandbox::Quoted(AMBERLINE_TEST_SERVER_PLAIN_PATH));
  hr = Create(kFilterA, nullptr, IID_IUnknown, &object);
  EXPECT_TRUE(hr == CO_E_ERRORINDLL || hr == HRESULT_FROM_WIN32(127 /* ERROR_PROC_NOT_FOUND */)) << std::hex << hr;

  // Values that name no module at all.
  for (const char* value : {"\"\"", "dword:00000001", "hex:2f,00,78,00"}) {
    SCOPED_TRACE(value);
    RegisterServer("{1E4F7A30-8C21-4B5D-A39E-5207C16F842D}", value);
    EXPECT_TRUE(FAILED(Create(kFilterA, nullptr, IID_IUnknown, &object)));
  }
}

}  // namespace
