#include "diagnostics/status_text.h"

#include <gtest/gtest.h>

#include "platform/com_types.h"
#include "platform/dshow_status.h"

namespace {

using diagnostics::DescribeStatus;
using diagnostics::StatusDomain;

TEST(StatusTextTest, AKnownStatusIsNamedWithItsValueAndMeaning) {
  EXPECT_EQ(DescribeStatus(VFW_E_INVALIDMEDIATYPE), "VFW_E_INVALIDMEDIATYPE (0x80040200): the media type is not acceptable");
  EXPECT_EQ(diagnostics::StatusName(REGDB_E_CLASSNOTREG), "REGDB_E_CLASSNOTREG");
}

// The registration results share their values with two media-pipeline codes; a message
// about registration must not talk about media subtypes.
TEST(StatusTextTest, RegistrationResultsAreReadInTheirOwnDomain) {
  EXPECT_EQ(diagnostics::StatusName(static_cast<HRESULT>(0x80040201u)), "VFW_E_INVALIDSUBTYPE");
  EXPECT_EQ(diagnostics::StatusName(static_cast<HRESULT>(0x80040201u), StatusDomain::kRegistration), "SELFREG_E_CLASS");
  EXPECT_EQ(diagnostics::StatusName(static_cast<HRESULT>(0x80040200u), StatusDomain::kRegistration), "SELFREG_E_TYPELIB");
  EXPECT_EQ(diagnostics::StatusName(E_OUTOFMEMORY, StatusDomain::kRegistration), "E_OUTOFMEMORY");
}

TEST(StatusTextTest, AnUnlistedStatusIsNamedByItsValueAndAWrappedSystemErrorByTheSystemsText) {
  EXPECT_EQ(DescribeStatus(static_cast<HRESULT>(0x8ABC0123u)), "status 0x8ABC0123: an unlisted failure");
  EXPECT_EQ(DescribeStatus(static_cast<HRESULT>(0x00000007)), "status 0x00000007: an unlisted success code");
  // ERROR_NOT_ENOUGH_MEMORY (8) has no row: the system describes it, on one line.
  const std::string wrapped = DescribeStatus(static_cast<HRESULT>(0x80070008u));
  EXPECT_EQ(wrapped.rfind("system error 8 (0x80070008): ", 0), 0u) << wrapped;
  EXPECT_GT(wrapped.size(), std::string("system error 8 (0x80070008): ").size()) << wrapped;
  EXPECT_EQ(wrapped.find('\n'), std::string::npos);
  EXPECT_EQ(wrapped.find('\r'), std::string::npos);
}

}  // namespace
