#include "platform/service_query.h"

#include <windows.h>
#include <sddl.h>
#include <wincrypt.h>

#include <memory>
#include <type_traits>
#include <vector>

#include "platform/system_error.h"

namespace platform {

namespace {

struct ServiceHandleCloser {
  void operator()(SC_HANDLE handle) const { ::CloseServiceHandle(handle); }
};
using CServiceHandle = std::unique_ptr<std::remove_pointer_t<SC_HANDLE>, ServiceHandleCloser>;

std::wstring Problem(const std::wstring& what, DWORD code) {
  // Some systems (Wine) refuse a query without saying why.
  return what + L": " + (code == ERROR_SUCCESS ? std::wstring(L"the system gave no reason") : DescribeSystemError(code));
}

// The service SID as Windows derives it: S-1-5-80- and the SHA-1 digest of the name in
// capitals (UTF-16LE) read as five little-endian 32-bit numbers. Empty when no digest
// can be made.
std::wstring DerivedServiceSid(const std::wstring& name) {
  std::wstring upper(name.size(), L'\0');
  if (name.empty() || ::LCMapStringW(LOCALE_INVARIANT, LCMAP_UPPERCASE, name.c_str(), static_cast<int>(name.size()),
                                     upper.data(), static_cast<int>(upper.size())) != static_cast<int>(name.size()))
    return std::wstring();
  HCRYPTPROV provider = 0;
  if (!::CryptAcquireContextW(&provider, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT)) return std::wstring();
  HCRYPTHASH hash = 0;
  BYTE digest[20] = {};
  DWORD digestSize = sizeof(digest);
  const bool hashed = ::CryptCreateHash(provider, CALG_SHA1, 0, 0, &hash) &&
                      ::CryptHashData(hash, reinterpret_cast<const BYTE*>(upper.data()),
                                      static_cast<DWORD>(upper.size() * sizeof(wchar_t)), 0) &&
                      ::CryptGetHashParam(hash, HP_HASHVAL, digest, &digestSize, 0) && digestSize == sizeof(digest);
  if (hash != 0) ::CryptDestroyHash(hash);
  ::CryptReleaseContext(provider, 0);
  if (!hashed) return std::wstring();
  std::wstring sid = L"S-1-5-80";
  for (int i = 0; i < 5; ++i) {
    const std::uint32_t part = static_cast<std::uint32_t>(digest[4 * i]) | (static_cast<std::uint32_t>(digest[4 * i + 1]) << 8) |
                               (static_cast<std::uint32_t>(digest[4 * i + 2]) << 16) |
                               (static_cast<std::uint32_t>(digest[4 * i + 3]) << 24);
    sid += L"-" + std::to_wstring(part);
  }
  return sid;
}

// Calls query(buffer, size, &needed) until the buffer is large enough; false with the
// error left in *code.
template <typename Query>
bool QueryGrowing(std::vector<BYTE>* buffer, DWORD* code, Query query) {
  buffer->assign(sizeof(std::uint64_t) * 64, 0);
  for (int attempt = 0; attempt < 4; ++attempt) {
    DWORD needed = 0;
    if (query(buffer->data(), static_cast<DWORD>(buffer->size()), &needed)) return true;
    *code = ::GetLastError();
    if (*code != ERROR_INSUFFICIENT_BUFFER || needed <= buffer->size()) return false;
    buffer->assign(needed, 0);
  }
  return false;
}

ServiceSidType SidTypeOf(DWORD type) {
  switch (type) {
    case SERVICE_SID_TYPE_NONE: return ServiceSidType::kNone;
    case SERVICE_SID_TYPE_UNRESTRICTED: return ServiceSidType::kUnrestricted;
    case SERVICE_SID_TYPE_RESTRICTED: return ServiceSidType::kRestricted;
    default: return ServiceSidType::kUnknown;
  }
}

}  // namespace

ServiceFacts QueryServiceFacts(const std::wstring& name) {
  ServiceFacts facts;
  const CServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (!manager) {
    facts.problems.push_back(Problem(L"the service manager could not be reached", ::GetLastError()));
    return facts;
  }
  const CServiceHandle service(::OpenServiceW(manager.get(), name.c_str(), SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS));
  if (!service) {
    const DWORD code = ::GetLastError();
    facts.problems.push_back(code == ERROR_SERVICE_DOES_NOT_EXIST
                                 ? L"the service manager has no service named " + name
                                 : Problem(L"the service " + name + L" could not be opened", code));
    return facts;
  }
  facts.exists = true;

  std::vector<BYTE> buffer;
  DWORD code = 0;
  if (QueryGrowing(&buffer, &code, [&](BYTE* data, DWORD size, DWORD* needed) {
        return ::QueryServiceConfigW(service.get(), reinterpret_cast<QUERY_SERVICE_CONFIGW*>(data), size, needed);
      })) {
    const auto* config = reinterpret_cast<const QUERY_SERVICE_CONFIGW*>(buffer.data());
    // No account named means LocalSystem, as the service manager reads it.
    facts.account = config->lpServiceStartName != nullptr && config->lpServiceStartName[0] != L'\0'
                        ? config->lpServiceStartName
                        : L"LocalSystem";
  } else {
    facts.problems.push_back(Problem(L"the account of " + name + L" could not be read", code));
  }

  if (QueryGrowing(&buffer, &code, [&](BYTE* data, DWORD size, DWORD* needed) {
        return ::QueryServiceConfig2W(service.get(), SERVICE_CONFIG_SERVICE_SID_INFO, data, size, needed);
      })) {
    facts.sidType = SidTypeOf(reinterpret_cast<const SERVICE_SID_INFO*>(buffer.data())->dwServiceSidType);
  } else {
    facts.problems.push_back(Problem(L"the service SID type of " + name + L" could not be read", code));
  }

  facts.serviceSid = ServiceSidText(name);
  if (facts.serviceSid.empty())
    facts.problems.push_back(Problem(L"the SID of NT SERVICE\\" + name + L" could not be resolved", ::GetLastError()));

  SERVICE_STATUS_PROCESS status{};
  DWORD needed = 0;
  if (::QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof(status),
                             &needed)) {
    facts.processId = status.dwCurrentState == SERVICE_STOPPED ? 0 : status.dwProcessId;
  } else {
    facts.problems.push_back(Problem(L"the state of " + name + L" could not be read", ::GetLastError()));
  }
  return facts;
}

std::wstring ServiceSidText(const std::wstring& name) {
  const std::wstring account = L"NT SERVICE\\" + name;
  std::vector<BYTE> sid(SECURITY_MAX_SID_SIZE);
  std::vector<wchar_t> domain(256);
  DWORD sidSize = static_cast<DWORD>(sid.size());
  DWORD domainSize = static_cast<DWORD>(domain.size());
  SID_NAME_USE use = SidTypeUnknown;
  if (!::LookupAccountNameW(nullptr, account.c_str(), sid.data(), &sidSize, domain.data(), &domainSize, &use)) {
    // A system that keeps no NT SERVICE names (Wine) still gets the identifier Windows gives.
    if (::GetLastError() == ERROR_NONE_MAPPED) return DerivedServiceSid(name);
    if (::GetLastError() != ERROR_INSUFFICIENT_BUFFER) return std::wstring();
    sid.assign(sidSize, 0);
    domain.assign(domainSize, L'\0');
    if (!::LookupAccountNameW(nullptr, account.c_str(), sid.data(), &sidSize, domain.data(), &domainSize, &use))
      return std::wstring();
  }
  wchar_t* text = nullptr;
  if (!::ConvertSidToStringSidW(sid.data(), &text)) return std::wstring();
  std::wstring result(text);
  ::LocalFree(text);
  return result;
}

const wchar_t* ServiceSidTypeName(ServiceSidType type) {
  switch (type) {
    case ServiceSidType::kNone: return L"none";
    case ServiceSidType::kUnrestricted: return L"unrestricted";
    case ServiceSidType::kRestricted: return L"restricted";
    case ServiceSidType::kUnknown: break;
  }
  return L"unknown";
}

}  // namespace platform
