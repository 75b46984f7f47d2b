#include "platform/registry_hive.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <utility>

#include "platform/wide_string.h"

namespace {

constexpr wchar_t kHeaderVersion5[] = L"Windows Registry Editor Version 5.00";
constexpr wchar_t kHeaderVersion4[] = L"REGEDIT4";
// Hex data lines are wrapped once they pass this width, as the registry editor does.
constexpr std::size_t kHexLineWidth = 76;

bool IsBlank(wchar_t c) { return c == L' ' || c == L'\t'; }

bool IsScalar(wchar_t c) {
  const auto value = static_cast<std::uint32_t>(c);
  return value < 0x110000u && (value < 0xD800u || value > 0xDFFFu);
}

bool IsNameChar(wchar_t c) { return c != L'\0' && c != L'\r' && c != L'\n' && IsScalar(c); }

std::wstring Trim(const std::wstring& text) {
  std::size_t begin = 0;
  std::size_t end = text.size();
  while (begin < end && IsBlank(text[begin])) ++begin;
  while (end > begin && IsBlank(text[end - 1])) --end;
  return text.substr(begin, end - begin);
}

int HexDigit(wchar_t c) {
  if (c >= L'0' && c <= L'9') return c - L'0';
  if (c >= L'a' && c <= L'f') return c - L'a' + 10;
  if (c >= L'A' && c <= L'F') return c - L'A' + 10;
  return -1;
}

bool StartsWithNoCase(const std::wstring& text, const wchar_t* prefix) {
  const std::size_t length = std::wcslen(prefix);
  if (text.size() < length) return false;
  return platform::CompareNoCase(text.substr(0, length).c_str(), prefix) == 0;
}

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF. Returns the
// offset of the first byte that breaks the rule, or size when there is none.
std::size_t Utf8ValidPrefix(const unsigned char* bytes, std::size_t size, bool allowNul) {
  std::size_t i = 0;
  while (i < size) {
    const unsigned char lead = bytes[i];
    if (lead == 0) {
      if (!allowNul) return i;
      ++i;
      continue;
    }
    if (lead < 0x80) {
      ++i;
      continue;
    }
    std::size_t length = 0;
    char32_t code = 0;
    char32_t minimum = 0;
    if ((lead & 0xE0) == 0xC0) {
      length = 2, code = lead & 0x1F, minimum = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
      length = 3, code = lead & 0x0F, minimum = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
      length = 4, code = lead & 0x07, minimum = 0x10000;
    } else {
      return i;
    }
    if (size - i < length) return i;
    for (std::size_t k = 1; k < length; ++k) {
      const unsigned char next = bytes[i + k];
      if ((next & 0xC0) != 0x80) return i;
      code = (code << 6) | (next & 0x3F);
    }
    if (code < minimum || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return i;
    i += length;
  }
  return size;
}

bool IsValidUtf8(const unsigned char* bytes, std::size_t size, bool allowNul) {
  return Utf8ValidPrefix(bytes, size, allowNul) == size;
}

char16_t Unit16(const unsigned char* bytes) {
  return static_cast<char16_t>(bytes[0] | (bytes[1] << 8));
}

std::vector<BYTE> ToUtf16LeBytes(const std::wstring& text, bool terminate) {
  const std::u16string units = platform::WideToUtf16(text);
  std::vector<BYTE> bytes;
  bytes.reserve(2 * (units.size() + 1));
  for (const char16_t unit : units) {
    bytes.push_back(static_cast<BYTE>(unit & 0xFF));
    bytes.push_back(static_cast<BYTE>(unit >> 8));
  }
  if (terminate) bytes.insert(bytes.end(), 2, 0);
  return bytes;
}

// The text of REG_SZ data that can be written as "..." and read back to the same bytes:
// terminated, no NUL before the end, no line breaks, every surrogate paired.
bool TextForm(const std::vector<BYTE>& data, std::wstring* text) {
  if (data.size() < 2 || data.size() % 2 != 0) return false;
  const std::size_t count = data.size() / 2 - 1;
  if (Unit16(data.data() + 2 * count) != 0) return false;
  std::u16string units(count, u'\0');
  for (std::size_t i = 0; i < count; ++i) {
    units[i] = Unit16(data.data() + 2 * i);
    if (units[i] == 0 || units[i] == u'\r' || units[i] == u'\n') return false;
  }
  for (std::size_t i = 0; i < count; ++i) {
    if (units[i] >= 0xD800 && units[i] <= 0xDBFF) {
      if (i + 1 >= count || units[i + 1] < 0xDC00 || units[i + 1] > 0xDFFF) return false;
      ++i;
    } else if (units[i] >= 0xDC00 && units[i] <= 0xDFFF) {
      return false;
    }
  }
  *text = platform::Utf16ToWide(units.data(), units.size());
  return true;
}

std::string Quoted(const std::wstring& text) {
  std::wstring escaped;
  escaped.reserve(text.size() + 2);
  escaped += L'"';
  for (const wchar_t c : text) {
    if (c == L'\\' || c == L'"') escaped += L'\\';
    escaped += c;
  }
  escaped += L'"';
  return platform::WideToUtf8(escaped);
}

// Reads a "..." string starting at *position (which holds the opening quote); the only
// escapes are a doubled backslash and a backslash before a quote. *position ends after
// the closing quote.
bool ReadQuoted(const std::wstring& text, std::size_t* position, std::wstring* out) {
  std::size_t i = *position;
  if (i >= text.size() || text[i] != L'"') return false;
  ++i;
  out->clear();
  while (i < text.size()) {
    const wchar_t c = text[i];
    if (c == L'"') {
      *position = i + 1;
      return true;
    }
    if (c == L'\\') {
      if (i + 1 >= text.size() || (text[i + 1] != L'\\' && text[i + 1] != L'"')) return false;
      *out += text[i + 1];
      i += 2;
      continue;
    }
    *out += c;
    ++i;
  }
  return false;
}

// Comma-separated bytes of one or two hex digits; the empty text is no bytes.
bool ParseHexBytes(const std::wstring& text, std::size_t position, std::vector<BYTE>* bytes) {
  std::size_t i = position;
  while (i < text.size() && IsBlank(text[i])) ++i;
  if (i == text.size()) return true;
  for (;;) {
    while (i < text.size() && IsBlank(text[i])) ++i;
    if (i >= text.size() || HexDigit(text[i]) < 0) return false;
    int value = HexDigit(text[i++]);
    if (i < text.size() && HexDigit(text[i]) >= 0) value = value * 16 + HexDigit(text[i++]);
    if (bytes->size() >= CRegistryHive::kMaxValueBytes) return false;
    bytes->push_back(static_cast<BYTE>(value));
    while (i < text.size() && IsBlank(text[i])) ++i;
    if (i == text.size()) return true;
    if (text[i] != L',') return false;
    ++i;
  }
}

bool IsHexContinuation(const std::wstring& line) {
  if (line.empty()) return false;
  for (const wchar_t c : line)
    if (HexDigit(c) < 0 && c != L',' && c != L'\\' && !IsBlank(c)) return false;
  return true;
}

}  // namespace

// ---------------------------------------------------------------------------------
// Keys

bool CRegistryHive::NoCaseLess::operator()(const std::wstring& a, const std::wstring& b) const {
  return platform::CompareNoCase(a.c_str(), b.c_str()) < 0;
}

CRegistryHive::Key::Key(const Key& other) : m_values(other.m_values) {
  for (const auto& [name, key] : other.m_subkeys) m_subkeys.emplace(name, std::make_unique<Key>(*key));
  for (auto it = m_values.begin(); it != m_values.end(); ++it) m_valueIndex.emplace(it->name, it);
}

const std::wstring* CRegistryHive::Key::SubkeyNameAt(std::size_t index) const {
  if (index >= m_subkeys.size()) return nullptr;
  return &std::next(m_subkeys.begin(), static_cast<std::ptrdiff_t>(index))->first;
}

const CRegistryHive::Value* CRegistryHive::Key::ValueAt(std::size_t index) const {
  if (index >= m_values.size()) return nullptr;
  return &*std::next(m_values.begin(), static_cast<std::ptrdiff_t>(index));
}

const CRegistryHive::Key* CRegistryHive::Key::FindSubkey(const std::wstring& name) const {
  const auto it = m_subkeys.find(name);
  return it == m_subkeys.end() ? nullptr : it->second.get();
}

const CRegistryHive::Value* CRegistryHive::Key::FindValue(const std::wstring& name) const {
  const auto it = m_valueIndex.find(name);
  return it == m_valueIndex.end() ? nullptr : &*it->second;
}

CRegistryHive::Key* CRegistryHive::Key::FindOrAddSubkey(const std::wstring& name, bool* added) {
  auto it = m_subkeys.find(name);
  *added = it == m_subkeys.end();
  if (*added) it = m_subkeys.emplace(name, std::make_unique<Key>()).first;
  return it->second.get();
}

bool CRegistryHive::Key::SetValue(const std::wstring& name, DWORD type, std::vector<BYTE>&& data) {
  const auto found = m_valueIndex.find(name);
  if (found != m_valueIndex.end()) {
    Value& value = *found->second;
    if (value.type == type && value.data == data) return false;
    value.type = type;
    value.data = std::move(data);
    return true;
  }
  m_values.push_back(Value{name, type, std::move(data)});
  m_valueIndex.emplace(name, std::prev(m_values.end()));
  return true;
}

bool CRegistryHive::Key::DeleteValue(const std::wstring& name) {
  const auto found = m_valueIndex.find(name);
  if (found == m_valueIndex.end()) return false;
  m_values.erase(found->second);
  m_valueIndex.erase(found);
  return true;
}

void CRegistryHive::Key::Clear() {
  m_subkeys.clear();
  m_valueIndex.clear();
  m_values.clear();
}

// ---------------------------------------------------------------------------------
// Parsing

class CRegistryHive::CParser {
 public:
  CParser(CRegistryHive& hive, const char* bytes, std::size_t size)
      : m_hive(hive), m_bytes(reinterpret_cast<const unsigned char*>(bytes)), m_size(size) {}

  void Run() {
    if (m_size > kMaxFileBytes) return Malformed(0, "the file is larger than 64 MiB");
    if (m_size >= 2 && m_bytes[0] == 0xFF && m_bytes[1] == 0xFE) {
      m_order = Order::kLittleEndian;
    } else if (m_size >= 2 && m_bytes[0] == 0xFE && m_bytes[1] == 0xFF) {
      m_order = Order::kBigEndian;
    }
    if (m_order != Order::kUtf8) {
      m_position = 2;
      if (!CheckUtf16()) return;
    } else {
      if (m_size >= 3 && m_bytes[0] == 0xEF && m_bytes[1] == 0xBB && m_bytes[2] == 0xBF) m_position = 3;
      if (!CheckUtf8()) return;
    }

    std::wstring line;
    bool overlong = false;
    for (;;) {
      // A text of blank lines only holds nothing that a write could lose.
      if (!NextLine(&line, &overlong)) return;
      if (overlong) continue;
      const std::wstring trimmed = Trim(line);
      if (trimmed.empty()) continue;
      if (trimmed == kHeaderVersion5) break;
      if (trimmed == kHeaderVersion4) {
        m_regedit4 = true;
        break;
      }
      return Malformed("the first line is not \"Windows Registry Editor Version 5.00\" (nor \"REGEDIT4\")");
    }
    while (NextLine(&line, &overlong))
      if (!overlong) ParseLine(Trim(line));
  }

 private:
  enum class Order { kUtf8, kLittleEndian, kBigEndian };

  void Malformed() { m_hive.m_clean = false; }
  // Marks the text and keeps the first problem met, on the current line or the one given.
  void Malformed(const char* what) { Malformed(m_line, what); }
  void Malformed(std::size_t line, const char* what) {
    if (m_hive.m_clean) {
      m_hive.m_problemLine = line;
      m_hive.m_problem = what;
    }
    Malformed();
  }

  char16_t UnitAt(std::size_t offset) const {
    return m_order == Order::kBigEndian ? static_cast<char16_t>((m_bytes[offset] << 8) | m_bytes[offset + 1])
                                        : Unit16(m_bytes + offset);
  }

  // UTF-16 in the mark's byte order, without NUL units, every surrogate paired, whole.
  bool CheckUtf16() {
    std::size_t line = 1;
    const std::size_t end = m_position + (m_size - m_position) / 2 * 2;
    for (std::size_t i = m_position; i < end; i += 2) {
      const char16_t unit = UnitAt(i);
      if (unit == u'\n') ++line;
      if (unit == 0) {
        Malformed(line, "a NUL character");
        return false;
      }
      if (unit >= 0xD800 && unit <= 0xDBFF) {
        if (i + 2 >= end || UnitAt(i + 2) < 0xDC00 || UnitAt(i + 2) > 0xDFFF) {
          Malformed(line, "a UTF-16 surrogate without its pair");
          return false;
        }
        i += 2;
      } else if (unit >= 0xDC00 && unit <= 0xDFFF) {
        Malformed(line, "a UTF-16 surrogate without its pair");
        return false;
      }
    }
    if (end != m_size) {
      Malformed(line, "UTF-16 text that ends in half a character (an odd number of bytes)");
      return false;
    }
    return true;
  }

  // Also refuses UTF-16 without its mark (NUL bytes).
  bool CheckUtf8() {
    const std::size_t valid = Utf8ValidPrefix(m_bytes + m_position, m_size - m_position, false);
    if (m_position + valid == m_size) return true;
    const std::size_t bad = m_position + valid;
    const std::size_t line = 1 + static_cast<std::size_t>(std::count(m_bytes + m_position, m_bytes + bad, '\n'));
    Malformed(line, m_bytes[bad] == 0 ? "a NUL byte (UTF-16 text needs its byte-order mark)"
                                      : "bytes that are not UTF-8 text");
    return false;
  }

  // The next physical line without its line end; false at the end of the text. A line
  // longer than kMaxLineBytes is not decoded: *overlong is set and the text is marked.
  bool NextLine(std::wstring* line, bool* overlong) {
    *overlong = false;
    if (m_havePending) {
      m_havePending = false;
      *line = std::move(m_pending);
      return true;
    }
    if (m_position >= m_size) return false;
    ++m_line;
    const bool utf16 = m_order != Order::kUtf8;
    std::size_t end = m_position;
    std::size_t next = m_size;
    if (!utf16) {
      const void* newline = std::memchr(m_bytes + m_position, '\n', m_size - m_position);
      end = newline != nullptr ? static_cast<std::size_t>(static_cast<const unsigned char*>(newline) - m_bytes) : m_size;
      next = newline != nullptr ? end + 1 : m_size;
    } else {
      while (end + 1 < m_size && UnitAt(end) != u'\n') end += 2;
      next = end + 1 < m_size ? end + 2 : m_size;
    }
    const std::size_t unit = utf16 ? 2 : 1;
    std::size_t length = end - m_position;
    if (length >= unit && (utf16 ? UnitAt(end - 2) == u'\r' : m_bytes[end - 1] == '\r')) length -= unit;
    const std::size_t start = m_position;
    m_position = next;
    if (length > kMaxLineBytes) {
      *overlong = true;
      line->clear();
      Malformed("a line longer than 8 MiB");
      return true;
    }
    if (!utf16) {
      *line = platform::Utf8ToWide(std::string(reinterpret_cast<const char*>(m_bytes + start), length));
    } else {
      std::u16string units(length / 2, u'\0');
      for (std::size_t i = 0; i < units.size(); ++i) units[i] = UnitAt(start + 2 * i);
      *line = platform::Utf16ToWide(units.data(), units.size());
    }
    return true;
  }

  void PushBack(std::wstring line) {
    m_pending = std::move(line);
    m_havePending = true;
  }

  void ParseLine(const std::wstring& line) {
    if (line.empty() || line[0] == L';') return;
    if (line[0] == L'[') return ParseSection(line);
    if (line[0] == L'@' || line[0] == L'"') return ParseValue(line);
    Malformed("a line that is not a [section], a value, a comment or blank");
  }

  void ParseSection(const std::wstring& line) {
    m_state = State::Skipping;
    m_key = nullptr;
    if (line.back() != L']') return Malformed("a section line that does not end in ']'");
    std::wstring inner = line.substr(1, line.size() - 2);
    const bool deletion = !inner.empty() && inner[0] == L'-';
    if (deletion) inner.erase(0, 1);

    KeyPath parts;
    for (std::size_t start = 0;;) {
      const std::size_t separator = inner.find(L'\\', start);
      parts.push_back(inner.substr(start, separator == std::wstring::npos ? std::wstring::npos : separator - start));
      if (separator == std::wstring::npos) break;
      start = separator + 1;
      if (parts.size() > kMaxDepth + 1) return Malformed("a key nested deeper than 512 levels");
    }
    // Another root's section is not read; writing the text back would lose it, so the
    // text is marked just as for a malformed line.
    if (!platform::EqualsNoCase(parts[0], m_hive.m_rootName))
      return Malformed("a section that does not belong to this file's root");
    parts.erase(parts.begin());
    if (!IsValidKeyPath(parts)) return Malformed("a key name that is empty, too long or too deep");
    if (deletion) {
      if (parts.empty()) return Malformed("a deletion of the whole root");
      m_hive.DeleteKey(parts);
      return;
    }
    std::size_t missing = 0;
    const Key* key = m_hive.m_root.get();
    for (const auto& part : parts) {
      key = key != nullptr ? key->FindSubkey(part) : nullptr;
      if (key == nullptr) ++missing;
    }
    if (m_keysBuilt + missing > kMaxKeys) return Malformed("more keys than a file may hold");
    m_keysBuilt += m_hive.CreateKey(parts);
    m_key = m_hive.FindKeyForWrite(parts);
    m_state = State::InKey;
  }

  void ParseValue(const std::wstring& line) {
    // Data continued on later lines are reported on the line that starts the value.
    const std::size_t first = m_line;
    std::size_t position = 0;
    std::wstring name;
    if (line[0] == L'@') {
      position = 1;
    } else if (!ReadQuoted(line, &position, &name)) {
      return Malformed("a value name without its closing quote, or with an escape other than \\\\ or \\\"");
    }
    while (position < line.size() && IsBlank(line[position])) ++position;
    if (position >= line.size() || line[position] != L'=') return Malformed("a value without '=' after its name");
    ++position;
    while (position < line.size() && IsBlank(line[position])) ++position;
    std::wstring data = line.substr(position);
    if (StartsWithNoCase(data, L"hex") && !JoinContinuations(&data))
      return Malformed(first, "hex data that end in '\\' without a line of hex data after them");
    if (m_state != State::InKey)
      return Malformed(first, m_state == State::BeforeFirstSection ? "a value before the first section"
                                                                   : "a value under a section that was not read");
    if (!IsValidValueName(name)) return Malformed(first, "a value name longer than 16383 characters");

    if (data == L"-") {
      m_key->DeleteValue(name);
      return;
    }
    DWORD type = REG_NONE;
    std::vector<BYTE> bytes;
    if (const char* problem = ParseData(data, &type, &bytes)) return Malformed(first, problem);
    if (m_key->FindValue(name) == nullptr) {
      if (m_valuesBuilt >= kMaxValues) return Malformed(first, "more values than a file may hold");
      ++m_valuesBuilt;
    }
    m_key->SetValue(name, type, std::move(bytes));
  }

  // Appends the lines that continue hex data after a trailing '\'. A line that cannot
  // be hex data (a truncated value followed by a section, say) is left to be read on
  // its own, and the value is malformed.
  bool JoinContinuations(std::wstring* data) {
    while (!data->empty() && data->back() == L'\\') {
      data->pop_back();
      std::wstring next;
      bool overlong = false;
      if (!NextLine(&next, &overlong) || overlong) return false;
      std::wstring trimmed = Trim(next);
      if (!IsHexContinuation(trimmed)) {
        PushBack(std::move(next));
        return false;
      }
      if (data->size() + trimmed.size() > kMaxLineBytes) return false;
      *data += trimmed;
    }
    return true;
  }

  // Null when the data were read into *type and *bytes, else what is wrong with them.
  const char* ParseData(const std::wstring& data, DWORD* type, std::vector<BYTE>* bytes) {
    static constexpr char kTooLarge[] = "value data larger than 1 MiB";
    if (!data.empty() && data[0] == L'"') {
      std::size_t position = 0;
      std::wstring text;
      if (!ReadQuoted(data, &position, &text)) return "text data without its closing quote, or with an escape other than \\\\ or \\\"";
      if (position != data.size()) return "something after the closing quote of text data";
      *bytes = ToUtf16LeBytes(text, true);
      *type = REG_SZ;
      return bytes->size() <= kMaxValueBytes ? nullptr : kTooLarge;
    }
    if (StartsWithNoCase(data, L"dword:")) {
      static constexpr char kBadDword[] = "dword data that are not 1 to 8 hex digits";
      const std::wstring digits = data.substr(6);
      if (digits.empty() || digits.size() > 8) return kBadDword;
      std::uint32_t value = 0;
      for (const wchar_t c : digits) {
        if (HexDigit(c) < 0) return kBadDword;
        value = value * 16 + static_cast<std::uint32_t>(HexDigit(c));
      }
      *type = REG_DWORD;
      *bytes = {static_cast<BYTE>(value), static_cast<BYTE>(value >> 8), static_cast<BYTE>(value >> 16),
                static_cast<BYTE>(value >> 24)};
      return nullptr;
    }
    if (!StartsWithNoCase(data, L"hex")) return "value data that are not \"text\", dword:, hex: or -";
    std::size_t position = 3;
    *type = REG_BINARY;
    if (position < data.size() && data[position] == L'(') {
      ++position;
      std::uint32_t value = 0;
      std::size_t digits = 0;
      for (; position < data.size() && HexDigit(data[position]) >= 0; ++position, ++digits)
        value = value * 16 + static_cast<std::uint32_t>(HexDigit(data[position]));
      if (digits == 0 || digits > 8 || position >= data.size() || data[position] != L')')
        return "a hex(type) whose type is not 1 to 8 hex digits";
      ++position;
      *type = value;
    }
    if (position >= data.size() || data[position] != L':') return "value data that are not \"text\", dword:, hex: or -";
    if (!ParseHexBytes(data, position + 1, bytes))
      return bytes->size() >= kMaxValueBytes ? kTooLarge : "hex data that are not bytes (one or two hex digits) between commas";
    if (m_regedit4 && (*type == REG_EXPAND_SZ || *type == REG_MULTI_SZ)) {
      // The older format keeps these as 8-bit text; the registry holds them as UTF-16LE.
      if (!IsValidUtf8(bytes->data(), bytes->size(), true)) return "text data whose bytes are not UTF-8";
      const std::wstring text = platform::Utf8ToWide(std::string(bytes->begin(), bytes->end()));
      *bytes = ToUtf16LeBytes(text, false);
      if (bytes->size() > kMaxValueBytes) return kTooLarge;
    }
    return nullptr;
  }

  CRegistryHive& m_hive;
  const unsigned char* m_bytes;
  std::size_t m_size;
  std::size_t m_position = 0;
  Order m_order = Order::kUtf8;
  std::size_t m_line = 0;  // the physical line last read, counted from 1
  bool m_regedit4 = false;
  enum class State { BeforeFirstSection, InKey, Skipping };
  State m_state = State::BeforeFirstSection;
  Key* m_key = nullptr;  // the key of the current section (State::InKey)
  std::size_t m_keysBuilt = 0;
  std::size_t m_valuesBuilt = 0;
  bool m_havePending = false;
  std::wstring m_pending;
};

// ---------------------------------------------------------------------------------
// The hive

CRegistryHive::CRegistryHive(std::wstring rootName)
    : m_rootName(std::move(rootName)), m_root(std::make_unique<Key>()) {}

CRegistryHive::CRegistryHive(const CRegistryHive& other)
    : m_rootName(other.m_rootName),
      m_root(std::make_unique<Key>(*other.m_root)),
      m_clean(other.m_clean),
      m_problemLine(other.m_problemLine),
      m_problem(other.m_problem) {}

CRegistryHive& CRegistryHive::operator=(const CRegistryHive& other) {
  if (this != &other) {
    CRegistryHive copy(other);
    *this = std::move(copy);
  }
  return *this;
}

CRegistryHive::~CRegistryHive() = default;

CRegistryHive CRegistryHive::Parse(const std::wstring& rootName, const char* bytes, std::size_t size) {
  CRegistryHive hive(rootName);
  CParser(hive, bytes, size).Run();
  return hive;
}

CRegistryHive CRegistryHive::Unparsable(const std::wstring& rootName, std::string problem) {
  CRegistryHive hive(rootName);
  hive.m_clean = false;
  hive.m_problem = std::move(problem);
  return hive;
}

bool CRegistryHive::IsValidKeyName(const std::wstring& name) {
  if (name.empty() || name.size() > kMaxKeyNameChars) return false;
  for (const wchar_t c : name)
    if (c == L'\\' || !IsNameChar(c)) return false;
  return true;
}

bool CRegistryHive::IsValidValueName(const std::wstring& name) {
  if (name.size() > kMaxValueNameChars) return false;
  for (const wchar_t c : name)
    if (!IsNameChar(c)) return false;
  return true;
}

bool CRegistryHive::IsValidKeyPath(const KeyPath& path) {
  if (path.size() > kMaxDepth) return false;
  for (const auto& name : path)
    if (!IsValidKeyName(name)) return false;
  return true;
}

const CRegistryHive::Key* CRegistryHive::FindKey(const KeyPath& path) const {
  const Key* key = m_root.get();
  for (const auto& name : path) {
    key = key->FindSubkey(name);
    if (key == nullptr) return nullptr;
  }
  return key;
}

CRegistryHive::Key* CRegistryHive::FindKeyForWrite(const KeyPath& path) {
  return const_cast<Key*>(FindKey(path));
}

std::size_t CRegistryHive::CreateKey(const KeyPath& path) {
  std::size_t created = 0;
  Key* key = m_root.get();
  for (const auto& name : path) {
    bool added = false;
    key = key->FindOrAddSubkey(name, &added);
    if (added) ++created;
  }
  return created;
}

bool CRegistryHive::DeleteKey(const KeyPath& path) {
  if (path.empty()) return false;
  Key* parent = FindKeyForWrite(KeyPath(path.begin(), path.end() - 1));
  if (parent == nullptr) return false;
  return parent->m_subkeys.erase(path.back()) != 0;
}

bool CRegistryHive::ClearKey(const KeyPath& path) {
  Key* key = FindKeyForWrite(path);
  if (key == nullptr) return false;
  key->Clear();
  return true;
}

bool CRegistryHive::SetValue(const KeyPath& path, const std::wstring& name, DWORD type, std::vector<BYTE> data) {
  Key* key = FindKeyForWrite(path);
  return key != nullptr && key->SetValue(name, type, std::move(data));
}

bool CRegistryHive::DeleteValue(const KeyPath& path, const std::wstring& name) {
  Key* key = FindKeyForWrite(path);
  return key != nullptr && key->DeleteValue(name);
}

// ---------------------------------------------------------------------------------
// Writing

namespace {

void AppendValue(const CRegistryHive::Value& value, std::string* out) {
  std::string line = value.name.empty() ? std::string("@") : Quoted(value.name);
  line += '=';
  std::wstring text;
  if (value.type == REG_SZ && TextForm(value.data, &text)) {
    *out += line + Quoted(text) + "\n";
    return;
  }
  char number[32];
  if (value.type == REG_DWORD && value.data.size() == 4) {
    const std::uint32_t dword = static_cast<std::uint32_t>(value.data[0]) | (static_cast<std::uint32_t>(value.data[1]) << 8) |
                                (static_cast<std::uint32_t>(value.data[2]) << 16) |
                                (static_cast<std::uint32_t>(value.data[3]) << 24);
    std::snprintf(number, sizeof number, "dword:%08x", static_cast<unsigned>(dword));
    *out += line + number + "\n";
    return;
  }
  if (value.type == REG_BINARY) {
    line += "hex:";
  } else {
    std::snprintf(number, sizeof number, "hex(%x):", static_cast<unsigned>(value.type));
    line += number;
  }
  static const char kDigits[] = "0123456789abcdef";
  for (std::size_t i = 0; i < value.data.size(); ++i) {
    line += kDigits[value.data[i] >> 4];
    line += kDigits[value.data[i] & 0x0F];
    if (i + 1 == value.data.size()) break;
    line += ',';
    if (line.size() > kHexLineWidth) {
      *out += line + "\\\n";
      line = "  ";
    }
  }
  *out += line + "\n";
}

}  // namespace

void CRegistryHive::SerializeKey(const Key& key, const std::string& section, std::string* out) const {
  *out += "[" + section + "]\n";
  for (const auto& value : key.m_values) AppendValue(value, out);
  *out += "\n";
  for (const auto& [name, subkey] : key.m_subkeys)
    SerializeKey(*subkey, section + "\\" + platform::WideToUtf8(name), out);
}

std::string CRegistryHive::Serialize() const {
  std::string out = platform::WideToUtf8(kHeaderVersion5) + "\n\n";
  const std::string root = platform::WideToUtf8(m_rootName);
  if (!m_root->m_values.empty()) {
    out += "[" + root + "]\n";
    for (const auto& value : m_root->m_values) AppendValue(value, &out);
    out += "\n";
  }
  for (const auto& [name, subkey] : m_root->m_subkeys) SerializeKey(*subkey, root + "\\" + platform::WideToUtf8(name), &out);
  return out;
}
