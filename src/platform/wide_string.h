// Conversions between the text forms the system meets, and small wide-string helpers.
//
// wchar_t is UTF-16 on Windows and UTF-32 elsewhere; files, environment and paths are
// UTF-8 on Linux; the shared region and the registry's stored bytes are UTF-16LE on
// every system. Every conversion accepts any input: a malformed sequence becomes
// U+FFFD, never a failure or an out-of-bounds read. Stateless and thread-safe.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <string>

namespace platform {

std::wstring Utf8ToWide(const std::string& text);
std::string WideToUtf8(const std::wstring& text);
// units are UTF-16 code units; count is their number (no terminator needed).
std::wstring Utf16ToWide(const char16_t* units, std::size_t count);
std::u16string WideToUtf16(const std::wstring& text);

// Case-insensitive comparison in the manner of the runtime's _wcsicmp: <0, 0, >0.
int CompareNoCase(const wchar_t* a, const wchar_t* b);
inline bool EqualsNoCase(const std::wstring& a, const std::wstring& b) {
  return CompareNoCase(a.c_str(), b.c_str()) == 0;
}

// Copies source into destination (capacity chars, terminator included), cutting what
// does not fit. Nothing is written when capacity is 0.
void CopyTruncated(wchar_t* destination, std::size_t capacity, const wchar_t* source);

// printf-style formatting with the Windows wide-character conventions on every system,
// so that one format string gives the same text everywhere:
//   %s  wide string (const wchar_t*)      %S, %hs  narrow string (const char*, UTF-8)
//   %c  wide character                    %d %i %u %x %X %o  32-bit int
//   %ld %lu %lx %lX  32-bit (DWORD, LONG)  %lld %I64d %I64u %I64x  64-bit
//   %Id %Iu %Ix %zu  pointer-sized         %f %e %g  double     %p  pointer   %%
// Flags, width and precision (also '*') work as in printf. A null string prints
// "(null)". %n is not supported and prints nothing. Callers cast every argument to
// exactly the type its conversion names.
std::wstring FormatV(const wchar_t* format, va_list args);
std::wstring Format(const wchar_t* format, ...);

}  // namespace platform
