#include "platform/registry_hive.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace {

const std::wstring kRoot = L"HKEY_LOCAL_MACHINE";
const std::string kHeader = "Windows Registry Editor Version 5.00\r\n\r\n";

using Bytes = std::vector<BYTE>;
using KeyPath = CRegistryHive::KeyPath;

Bytes Utf16(const std::u16string& text) {
  Bytes bytes;
  for (const char16_t unit : text) {
    bytes.push_back(static_cast<BYTE>(unit & 0xFF));
    bytes.push_back(static_cast<BYTE>(unit >> 8));
  }
  return bytes;
}

CRegistryHive Parse(const std::string& text) { return CRegistryHive::Parse(kRoot, text); }

// Parsing what was written gives the same tree, cleanly, and writes the same text again.
void ExpectRoundTrip(const CRegistryHive& hive) {
  const std::string text = hive.Serialize();
  const CRegistryHive again = Parse(text);
  EXPECT_TRUE(again.IsClean()) << text;
  EXPECT_EQ(again.Serialize(), text);
}

const CRegistryHive::Value* FindValue(const CRegistryHive& hive, const KeyPath& path, const std::wstring& name) {
  const CRegistryHive::Key* key = hive.FindKey(path);
  return key != nullptr ? key->FindValue(name) : nullptr;
}

std::size_t CountKeys(const CRegistryHive::Key& key) {
  std::size_t count = 0;
  for (std::size_t i = 0; i < key.SubkeyCount(); ++i)
    count += 1 + CountKeys(*key.FindSubkey(*key.SubkeyNameAt(i)));
  return count;
}

// --- Every kind of value survives a write and a read -------------------------------

struct ValueCase {
  const char* label;
  std::wstring name;
  DWORD type;
  Bytes data;
};

class HiveValueRoundTripTest : public testing::TestWithParam<ValueCase> {};

TEST_P(HiveValueRoundTripTest, ValueReadsBackWithTheSameTypeAndBytes) {
  const ValueCase& c = GetParam();
  CRegistryHive hive(kRoot);
  hive.CreateKey({L"SOFTWARE", L"Test"});
  ASSERT_TRUE(hive.SetValue({L"SOFTWARE", L"Test"}, c.name, c.type, c.data));

  const CRegistryHive parsed = Parse(hive.Serialize());
  EXPECT_TRUE(parsed.IsClean()) << hive.Serialize();
  const CRegistryHive::Value* value = FindValue(parsed, {L"SOFTWARE", L"Test"}, c.name);
  ASSERT_NE(value, nullptr) << hive.Serialize();
  EXPECT_EQ(value->name, c.name);
  EXPECT_EQ(value->type, c.type);
  EXPECT_EQ(value->data, c.data);
  ExpectRoundTrip(hive);
}

Bytes Terminated(const std::u16string& text) { return Utf16(text + u'\0'); }

Bytes Sequence(std::size_t count) {
  Bytes bytes(count);
  for (std::size_t i = 0; i < count; ++i) bytes[i] = static_cast<BYTE>(i * 7 + 3);
  return bytes;
}

INSTANTIATE_TEST_SUITE_P(
    EveryType, HiveValueRoundTripTest,
    testing::Values(
        ValueCase{"Text", L"Path", REG_SZ, Terminated(u"/opt/amberline/Bin/amberline.so")},
        ValueCase{"TextNeedingEscapes", L"Quote\"and\\slash", REG_SZ, Terminated(u"C:\\Program Files\\\"x\"\\")},
        ValueCase{"TextBeyondAscii", L"Gr\u00fc\u00dfe", REG_SZ, Terminated(u"caf\u00e9 \u20ac \U0001F3A5")},
        ValueCase{"DefaultValue", L"", REG_SZ, Terminated(u"Trelvox Amberline")},
        ValueCase{"EmptyText", L"Empty", REG_SZ, Terminated(u"")},
        ValueCase{"TextWithLineBreaks", L"Lines", REG_SZ, Terminated(u"one\r\ntwo\n")},
        ValueCase{"TextWithEmbeddedNul", L"Nul", REG_SZ, Utf16(std::u16string(u"ab\0cd\0", 6))},
        ValueCase{"UnterminatedText", L"Open", REG_SZ, Utf16(u"abc")},
        ValueCase{"OddLengthText", L"Odd", REG_SZ, Bytes{'a', 0, 'b'}},
        ValueCase{"NoBytesText", L"Nothing", REG_SZ, Bytes{}},
        ValueCase{"UnpairedSurrogateText", L"Half", REG_SZ, Terminated(std::u16string(1, char16_t(0xD83C)))},
        ValueCase{"ExpandText", L"Expand", REG_EXPAND_SZ, Terminated(u"%TEMP%\\amberline")},
        ValueCase{"MultiText", L"Multi", REG_MULTI_SZ, Terminated(std::u16string(u"one\0two\0", 8))},
        ValueCase{"Dword", L"LoggingLevel", REG_DWORD, Bytes{0x1f, 0x00, 0x00, 0x80}},
        ValueCase{"ShortDword", L"Short", REG_DWORD, Bytes{0x01, 0x02}},
        ValueCase{"Qword", L"Big", REG_QWORD, Bytes{1, 2, 3, 4, 5, 6, 7, 8}},
        ValueCase{"LongBinary", L"FilterData", REG_BINARY, Sequence(300)},
        ValueCase{"EmptyBinary", L"NoData", REG_BINARY, Bytes{}},
        ValueCase{"NoneType", L"None", REG_NONE, Bytes{0xff}},
        ValueCase{"UnknownType", L"Odd type", 0x12345678u, Bytes{0x00, 0x10}},
        ValueCase{"NameLikeDefault", L"@", REG_SZ, Terminated(u"not the default")}),
    [](const testing::TestParamInfo<ValueCase>& info) { return info.param.label; });

// --- The tree ------------------------------------------------------------------------

TEST(RegistryHiveTest, EmptyAndIntermediateKeysSurviveARoundTrip) {
  CRegistryHive hive(kRoot);
  hive.CreateKey({L"SOFTWARE", L"Trelvox", L"Amberline", L"Empty"});
  const CRegistryHive parsed = Parse(hive.Serialize());
  EXPECT_NE(parsed.FindKey({L"SOFTWARE"}), nullptr);
  EXPECT_NE(parsed.FindKey({L"SOFTWARE", L"Trelvox"}), nullptr);
  EXPECT_NE(parsed.FindKey({L"SOFTWARE", L"Trelvox", L"Amberline", L"Empty"}), nullptr);
  EXPECT_EQ(hive.Serialize(),
            "Windows Registry Editor Version 5.00\n\n"
            "[HKEY_LOCAL_MACHINE\\SOFTWARE]\n\n"
            "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Trelvox]\n\n"
            "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Trelvox\\Amberline]\n\n"
            "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Trelvox\\Amberline\\Empty]\n\n");
}

TEST(RegistryHiveTest, WritesTheRegistryEditorsText) {
  CRegistryHive hive(kRoot);
  hive.CreateKey({L"SOFTWARE", L"Trelvox"});
  hive.SetValue({L"SOFTWARE", L"Trelvox"}, L"", REG_SZ, Terminated(u"name"));
  hive.SetValue({L"SOFTWARE", L"Trelvox"}, L"EnableLogging", REG_DWORD, {1, 0, 0, 0});
  hive.SetValue({L"SOFTWARE", L"Trelvox"}, L"Expand", REG_EXPAND_SZ, Terminated(u"%A%"));
  hive.SetValue({L"SOFTWARE", L"Trelvox"}, L"Data", REG_BINARY, Sequence(30));
  EXPECT_EQ(hive.Serialize(),
            "Windows Registry Editor Version 5.00\n\n"
            "[HKEY_LOCAL_MACHINE\\SOFTWARE]\n\n"
            "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Trelvox]\n"
            "@=\"name\"\n"
            "\"EnableLogging\"=dword:00000001\n"
            "\"Expand\"=hex(2):25,00,41,00,25,00,00,00\n"
            "\"Data\"=hex:03,0a,11,18,1f,26,2d,34,3b,42,49,50,57,5e,65,6c,73,7a,81,88,8f,96,\\\n"
            "  9d,a4,ab,b2,b9,c0,c7,ce\n\n");
}

TEST(RegistryHiveTest, SubkeysSortWithoutRegardToCaseAndValuesKeepTheirOrder) {
  const CRegistryHive hive = Parse(kHeader +
                                   "[HKEY_LOCAL_MACHINE\\K\\banana]\n"
                                   "[HKEY_LOCAL_MACHINE\\K\\Apple]\n"
                                   "[HKEY_LOCAL_MACHINE\\K\\cherry]\n"
                                   "[HKEY_LOCAL_MACHINE\\K]\n"
                                   "\"zeta\"=dword:1\n"
                                   "\"Alpha\"=dword:2\n"
                                   "@=\"default\"\n"
                                   "\"mid\"=dword:3\n");
  const CRegistryHive::Key* key = hive.FindKey({L"K"});
  ASSERT_NE(key, nullptr);
  ASSERT_EQ(key->SubkeyCount(), 3u);
  EXPECT_EQ(*key->SubkeyNameAt(0), L"Apple");
  EXPECT_EQ(*key->SubkeyNameAt(1), L"banana");
  EXPECT_EQ(*key->SubkeyNameAt(2), L"cherry");
  EXPECT_EQ(key->SubkeyNameAt(3), nullptr);
  const std::vector<std::wstring> expected = {L"zeta", L"Alpha", L"", L"mid"};
  const CRegistryHive again = Parse(hive.Serialize());
  for (const CRegistryHive* h : {&hive, &again}) {
    const CRegistryHive::Key* k = h->FindKey({L"K"});
    ASSERT_EQ(k->ValueCount(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(k->ValueAt(i)->name, expected[i]);
  }
}

TEST(RegistryHiveTest, NamesMatchWithoutRegardToCaseAndKeepTheirFirstSpelling) {
  const CRegistryHive hive = Parse(kHeader +
                                   "[HKEY_LOCAL_MACHINE\\Software\\One]\n"
                                   "\"Name\"=\"first\"\n"
                                   "\"Other\"=\"x\"\n"
                                   "[hkey_local_machine\\SOFTWARE\\ONE]\n"
                                   "\"NAME\"=\"second\"\n");
  const CRegistryHive::Key* software = hive.FindKey({L"sOfTwArE"});
  ASSERT_NE(software, nullptr);
  EXPECT_EQ(software->SubkeyCount(), 1u);
  EXPECT_EQ(*software->SubkeyNameAt(0), L"One");
  const CRegistryHive::Key* one = hive.FindKey({L"SOFTWARE", L"one"});
  ASSERT_EQ(one->ValueCount(), 2u);
  EXPECT_EQ(one->ValueAt(0)->name, L"Name");
  EXPECT_EQ(one->ValueAt(0)->data, Terminated(u"second"));
  EXPECT_NE(one->FindValue(L"other"), nullptr);
  EXPECT_TRUE(hive.IsClean());
}

TEST(RegistryHiveTest, DeleteKeyRemovesEverythingBelowButNeverTheRoot) {
  CRegistryHive hive(kRoot);
  hive.CreateKey({L"A", L"B", L"C"});
  hive.CreateKey({L"A", L"D"});
  hive.SetValue({L"A", L"B"}, L"v", REG_DWORD, {1, 0, 0, 0});
  EXPECT_TRUE(hive.DeleteKey({L"a", L"b"}));
  EXPECT_EQ(hive.FindKey({L"A", L"B", L"C"}), nullptr);
  EXPECT_EQ(hive.FindKey({L"A", L"B"}), nullptr);
  EXPECT_NE(hive.FindKey({L"A", L"D"}), nullptr);
  EXPECT_FALSE(hive.DeleteKey({L"A", L"B"}));
  EXPECT_FALSE(hive.DeleteKey({}));
  EXPECT_TRUE(hive.ClearKey({}));
  EXPECT_EQ(hive.FindKey({})->SubkeyCount(), 0u);
}

TEST(RegistryHiveTest, SettingTheSameValueAgainChangesNothing) {
  CRegistryHive hive(kRoot);
  hive.CreateKey({L"K"});
  EXPECT_TRUE(hive.SetValue({L"K"}, L"v", REG_DWORD, {1, 0, 0, 0}));
  EXPECT_FALSE(hive.SetValue({L"k"}, L"V", REG_DWORD, {1, 0, 0, 0}));
  EXPECT_TRUE(hive.SetValue({L"K"}, L"v", REG_BINARY, {1, 0, 0, 0}));
  EXPECT_FALSE(hive.SetValue({L"Missing"}, L"v", REG_DWORD, {1, 0, 0, 0}));
}

// --- Reading what people and other tools write ---------------------------------------

std::string Utf16WithMark(const std::u16string& text, bool bigEndian = false) {
  std::string bytes = bigEndian ? "\xFE\xFF" : "\xFF\xFE";
  for (const char16_t unit : text) {
    const char low = static_cast<char>(unit & 0xFF);
    const char high = static_cast<char>(unit >> 8);
    bytes += bigEndian ? high : low;
    bytes += bigEndian ? low : high;
  }
  return bytes;
}

std::string Utf16LeWithMark(const std::u16string& text) { return Utf16WithMark(text); }

TEST(RegistryHiveTest, ReadsUtf16OfEitherByteOrderWithCrLfAsTheRegistryEditorExportsIt) {
  for (const bool bigEndian : {false, true}) {
    SCOPED_TRACE(bigEndian ? "big-endian" : "little-endian");
    const CRegistryHive hive = CRegistryHive::Parse(
        kRoot, Utf16WithMark(u"Windows Registry Editor Version 5.00\r\n\r\n"
                             u"[HKEY_LOCAL_MACHINE\\SOFTWARE\\Trelvox\\Amberline\\Cam1]\r\n"
                             u"@=\"Caf\u00e9 \U0001F3A5 \u0a0d\"\r\n"
                             u"\"Path\"=hex(2):2f,00,6f,00,70,00,74,00,\\\r\n"
                             u"  00,00\r\n",
                             bigEndian));
    EXPECT_TRUE(hive.IsClean()) << hive.ProblemLine() << ": " << hive.Problem();
    const KeyPath path = {L"SOFTWARE", L"Trelvox", L"Amberline", L"Cam1"};
    ASSERT_NE(FindValue(hive, path, L""), nullptr);
    // U+0A0D holds the bytes of CR and LF, in the order that differs between the two.
    EXPECT_EQ(FindValue(hive, path, L"")->data, Terminated(u"Caf\u00e9 \U0001F3A5 \u0a0d"));
    ASSERT_NE(FindValue(hive, path, L"Path"), nullptr);
    EXPECT_EQ(FindValue(hive, path, L"Path")->type, static_cast<DWORD>(REG_EXPAND_SZ));
    EXPECT_EQ(FindValue(hive, path, L"Path")->data, Terminated(u"/opt"));
  }
}

TEST(RegistryHiveTest, ReadsUtf8WithMarkCommentsAndUpperCaseHex) {
  const CRegistryHive hive = Parse("\xEF\xBB\xBF\n  Windows Registry Editor Version 5.00\n"
                                   "; a comment line\n"
                                   "[HKEY_LOCAL_MACHINE\\K]\n"
                                   "  \"Level\" = DWORD:0000001F  \n"
                                   "\"Bin\"=HEX:0A,B,\t0c\n");
  ASSERT_TRUE(hive.IsClean());
  EXPECT_EQ(FindValue(hive, {L"K"}, L"Level")->data, (Bytes{0x1f, 0, 0, 0}));
  EXPECT_EQ(FindValue(hive, {L"K"}, L"Bin")->data, (Bytes{0x0a, 0x0b, 0x0c}));
}

TEST(RegistryHiveTest, OldFormatWidensEightBitTextData) {
  const CRegistryHive hive = Parse("REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\K]\n\"E\"=hex(2):25,41,25,00\n");
  EXPECT_TRUE(hive.IsClean());
  EXPECT_EQ(FindValue(hive, {L"K"}, L"E")->data, Terminated(u"%A%"));
}

TEST(RegistryHiveTest, DeletionLinesRemoveKeysAndValues) {
  const CRegistryHive hive = Parse(kHeader +
                                   "[HKEY_LOCAL_MACHINE\\A\\B\\C]\n"
                                   "[HKEY_LOCAL_MACHINE\\A]\n"
                                   "\"keep\"=dword:1\n"
                                   "\"drop\"=dword:2\n"
                                   "\"drop\"=-\n"
                                   "[-HKEY_LOCAL_MACHINE\\a\\b]\n");
  EXPECT_TRUE(hive.IsClean());
  EXPECT_EQ(hive.FindKey({L"A", L"B"}), nullptr);
  EXPECT_NE(FindValue(hive, {L"A"}, L"keep"), nullptr);
  EXPECT_EQ(FindValue(hive, {L"A"}, L"drop"), nullptr);
}

TEST(RegistryHiveTest, OtherRootsAreNotReadAndMakeTheTextUnclean) {
  const CRegistryHive hive = Parse(kHeader +
                                   "[HKEY_CURRENT_USER\\SOFTWARE\\Trelvox]\n"
                                   "\"EnableLogging\"=dword:0\n"
                                   "[HKEY_LOCAL_MACHINE\\Mine]\n"
                                   "\"v\"=dword:1\n");
  EXPECT_FALSE(hive.IsClean());
  EXPECT_EQ(hive.FindKey({L"SOFTWARE"}), nullptr);
  EXPECT_NE(FindValue(hive, {L"Mine"}, L"v"), nullptr);
}

// --- Damaged text ---------------------------------------------------------------------

struct BadLineCase {
  const char* label;
  std::string line;
};

class HiveMalformedValueLineTest : public testing::TestWithParam<BadLineCase> {};

TEST_P(HiveMalformedValueLineTest, LineIsSkippedAndTheRestIsRead) {
  const CRegistryHive hive = Parse(kHeader + "[HKEY_LOCAL_MACHINE\\K]\n\"before\"=dword:1\n" + GetParam().line +
                                   "\n\"after\"=dword:2\n[HKEY_LOCAL_MACHINE\\Next]\n\"next\"=dword:3\n");
  EXPECT_FALSE(hive.IsClean());
  EXPECT_NE(FindValue(hive, {L"K"}, L"before"), nullptr);
  EXPECT_NE(FindValue(hive, {L"K"}, L"after"), nullptr);
  EXPECT_NE(FindValue(hive, {L"Next"}, L"next"), nullptr);
  EXPECT_EQ(FindValue(hive, {L"K"}, L"bad"), nullptr);
  EXPECT_EQ(hive.FindKey({L"K"})->ValueCount(), 2u);
  ExpectRoundTrip(hive);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, HiveMalformedValueLineTest,
    testing::Values(BadLineCase{"DwordOutOfRange", "\"bad\"=dword:100000000"},
                    BadLineCase{"DwordWithoutDigits", "\"bad\"=dword:"},
                    BadLineCase{"DwordNotHex", "\"bad\"=dword:12x4"},
                    BadLineCase{"UnterminatedString", "\"bad\"=\"no end"},
                    BadLineCase{"UnknownEscape", "\"bad\"=\"C:\\Windows\""},
                    BadLineCase{"TextAfterString", "\"bad\"=\"a\" trailing"},
                    BadLineCase{"UnterminatedName", "\"bad=dword:1"},
                    BadLineCase{"NoEquals", "\"bad\" dword:1"},
                    BadLineCase{"BadHexDigit", "\"bad\"=hex:0g"},
                    BadLineCase{"EmptyHexItem", "\"bad\"=hex:01,,02"},
                    BadLineCase{"ThreeDigitHexItem", "\"bad\"=hex:123"},
                    BadLineCase{"BadHexType", "\"bad\"=hex(1x):00"},
                    BadLineCase{"HexTypeTooLong", "\"bad\"=hex(123456789):00"},
                    BadLineCase{"UnknownDataKind", "\"bad\"=qword:1"},
                    BadLineCase{"NoData", "\"bad\"="},
                    BadLineCase{"Garbage", "this is not a registry line"},
                    BadLineCase{"ContinuationIntoNonHex", "\"bad\"=hex:01,02,\\\n\"notdata\""},
                    BadLineCase{"ContinuationIntoBlankLine", "\"bad\"=hex:01,\\\n"}),
    [](const testing::TestParamInfo<BadLineCase>& info) { return info.param.label; });

class HiveMalformedSectionTest : public testing::TestWithParam<BadLineCase> {};

TEST_P(HiveMalformedSectionTest, SectionAndItsValuesAreSkipped) {
  const CRegistryHive hive = Parse(kHeader + "[HKEY_LOCAL_MACHINE\\Before]\n" + GetParam().line +
                                   "\n\"orphan\"=dword:1\n[HKEY_LOCAL_MACHINE\\After]\n\"v\"=dword:2\n");
  EXPECT_FALSE(hive.IsClean());
  EXPECT_EQ(FindValue(hive, {L"Before"}, L"orphan"), nullptr);
  EXPECT_NE(FindValue(hive, {L"After"}, L"v"), nullptr);
  EXPECT_EQ(hive.FindKey({})->SubkeyCount(), 2u);
  ExpectRoundTrip(hive);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, HiveMalformedSectionTest,
    testing::Values(BadLineCase{"NoClosingBracket", "[HKEY_LOCAL_MACHINE\\Bad"},
                    BadLineCase{"EmptyName", "[HKEY_LOCAL_MACHINE\\Bad\\\\Sub]"},
                    BadLineCase{"TrailingSeparator", "[HKEY_LOCAL_MACHINE\\Bad\\]"},
                    BadLineCase{"UnknownRoot", "[HKLM\\Bad]"},
                    BadLineCase{"NameTooLong", "[HKEY_LOCAL_MACHINE\\" + std::string(256, 'n') + "]"},
                    BadLineCase{"DeleteTheRoot", "[-HKEY_LOCAL_MACHINE]"},
                    BadLineCase{"Empty", "[]"}),
    [](const testing::TestParamInfo<BadLineCase>& info) { return info.param.label; });

TEST(RegistryHiveTest, ValuesUnderADeletionOrBeforeAnySectionAreNotStored) {
  const CRegistryHive hive =
      Parse(kHeader + "\"first\"=dword:1\n[HKEY_LOCAL_MACHINE\\A]\n[-HKEY_LOCAL_MACHINE\\A]\n\"v\"=dword:1\n");
  EXPECT_FALSE(hive.IsClean());
  EXPECT_EQ(hive.FindKey({L"A"}), nullptr);
  EXPECT_EQ(hive.FindKey({})->ValueCount(), 0u);
}

TEST(RegistryHiveTest, TruncatedContinuationIsDroppedWhileAFollowingSectionIsKept) {
  const CRegistryHive hive = Parse(kHeader + "[HKEY_LOCAL_MACHINE\\A]\n\"cut\"=hex:01,02,\\\n"
                                             "[HKEY_LOCAL_MACHINE\\B]\n\"v\"=dword:1\n");
  EXPECT_FALSE(hive.IsClean());
  EXPECT_EQ(FindValue(hive, {L"A"}, L"cut"), nullptr);
  EXPECT_NE(FindValue(hive, {L"B"}, L"v"), nullptr);
  EXPECT_FALSE(Parse(kHeader + "[HKEY_LOCAL_MACHINE\\A]\n\"cut\"=hex:01,02,\\").IsClean());
}

class HiveUnreadableTextTest : public testing::TestWithParam<BadLineCase> {};

TEST_P(HiveUnreadableTextTest, WholeTextReadsAsAnEmptyUncleanHive) {
  const CRegistryHive hive = Parse(GetParam().line);
  EXPECT_FALSE(hive.IsClean());
  EXPECT_EQ(hive.FindKey({})->SubkeyCount(), 0u);
  EXPECT_EQ(hive.FindKey({})->ValueCount(), 0u);
}

const std::string kBody = "[HKEY_LOCAL_MACHINE\\K]\n\"v\"=dword:1\n";

INSTANTIATE_TEST_SUITE_P(
    Texts, HiveUnreadableTextTest,
    testing::Values(BadLineCase{"NoHeader", kBody},
                    BadLineCase{"WrongHeader", "Windows Registry Editor Version 6.00\n" + kBody},
                    BadLineCase{"HeaderAfterContent", "junk\nWindows Registry Editor Version 5.00\n" + kBody},
                    BadLineCase{"OverlongUtf8", kHeader + "[HKEY_LOCAL_MACHINE\\\xC0\xAF]\n"},
                    BadLineCase{"EncodedSurrogate", kHeader + "[HKEY_LOCAL_MACHINE\\\xED\xA0\x80]\n"},
                    BadLineCase{"LoneContinuationByte", kHeader + "\x80" + kBody},
                    BadLineCase{"CutSequenceAtEnd", kHeader + kBody + "\xE2\x82"},
                    BadLineCase{"NulByte", kHeader + std::string(1, '\0') + kBody},
                    BadLineCase{"Utf16WithoutMark", std::string("W\0i\0n\0", 6)},
                    BadLineCase{"Utf16BigEndianWithoutAHeader", std::string("\xFE\xFF\0W\0i", 6)},
                    BadLineCase{"Utf16OddLength", Utf16LeWithMark(u"Windows Registry Editor Version 5.00\n") + "x"},
                    BadLineCase{"Utf16UnpairedSurrogate",
                                Utf16LeWithMark(u"Windows Registry Editor Version 5.00\n[HKEY_LOCAL_MACHINE\\") +
                                    std::string("\x3C\xD8]\0\n\0", 6)}),
    [](const testing::TestParamInfo<BadLineCase>& info) { return info.param.label; });

// --- What a person is told about a damaged text ---------------------------------------

struct ProblemCase {
  const char* label;
  std::string text;
  std::size_t line;
  const char* words;  // part of the description
};

class HiveProblemTest : public testing::TestWithParam<ProblemCase> {};

TEST_P(HiveProblemTest, FirstProblemIsKeptWithItsLine) {
  const CRegistryHive hive = Parse(GetParam().text);
  EXPECT_FALSE(hive.IsClean());
  EXPECT_EQ(hive.ProblemLine(), GetParam().line) << hive.Problem();
  EXPECT_NE(hive.Problem().find(GetParam().words), std::string::npos) << hive.Problem();
  // A copy keeps it too: hives are handed out as copies of the cached one.
  const CRegistryHive copy = hive;
  EXPECT_EQ(copy.ProblemLine(), GetParam().line);
  EXPECT_EQ(copy.Problem(), hive.Problem());
}

const std::string kSection = "[HKEY_LOCAL_MACHINE\\K]\n";

INSTANTIATE_TEST_SUITE_P(
    Texts, HiveProblemTest,
    testing::Values(
        ProblemCase{"WrongHeaderAfterBlankLines", "\n\r\nWindows Registry Editor Version 6.00\n", 3, "first line"},
        ProblemCase{"ValueWithoutEquals", kHeader + kSection + "\"v\"=dword:1\n\"bad\" dword:1\n", 5, "'='"},
        ProblemCase{"OnlyTheFirstProblemIsKept", kHeader + kSection + "junk\n\"bad\"=dword:\n", 4, "not a [section]"},
        ProblemCase{"BadDword", kHeader + kSection + "\"bad\"=dword:123456789\n", 4, "dword"},
        ProblemCase{"HexBrokenAcrossLinesIsNamedWhereItStarts",
                    kHeader + kSection + "\"cut\"=hex:01,\\\n  02,\\\n[HKEY_LOCAL_MACHINE\\B]\n", 4, "hex data"},
        ProblemCase{"AnotherRoot", kHeader + "[HKEY_CURRENT_USER\\K]\n", 3, "root"},
        ProblemCase{"ValueBeforeAnySection", kHeader + "\"v\"=dword:1\n", 3, "before the first section"},
        ProblemCase{"NotUtf8", kHeader + kSection + "\"v\"=\"\xFF\"\n", 4, "not UTF-8"},
        ProblemCase{"Utf16WithoutItsMark", std::string("W\0i\0n\0", 6), 1, "byte-order mark"},
        ProblemCase{"Utf16OddByteCount", Utf16WithMark(u"Windows Registry Editor Version 5.00\n\n") + "x", 3,
                    "odd number of bytes"},
        ProblemCase{"Utf16LoneSurrogate",
                    Utf16WithMark(u"Windows Registry Editor Version 5.00\n[HKEY_LOCAL_MACHINE\\", true) +
                        std::string("\xD8\x3C\0]\0\n", 6),
                    2, "surrogate"},
        ProblemCase{"Utf16NulCharacter", Utf16WithMark(u"Windows Registry Editor Version 5.00\n\n\n[") + std::string(2, '\0'), 4,
                    "NUL"},
        ProblemCase{"OverTheSizeLimit", std::string((64u << 20) + 1, '\n'), 0, "64 MiB"}),
    [](const testing::TestParamInfo<ProblemCase>& info) { return info.param.label; });

TEST(RegistryHiveTest, CleanTextHasNoProblem) {
  const CRegistryHive hive = Parse(kHeader + kSection + "\"v\"=dword:1\n");
  EXPECT_TRUE(hive.IsClean());
  EXPECT_EQ(hive.ProblemLine(), 0u);
  EXPECT_EQ(hive.Problem(), "");
}

TEST(RegistryHiveTest, BlankTextIsAnEmptyCleanHive) {
  for (const std::string& text : {std::string(), std::string("\n\r\n  \n"), std::string("\xEF\xBB\xBF")}) {
    const CRegistryHive hive = Parse(text);
    EXPECT_TRUE(hive.IsClean());
    EXPECT_EQ(hive.FindKey({})->SubkeyCount(), 0u);
  }
}

TEST(RegistryHiveTest, TextOverTheSizeLimitIsNotParsed) {
  std::string text = kHeader + kBody;
  text.resize(CRegistryHive::kMaxFileBytes + 1, '\n');
  const CRegistryHive hive = Parse(text);
  EXPECT_FALSE(hive.IsClean());
  EXPECT_EQ(hive.FindKey({L"K"}), nullptr);
}

TEST(RegistryHiveTest, OversizedLinesAndValuesAreSkipped) {
  std::string hex = "\"huge\"=hex:00";
  for (std::size_t i = 0; i < CRegistryHive::kMaxValueBytes; ++i) hex += ",00";
  const std::string longLine = "\"long\"=\"" + std::string(CRegistryHive::kMaxLineBytes + 1, 'x') + "\"";
  const CRegistryHive hive = Parse(kHeader + "[HKEY_LOCAL_MACHINE\\K]\n" + hex + "\n" + longLine + "\n\"ok\"=dword:1\n");
  EXPECT_FALSE(hive.IsClean());
  EXPECT_EQ(FindValue(hive, {L"K"}, L"huge"), nullptr);
  EXPECT_EQ(FindValue(hive, {L"K"}, L"long"), nullptr);
  EXPECT_NE(FindValue(hive, {L"K"}, L"ok"), nullptr);
}

// Each limit admits what stands exactly on it; one more is refused.
TEST(RegistryHiveTest, ValuesAndLinesExactlyAtTheirLimitsAreKept) {
  std::string hex = "\"bytes\"=hex:00";
  for (std::size_t i = 1; i < CRegistryHive::kMaxValueBytes; ++i) hex += ",00";
  // A terminated UTF-16 string of exactly the limit, and one character more.
  const std::size_t longest = CRegistryHive::kMaxValueBytes / 2 - 1;
  const std::string text = "\"text\"=\"" + std::string(longest, 't') + "\"";
  const std::string tooLong = "\"more\"=\"" + std::string(longest + 1, 't') + "\"";
  std::string line = "\"line\"=hex:01";
  line.resize(CRegistryHive::kMaxLineBytes, ' ');
  std::string overLine = "\"over\"=hex:01";
  overLine.resize(CRegistryHive::kMaxLineBytes + 1, ' ');
  const CRegistryHive hive = Parse(kHeader + "[HKEY_LOCAL_MACHINE\\K]\n" + hex + "\n" + text + "\n" + tooLong + "\n" +
                                   line + "\n" + overLine + "\n");
  const CRegistryHive::Value* bytes = FindValue(hive, {L"K"}, L"bytes");
  ASSERT_NE(bytes, nullptr);
  EXPECT_EQ(bytes->data.size(), CRegistryHive::kMaxValueBytes);
  const CRegistryHive::Value* kept = FindValue(hive, {L"K"}, L"text");
  ASSERT_NE(kept, nullptr);
  EXPECT_EQ(kept->data.size(), CRegistryHive::kMaxValueBytes);
  EXPECT_EQ(FindValue(hive, {L"K"}, L"more"), nullptr);
  EXPECT_NE(FindValue(hive, {L"K"}, L"line"), nullptr);
  EXPECT_EQ(FindValue(hive, {L"K"}, L"over"), nullptr);
}

TEST(RegistryHiveTest, DepthAndKeyCountAreBounded) {
  std::string deep;
  for (std::size_t i = 0; i < CRegistryHive::kMaxDepth; ++i) deep += "\\d";
  EXPECT_TRUE(Parse(kHeader + "[HKEY_LOCAL_MACHINE" + deep + "]\n").IsClean());
  EXPECT_FALSE(Parse(kHeader + "[HKEY_LOCAL_MACHINE" + deep + "\\d]\n").IsClean());

  // Each line makes kMaxDepth new keys: a small text asking for a huge tree.
  std::string text = kHeader;
  for (std::size_t i = 0; i * CRegistryHive::kMaxDepth <= CRegistryHive::kMaxKeys; ++i)
    text += "[HKEY_LOCAL_MACHINE\\k" + std::to_string(i) + deep.substr(2) + "]\n";
  const CRegistryHive hive = Parse(text);
  EXPECT_FALSE(hive.IsClean());
  EXPECT_LE(CountKeys(*hive.FindKey({})), CRegistryHive::kMaxKeys);
}

// Whatever a damaged text yields can be written and read back unchanged.
TEST(RegistryHiveTest, DamagedTextsNeverCrashAndWhatTheyYieldRoundTrips) {
  CRegistryHive source(kRoot);
  source.CreateKey({L"SOFTWARE", L"Trelvox", L"Amberline", L"Cam"});
  source.SetValue({L"SOFTWARE", L"Trelvox", L"Amberline", L"Cam"}, L"", REG_SZ, Terminated(u"Camera \u00e9"));
  source.SetValue({L"SOFTWARE", L"Trelvox", L"Amberline", L"Cam"}, L"Data", REG_BINARY, Sequence(90));
  source.SetValue({L"SOFTWARE", L"Trelvox"}, L"Level", REG_DWORD, {3, 0, 0, 0});
  const std::string text = source.Serialize();

  for (std::size_t cut = 0; cut <= text.size(); ++cut) ExpectRoundTrip(Parse(text.substr(0, cut)));

  std::mt19937 random(20240611);
  for (int round = 0; round < 300; ++round) {
    std::string damaged = text;
    const int edits = 1 + static_cast<int>(random() % 8);
    for (int e = 0; e < edits; ++e) {
      const std::size_t at = random() % damaged.size();
      switch (random() % 3) {
        case 0: damaged[at] = static_cast<char>(random() % 256); break;
        case 1: damaged.erase(at, 1 + random() % 10); break;
        default: damaged.insert(at, 1, "[]\\\",=:-@\n"[random() % 10]); break;
      }
      if (damaged.empty()) damaged = "x";
    }
    ExpectRoundTrip(Parse(damaged));
  }
  for (int round = 0; round < 50; ++round) {
    std::string noise(1 + random() % 2000, '\0');
    for (char& c : noise) c = static_cast<char>(random() % 256);
    ExpectRoundTrip(Parse(kHeader + noise));
    ExpectRoundTrip(Parse("\xFF\xFE" + noise));
  }
}

}  // namespace
