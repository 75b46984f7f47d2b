#include "pipewire/node_name.h"

namespace {

bool IsAsciiAlnum(unsigned char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

char AsciiLower(unsigned char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : static_cast<char>(c);
}

}  // namespace

std::string CameraNameSlug(const std::string& name) {
  std::string slug;
  slug.reserve(name.size());
  bool pendingDash = false;
  for (const char ch : name) {
    const unsigned char c = static_cast<unsigned char>(ch);
    if (!IsAsciiAlnum(c)) {
      pendingDash = !slug.empty();
      continue;
    }
    if (pendingDash) {
      slug.push_back('-');
      pendingDash = false;
    }
    slug.push_back(AsciiLower(c));
  }
  return slug;
}

std::string CameraNodeName(const std::string& name) {
  return "amberline-camera." + CameraNameSlug(name);
}
