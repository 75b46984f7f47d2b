// CStreamInput: where amberline-producer --y4m reads its stream from, a file or standard
// input ("-"), with a CY4mReader over it.
//
// Open opens the input (a file by its UTF-8 name; standard input switched to binary
// mode) and reads the stream's header; a file may be opened again, which starts it from
// its first byte (for --loop). Standard input is read as it comes, once.
// Ownership: owns the file and the reader; the reader's read function refers to them, so
// the reader is replaced together with the file. Not thread-safe.
#pragma once

#include <fstream>
#include <memory>
#include <string>

#include "y4m_reader.h"

class CStreamInput {
 public:
  explicit CStreamInput(std::string name);

  bool IsStandardInput() const { return m_name == "-"; }
  // Opens the input and reads its header; false with *error when it cannot be shown.
  bool Open(std::string* error);
  // The reader of the input opened last (Open must have been called).
  CY4mReader& Reader() { return *m_reader; }

 private:
  std::string m_name;
  std::unique_ptr<std::ifstream> m_file;
  std::unique_ptr<CY4mReader> m_reader;
};
