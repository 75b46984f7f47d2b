#include "png_writer.h"

#include <fstream>

#include "utf8_path.h"

#define STB_IMAGE_WRITE_IMPLEMENTATION
#define STB_IMAGE_WRITE_STATIC
#define STBI_WRITE_NO_STDIO
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-function"
#endif
#include <stb_image_write.h>
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif

namespace {

void Append(void* context, void* data, int size) {
  auto* out = static_cast<std::vector<unsigned char>*>(context);
  const auto* bytes = static_cast<const unsigned char*>(data);
  out->insert(out->end(), bytes, bytes + size);
}

}  // namespace

std::vector<unsigned char> CPngWriter::Encode(const CRgbPicture& picture) {
  std::vector<unsigned char> out;
  if (picture.Empty()) return out;
  if (!stbi_write_png_to_func(&Append, &out, picture.Width(), picture.Height(), 3, picture.Data(),
                              picture.Width() * 3))
    out.clear();
  return out;
}

bool CPngWriter::Write(const std::string& path, const CRgbPicture& picture) {
  const std::vector<unsigned char> bytes = Encode(picture);
  if (bytes.empty()) return false;
  std::ofstream file(Utf8Path(path), std::ios::binary | std::ios::trunc);
  file.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  file.close();
  return !file.fail();
}
