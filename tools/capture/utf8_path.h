// Utf8Path: a file-system path from UTF-8 text (command-line arguments are UTF-8 on both
// systems here), so that names outside ASCII reach the file system unchanged.
#pragma once

#include <filesystem>
#include <string>

inline std::filesystem::path Utf8Path(const std::string& text) {
  return std::filesystem::path(std::u8string(reinterpret_cast<const char8_t*>(text.data()), text.size()));
}
