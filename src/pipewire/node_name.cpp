#include "pipewire/node_name.h"

#include <cstdint>
#include <cstdio>

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
  std::string slug = CameraNameSlug(name);
  bool beyondAscii = false;
  for (const char ch : name) beyondAscii = beyondAscii || static_cast<unsigned char>(ch) >= 0x80;
  if (slug.empty() && beyondAscii) {
    // FNV-1a over the name's bytes: the same name always gives the same node name.
    std::uint32_t hash = 2166136261u;
    for (const char ch : name) hash = (hash ^ static_cast<unsigned char>(ch)) * 16777619u;
    char text[16];
    std::snprintf(text, sizeof text, "u%08x", static_cast<unsigned>(hash));
    slug = text;
  }
  return "amberline-camera." + slug;
}
