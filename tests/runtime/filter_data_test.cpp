// The runtime's own registry layout: the "FilterData" record and what the filter mapper
// and the device enumerator make of entries that Windows' own services would treat
// differently (instance names that are not one key name, merits).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/dshow_types.h"
#include "runtime/filter_data.h"
#include "support/registry_fixture.h"

namespace {

const CLSID kCategory = {0x5C9D2A61, 0x4E3B, 0x4F70, {0x9B, 0x12, 0x6A, 0xD4, 0x30, 0x8E, 0x51, 0xC8}};
const CLSID kFilter = {0x1E4F7A30, 0x8C21, 0x4B5D, {0xA3, 0x9E, 0x52, 0x07, 0xC1, 0x6F, 0x84, 0x2E}};
const REGPINTYPES kTypes[] = {{&MEDIATYPE_Video, &MEDIASUBTYPE_RGB24}, {&MEDIATYPE_Video, nullptr}};
const REGPINMEDIUM kMedium = {{0x11, 0x22, 0x33, {1, 2, 3, 4, 5, 6, 7, 8}}, 5, 6};
const REGFILTERPINS2 kPins[] = {
    {REG_PINFLAG_B_OUTPUT, 1, 2, kTypes, 1, &kMedium, &PIN_CATEGORY_CAPTURE},
    {REG_PINFLAG_B_RENDERER | REG_PINFLAG_B_MANY, 0, 0, nullptr, 0, nullptr, nullptr},
};

REGFILTER2 Record(DWORD merit) {
  REGFILTER2 record{};
  record.dwVersion = 2;
  record.dwMerit = merit;
  record.cPins2 = 2;
  record.rgPins2 = kPins;
  return record;
}

TEST(FilterDataTest, VersionTwoRecordReadsBackWithPinsTypesMediumsAndCategory) {
  std::vector<BYTE> bytes;
  ASSERT_EQ(CFilterData::Serialize(Record(MERIT_NORMAL), &bytes), S_OK);
  CFilterData data;
  ASSERT_TRUE(data.Parse(bytes.data(), bytes.size()));
  EXPECT_EQ(data.Merit(), static_cast<DWORD>(MERIT_NORMAL));
  ASSERT_EQ(data.Pins().size(), 2u);
  const CFilterData::Pin& capture = data.Pins()[0];
  EXPECT_EQ(capture.flags, static_cast<DWORD>(REG_PINFLAG_B_OUTPUT));
  EXPECT_EQ(capture.instances, 1u);
  ASSERT_TRUE(capture.hasCategory);
  EXPECT_TRUE(capture.category == PIN_CATEGORY_CAPTURE);
  ASSERT_EQ(capture.mediaTypes.size(), 2u);
  EXPECT_TRUE(capture.mediaTypes[0].hasMajor && capture.mediaTypes[0].hasSubtype);
  EXPECT_TRUE(capture.mediaTypes[0].subtype == MEDIASUBTYPE_RGB24);
  EXPECT_TRUE(capture.mediaTypes[1].hasMajor && !capture.mediaTypes[1].hasSubtype);
  ASSERT_EQ(capture.mediums.size(), 1u);
  EXPECT_TRUE(capture.mediums[0].medium == kMedium.clsMedium);
  EXPECT_EQ(capture.mediums[0].dw2, 6u);
  EXPECT_FALSE(data.Pins()[1].hasCategory);
  EXPECT_TRUE(data.Pins()[1].mediaTypes.empty());
}

TEST(FilterDataTest, VersionOneIsStoredInTheSameLayoutAndOtherVersionsAreRefused) {
  REGFILTERPINS pin{};
  pin.bOutput = TRUE;
  pin.bMany = TRUE;
  pin.nMediaTypes = 1;
  pin.lpMediaType = kTypes;
  REGFILTER2 record{};
  record.dwVersion = 1;
  record.dwMerit = MERIT_UNLIKELY;
  record.cPins = 1;
  record.rgPins = &pin;
  std::vector<BYTE> bytes;
  ASSERT_EQ(CFilterData::Serialize(record, &bytes), S_OK);
  CFilterData data;
  ASSERT_TRUE(data.Parse(bytes.data(), bytes.size()));
  ASSERT_EQ(data.Pins().size(), 1u);
  EXPECT_EQ(data.Pins()[0].flags, static_cast<DWORD>(REG_PINFLAG_B_OUTPUT | REG_PINFLAG_B_MANY));
  EXPECT_EQ(data.Pins()[0].mediaTypes.size(), 1u);

  record.dwVersion = 3;
  EXPECT_EQ(CFilterData::Serialize(record, &bytes), E_INVALIDARG);
  record.dwVersion = 1;
  record.rgPins = nullptr;
  EXPECT_EQ(CFilterData::Serialize(record, &bytes), E_POINTER);
}

TEST(FilterDataTest, EveryTruncationOrExtensionIsRefusedWhole) {
  std::vector<BYTE> bytes;
  ASSERT_EQ(CFilterData::Serialize(Record(MERIT_NORMAL), &bytes), S_OK);
  CFilterData data;
  for (size_t size = 0; size < bytes.size(); ++size) {
    EXPECT_FALSE(data.Parse(bytes.data(), size)) << size;
    EXPECT_TRUE(data.Pins().empty());
  }
  std::vector<BYTE> longer = bytes;
  longer.push_back(0);
  EXPECT_FALSE(data.Parse(longer.data(), longer.size()));
  EXPECT_FALSE(data.Parse(nullptr, 0));
}

TEST(FilterDataTest, HugeCountsAndUnknownMarkersAreRefusedBeforeAllocating) {
  std::vector<BYTE> bytes;
  ASSERT_EQ(CFilterData::Serialize(Record(MERIT_NORMAL), &bytes), S_OK);
  CFilterData data;
  struct Patch {
    size_t offset;
    BYTE value;
  };
  // Offsets: magic 0, version 4, merit 8, pin count 12, first pin: flags 16, instances
  // 20, type count 24, medium count 28, category marker 32, category 36, types 52.
  for (Patch patch : {Patch{0, 0x00}, Patch{4, 0x03}, Patch{15, 0xFF}, Patch{27, 0x7F}, Patch{31, 0x40},
                      Patch{32, 0x02}, Patch{52, 0x04}}) {
    std::vector<BYTE> hostile = bytes;
    hostile[patch.offset] = patch.value;
    EXPECT_FALSE(data.Parse(hostile.data(), hostile.size())) << patch.offset;
  }
}

class RuntimeMapperTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(CoCreateInstance(CLSID_FilterMapper2, nullptr, CLSCTX_INPROC_SERVER, IID_IFilterMapper2,
                               reinterpret_cast<void**>(&m_mapper)),
              S_OK);
    ASSERT_EQ(CoCreateInstance(CLSID_SystemDeviceEnum, nullptr, CLSCTX_INPROC_SERVER, IID_ICreateDevEnum,
                               reinterpret_cast<void**>(&m_devEnum)),
              S_OK);
  }
  void TearDown() override {
    if (m_devEnum != nullptr) m_devEnum->Release();
    if (m_mapper != nullptr) m_mapper->Release();
  }
  size_t Count(DWORD flags) {
    IEnumMoniker* monikers = nullptr;
    if (m_devEnum->CreateClassEnumerator(kCategory, &monikers, flags) != S_OK) return 0;
    size_t count = 0;
    IMoniker* moniker = nullptr;
    while (monikers->Next(1, &moniker, nullptr) == S_OK) {
      ++count;
      moniker->Release();
    }
    monikers->Release();
    return count;
  }

  testing_support::CRegistrySandbox m_registry;
  IFilterMapper2* m_mapper = nullptr;
  ICreateDevEnum* m_devEnum = nullptr;
};

TEST_F(RuntimeMapperTest, InstanceNamesThatAreNotOneKeyNameAreRefused) {
  const REGFILTER2 record = Record(MERIT_NORMAL);
  ASSERT_EQ(m_mapper->RegisterFilter(kFilter, L"Inner", nullptr, &kCategory, L"Inner", &record), S_OK);
  for (const std::wstring& name : {std::wstring(L"..\\..\\Escaped"), std::wstring(L"Inner\\Deeper"),
                                   std::wstring(256, L'x')}) {
    EXPECT_EQ(m_mapper->RegisterFilter(kFilter, L"Bad", nullptr, &kCategory, name.c_str(), &record), E_INVALIDARG);
    EXPECT_EQ(m_mapper->UnregisterFilter(&kCategory, name.c_str(), kFilter), E_INVALIDARG);
  }
  EXPECT_EQ(Count(0), 1u);
  EXPECT_EQ(m_mapper->RegisterFilter(kFilter, nullptr, nullptr, &kCategory, L"Inner", &record), E_POINTER);
  EXPECT_EQ(m_mapper->RegisterFilter(kFilter, L"Inner", nullptr, &kCategory, L"Inner", nullptr), E_POINTER);
}

TEST_F(RuntimeMapperTest, MeritFlagKeepsOnlyEntriesWhoseMeritReadsAboveDoNotUse) {
  REGFILTER2 record = Record(MERIT_NORMAL);
  ASSERT_EQ(m_mapper->RegisterFilter(kFilter, L"Normal", nullptr, &kCategory, L"Normal", &record), S_OK);
  record.dwMerit = MERIT_DO_NOT_USE;
  ASSERT_EQ(m_mapper->RegisterFilter(kFilter, L"Unused", nullptr, &kCategory, L"Unused", &record), S_OK);
  m_registry.WriteHive("HKEY_CLASSES_ROOT",
                       "[HKEY_CLASSES_ROOT\\CLSID\\{5C9D2A61-4E3B-4F70-9B12-6AD4308E51C8}\\Instance\\Garbage]\n"
                       "\"FriendlyName\"=\"Garbage\"\n\"FilterData\"=hex:41,4c,46,44,02,00,00,00,ff\n");
  EXPECT_EQ(Count(0), 3u);
  EXPECT_EQ(Count(CDEF_MERIT_ABOVE_DO_NOT_USE), 1u);
}

TEST_F(RuntimeMapperTest, RegisteringCanHandBackTheNewEntrysMoniker) {
  const REGFILTER2 record = Record(MERIT_NORMAL);
  IMoniker* moniker = nullptr;
  ASSERT_EQ(m_mapper->RegisterFilter(kFilter, L"Named", &moniker, &kCategory, L"Named", &record), S_OK);
  ASSERT_NE(moniker, nullptr);
  IPropertyBag* bag = nullptr;
  ASSERT_EQ(moniker->BindToStorage(nullptr, nullptr, IID_IPropertyBag, reinterpret_cast<void**>(&bag)), S_OK);
  VARIANT value;
  VariantInit(&value);
  EXPECT_EQ(bag->Read(L"FriendlyName", &value, nullptr), S_OK);
  ASSERT_EQ(value.vt, VT_BSTR);
  EXPECT_STREQ(value.bstrVal, L"Named");
  VariantClear(&value);
  // Binary values have no variant form here.
  EXPECT_EQ(bag->Read(L"FilterData", &value, nullptr), E_NOTIMPL);
  bag->Release();
  // A moniker passed in would say where to write; that is not supported.
  EXPECT_EQ(m_mapper->RegisterFilter(kFilter, L"Again", &moniker, &kCategory, L"Again", &record), E_NOTIMPL);
  moniker->Release();
  EXPECT_EQ(Count(0), 1u);
}

}  // namespace
