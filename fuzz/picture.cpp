// Picture files as the camera loads them (the placeholder and the logo, decoded by
// stb_image from a PNG file), then used as the stream uses them: the placeholder
// stretched over a frame, the logo blended into frames of two widths.
//
// Checked besides the sanitizers: a loaded picture has a positive size within the
// loader's limits and the channel count its use needs, and a file decodes to the same
// picture every time.
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "composer/picture_loader.h"
#include "composer/stream_images.h"
#include "fuzz_support.h"
#include "platform/wide_string.h"

namespace {

using fuzz_support::Check;

struct CPictureWorld {
  std::string path;
  std::wstring widePath;
  CPictureWorld() {
    char pattern[] = "/tmp/amberline-fuzz-picture-XXXXXX";
    const int fd = ::mkstemp(pattern);
    Check(fd >= 0, "a scratch file");
    ::close(fd);
    path = pattern;
    widePath = platform::Utf8ToWide(path);
    std::atexit([] { std::remove(World().path.c_str()); });
  }
  static CPictureWorld& World();
};

CPictureWorld& CPictureWorld::World() {
  static CPictureWorld* world = new CPictureWorld;
  return *world;
}

void CheckPicture(const CImage& image, int channels) {
  Check(image.Width() > 0 && image.Height() > 0 && image.Width() <= kMaxPictureSide &&
            image.Height() <= kMaxPictureSide &&
            static_cast<long long>(image.Width()) * image.Height() <= kMaxPicturePixels,
        "a loaded picture has a sane size");
  Check(image.Channels() == channels, "a loaded picture has the channels its use needs");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  CPictureWorld& world = CPictureWorld::World();
  {
    std::ofstream file(world.path, std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  }
  std::unique_ptr<CImage> placeholder = LoadPictureBGR(world.widePath);
  std::unique_ptr<CImage> logo = LoadPictureRGBA(world.widePath);
  Check((placeholder == nullptr) == (logo == nullptr), "both loaders agree on whether a file is a picture");
  // A second load gives the same picture: nothing depends on what the heap held.
  std::unique_ptr<CImage> again = LoadPictureRGBA(world.widePath);
  Check((again == nullptr) == (logo == nullptr), "a file decodes the same every time");
  if (placeholder == nullptr) return 0;
  Check(again->Width() == logo->Width() && again->Height() == logo->Height() &&
            cv::norm(again->Mat(), logo->Mat(), cv::NORM_INF) == 0.0,
        "a file decodes to the same pixels every time");
  CheckPicture(*placeholder, 3);
  CheckPicture(*logo, 4);
  // Pictures too large to scale within a fuzz run's time are only loaded.
  if (static_cast<long long>(logo->Width()) * logo->Height() > (1 << 20)) return 0;

  CStreamImages images;
  images.SetPlaceholder(std::move(placeholder));
  images.SetLogo(std::move(logo));
  for (const auto& [width, height] : {std::pair{320, 240}, std::pair{176, 144}}) {
    std::vector<std::uint8_t> frame(static_cast<std::size_t>((width * 3 + 3) & ~3) * height, 0x40);
    Check(images.FillPlaceholder(frame.data(), frame.size(), width, height), "the placeholder fills a frame");
    images.BlendLogo(frame.data(), width, height);
  }
  return 0;
}
