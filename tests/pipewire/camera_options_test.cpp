// amberline-camera's command line.
#include "camera_options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Action = CCameraOptions::EServiceAction;

CCameraOptions Parsed(const std::vector<std::string>& arguments) {
  CCameraOptions options;
  std::string error;
  EXPECT_TRUE(CCameraOptions::Parse(arguments, &options, &error)) << error;
  return options;
}

TEST(CameraOptions, WithoutCamerasPublishesTheDefaultCameraOnly) {
  const CCameraOptions o = Parsed({});
  EXPECT_TRUE(o.cameras.empty()) << "the user service must not pin the default name into its command";
  EXPECT_EQ(o.CamerasToPublish(), (std::vector<CCameraOptions::Camera>{{"Trelvox Amberline", ""}}));
  EXPECT_EQ(o.service, Action::None);
  EXPECT_FALSE(o.help);
}

TEST(CameraOptions, KeepsCamerasInOrderWithTheServiceAction) {
  const CCameraOptions o = Parsed({"--camera", "Desk", "--install-user-service", "--camera", "Kamera \xC3\x9C 2"});
  EXPECT_EQ(o.cameras, (std::vector<std::string>{"Desk", "Kamera \xC3\x9C 2"}));
  EXPECT_EQ(o.CamerasToPublish(), (std::vector<CCameraOptions::Camera>{{"Desk", ""}, {"Kamera \xC3\x9C 2", ""}}));
  EXPECT_EQ(o.service, Action::Install);

  EXPECT_EQ(Parsed({"--uninstall-user-service"}).service, Action::Uninstall);
  EXPECT_EQ(Parsed({"--install-user-service", "--install-user-service"}).service, Action::Install);
  EXPECT_TRUE(Parsed({"--camera", "Desk", "--help"}).help);
  // The longest name allowed, and the smallest with a letter in it.
  EXPECT_EQ(Parsed({"--camera", std::string(CCameraOptions::kMaxNameBytes, 'a')}).cameras.size(), 1u);
  EXPECT_EQ(Parsed({"--camera", "-x"}).cameras.front(), "-x");
  // Names in any script.
  EXPECT_EQ(Parsed({"--camera", "\xE3\x82\xAB\xE3\x83\xA1\xE3\x83\xA9", "--camera", "\xD0\x9A\xD0\xB0"}).cameras.size(), 2u);
}

TEST(CameraOptions, EachCameraMayNameItsChannelAfterAnEqualsSignOrWithChannel) {
  const CCameraOptions o = Parsed({"--camera", "Desk=desk", "--camera", "Studio", "--channel", "studio_2", "--camera",
                                   "A=B=c", "--camera", "Main"});
  // The service's command line keeps one form: NAME=CHANNEL.
  EXPECT_EQ(o.cameras, (std::vector<std::string>{"Desk=desk", "Studio=studio_2", "A=B=c", "Main"}));
  EXPECT_EQ(o.CamerasToPublish(), (std::vector<CCameraOptions::Camera>{
                                      {"Desk", "desk"}, {"Studio", "studio_2"}, {"A=B", "c"}, {"Main", ""}}));
  const std::string longest(32, 'c');
  EXPECT_EQ(Parsed({"--camera", "Desk=" + longest}).CamerasToPublish().front().channel, longest);
}

struct BadCase {
  std::vector<std::string> arguments;
  const char* named;  // what the message must mention
};

class CameraOptionsRefuses : public testing::TestWithParam<BadCase> {};

TEST_P(CameraOptionsRefuses, WithAMessageNamingTheProblem) {
  CCameraOptions options;
  options.cameras = {"untouched"};
  std::string error;
  EXPECT_FALSE(CCameraOptions::Parse(GetParam().arguments, &options, &error));
  EXPECT_NE(error.find(GetParam().named), std::string::npos) << error;
  EXPECT_EQ(options.cameras, std::vector<std::string>{"untouched"});
}

INSTANTIATE_TEST_SUITE_P(
    BadInput, CameraOptionsRefuses,
    testing::Values(
        BadCase{{"--bogus"}, "\"--bogus\""}, BadCase{{"Desk"}, "\"Desk\""},
        BadCase{{"--camera"}, "--camera needs a name"},
        BadCase{{"--camera", "--install-user-service"}, "--camera needs a name"},
        BadCase{{"--camera", ""}, "cannot be empty"},
        BadCase{{"--camera", std::string(CCameraOptions::kMaxNameBytes + 1, 'a')}, "at most 128 bytes"},
        // A line break would split the service's command line and the published line.
        BadCase{{"--camera", "Desk\nExecStartPre=/bin/false"}, "control characters"},
        BadCase{{"--camera", "Desk\tCam"}, "control characters"},
        BadCase{{"--camera", "Desk \xC2\x85"}, "control characters"},
        BadCase{{"--camera", "Desk \xC3"}, "UTF-8"}, BadCase{{"--camera", "Desk \xC0\xAF"}, "UTF-8"},
        BadCase{{"--camera", "Desk \xED\xA0\x80"}, "UTF-8"},
        BadCase{{"--camera", "***"}, "at least one letter or digit"},
        BadCase{{"--camera", "Desk Cam", "--camera", "desk-cam!"}, "amberline-camera.desk-cam"},
        BadCase{{"--camera", "A", "--camera", "B", "--camera", "a"}, "--camera \"A\" and --camera \"a\""},
        BadCase{{"--install-user-service", "--uninstall-user-service"}, "cannot be combined"},
        BadCase{{"--uninstall-user-service", "--camera", "Desk"}, "takes no --camera"},
        BadCase{{"--channel", "desk", "--camera", "Desk"}, "after the --camera"},
        BadCase{{"--camera", "Desk=desk", "--channel", "other"}, "twice for --camera \"Desk=desk\""},
        BadCase{{"--camera", "Desk", "--channel"}, "--channel \"\""},
        BadCase{{"--camera", "Desk", "--channel", "a.b"}, "1 to 32 ASCII letters"},
        BadCase{{"--camera", "Desk="}, "the channel after '='"},
        BadCase{{"--camera", "Desk=" + std::string(33, 'c')}, "the channel after '='"},
        BadCase{{"--camera", "Desk=my desk"}, "the channel after '='"}));

}  // namespace
