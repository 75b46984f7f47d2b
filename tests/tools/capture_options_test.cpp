// amberline-capture's command line and its summary figures.
#include "capture_options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "frame_timing.h"

namespace {

CCaptureOptions Parsed(const std::vector<std::string>& arguments) {
  CCaptureOptions options;
  std::string error;
  EXPECT_TRUE(CCaptureOptions::Parse(arguments, &options, &error)) << error;
  return options;
}

TEST(CaptureOptions, DefaultsRecordTheBuiltInCameraForFiveSeconds) {
  const CCaptureOptions o = Parsed({});
  EXPECT_FALSE(o.list);
  EXPECT_EQ(o.camera, "Trelvox Amberline");
  EXPECT_EQ(o.width, 0);
  EXPECT_EQ(o.height, 0);
  EXPECT_EQ(o.frames, 0);
  EXPECT_DOUBLE_EQ(o.seconds, 5.0);
  EXPECT_TRUE(o.y4mPath.empty() && o.pngDir.empty() && o.sheetPath.empty());
}

TEST(CaptureOptions, ReadsEveryOption) {
  const CCaptureOptions o = Parsed({"--camera", "Amberline Second", "--size", "640x360", "--frames", "12", "--y4m",
                                    "out.y4m", "--png", "pngs", "--sheet", "sheet.png", "--transcript", "t.txt"});
  EXPECT_EQ(o.camera, "Amberline Second");
  EXPECT_EQ(o.width, 640);
  EXPECT_EQ(o.height, 360);
  EXPECT_EQ(o.frames, 12);
  EXPECT_DOUBLE_EQ(o.seconds, 0.0);
  EXPECT_EQ(o.y4mPath, "out.y4m");
  EXPECT_EQ(o.pngDir, "pngs");
  EXPECT_EQ(o.sheetPath, "sheet.png");
  EXPECT_EQ(o.transcriptPath, "t.txt");

  EXPECT_DOUBLE_EQ(Parsed({"--seconds", "1.5"}).seconds, 1.5);
  EXPECT_TRUE(Parsed({"--list"}).list);
  EXPECT_EQ(Parsed({"--size", "8192X1"}).width, 8192);
  EXPECT_EQ(Parsed({}).fps, 0) << "the camera's own rate";
  EXPECT_EQ(Parsed({"--fps", "30"}).fps, 30);
  EXPECT_EQ(Parsed({"--fps", "1"}).fps, 1);
  EXPECT_EQ(Parsed({"--fps", "100"}).fps, 100);
}

struct BadCase {
  std::vector<std::string> arguments;
  const char* named;  // what the message must mention
};

class CaptureOptionsRefuses : public testing::TestWithParam<BadCase> {};

TEST_P(CaptureOptionsRefuses, WithAMessageNamingTheProblem) {
  CCaptureOptions options;
  std::string error;
  EXPECT_FALSE(CCaptureOptions::Parse(GetParam().arguments, &options, &error));
  EXPECT_NE(error.find(GetParam().named), std::string::npos) << error;
}

INSTANTIATE_TEST_SUITE_P(
    BadInput, CaptureOptionsRefuses,
    testing::Values(BadCase{{"--bogus"}, "--bogus"}, BadCase{{"--camera"}, "--camera needs a value"},
                    BadCase{{"--camera", ""}, "--camera needs a value"}, BadCase{{"--size", "640"}, "640"},
                    BadCase{{"--size", "0x480"}, "0x480"}, BadCase{{"--size", "-640x480"}, "-640x480"},
                    BadCase{{"--size", "640x480x3"}, "640x480x3"}, BadCase{{"--size", "8193x10"}, "8193x10"},
                    BadCase{{"--size", " 64x48"}, "64x48"}, BadCase{{"--frames", "0"}, "--frames"},
                    BadCase{{"--frames", "12abc"}, "12abc"}, BadCase{{"--frames", "99999999999999999999"}, "--frames"},
                    BadCase{{"--seconds", "-1"}, "--seconds"}, BadCase{{"--seconds", "nan"}, "nan"},
                    BadCase{{"--seconds", "1e9"}, "1e9"}, BadCase{{"--seconds", "0"}, "--seconds"},
                    BadCase{{"--frames", "5", "--seconds", "2"}, "cannot be combined"},
                    BadCase{{"--fps", "0"}, "--fps takes a whole number from 1 to 100"},
                    BadCase{{"--fps", "101"}, "101"},
                    BadCase{{"--fps", "29.97"}, "29.97"}, BadCase{{"--fps"}, "--fps needs a value"}));

TEST(FrameTiming, SummarisesRateAndIntervalSpread) {
  CFrameTiming timing;
  for (double t : {1000.0, 1040.0, 1070.0, 1120.0, 1160.0}) timing.Add(t);
  EXPECT_EQ(timing.Count(), 5);
  EXPECT_DOUBLE_EQ(timing.AverageRate(), 4 * 1000.0 / 160.0);
  EXPECT_DOUBLE_EQ(timing.MinIntervalMs(), 30.0);
  EXPECT_DOUBLE_EQ(timing.MedianIntervalMs(), 40.0);  // 30 40 40 50
  EXPECT_DOUBLE_EQ(timing.MaxIntervalMs(), 50.0);
  EXPECT_EQ(timing.Summary(), "frames received: 5, average rate 25.00 fps, interval min/median/max 30.0/40.0/50.0 ms");
}

TEST(FrameTiming, FewerThanTwoFramesGiveNoRate) {
  CFrameTiming timing;
  EXPECT_EQ(timing.Summary(), "frames received: 0, average rate n/a, interval min/median/max n/a");
  timing.Add(5);
  EXPECT_EQ(timing.Count(), 1);
  EXPECT_EQ(timing.AverageRate(), 0);
  EXPECT_EQ(timing.Summary(), "frames received: 1, average rate n/a, interval min/median/max n/a");
}

}  // namespace
