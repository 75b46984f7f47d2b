#include "platform/wide_string.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cwctype>
#include <string>

namespace platform {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

bool IsScalar(char32_t c) { return c < 0x110000 && (c < 0xD800 || c > 0xDFFF); }

void AppendCodePoint(std::wstring& out, char32_t c) {
  if (!IsScalar(c)) c = kReplacement;
  if constexpr (sizeof(wchar_t) == 2) {
    if (c >= 0x10000) {
      c -= 0x10000;
      out.push_back(static_cast<wchar_t>(0xD800 + (c >> 10)));
      out.push_back(static_cast<wchar_t>(0xDC00 + (c & 0x3FF)));
      return;
    }
  }
  out.push_back(static_cast<wchar_t>(c));
}

// Reads one code point from a wide string (a surrogate pair where wchar_t is 16 bits).
char32_t NextWide(const std::wstring& text, std::size_t& i) {
  char32_t c = static_cast<char32_t>(static_cast<std::make_unsigned_t<wchar_t>>(text[i++]));
  if constexpr (sizeof(wchar_t) == 2) {
    if (c >= 0xD800 && c <= 0xDBFF && i < text.size()) {
      char32_t low = static_cast<char32_t>(static_cast<std::uint16_t>(text[i]));
      if (low >= 0xDC00 && low <= 0xDFFF) {
        ++i;
        return 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
      }
    }
  }
  return IsScalar(c) ? c : kReplacement;
}

void AppendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (c >> 6)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (c >> 12)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (c >> 18)));
    out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

}  // namespace

std::wstring Utf8ToWide(const std::string& text) {
  std::wstring out;
  out.reserve(text.size());
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  std::size_t i = 0;
  while (i < n) {
    unsigned char b = s[i];
    if (b < 0x80) {
      out.push_back(static_cast<wchar_t>(b));
      ++i;
      continue;
    }
    int extra = 0;
    char32_t c = 0;
    char32_t minimum = 0;
    if ((b & 0xE0) == 0xC0) {
      extra = 1; c = b & 0x1F; minimum = 0x80;
    } else if ((b & 0xF0) == 0xE0) {
      extra = 2; c = b & 0x0F; minimum = 0x800;
    } else if ((b & 0xF8) == 0xF0) {
      extra = 3; c = b & 0x07; minimum = 0x10000;
    } else {
      AppendCodePoint(out, kReplacement);
      ++i;
      continue;
    }
    std::size_t j = i + 1;
    bool ok = true;
    for (int k = 0; k < extra; ++k, ++j) {
      if (j >= n || (s[j] & 0xC0) != 0x80) {
        ok = false;
        break;
      }
      c = (c << 6) | (s[j] & 0x3F);
    }
    if (!ok || c < minimum || !IsScalar(c)) {
      // Consume the lead byte and any continuation bytes that were examined.
      AppendCodePoint(out, kReplacement);
      i = ok ? j : (j > i + 1 ? j : i + 1);
      continue;
    }
    AppendCodePoint(out, c);
    i = j;
  }
  return out;
}

std::string WideToUtf8(const std::wstring& text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) AppendUtf8(out, NextWide(text, i));
  return out;
}

std::wstring Utf16ToWide(const char16_t* units, std::size_t count) {
  std::wstring out;
  out.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    char32_t c = units[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < count && units[i + 1] >= 0xDC00 && units[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (static_cast<char32_t>(units[i + 1]) - 0xDC00);
      ++i;
    }
    AppendCodePoint(out, c);
  }
  return out;
}

std::u16string WideToUtf16(const std::wstring& text) {
  std::u16string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    char32_t c = NextWide(text, i);
    if (c >= 0x10000) {
      c -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(c));
    }
  }
  return out;
}

int CompareNoCase(const wchar_t* a, const wchar_t* b) {
  for (;; ++a, ++b) {
    const auto ca = static_cast<std::wint_t>(std::towlower(static_cast<std::wint_t>(*a)));
    const auto cb = static_cast<std::wint_t>(std::towlower(static_cast<std::wint_t>(*b)));
    if (ca != cb) return ca < cb ? -1 : 1;
    if (ca == 0) return 0;
  }
}

void CopyTruncated(wchar_t* destination, std::size_t capacity, const wchar_t* source) {
  if (capacity == 0) return;
  std::size_t i = 0;
  for (; i + 1 < capacity && source[i] != L'\0'; ++i) destination[i] = source[i];
  destination[i] = L'\0';
}

namespace {

enum class Length { kDefault, kShort, kLong32, kLong64, kPointer };

// Formats one numeric or character conversion through the narrow C runtime, whose
// output for these conversions is plain ASCII on every system.
template <typename T>
void AppendNarrow(std::wstring& out, const std::string& narrowFormat, int width, int precision, bool hasWidth,
                  bool hasPrecision, T value) {
  char small[128];
  int n;
  if (hasWidth && hasPrecision)
    n = std::snprintf(small, sizeof small, narrowFormat.c_str(), width, precision, value);
  else if (hasWidth)
    n = std::snprintf(small, sizeof small, narrowFormat.c_str(), width, value);
  else if (hasPrecision)
    n = std::snprintf(small, sizeof small, narrowFormat.c_str(), precision, value);
  else
    n = std::snprintf(small, sizeof small, narrowFormat.c_str(), value);
  if (n < 0) return;
  std::string text;
  if (static_cast<std::size_t>(n) < sizeof small) {
    text.assign(small, static_cast<std::size_t>(n));
  } else {
    text.resize(static_cast<std::size_t>(n) + 1);
    if (hasWidth && hasPrecision)
      std::snprintf(text.data(), text.size(), narrowFormat.c_str(), width, precision, value);
    else if (hasWidth)
      std::snprintf(text.data(), text.size(), narrowFormat.c_str(), width, value);
    else if (hasPrecision)
      std::snprintf(text.data(), text.size(), narrowFormat.c_str(), precision, value);
    else
      std::snprintf(text.data(), text.size(), narrowFormat.c_str(), value);
    text.resize(static_cast<std::size_t>(n));
  }
  out.append(text.begin(), text.end());
}

void AppendPadded(std::wstring& out, std::wstring text, bool leftAlign, int width, bool hasPrecision,
                  int precision) {
  if (hasPrecision && precision >= 0 && text.size() > static_cast<std::size_t>(precision))
    text.resize(static_cast<std::size_t>(precision));
  const std::size_t pad = width > 0 && static_cast<std::size_t>(width) > text.size()
                              ? static_cast<std::size_t>(width) - text.size()
                              : 0;
  if (!leftAlign) out.append(pad, L' ');
  out += text;
  if (leftAlign) out.append(pad, L' ');
}

}  // namespace

std::wstring FormatV(const wchar_t* format, va_list args) {
  std::wstring out;
  if (format == nullptr) return out;
  va_list ap;
  va_copy(ap, args);
  const wchar_t* p = format;
  while (*p != L'\0') {
    if (*p != L'%') {
      out.push_back(*p++);
      continue;
    }
    const wchar_t* start = p++;
    if (*p == L'%') {
      out.push_back(L'%');
      ++p;
      continue;
    }
    std::string flags;
    while (*p == L'-' || *p == L'+' || *p == L' ' || *p == L'#' || *p == L'0') flags.push_back(static_cast<char>(*p++));
    bool hasWidth = false, hasPrecision = false;
    int width = 0, precision = 0;
    std::string widthText, precisionText;
    if (*p == L'*') {
      hasWidth = true;
      width = va_arg(ap, int);
      ++p;
    } else {
      while (*p >= L'0' && *p <= L'9') widthText.push_back(static_cast<char>(*p++));
    }
    if (*p == L'.') {
      ++p;
      if (*p == L'*') {
        hasPrecision = true;
        precision = va_arg(ap, int);
        ++p;
      } else {
        precisionText = ".";
        while (*p >= L'0' && *p <= L'9') precisionText.push_back(static_cast<char>(*p++));
        if (precisionText == ".") precisionText = ".0";
      }
    }
    Length length = Length::kDefault;
    bool narrowString = false;
    if (*p == L'h') {
      ++p;
      if (*p == L'h') ++p;
      length = Length::kShort;
      narrowString = true;
    } else if (*p == L'l') {
      ++p;
      length = Length::kLong32;
      if (*p == L'l') {
        ++p;
        length = Length::kLong64;
      }
    } else if (p[0] == L'I' && p[1] == L'6' && p[2] == L'4') {
      p += 3;
      length = Length::kLong64;
    } else if (p[0] == L'I' && p[1] == L'3' && p[2] == L'2') {
      p += 3;
      length = Length::kLong32;
    } else if (*p == L'I' || *p == L'z' || *p == L't' || *p == L'j') {
      length = *p == L'j' ? Length::kLong64 : Length::kPointer;
      ++p;
    }
    const wchar_t conversion = *p;
    if (conversion == L'\0') {
      // A lone '%' at the end: keep the text as written.
      out.append(start, p);
      break;
    }
    ++p;
    // Width and precision given as numbers are part of the narrow narrowFormat; '*' ones are
    // passed as arguments.
    std::string narrowFormat = "%" + flags + (hasWidth ? std::string("*") : widthText) +
                       (hasPrecision ? std::string(".*") : precisionText);
    const int staticWidth = widthText.empty() ? 0 : std::atoi(widthText.c_str());
    const int effectiveWidth = hasWidth ? width : staticWidth;
    const bool leftAlign = flags.find('-') != std::string::npos || effectiveWidth < 0;
    const int absWidth = effectiveWidth < 0 ? -effectiveWidth : effectiveWidth;
    const bool anyPrecision = hasPrecision || !precisionText.empty();
    const int effectivePrecision = hasPrecision ? precision : (precisionText.empty() ? -1 : std::atoi(precisionText.c_str() + 1));
    switch (conversion) {
      case L'd':
      case L'i':
      case L'u':
      case L'x':
      case L'X':
      case L'o': {
        const bool isSigned = conversion == L'd' || conversion == L'i';
        const char c = static_cast<char>(conversion);
        switch (length) {
          case Length::kLong64:
          case Length::kPointer: {
            const bool wide64 = length == Length::kLong64 || sizeof(void*) == 8;
            if (wide64) {
              if (isSigned) AppendNarrow(out, narrowFormat + "ll" + c, width, precision, hasWidth, hasPrecision, static_cast<long long>(length == Length::kLong64 ? va_arg(ap, long long) : static_cast<long long>(va_arg(ap, std::intptr_t))));
              else AppendNarrow(out, narrowFormat + "ll" + c, width, precision, hasWidth, hasPrecision, static_cast<unsigned long long>(length == Length::kLong64 ? va_arg(ap, unsigned long long) : static_cast<unsigned long long>(va_arg(ap, std::uintptr_t))));
            } else {
              if (isSigned) AppendNarrow(out, narrowFormat + c, width, precision, hasWidth, hasPrecision, va_arg(ap, int));
              else AppendNarrow(out, narrowFormat + c, width, precision, hasWidth, hasPrecision, va_arg(ap, unsigned int));
            }
            break;
          }
          case Length::kShort:
            if (isSigned) AppendNarrow(out, narrowFormat + c, width, precision, hasWidth, hasPrecision, static_cast<int>(static_cast<short>(va_arg(ap, int))));
            else AppendNarrow(out, narrowFormat + c, width, precision, hasWidth, hasPrecision, static_cast<unsigned int>(static_cast<unsigned short>(va_arg(ap, unsigned int))));
            break;
          default:
            // int, and 'l' which is 32 bits as on Windows.
            if (isSigned) AppendNarrow(out, narrowFormat + c, width, precision, hasWidth, hasPrecision, static_cast<std::int32_t>(va_arg(ap, int)));
            else AppendNarrow(out, narrowFormat + c, width, precision, hasWidth, hasPrecision, static_cast<std::uint32_t>(va_arg(ap, unsigned int)));
            break;
        }
        break;
      }
      case L'f':
      case L'F':
      case L'e':
      case L'E':
      case L'g':
      case L'G':
      case L'a':
      case L'A':
        AppendNarrow(out, narrowFormat + static_cast<char>(conversion), width, precision, hasWidth, hasPrecision, va_arg(ap, double));
        break;
      case L'p':
        AppendNarrow(out, narrowFormat + "p", width, precision, hasWidth, hasPrecision, va_arg(ap, void*));
        break;
      case L'c':
      case L'C': {
        const int value = va_arg(ap, int);
        std::wstring text;
        if (narrowString || conversion == L'C') text.push_back(static_cast<wchar_t>(static_cast<unsigned char>(value)));
        else text.push_back(static_cast<wchar_t>(value));
        AppendPadded(out, text, leftAlign, absWidth, false, 0);
        break;
      }
      case L's':
      case L'S': {
        const bool narrow = conversion == L'S' ? length != Length::kLong32 : narrowString;
        std::wstring text;
        if (narrow) {
          const char* s = va_arg(ap, const char*);
          text = s != nullptr ? Utf8ToWide(s) : std::wstring(L"(null)");
        } else {
          const wchar_t* s = va_arg(ap, const wchar_t*);
          text = s != nullptr ? std::wstring(s) : std::wstring(L"(null)");
        }
        AppendPadded(out, std::move(text), leftAlign, absWidth, anyPrecision, effectivePrecision);
        break;
      }
      case L'n':
        (void)va_arg(ap, void*);
        break;
      default:
        // Unknown conversion: written as it stands, consuming no argument.
        out.append(start, p);
        break;
    }
  }
  va_end(ap);
  return out;
}

std::wstring Format(const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  std::wstring text = FormatV(format, args);
  va_end(args);
  return text;
}

}  // namespace platform
