#include <share.h>
#include <stdio.h>

#include <utility>

#include "platform/append_file.h"
#include "platform/windows_types.h"

CAppendFile::~CAppendFile() { Close(); }

CAppendFile::CAppendFile(CAppendFile&& other) noexcept : m_file(std::exchange(other.m_file, nullptr)) {}

CAppendFile& CAppendFile::operator=(CAppendFile&& other) noexcept {
  if (this != &other) {
    Close();
    m_file = std::exchange(other.m_file, nullptr);
  }
  return *this;
}

bool CAppendFile::Open(const std::wstring& path) {
  Close();
  // Text mode: each "\n" reaches the file as CR LF. Full sharing lets every process
  // that loads the module append to the same file.
  m_file = ::_wfsopen(path.c_str(), L"at", _SH_DENYNO);
  return m_file != nullptr;
}

bool CAppendFile::IsOpen() const { return m_file != nullptr; }

void CAppendFile::Write(const std::wstring& text) {
  if (m_file == nullptr || text.empty()) return;
  FILE* file = static_cast<FILE*>(m_file);
  ::fputws(text.c_str(), file);
  ::fflush(file);
}

void CAppendFile::Close() {
  if (m_file == nullptr) return;
  const DWORD saved = ::GetLastError();
  ::fclose(static_cast<FILE*>(m_file));
  ::SetLastError(saved);
  m_file = nullptr;
}
