// CRegKey where the registry is kept in hive files (posix/registry_hive_file.h).
//
// The HKEY of an open key points to an OpenKey record (hive file, root, key path and the
// rights it was opened with) owned by the CRegKey that opened it. Every handle handed
// out is remembered until it is closed, so a closed or foreign handle is refused with
// ERROR_INVALID_HANDLE instead of being followed. A handle names its key by path: a key
// deleted after it was opened fails every operation with ERROR_KEY_DELETED until a key
// of that name exists again, which the handle then reaches.
#include "platform/reg_key.h"

#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <unordered_set>
#include <utility>

#include "platform/registry_hive.h"
#include "platform/posix/registry_hive_file.h"
#include "platform/wide_string.h"

namespace {

constexpr REGSAM kGenericRead = 0x80000000u;
constexpr REGSAM kGenericWrite = 0x40000000u;
constexpr REGSAM kGenericAll = 0x10000000u;
constexpr REGSAM kMaximumAllowed = 0x02000000u;
constexpr REGSAM kWriteRights = KEY_SET_VALUE | KEY_CREATE_SUB_KEY | DELETE;
constexpr REGSAM kDeleteTreeRights = DELETE | KEY_ENUMERATE_SUB_KEYS | KEY_QUERY_VALUE;

struct OpenKey {
  std::string file;
  std::wstring rootName;
  CRegistryHive::KeyPath path;
  REGSAM rights = 0;
  bool predefined = false;
};

// The handles handed out and not yet closed. Made on first use: keys are opened from
// the module's load-time start-up, which may run before this file's namespace-scope
// objects are constructed.
struct OpenKeys {
  std::mutex mutex;
  std::unordered_set<const OpenKey*> keys;
};

OpenKeys& TheOpenKeys() {
  static OpenKeys openKeys;
  return openKeys;
}

int ErrnoFor(LONG code) {
  switch (code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
      return ENOENT;
    case ERROR_ACCESS_DENIED:
      return EACCES;
    case ERROR_INVALID_HANDLE:
      return EBADF;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
      return ENOMEM;
    case ERROR_INVALID_DATA:
      return EILSEQ;
    case ERROR_INVALID_PARAMETER:
    case ERROR_UNSUPPORTED_TYPE:
    case ERROR_BADKEY:
      return EINVAL;
    case ERROR_INSUFFICIENT_BUFFER:
    case ERROR_MORE_DATA:
      return ERANGE;
    case ERROR_NO_MORE_ITEMS:
      return ENODATA;
    case ERROR_KEY_DELETED:
      return ESTALE;
    default:
      return EIO;
  }
}

LONG Failure(LONG code) {
  errno = ErrnoFor(code);
  return code;
}

// Runs one operation: a failure leaves its errno, a success leaves errno as it found it,
// and no exception leaves it (the standard library throws here only when memory or
// another resource runs out).
template <typename Operation>
LONG Run(Operation&& operation) {
  const int saved = errno;
  LONG result = ERROR_SUCCESS;
  try {
    result = operation();
  } catch (...) {
    result = Failure(ERROR_NOT_ENOUGH_MEMORY);
  }
  if (result == ERROR_SUCCESS) errno = saved;
  return result;
}

std::string HiveFile(const wchar_t* rootName) {
  const std::string folder = platform::RegistryRootFolder();
  if (folder.empty()) return std::string();
  return folder + "/" + platform::WideToUtf8(rootName) + ".reg";
}

LONG Resolve(HKEY handle, OpenKey* key) {
  if (handle == nullptr) return Failure(ERROR_INVALID_HANDLE);
  if (const wchar_t* rootName = platform::RegistryRootName(handle)) {
    *key = OpenKey{HiveFile(rootName), rootName, {}, KEY_ALL_ACCESS, true};
    return ERROR_SUCCESS;
  }
  const auto* open = reinterpret_cast<const OpenKey*>(handle);
  OpenKeys& openKeys = TheOpenKeys();
  std::lock_guard<std::mutex> lock(openKeys.mutex);
  if (openKeys.keys.count(open) == 0) return Failure(ERROR_INVALID_HANDLE);
  *key = *open;
  return ERROR_SUCCESS;
}

HKEY Register(std::unique_ptr<OpenKey> key) {
  OpenKeys& openKeys = TheOpenKeys();
  std::lock_guard<std::mutex> lock(openKeys.mutex);
  openKeys.keys.insert(key.get());
  return reinterpret_cast<HKEY>(key.release());
}

// Appends the '\'-separated names of subKey (null or empty: none). One trailing '\' is
// allowed; an empty name elsewhere, an invalid name or too deep a path is refused.
LONG AppendSubKey(const wchar_t* subKey, CRegistryHive::KeyPath* path) {
  if (subKey == nullptr || *subKey == L'\0') return ERROR_SUCCESS;
  std::wstring text(subKey);
  if (text.back() == L'\\') text.pop_back();
  for (std::size_t start = 0;;) {
    const std::size_t separator = text.find(L'\\', start);
    std::wstring name = text.substr(start, separator == std::wstring::npos ? std::wstring::npos : separator - start);
    if (!CRegistryHive::IsValidKeyName(name) || path->size() >= CRegistryHive::kMaxDepth)
      return Failure(ERROR_INVALID_PARAMETER);
    path->push_back(std::move(name));
    if (separator == std::wstring::npos) return ERROR_SUCCESS;
    start = separator + 1;
  }
}

REGSAM RequestedRights(REGSAM access) {
  REGSAM rights = access & (KEY_ALL_ACCESS | DELETE);
  if (access & kGenericRead) rights |= KEY_READ;
  if (access & kGenericWrite) rights |= KEY_WRITE;
  if (access & kGenericAll) rights |= KEY_ALL_ACCESS;
  return rights;
}

LONG OpenOrCreate(HKEY root, const wchar_t* subKey, REGSAM access, bool create, HKEY* result) {
  OpenKey parent;
  LONG status = Resolve(root, &parent);
  if (status != ERROR_SUCCESS) return status;
  auto key = std::make_unique<OpenKey>(parent);
  key->predefined = false;
  status = AppendSubKey(subKey, &key->path);
  if (status != ERROR_SUCCESS) return status;

  const auto hive = CRegistryHiveFile::Read(parent.file, parent.rootName);
  if (!parent.predefined && hive->FindKey(parent.path) == nullptr) return Failure(ERROR_KEY_DELETED);
  if (hive->FindKey(key->path) == nullptr) {
    if (!create) return Failure(ERROR_FILE_NOT_FOUND);
    status = CRegistryHiveFile::Update(parent.file, parent.rootName, [&](CRegistryHive& current, bool* changed) {
      if (!parent.predefined && current.FindKey(parent.path) == nullptr) return Failure(ERROR_KEY_DELETED);
      *changed = current.CreateKey(key->path) > 0;
      return static_cast<LONG>(ERROR_SUCCESS);
    });
    if (status != ERROR_SUCCESS) return status;
  }

  REGSAM rights = RequestedRights(access);
  if ((rights & kWriteRights) != 0) {
    status = CRegistryHiveFile::CheckWritable(key->file);
    if (status != ERROR_SUCCESS) return status;
  }
  if ((access & kMaximumAllowed) != 0) {
    rights |= KEY_READ;
    if (CRegistryHiveFile::CheckWritable(key->file) == ERROR_SUCCESS) rights |= KEY_WRITE | DELETE;
  }
  key->rights = rights;
  *result = Register(std::move(key));
  return ERROR_SUCCESS;
}

// The open key, its hive as the file holds it now and the key in it; fails when the
// handle lacks rights or the key no longer exists.
struct KeyView {
  OpenKey key;
  std::shared_ptr<const CRegistryHive> hive;
  const CRegistryHive::Key* node = nullptr;
};

LONG View(HKEY handle, REGSAM needed, KeyView* view) {
  LONG status = Resolve(handle, &view->key);
  if (status != ERROR_SUCCESS) return status;
  if ((view->key.rights & needed) != needed) return Failure(ERROR_ACCESS_DENIED);
  view->hive = CRegistryHiveFile::Read(view->key.file, view->key.rootName);
  view->node = view->hive->FindKey(view->key.path);
  if (view->node == nullptr) return Failure(ERROR_KEY_DELETED);
  return ERROR_SUCCESS;
}

// Applies change to the key's hive under the hive's lock, after checking that the key
// still exists there.
template <typename Change>
LONG Modify(const OpenKey& key, Change&& change) {
  return CRegistryHiveFile::Update(key.file, key.rootName, [&](CRegistryHive& hive, bool* changed) -> LONG {
    if (hive.FindKey(key.path) == nullptr) return Failure(ERROR_KEY_DELETED);
    return change(hive, changed);
  });
}

}  // namespace

CRegKey::~CRegKey() { Close(); }

CRegKey::CRegKey(CRegKey&& other) noexcept : m_key(std::exchange(other.m_key, nullptr)) {}

CRegKey& CRegKey::operator=(CRegKey&& other) noexcept {
  if (this != &other) {
    Close();
    m_key = std::exchange(other.m_key, nullptr);
  }
  return *this;
}

LONG CRegKey::Fail(LONG code) { return Failure(code); }

LONG CRegKey::Open(HKEY root, const wchar_t* subKey, REGSAM access) {
  return Run([&] {
    HKEY opened = nullptr;
    const LONG status = OpenOrCreate(root, subKey, access, false, &opened);
    if (status == ERROR_SUCCESS) {
      Close();
      m_key = opened;
    }
    return status;
  });
}

LONG CRegKey::Open(const CRegKey& parent, const wchar_t* subKey, REGSAM access) {
  return Open(parent.m_key, subKey, access);
}

LONG CRegKey::Create(HKEY root, const wchar_t* subKey, REGSAM access) {
  return Run([&] {
    HKEY opened = nullptr;
    const LONG status = OpenOrCreate(root, subKey, access, true, &opened);
    if (status == ERROR_SUCCESS) {
      Close();
      m_key = opened;
    }
    return status;
  });
}

LONG CRegKey::Create(const CRegKey& parent, const wchar_t* subKey, REGSAM access) {
  return Create(parent.m_key, subKey, access);
}

void CRegKey::Close() {
  if (m_key == nullptr) return;
  auto* key = reinterpret_cast<OpenKey*>(std::exchange(m_key, nullptr));
  {
    OpenKeys& openKeys = TheOpenKeys();
    std::lock_guard<std::mutex> lock(openKeys.mutex);
    openKeys.keys.erase(key);
  }
  delete key;
}

LONG CRegKey::EnumKey(DWORD index, wchar_t* name, DWORD* nameChars) const {
  return Run([&] {
    if (nameChars == nullptr || (name == nullptr && *nameChars > 0)) return Failure(ERROR_INVALID_PARAMETER);
    KeyView view;
    const LONG status = View(m_key, KEY_ENUMERATE_SUB_KEYS, &view);
    if (status != ERROR_SUCCESS) return status;
    const std::wstring* subkey = view.node->SubkeyNameAt(index);
    if (subkey == nullptr) return Failure(ERROR_NO_MORE_ITEMS);
    if (subkey->size() >= *nameChars) {
      if (*nameChars > 0) name[0] = L'\0';
      return Failure(ERROR_MORE_DATA);
    }
    subkey->copy(name, subkey->size());
    name[subkey->size()] = L'\0';
    *nameChars = static_cast<DWORD>(subkey->size());
    return static_cast<LONG>(ERROR_SUCCESS);
  });
}

LONG CRegKey::EnumValue(DWORD index, std::wstring* name, DWORD* type) const {
  return Run([&] {
    KeyView view;
    const LONG status = View(m_key, KEY_QUERY_VALUE, &view);
    if (status != ERROR_SUCCESS) return status;
    const CRegistryHive::Value* value = view.node->ValueAt(index);
    if (value == nullptr) return Failure(ERROR_NO_MORE_ITEMS);
    if (name != nullptr) *name = value->name;
    if (type != nullptr) *type = value->type;
    return static_cast<LONG>(ERROR_SUCCESS);
  });
}

LONG CRegKey::QueryValue(const wchar_t* name, DWORD* type, std::vector<BYTE>* data) const {
  return Run([&] {
    KeyView view;
    const LONG status = View(m_key, KEY_QUERY_VALUE, &view);
    if (status != ERROR_SUCCESS) return status;
    const CRegistryHive::Value* value = view.node->FindValue(name != nullptr ? name : L"");
    if (value == nullptr) return Failure(ERROR_FILE_NOT_FOUND);
    if (type != nullptr) *type = value->type;
    if (data != nullptr) *data = value->data;
    return static_cast<LONG>(ERROR_SUCCESS);
  });
}

LONG CRegKey::SetValue(const wchar_t* name, DWORD type, const BYTE* data, DWORD bytes) {
  return Run([&] {
    const std::wstring valueName = name != nullptr ? name : L"";
    if ((data == nullptr && bytes > 0) || bytes > CRegistryHive::kMaxValueBytes ||
        !CRegistryHive::IsValidValueName(valueName))
      return Failure(ERROR_INVALID_PARAMETER);
    OpenKey key;
    LONG status = Resolve(m_key, &key);
    if (status != ERROR_SUCCESS) return status;
    if ((key.rights & KEY_SET_VALUE) == 0) return Failure(ERROR_ACCESS_DENIED);
    std::vector<BYTE> content(data, data + bytes);
    return Modify(key, [&](CRegistryHive& hive, bool* changed) {
      *changed = hive.SetValue(key.path, valueName, type, std::move(content));
      return static_cast<LONG>(ERROR_SUCCESS);
    });
  });
}

LONG CRegKey::DeleteValue(const wchar_t* name) {
  return Run([&] {
    const std::wstring valueName = name != nullptr ? name : L"";
    KeyView view;
    const LONG status = View(m_key, KEY_SET_VALUE, &view);
    if (status != ERROR_SUCCESS) return status;
    // A value that is not there needs neither the lock nor write access to report.
    if (view.node->FindValue(valueName) == nullptr) return Failure(ERROR_FILE_NOT_FOUND);
    return Modify(view.key, [&](CRegistryHive& hive, bool* changed) {
      *changed = hive.DeleteValue(view.key.path, valueName);
      return *changed ? static_cast<LONG>(ERROR_SUCCESS) : Failure(ERROR_FILE_NOT_FOUND);
    });
  });
}

LONG CRegKey::DeleteTree(const wchar_t* subKey) {
  return Run([&] {
    KeyView view;
    LONG status = View(m_key, kDeleteTreeRights, &view);
    if (status != ERROR_SUCCESS) return status;
    const bool wholeSubkey = subKey != nullptr && *subKey != L'\0';
    CRegistryHive::KeyPath target = view.key.path;
    if (wholeSubkey) {
      status = AppendSubKey(subKey, &target);
      if (status != ERROR_SUCCESS) return status;
      if (view.hive->FindKey(target) == nullptr) return Failure(ERROR_FILE_NOT_FOUND);
    } else if (view.node->SubkeyCount() == 0 && view.node->ValueCount() == 0) {
      return static_cast<LONG>(ERROR_SUCCESS);
    }
    return Modify(view.key, [&](CRegistryHive& hive, bool* changed) {
      if (wholeSubkey) {
        *changed = hive.DeleteKey(target);
        return *changed ? static_cast<LONG>(ERROR_SUCCESS) : Failure(ERROR_FILE_NOT_FOUND);
      }
      const CRegistryHive::Key* node = hive.FindKey(target);
      *changed = node->SubkeyCount() > 0 || node->ValueCount() > 0;
      hive.ClearKey(target);
      return static_cast<LONG>(ERROR_SUCCESS);
    });
  });
}

namespace platform {

std::string RegistryRootFolder() {
  const char* root = std::getenv("AMBERLINE_REGISTRY_ROOT");
  if (root != nullptr && *root != '\0') return root;
  std::string base;
  const char* config = std::getenv("XDG_CONFIG_HOME");
  // A relative value is invalid by the XDG rules and is ignored.
  if (config != nullptr && config[0] == '/') {
    base = config;
  } else {
    const char* home = std::getenv("HOME");
    if (home != nullptr && *home != '\0') {
      base = home;
    } else {
      passwd entry{};
      passwd* found = nullptr;
      std::vector<char> buffer(16384);
      if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr &&
          found->pw_dir != nullptr)
        base = found->pw_dir;
    }
    if (base.empty()) return std::string();
    base += "/.config";
  }
  return base + "/amberline/registry";
}

std::vector<std::string> RegistryFileProblems() {
  std::vector<std::string> problems;
  for (const HKEY root : {HKEY_CLASSES_ROOT, HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE}) {
    const wchar_t* rootName = RegistryRootName(root);
    const std::string path = HiveFile(rootName);
    const auto hive = CRegistryHiveFile::Read(path, rootName);
    if (hive->IsClean()) continue;
    std::string line = path;
    if (hive->ProblemLine() != 0) line += ", line " + std::to_string(hive->ProblemLine());
    line += ": " + (hive->Problem().empty() ? std::string("the file does not read cleanly") : hive->Problem());
    problems.push_back(std::move(line));
  }
  return problems;
}

}  // namespace platform
