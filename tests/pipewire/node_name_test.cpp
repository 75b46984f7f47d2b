#include "pipewire/node_name.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

TEST(CameraNodeName, DefaultCameraAndSeparatorRuns) {
  EXPECT_EQ(CameraNodeName("Trelvox Amberline"), "amberline-camera.trelvox-amberline");
  // Runs of any other characters collapse to one dash, and none is left at the ends.
  EXPECT_EQ(CameraNodeName("  --Desk  Cam #2!! "), "amberline-camera.desk-cam-2");
  EXPECT_EQ(CameraNameSlug("a.b_c/d\\e"), "a-b-c-d-e");
  EXPECT_EQ(CameraNameSlug("ABC123xyz"), "abc123xyz");
}

TEST(CameraNodeName, NonAsciiBytesAreSeparatorsNotLetters) {
  // "Kamera Ü 4K": the two bytes of U+00DC and the space around them are one run.
  EXPECT_EQ(CameraNameSlug("Kamera \xC3\x9C 4K"), "kamera-4k");
  EXPECT_EQ(CameraNameSlug("\xC3\x9C" "ber"), "ber");
  // Bytes with the high bit set must not be lower-cased into letters.
  EXPECT_EQ(CameraNameSlug("\xC1\xDA"), "");
}

TEST(CameraNodeName, NameWithoutLettersOrDigitsHasEmptySlug) {
  EXPECT_EQ(CameraNameSlug(""), "");
  EXPECT_EQ(CameraNameSlug(" -!- "), "");
  EXPECT_EQ(CameraNodeName("***"), "amberline-camera.");
}

TEST(CameraNodeName, NamesInOtherScriptsAreNamedByAHashOfTheirBytes) {
  // "Камера" and "カメラ": no ASCII letter, each its own stable node name.
  const std::string cyrillic = "\xD0\x9A\xD0\xB0\xD0\xBC\xD0\xB5\xD1\x80\xD0\xB0";
  const std::string japanese = "\xE3\x82\xAB\xE3\x83\xA1\xE3\x83\xA9";
  EXPECT_EQ(CameraNodeName(cyrillic), CameraNodeName(cyrillic));
  EXPECT_NE(CameraNodeName(cyrillic), CameraNodeName(japanese));
  for (const std::string& name : {cyrillic, japanese}) {
    const std::string node = CameraNodeName(name);
    ASSERT_EQ(node.size(), std::string("amberline-camera.u").size() + 8) << node;
    EXPECT_EQ(node.rfind("amberline-camera.u", 0), 0u) << node;
    EXPECT_EQ(node.find_first_not_of("0123456789abcdef", 18), std::string::npos) << node;
  }
  // FNV-1a of the one byte 0x80, as the plain formula gives it.
  EXPECT_EQ(CameraNodeName("\x80"), "amberline-camera.u" + [] {
    char text[16];
    std::snprintf(text, sizeof text, "%08x", static_cast<unsigned>((2166136261u ^ 0x80u) * 16777619u));
    return std::string(text);
  }());
  // A name with ASCII letters keeps its slug, other characters aside.
  EXPECT_EQ(CameraNodeName("Kamera \xC3\x9C 4K"), "amberline-camera.kamera-4k");
}
