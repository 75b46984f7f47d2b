#include "platform/wide_string.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>

#include "platform/windows_types.h"

namespace {

using platform::Format;

TEST(WideStringTest, Utf8RoundTripsEveryPlane) {
  const std::string text = "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x8E\xA5 /x";
  const std::wstring wide = platform::Utf8ToWide(text);
  EXPECT_EQ(platform::WideToUtf8(wide), text);
  EXPECT_EQ(platform::WideToUtf8(platform::Utf16ToWide(platform::WideToUtf16(wide).data(), platform::WideToUtf16(wide).size())), text);
}

TEST(WideStringTest, MalformedUtf8BecomesReplacementCharacters) {
  // Lone continuation byte, truncated sequence, overlong form, encoded surrogate.
  const std::string bad = std::string("a\x80") + "b\xE2\x82" + "c\xC0\xAF" + "d\xED\xA0\x80" + "e";
  const std::wstring wide = platform::Utf8ToWide(bad);
  EXPECT_EQ(wide.front(), L'a');
  EXPECT_EQ(wide.back(), L'e');
  EXPECT_NE(wide.find(L'\xFFFD'), std::wstring::npos);
  for (wchar_t c : wide) EXPECT_TRUE(c < 0xD800 || c > 0xDFFF);
  // A sequence cut at the very end never reads past it.
  EXPECT_EQ(platform::Utf8ToWide(std::string("\xF0\x9F", 2)).size(), 1u);
}

TEST(WideStringTest, UnpairedUtf16SurrogatesAreReplaced) {
  const char16_t units[] = {u'x', 0xD83C, u'y', 0xDFA5};
  const std::wstring wide = platform::Utf16ToWide(units, 4);
  ASSERT_EQ(wide.size(), 4u);
  EXPECT_EQ(wide[1], L'\xFFFD');
  EXPECT_EQ(wide[3], L'\xFFFD');
}

TEST(WideStringTest, CompareNoCaseIgnoresLetterCaseOnly) {
  EXPECT_EQ(platform::CompareNoCase(L"/Opt/Amberline/BIN", L"/opt/amberline/bin"), 0);
  EXPECT_NE(platform::CompareNoCase(L"/opt/a", L"/opt/a "), 0);
  EXPECT_LT(platform::CompareNoCase(L"abc", L"ABD"), 0);
}

TEST(WideStringTest, CopyTruncatedAlwaysTerminates) {
  wchar_t buffer[4] = {L'x', L'x', L'x', L'x'};
  platform::CopyTruncated(buffer, 4, L"abcdef");
  EXPECT_EQ(std::wstring(buffer), L"abc");
  platform::CopyTruncated(buffer, 1, L"abcdef");
  EXPECT_EQ(buffer[0], L'\0');
}

struct FormatCase {
  const char* name;
  std::wstring actual;
  std::wstring expected;
};

class FormatConventionTest : public testing::TestWithParam<FormatCase> {};

TEST_P(FormatConventionTest, MatchesWindowsWideConventions) { EXPECT_EQ(GetParam().actual, GetParam().expected); }

INSTANTIATE_TEST_SUITE_P(
    Conversions, FormatConventionTest,
    testing::Values(
        FormatCase{"WideString", Format(L"Module name = %s\n", L"/opt/a.so"), L"Module name = /opt/a.so\n"},
        FormatCase{"NarrowString", Format(L"[%S|%hs]", "n\xC3\xA9", "x"), L"[n\xE9|x]"},
        FormatCase{"NullString", Format(L"%s", static_cast<const wchar_t*>(nullptr)), L"(null)"},
        FormatCase{"DwordAsLong", Format(L"Error %lu(%XH)", static_cast<DWORD>(4294967295u), static_cast<DWORD>(0xABCu)),
                   L"Error 4294967295(ABCH)"},
        FormatCase{"SixtyFourBit", Format(L"%I64d %lld %I64u", static_cast<std::int64_t>(INT64_MIN),
                                          static_cast<long long>(-5), static_cast<std::uint64_t>(UINT64_MAX)),
                   L"-9223372036854775808 -5 18446744073709551615"},
        FormatCase{"FloatPrecision", Format(L"Completed in: %0.3f sec.", 1.2345), L"Completed in: 1.234 sec."},
        FormatCase{"WidthAndFlags", Format(L"[%5d|%-4d|%04X|%.3s|%6s|%-3s]", 42, 7, 0xAFu, L"abcdef", L"ab", L"z"),
                   L"[   42|7   |00AF|abc|    ab|z  ]"},
        FormatCase{"StarWidth", Format(L"[%*d|%.*s]", 4, 3, 2, L"xyz"), L"[   3|xy]"},
        FormatCase{"PercentAndCharacter", Format(L"100%% %c", L'\xE9'), L"100% \xE9"},
        FormatCase{"PercentInArgumentIsLiteral", Format(L"%s", L"a%20b%s"), L"a%20b%s"},
        FormatCase{"UnknownConversionKept", Format(L"%q %d", 5), L"%q 5"},
        FormatCase{"TrailingPercentKept", Format(L"50%"), L"50%"}),
    [](const testing::TestParamInfo<FormatCase>& info) { return std::string(info.param.name); });

}  // namespace
