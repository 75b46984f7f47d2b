#include "framework/media_sample.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <vector>

#include "framework/media_type.h"

namespace {

constexpr LONG kSize = 64;

class MediaSampleTest : public testing::Test {
 protected:
  // Only n bytes of the record are handed over, in a block of exactly that size, so that
  // reading beyond them is caught by the address sanitizer.
  HRESULT SetProperties(const AM_SAMPLE2_PROPERTIES& properties, DWORD n) {
    std::vector<BYTE> bytes(n);
    std::memcpy(bytes.data(), &properties, n);
    return m_sample.SetProperties(n, bytes.data());
  }
  AM_SAMPLE2_PROPERTIES Properties() {
    AM_SAMPLE2_PROPERTIES properties{};
    EXPECT_EQ(m_sample.GetProperties(sizeof(properties), reinterpret_cast<BYTE*>(&properties)), S_OK);
    return properties;
  }
  AM_SAMPLE2_PROPERTIES Full() {
    AM_SAMPLE2_PROPERTIES properties = Properties();
    properties.cbData = sizeof(properties);
    return properties;
  }

  BYTE m_buffer[kSize] = {};
  CMediaSample m_sample{L"sample", nullptr, nullptr, m_buffer, kSize};
};

TEST_F(MediaSampleTest, TimesReportWhatWasSet) {
  REFERENCE_TIME start = 0, stop = 0;
  EXPECT_EQ(m_sample.GetTime(&start, &stop), VFW_E_SAMPLE_TIME_NOT_SET);
  REFERENCE_TIME given = 1000;
  m_sample.SetTime(&given, nullptr);
  EXPECT_EQ(m_sample.GetTime(&start, &stop), VFW_S_NO_STOP_TIME);
  EXPECT_EQ(start, 1000);
  EXPECT_EQ(stop, 1001);
  REFERENCE_TIME end = 5000;
  m_sample.SetTime(&given, &end);
  EXPECT_EQ(m_sample.GetTime(&start, &stop), S_OK);
  EXPECT_EQ(stop, 5000);
  m_sample.SetTime(nullptr, nullptr);
  EXPECT_EQ(m_sample.GetTime(&start, &stop), VFW_E_SAMPLE_TIME_NOT_SET);
}

TEST_F(MediaSampleTest, MediaTimeKeepsOnlyTheLow32BitsOfItsLength) {
  LONGLONG start = 0, stop = 0;
  EXPECT_EQ(m_sample.GetMediaTime(&start, &stop), VFW_E_MEDIA_TIME_NOT_SET);
  LONGLONG given = 7'000'000'000;
  LONGLONG end = given + (1LL << 32) + 5;
  EXPECT_EQ(m_sample.SetMediaTime(&given, nullptr), E_POINTER);
  ASSERT_EQ(m_sample.SetMediaTime(&given, &end), S_OK);
  ASSERT_EQ(m_sample.GetMediaTime(&start, &stop), S_OK);
  EXPECT_EQ(start, given);
  EXPECT_EQ(stop, given + 5);
  // The kept length is signed: an end before the start stays before it.
  end = given - 3;
  m_sample.SetMediaTime(&given, &end);
  m_sample.GetMediaTime(&start, &stop);
  EXPECT_EQ(stop, given - 3);
  // Never reported through the properties record.
  EXPECT_EQ(Properties().dwSampleFlags & CMediaSample::Sample_MediaTimeValid, 0u);
  m_sample.SetMediaTime(nullptr, nullptr);
  EXPECT_EQ(m_sample.GetMediaTime(&start, &stop), VFW_E_MEDIA_TIME_NOT_SET);
}

TEST_F(MediaSampleTest, ActualLengthStaysWithinTheBuffer) {
  EXPECT_EQ(m_sample.GetActualDataLength(), kSize);
  EXPECT_EQ(m_sample.SetActualDataLength(kSize), S_OK);
  EXPECT_EQ(m_sample.SetActualDataLength(kSize + 1), VFW_E_BUFFER_OVERFLOW);
  EXPECT_EQ(m_sample.SetActualDataLength(-1), VFW_E_BUFFER_OVERFLOW);
  EXPECT_EQ(m_sample.GetActualDataLength(), kSize);

  HRESULT hr = S_OK;
  CMediaSample negative(L"negative", nullptr, &hr, m_buffer, -1);
  EXPECT_EQ(hr, VFW_E_BUFFER_OVERFLOW);
  EXPECT_EQ(negative.GetSize(), 0);
}

TEST_F(MediaSampleTest, AttachedTypesAreOwnedCopiesAndMalformedOnesAreRefused) {
  BYTE format[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  AM_MEDIA_TYPE type{};
  type.majortype = IID_IMediaSample;
  type.cbFormat = sizeof(format);
  type.pbFormat = format;
  ASSERT_EQ(m_sample.SetMediaType(&type), S_OK);
  format[0] = 99;
  AM_MEDIA_TYPE* copy = nullptr;
  ASSERT_EQ(m_sample.GetMediaType(&copy), S_OK);
  ASSERT_NE(copy, nullptr);
  EXPECT_NE(copy->pbFormat, format);
  EXPECT_EQ(copy->pbFormat[0], 1);
  DeleteMediaType(copy);

  type.pbFormat = nullptr;  // claims eight bytes it does not have
  EXPECT_EQ(m_sample.SetMediaType(&type), E_INVALIDARG);
  EXPECT_EQ(m_sample.GetMediaType(&copy), S_FALSE);
}

TEST_F(MediaSampleTest, PropertiesAreReportedUpToTheRequestedSize) {
  m_sample.SetSyncPoint(TRUE);
  const AM_SAMPLE2_PROPERTIES full = Properties();
  EXPECT_EQ(full.cbData, sizeof(AM_SAMPLE2_PROPERTIES));
  EXPECT_EQ(full.dwSampleFlags, static_cast<DWORD>(CMediaSample::Sample_SyncPoint));
  EXPECT_EQ(full.pbBuffer, m_buffer);
  EXPECT_EQ(full.cbBuffer, kSize);
  EXPECT_EQ(full.pMediaType, nullptr);

  BYTE bytes[sizeof(AM_SAMPLE2_PROPERTIES) + 4];
  std::memset(bytes, 0xCD, sizeof(bytes));
  ASSERT_EQ(m_sample.GetProperties(12, bytes), S_OK);
  DWORD cbData = 0;
  std::memcpy(&cbData, bytes, sizeof(cbData));
  EXPECT_EQ(cbData, 12u);
  EXPECT_EQ(bytes[12], 0xCD);
  EXPECT_EQ(m_sample.GetProperties(sizeof(bytes), bytes), S_OK);
  std::memcpy(&cbData, bytes, sizeof(cbData));
  EXPECT_EQ(cbData, sizeof(AM_SAMPLE2_PROPERTIES));
  EXPECT_EQ(m_sample.GetProperties(0, nullptr), S_OK);
  EXPECT_EQ(m_sample.GetProperties(4, nullptr), E_POINTER);
}

TEST_F(MediaSampleTest, PropertiesFromAPeerAreAppliedOnlyAsFarAsTheyWereGiven) {
  AM_MEDIA_TYPE type{};
  type.majortype = IID_IMediaSample;
  AM_SAMPLE2_PROPERTIES p = Full();
  p.dwSampleFlags = CMediaSample::Sample_TimeValid | CMediaSample::Sample_StopValid |
                    CMediaSample::Sample_TypeChanged | 0x40;
  p.dwTypeSpecificFlags = 7;
  p.lActual = 10;
  p.tStart = 100;
  p.tStop = 200;
  p.dwStreamId = 1;
  p.pMediaType = &type;
  ASSERT_EQ(SetProperties(p, sizeof(p)), S_OK);
  REFERENCE_TIME start = 0, stop = 0;
  EXPECT_EQ(m_sample.GetTime(&start, &stop), S_OK);
  EXPECT_EQ(stop, 200);
  EXPECT_EQ(m_sample.GetActualDataLength(), 10);
  const AM_SAMPLE2_PROPERTIES read = Properties();
  EXPECT_EQ(read.dwStreamId, 1u);
  EXPECT_EQ(read.dwSampleFlags & 0x40, 0x40u);
  ASSERT_NE(read.pMediaType, nullptr);
  EXPECT_NE(read.pMediaType, &type);

  // A record that says it is 12 bytes long is read as 12 bytes, whatever follows.
  p.cbData = 12;
  p.dwSampleFlags = CMediaSample::Sample_Preroll;
  p.lActual = 30;
  ASSERT_EQ(SetProperties(p, sizeof(p)), S_OK);
  EXPECT_EQ(m_sample.IsPreroll(), S_OK);
  EXPECT_EQ(m_sample.GetActualDataLength(), 10);
  // The flags no longer ask for a type, but one is still attached.
  EXPECT_NE(Properties().pMediaType, nullptr);

  EXPECT_EQ(m_sample.SetProperties(3, nullptr), S_OK);
  EXPECT_EQ(m_sample.SetProperties(4, nullptr), E_POINTER);
}

// The accepted side of each refusal below: data that ends exactly at the buffer's end,
// and a field that the record covers exactly (one byte short of it is not given).
TEST_F(MediaSampleTest, PropertiesExactlyAtTheirLimitsAreAccepted) {
  constexpr DWORD kThroughActual = offsetof(AM_SAMPLE2_PROPERTIES, lActual) + sizeof(LONG);
  AM_SAMPLE2_PROPERTIES p = Full();
  p.lActual = kSize;
  p.cbData = kThroughActual;
  ASSERT_EQ(SetProperties(p, kThroughActual), S_OK);
  EXPECT_EQ(m_sample.GetActualDataLength(), kSize);
  p.lActual = 0;
  ASSERT_EQ(SetProperties(p, kThroughActual), S_OK);
  EXPECT_EQ(m_sample.GetActualDataLength(), 0);
  p.lActual = 5;
  p.cbData = kThroughActual - 1;
  ASSERT_EQ(SetProperties(p, kThroughActual - 1), S_OK);
  EXPECT_EQ(m_sample.GetActualDataLength(), 0) << "a field the record does not wholly cover is not applied";

  p = Full();
  p.lActual = kSize;
  p.cbBuffer = kSize;
  ASSERT_EQ(SetProperties(p, sizeof(p)), S_OK);
  EXPECT_EQ(m_sample.GetActualDataLength(), kSize);
}

// Each refusal leaves the sample exactly as it was.
struct Refusal {
  const char* name;
  void (*change)(AM_SAMPLE2_PROPERTIES& p, BYTE* buffer);
  DWORD bytes;  // how much of the record is handed over; 0 for all of it
  HRESULT expected;
};

class MediaSampleRefusalTest : public MediaSampleTest, public testing::WithParamInterface<Refusal> {};

TEST_P(MediaSampleRefusalTest, RefusesWhatWouldReachOutsideTheSampleOrTheRecord) {
  const Refusal& refusal = GetParam();
  AM_SAMPLE2_PROPERTIES p = Full();
  refusal.change(p, m_buffer);
  const DWORD n = refusal.bytes != 0 ? refusal.bytes : static_cast<DWORD>(sizeof(p));
  if (refusal.bytes != 0) p.cbData = n;
  const AM_SAMPLE2_PROPERTIES before = Properties();
  EXPECT_EQ(SetProperties(p, n), refusal.expected);
  const AM_SAMPLE2_PROPERTIES after = Properties();
  EXPECT_EQ(std::memcmp(&before, &after, sizeof(before)), 0);
}

constexpr DWORD kUpToActual = offsetof(AM_SAMPLE2_PROPERTIES, lActual) + sizeof(LONG);
constexpr DWORD kUpToStart = offsetof(AM_SAMPLE2_PROPERTIES, tStart) + sizeof(REFERENCE_TIME);

INSTANTIATE_TEST_SUITE_P(
    Records, MediaSampleRefusalTest,
    testing::Values(
        Refusal{"LongerThanTheRecord", [](AM_SAMPLE2_PROPERTIES& p, BYTE*) { p.cbData = sizeof(p) + 1; }, 0,
                E_INVALIDARG},
        Refusal{"MediaTimeFlag", [](AM_SAMPLE2_PROPERTIES& p, BYTE*) { p.dwSampleFlags = 0x20; }, 0, E_INVALIDARG},
        Refusal{"UnknownFlag", [](AM_SAMPLE2_PROPERTIES& p, BYTE*) { p.dwSampleFlags = 0x200; }, 0, E_INVALIDARG},
        Refusal{"TimeWithoutStop", [](AM_SAMPLE2_PROPERTIES& p, BYTE*) { p.dwSampleFlags = 0x10; }, kUpToStart,
                E_INVALIDARG},
        Refusal{"ForeignBuffer", [](AM_SAMPLE2_PROPERTIES& p, BYTE* b) { p.pbBuffer = b + 1; }, 0, E_INVALIDARG},
        Refusal{"OtherBufferSize", [](AM_SAMPLE2_PROPERTIES& p, BYTE*) { p.cbBuffer = kSize + 16; }, 0,
                E_INVALIDARG},
        Refusal{"ActualBeyondGivenSize", [](AM_SAMPLE2_PROPERTIES& p, BYTE*) { p.cbBuffer = 0; p.lActual = 1; }, 0,
                E_INVALIDARG},
        Refusal{"NegativeActual", [](AM_SAMPLE2_PROPERTIES& p, BYTE*) { p.lActual = -1; }, kUpToActual,
                E_INVALIDARG},
        Refusal{"ActualBeyondTheBuffer", [](AM_SAMPLE2_PROPERTIES& p, BYTE*) { p.lActual = kSize + 1; },
                kUpToActual, E_INVALIDARG},
        Refusal{"TypeChangedWithoutType",
                [](AM_SAMPLE2_PROPERTIES& p, BYTE*) {
                  p.dwSampleFlags = 0x08;
                  p.pMediaType = nullptr;
                },
                0, E_POINTER}),
    [](const testing::TestParamInfo<Refusal>& info) { return std::string(info.param.name); });

}  // namespace
