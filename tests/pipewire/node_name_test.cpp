#include "pipewire/node_name.h"

#include <gtest/gtest.h>

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
