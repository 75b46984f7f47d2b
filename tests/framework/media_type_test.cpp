#include "framework/media_type.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace {

// An IUnknown that counts its references, to check what the records take and give back.
class CCountingUnknown : public IUnknown {
 public:
  STDMETHODIMP QueryInterface(REFIID, void** ppv) override {
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(++m_refs); }
  STDMETHODIMP_(ULONG) Release() override { return static_cast<ULONG>(--m_refs); }
  int m_refs = 1;
};

CMediaType VideoType(std::array<BYTE, 4> format = {1, 2, 3, 4}) {
  CMediaType mt;
  mt.SetType(&MEDIATYPE_Video);
  mt.SetSubtype(&MEDIASUBTYPE_RGB24);
  mt.SetFormatType(&FORMAT_VideoInfo);
  EXPECT_TRUE(mt.SetFormat(format.data(), static_cast<ULONG>(format.size())));
  return mt;
}

TEST(MediaTypeTest, CopiesOwnTheirBlockAndAReferenceOnPUnk) {
  CCountingUnknown unknown;
  CMediaType original = VideoType();
  original.pUnk = &unknown;
  unknown.AddRef();
  {
    CMediaType copy(original);
    EXPECT_EQ(unknown.m_refs, 3);
    ASSERT_NE(copy.pbFormat, nullptr);
    EXPECT_NE(copy.pbFormat, original.pbFormat);
    EXPECT_TRUE(copy == original);

    AM_MEDIA_TYPE* created = CreateMediaType(&original);
    ASSERT_NE(created, nullptr);
    EXPECT_EQ(unknown.m_refs, 4);
    EXPECT_NE(created->pbFormat, original.pbFormat);
    DeleteMediaType(created);
    EXPECT_EQ(unknown.m_refs, 3);
  }
  EXPECT_EQ(unknown.m_refs, 2);
  FreeMediaType(original);
  EXPECT_EQ(unknown.m_refs, 1);
  EXPECT_EQ(original.pUnk, nullptr);
  EXPECT_EQ(original.pbFormat, nullptr);
  EXPECT_EQ(original.cbFormat, 0u);
  DeleteMediaType(nullptr);
}

TEST(MediaTypeTest, SetReplacesTheOldTypeAndSelfAssignmentKeepsIt) {
  CCountingUnknown first;
  CCountingUnknown second;
  CMediaType target = VideoType();
  target.pUnk = &first;
  first.AddRef();
  CMediaType source = VideoType({9, 9});
  source.pUnk = &second;
  second.AddRef();

  EXPECT_EQ(target.Set(source), S_OK);
  EXPECT_EQ(first.m_refs, 1);
  EXPECT_EQ(second.m_refs, 3);
  EXPECT_TRUE(target == source);

  BYTE* block = target.pbFormat;
  const CMediaType& self = target;
  target = self;
  EXPECT_EQ(target.pbFormat, block);
  EXPECT_EQ(second.m_refs, 3);
  FreeMediaType(target);
  FreeMediaType(source);
  EXPECT_EQ(second.m_refs, 1);
}

// A peer's record that claims a block it does not have is refused, never read.
TEST(MediaTypeTest, LengthWithoutBlockIsRefusedByCopiesAndNeverMatches) {
  CCountingUnknown unknown;
  AM_MEDIA_TYPE broken{};
  broken.majortype = MEDIATYPE_Video;
  broken.subtype = MEDIASUBTYPE_RGB24;
  broken.formattype = FORMAT_VideoInfo;
  broken.cbFormat = 4;
  broken.pUnk = &unknown;

  AM_MEDIA_TYPE target;
  EXPECT_EQ(CopyMediaType(&target, &broken), E_INVALIDARG);
  EXPECT_EQ(target.cbFormat, 0u);
  EXPECT_EQ(target.pbFormat, nullptr);
  EXPECT_EQ(target.pUnk, nullptr);
  EXPECT_EQ(unknown.m_refs, 1);
  EXPECT_EQ(CreateMediaType(&broken), nullptr);
  EXPECT_EQ(unknown.m_refs, 1);

  HRESULT hr = S_OK;
  CMediaType constructed(broken, &hr);
  EXPECT_EQ(hr, E_INVALIDARG);
  CMediaType assigned = VideoType();
  EXPECT_EQ(assigned.Set(broken), E_INVALIDARG);
  EXPECT_EQ(assigned.pbFormat, nullptr);

  CMediaType intact = VideoType();
  EXPECT_FALSE(intact == broken);
  EXPECT_FALSE(intact.MatchesPartial(&broken));
  CMediaType alsoBroken = VideoType();
  CoTaskMemFree(alsoBroken.pbFormat);
  alsoBroken.pbFormat = nullptr;
  EXPECT_FALSE(alsoBroken == broken);

  EXPECT_EQ(CopyMediaType(nullptr, &broken), E_POINTER);
  EXPECT_EQ(CopyMediaType(&target, nullptr), E_POINTER);
  EXPECT_EQ(CreateMediaType(nullptr), nullptr);
}

TEST(MediaTypeTest, CopyOfATypeWithoutBlockDoesNotShareTheSourcePointer) {
  CMediaType source;
  BYTE stray = 0;
  source.pbFormat = &stray;  // a length of 0 covers nothing, whatever the pointer says
  CMediaType copy(source);
  EXPECT_EQ(copy.pbFormat, nullptr);
  source.pbFormat = nullptr;
}

TEST(MediaTypeTest, EqualityIgnoresSampleSizeAndFlagsButNotFormatBytes) {
  CMediaType a = VideoType();
  CMediaType b = VideoType();
  b.SetSampleSize(0);
  b.SetTemporalCompression(TRUE);
  b.lSampleSize = 99;
  EXPECT_TRUE(a == b);

  CMediaType differentBytes = VideoType({1, 2, 3, 5});
  CMediaType differentLength = VideoType();
  differentLength.ReallocFormatBuffer(3);
  CMediaType differentSubtype = VideoType();
  differentSubtype.SetSubtype(&MEDIASUBTYPE_RGB32);
  EXPECT_TRUE(a != differentBytes);
  EXPECT_TRUE(a != differentLength);
  EXPECT_TRUE(a != differentSubtype);
}

TEST(MediaTypeTest, PartialMatchTreatsNullFieldsAsWildcardsAndFormatOnlyWhenNamed) {
  const CMediaType full = VideoType();
  CMediaType partial;
  partial.SetFormatType(&GUID_NULL);
  EXPECT_TRUE(full.MatchesPartial(&partial));

  partial.SetType(&MEDIATYPE_Video);
  EXPECT_TRUE(full.MatchesPartial(&partial));
  partial.SetSubtype(&MEDIASUBTYPE_RGB32);
  EXPECT_FALSE(full.MatchesPartial(&partial));
  partial.SetSubtype(&GUID_NULL);

  // Naming the format type brings the block into the comparison.
  partial.SetFormatType(&FORMAT_VideoInfo);
  EXPECT_FALSE(full.MatchesPartial(&partial));
  const std::array<BYTE, 4> same = {1, 2, 3, 4};
  ASSERT_TRUE(partial.SetFormat(same.data(), 4));
  EXPECT_TRUE(full.MatchesPartial(&partial));
  partial.SetType(&MEDIATYPE_Audio);
  EXPECT_FALSE(full.MatchesPartial(&partial));
  EXPECT_FALSE(full.MatchesPartial(nullptr));
}

TEST(MediaTypeTest, PartiallySpecifiedLooksAtMajorAndFormatTypeOnly) {
  CMediaType mt;
  mt.SetType(&MEDIATYPE_Video);
  EXPECT_TRUE(mt.IsValid());
  EXPECT_TRUE(mt.IsPartiallySpecified());
  mt.SetFormatType(&FORMAT_VideoInfo);
  EXPECT_FALSE(mt.IsPartiallySpecified());  // the subtype is still GUID_NULL
}

TEST(MediaTypeTest, SampleSizeZeroMeansVariableAndKeepsTheStoredSize) {
  CMediaType mt;
  mt.SetSampleSize(4096);
  EXPECT_EQ(mt.GetSampleSize(), 4096u);
  mt.SetSampleSize(0);
  EXPECT_FALSE(mt.IsFixedSize());
  EXPECT_EQ(mt.lSampleSize, 4096u);
  EXPECT_EQ(mt.GetSampleSize(), 0u);
}

// A record without a format may carry any pointer at all (peers leave it unset): freeing
// the record, or emptying its format, never hands that pointer to the allocator. Run in a
// child process, where a pointer freed that was never allocated ends the process.
TEST(MediaTypeDeathTest, FreeingARecordWithoutFormatLeavesAnUncoveredPointerAlone) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        static BYTE notABlock[8];
        AM_MEDIA_TYPE peer{};
        peer.pbFormat = notABlock + 1;
        FreeMediaType(peer);
        bool emptied = peer.pbFormat == nullptr && peer.cbFormat == 0;
        CMediaType record;
        record.pbFormat = notABlock + 3;
        record.ResetFormatBuffer();
        emptied = emptied && record.pbFormat == nullptr;
        auto* created = static_cast<AM_MEDIA_TYPE*>(CoTaskMemAlloc(sizeof(AM_MEDIA_TYPE)));
        *created = AM_MEDIA_TYPE{};
        created->pbFormat = notABlock + 5;
        DeleteMediaType(created);
        std::exit(emptied ? 0 : 1);
      },
      testing::ExitedWithCode(0), "");
}

TEST(MediaTypeTest, FormatBufferOperationsKeepLengthAndContentsConsistent) {
  CMediaType mt = VideoType();
  BYTE* block = mt.pbFormat;
  EXPECT_EQ(mt.AllocFormatBuffer(4), block);

  BYTE* grown = mt.ReallocFormatBuffer(6);
  ASSERT_NE(grown, nullptr);
  EXPECT_EQ(mt.cbFormat, 6u);
  EXPECT_EQ(std::memcmp(grown, "\x01\x02\x03\x04", 4), 0);
  ASSERT_NE(mt.ReallocFormatBuffer(2), nullptr);
  EXPECT_EQ(std::memcmp(mt.pbFormat, "\x01\x02", 2), 0);

  // A source inside the record's own block survives the replacement.
  ASSERT_TRUE(mt.SetFormat(reinterpret_cast<const BYTE*>("\x05\x06\x07"), 3));
  ASSERT_TRUE(mt.SetFormat(mt.pbFormat + 1, 2));
  EXPECT_EQ(mt.cbFormat, 2u);
  EXPECT_EQ(std::memcmp(mt.pbFormat, "\x06\x07", 2), 0);

  EXPECT_FALSE(mt.SetFormat(nullptr, 8));
  EXPECT_EQ(mt.cbFormat, 2u);
  EXPECT_TRUE(mt.SetFormat(nullptr, 0));
  EXPECT_EQ(mt.pbFormat, nullptr);

  // A length of 0 keeps no block (one would never be freed again).
  ASSERT_NE(mt.AllocFormatBuffer(3), nullptr);
  EXPECT_EQ(mt.ReallocFormatBuffer(0), nullptr);
  EXPECT_EQ(mt.pbFormat, nullptr);
  ASSERT_NE(mt.AllocFormatBuffer(3), nullptr);
  EXPECT_EQ(mt.AllocFormatBuffer(0), nullptr);
  EXPECT_EQ(mt.pbFormat, nullptr);
  EXPECT_EQ(mt.cbFormat, 0u);

  ASSERT_NE(mt.AllocFormatBuffer(5), nullptr);
  mt.ResetFormatBuffer();
  EXPECT_EQ(mt.cbFormat, 0u);
  EXPECT_EQ(mt.pbFormat, nullptr);
}

struct BitmapSizeCase {
  LONG width;
  LONG height;
  WORD bitCount;
  DWORD size;
};

class BitmapSizeTest : public testing::TestWithParam<BitmapSizeCase> {};

TEST_P(BitmapSizeTest, RowsArePaddedToFourBytesAndTheHeightSignIgnored) {
  BITMAPINFOHEADER header{};
  header.biSize = sizeof(header);
  header.biWidth = GetParam().width;
  header.biHeight = GetParam().height;
  header.biBitCount = GetParam().bitCount;
  EXPECT_EQ(GetBitmapSize(&header), GetParam().size);
  EXPECT_EQ(GetBitmapSize(nullptr), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, BitmapSizeTest,
    testing::Values(BitmapSizeCase{640, -480, 24, 921600}, BitmapSizeCase{3, 2, 24, 24},
                    BitmapSizeCase{1, 1, 1, 4}, BitmapSizeCase{320, 240, 32, 307200},
                    BitmapSizeCase{std::numeric_limits<LONG>::min() + 1, 2, 24, 0},  // negative width
                    BitmapSizeCase{65536, 65536, 32, 0},                                // 16 GiB: too large
                    BitmapSizeCase{std::numeric_limits<LONG>::max(), std::numeric_limits<LONG>::min(), 32, 0}));

// A header followed by three colour masks, as a format block carries them.
struct HeaderWithMasks {
  BITMAPINFOHEADER header;
  DWORD masks[3];
};

HeaderWithMasks Bitmap(WORD bitCount, DWORD compression, DWORD red = 0, DWORD green = 0, DWORD blue = 0) {
  HeaderWithMasks b{};
  b.header.biSize = sizeof(BITMAPINFOHEADER);
  b.header.biBitCount = bitCount;
  b.header.biCompression = compression;
  b.masks[0] = red;
  b.masks[1] = green;
  b.masks[2] = blue;
  return b;
}

TEST(MediaTypeTest, Rgb24VideoTypeCarriesPaddedImageSizeAndFrameTime) {
  // 5 pixels of 3 bytes are 15 bytes, padded to 16 per row; a top-down picture of 3 rows.
  const CMediaType type = MakeRgb24VideoType(5, -3, 333333);
  EXPECT_TRUE(IsEqualGUID(type.majortype, MEDIATYPE_Video));
  EXPECT_TRUE(IsEqualGUID(type.subtype, MEDIASUBTYPE_RGB24));
  EXPECT_TRUE(IsEqualGUID(type.formattype, FORMAT_VideoInfo));
  ASSERT_EQ(type.cbFormat, sizeof(VIDEOINFOHEADER));
  const auto* format = reinterpret_cast<const VIDEOINFOHEADER*>(type.pbFormat);
  EXPECT_EQ(format->AvgTimePerFrame, 333333);
  EXPECT_EQ(format->bmiHeader.biHeight, -3);
  EXPECT_EQ(format->bmiHeader.biSizeImage, 48u);
  EXPECT_EQ(type.lSampleSize, 48u);
  EXPECT_TRUE(type.bFixedSizeSamples);
  EXPECT_EQ(GetBitmapSubtype(&format->bmiHeader, sizeof(BITMAPINFOHEADER)), MEDIASUBTYPE_RGB24);
}

TEST(BitmapSubtypeTest, RgbBitCountsMapToThePublishedSubtypes) {
  const std::pair<WORD, const GUID*> cases[] = {{1, &MEDIASUBTYPE_RGB1}, {4, &MEDIASUBTYPE_RGB4},
                                                {8, &MEDIASUBTYPE_RGB8}, {16, &MEDIASUBTYPE_RGB555},
                                                {24, &MEDIASUBTYPE_RGB24}, {32, &MEDIASUBTYPE_RGB32},
                                                {12, &GUID_NULL}};
  for (const auto& [bits, subtype] : cases) {
    const HeaderWithMasks b = Bitmap(bits, BI_RGB);
    EXPECT_EQ(GetBitmapSubtype(&b.header), *subtype) << bits;
  }
}

TEST(BitmapSubtypeTest, CompressedFormatsGiveTheirFourCharacterCodeSubtype) {
  const HeaderWithMasks b = Bitmap(16, 0x32595559);  // 'YUY2'
  EXPECT_EQ(GetBitmapSubtype(&b.header), MEDIASUBTYPE_YUY2);
}

TEST(BitmapSubtypeTest, SixteenBitMasksAreReadOnlyWhenTheCallerHasThem) {
  const HeaderWithMasks rgb565 = Bitmap(16, BI_BITFIELDS, 0xF800, 0x07E0, 0x001F);
  const HeaderWithMasks rgb555 = Bitmap(16, BI_BITFIELDS, 0x7C00, 0x03E0, 0x001F);
  const HeaderWithMasks other = Bitmap(16, BI_BITFIELDS, 0xF000, 0x0F00, 0x00F0);
  EXPECT_EQ(GetBitmapSubtype(&rgb565.header, sizeof(rgb565)), MEDIASUBTYPE_RGB565);
  EXPECT_EQ(GetBitmapSubtype(&rgb555.header, sizeof(rgb555)), MEDIASUBTYPE_RGB555);
  EXPECT_EQ(GetBitmapSubtype(&other.header, sizeof(other)), GUID_NULL);
  // Without room for all three masks nothing past the header is read.
  EXPECT_EQ(GetBitmapSubtype(&rgb565.header), GUID_NULL);
  EXPECT_EQ(GetBitmapSubtype(&rgb565.header, sizeof(rgb565) - 1), GUID_NULL);
  EXPECT_EQ(GetBitmapSubtype(&rgb565.header, sizeof(BITMAPINFOHEADER) - 1), GUID_NULL);
  EXPECT_EQ(GetBitmapSubtype(nullptr, sizeof(rgb565)), GUID_NULL);
}

}  // namespace
