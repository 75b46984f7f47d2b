#include "stream_input.h"

#include <cstdio>
#include <filesystem>
#include <utility>

#include "platform/binary_stdin.h"

CStreamInput::CStreamInput(std::string name) : m_name(std::move(name)) {}

bool CStreamInput::Open(std::string* error) {
  CY4mReader::ReadFunction read;
  if (IsStandardInput()) {
    platform::UseBinaryStandardInput();
    read = [](std::uint8_t* buffer, std::size_t size) { return std::fread(buffer, 1, size, stdin); };
  } else {
    m_reader.reset();
    const std::u8string utf8(reinterpret_cast<const char8_t*>(m_name.data()), m_name.size());
    m_file = std::make_unique<std::ifstream>(std::filesystem::path(utf8), std::ios::binary);
    if (!*m_file) {
      *error = "cannot open the file";
      return false;
    }
    std::ifstream* file = m_file.get();
    read = [file](std::uint8_t* buffer, std::size_t size) {
      file->read(reinterpret_cast<char*>(buffer), static_cast<std::streamsize>(size));
      return static_cast<std::size_t>(file->gcount());
    };
  }
  m_reader = std::make_unique<CY4mReader>(std::move(read));
  return m_reader->ReadHeader(error);
}
