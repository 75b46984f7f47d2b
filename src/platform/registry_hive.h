// CRegistryHive: one registry root (HKEY_LOCAL_MACHINE, ...) held in memory as a tree of
// keys and values, read from and written as the registry editor's export text.
//
// Text form (what Parse accepts):
//   - UTF-8 (with or without a byte-order mark) or UTF-16 with its mark (FF FE little-,
//     FE FF big-endian); lines end in LF or CR LF;
//   - the first non-blank line is "Windows Registry Editor Version 5.00" or "REGEDIT4"
//     (in the latter, hex(2)/hex(7) data are 8-bit text and are widened to UTF-16LE);
//   - "[ROOT\Key\Sub]" starts a key's section (keys above it exist implicitly);
//     "[-ROOT\Key]" deletes that key with everything below it; sections of another root
//     are not read;
//   - in a section: @=... (the default value) or "name"=... with the data "text"
//     (\\ and \" escaped; REG_SZ), dword:0000001f, hex:01,02 (REG_BINARY), hex(N):...
//     (type N in hexadecimal, raw bytes, e.g. hex(2) REG_EXPAND_SZ as UTF-16LE), or -
//     (deletes the value); hex data continue on the next line after a trailing '\';
//   - blank lines and lines starting with ';' are ignored.
// Key and value names compare without regard to case and keep the spelling they were
// first given. Subkeys enumerate in case-insensitive order, values in the order they
// were first set.
//
// Untrusted input: Parse never fails and never reads or allocates beyond the limits
// below. A text over kMaxFileBytes, with a wrong header or with broken encoding gives
// an empty hive; a malformed line is skipped (a section line that cannot be read also
// drops the values under it). Any of these, and sections of other roots, make the
// result not clean (IsClean), because writing it back would lose what could not be
// read; callers must not replace such a file. The first such problem is kept with the
// number of its line (ProblemLine, Problem), so that a person can mend the file.
//
// Serialize writes UTF-8 without a mark, LF line ends, one section per key (empty and
// intermediate keys included) and reproduces the same tree when parsed again.
//
// Ownership: a value type; copies are deep. Threading: none of its own; a const hive
// may be read from several threads at once.
#pragma once

#include <cstddef>
#include <list>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/windows_types.h"

class CRegistryHive {
 public:
  static constexpr std::size_t kMaxFileBytes = 64u << 20;
  static constexpr std::size_t kMaxKeyNameChars = 255;
  static constexpr std::size_t kMaxValueNameChars = 16383;
  static constexpr std::size_t kMaxDepth = 512;
  static constexpr std::size_t kMaxValueBytes = 1u << 20;
  // Bounds on what one parse may build, so that a hostile text cannot grow into a
  // much larger tree, nor into one line that takes much more memory than it holds.
  static constexpr std::size_t kMaxKeys = 1u << 17;
  static constexpr std::size_t kMaxValues = 1u << 18;
  static constexpr std::size_t kMaxLineBytes = 8u << 20;

  using KeyPath = std::vector<std::wstring>;

  struct Value {
    std::wstring name;
    DWORD type = REG_NONE;
    std::vector<BYTE> data;
  };

  struct NoCaseLess {
    bool operator()(const std::wstring& a, const std::wstring& b) const;
  };

  class Key {
   public:
    Key() = default;
    Key(const Key& other);
    Key& operator=(const Key&) = delete;

    // Subkeys in case-insensitive order; values in the order they were first set.
    // The index forms walk from the start (the lists are short in practice).
    std::size_t SubkeyCount() const { return m_subkeys.size(); }
    const std::wstring* SubkeyNameAt(std::size_t index) const;
    std::size_t ValueCount() const { return m_values.size(); }
    const Value* ValueAt(std::size_t index) const;
    const Key* FindSubkey(const std::wstring& name) const;
    const Value* FindValue(const std::wstring& name) const;

   private:
    friend class CRegistryHive;
    using Subkeys = std::map<std::wstring, std::unique_ptr<Key>, NoCaseLess>;
    using Values = std::list<Value>;

    Key* FindOrAddSubkey(const std::wstring& name, bool* added);
    bool SetValue(const std::wstring& name, DWORD type, std::vector<BYTE>&& data);
    bool DeleteValue(const std::wstring& name);
    void Clear();

    Subkeys m_subkeys;
    Values m_values;
    std::map<std::wstring, Values::iterator, NoCaseLess> m_valueIndex;
  };

  // rootName is the hive's own root as the text names it ("HKEY_LOCAL_MACHINE").
  explicit CRegistryHive(std::wstring rootName);
  CRegistryHive(const CRegistryHive& other);
  CRegistryHive& operator=(const CRegistryHive& other);
  CRegistryHive(CRegistryHive&&) noexcept = default;
  CRegistryHive& operator=(CRegistryHive&&) noexcept = default;
  ~CRegistryHive();

  static CRegistryHive Parse(const std::wstring& rootName, const char* bytes, std::size_t size);
  static CRegistryHive Parse(const std::wstring& rootName, const std::string& bytes) {
    return Parse(rootName, bytes.data(), bytes.size());
  }
  // An empty hive that is not clean: what a file reads as when it exists but cannot be
  // read or is over kMaxFileBytes; problem says why (it has no line).
  static CRegistryHive Unparsable(const std::wstring& rootName, std::string problem = std::string());
  std::string Serialize() const;

  // False when the text it was parsed from held anything that it does not keep.
  bool IsClean() const { return m_clean; }
  // The first thing the text held that was not kept, in a few words (UTF-8; empty when
  // clean), and the line it is on, counted from 1 (0: the text as a whole, for a size
  // or a read failure). A value continued over several lines is reported on its first.
  std::size_t ProblemLine() const { return m_problemLine; }
  const std::string& Problem() const { return m_problem; }
  const std::wstring& RootName() const { return m_rootName; }

  // A name that may be stored and written back: within the length limit, without line
  // breaks (nor '\' in key names), made of Unicode scalar values. Key names are never
  // empty; the empty value name is the default value.
  static bool IsValidKeyName(const std::wstring& name);
  static bool IsValidValueName(const std::wstring& name);
  // Every name valid and the depth within kMaxDepth.
  static bool IsValidKeyPath(const KeyPath& path);

  // The key at path (the empty path is the root), or null.
  const Key* FindKey(const KeyPath& path) const;
  // Creates the key and every missing key above it (path must be valid); returns how
  // many keys were created.
  std::size_t CreateKey(const KeyPath& path);
  // Deletes the key with everything below it; false when it does not exist. The root
  // cannot be deleted (false for the empty path); ClearKey empties it.
  bool DeleteKey(const KeyPath& path);
  // Deletes every subkey and value of the key, keeping the key; false when it does not
  // exist.
  bool ClearKey(const KeyPath& path);
  // Sets a value of an existing key (check with FindKey first); false when the key does
  // not exist or the value already held exactly this, so nothing changed. A value that exists keeps its place and the spelling of
  // its name.
  bool SetValue(const KeyPath& path, const std::wstring& name, DWORD type, std::vector<BYTE> data);
  // False when the key or the value does not exist.
  bool DeleteValue(const KeyPath& path, const std::wstring& name);

 private:
  class CParser;
  Key* FindKeyForWrite(const KeyPath& path);
  void SerializeKey(const Key& key, const std::string& section, std::string* out) const;

  std::wstring m_rootName;
  std::unique_ptr<Key> m_root;
  bool m_clean = true;
  std::size_t m_problemLine = 0;
  std::string m_problem;
};
