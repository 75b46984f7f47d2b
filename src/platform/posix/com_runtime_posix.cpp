// Task allocator, GUID text, per-thread initialisation, BSTR and VARIANT where the
// component runtime is not the system's.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <limits>

#include "platform/com_types.h"

void* CoTaskMemAlloc(std::size_t cb) {
  // malloc(0) may answer null; the task allocator hands out a distinct block instead.
  return std::malloc(cb == 0 ? 1 : cb);
}

void* CoTaskMemRealloc(void* pv, std::size_t cb) { return std::realloc(pv, cb == 0 ? 1 : cb); }

void CoTaskMemFree(void* pv) { std::free(pv); }

int StringFromGUID2(REFGUID rguid, LPOLESTR lpsz, int cchMax) {
  constexpr int kChars = 39;  // 38 characters and the terminator
  if (lpsz == nullptr || cchMax < kChars) return 0;
  static constexpr char kHex[] = "0123456789ABCDEF";
  int at = 0;
  auto put = [&](unsigned value, int digits) {
    for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4) {
      lpsz[at++] = static_cast<OLECHAR>(kHex[(value >> shift) & 0xF]);
    }
  };
  lpsz[at++] = L'{';
  put(rguid.Data1, 8);
  lpsz[at++] = L'-';
  put(rguid.Data2, 4);
  lpsz[at++] = L'-';
  put(rguid.Data3, 4);
  lpsz[at++] = L'-';
  put(rguid.Data4[0], 2);
  put(rguid.Data4[1], 2);
  lpsz[at++] = L'-';
  for (int i = 2; i < 8; ++i) put(rguid.Data4[i], 2);
  lpsz[at++] = L'}';
  lpsz[at++] = L'\0';
  return at;
}

HRESULT CoInitializeEx(void*, DWORD) { return S_OK; }

void CoUninitialize() {}

namespace {

// A BSTR points just behind its 32-bit byte-count prefix.
using BstrPrefix = std::uint32_t;

BstrPrefix* PrefixOf(BSTR bstr) {
  return reinterpret_cast<BstrPrefix*>(reinterpret_cast<unsigned char*>(bstr) - sizeof(BstrPrefix));
}

}  // namespace

BSTR SysAllocStringLen(const OLECHAR* psz, UINT cch) {
  const std::uint64_t bytes = static_cast<std::uint64_t>(cch) * sizeof(OLECHAR);
  if (bytes > std::numeric_limits<BstrPrefix>::max()) return nullptr;
  const std::uint64_t total = sizeof(BstrPrefix) + bytes + sizeof(OLECHAR);
  auto* block = static_cast<unsigned char*>(CoTaskMemAlloc(static_cast<std::size_t>(total)));
  if (block == nullptr) return nullptr;
  const auto prefix = static_cast<BstrPrefix>(bytes);
  std::memcpy(block, &prefix, sizeof prefix);
  auto* text = reinterpret_cast<OLECHAR*>(block + sizeof(BstrPrefix));
  if (psz != nullptr) {
    std::memcpy(text, psz, static_cast<std::size_t>(bytes));
  } else {
    std::memset(text, 0, static_cast<std::size_t>(bytes));
  }
  text[cch] = L'\0';
  return text;
}

BSTR SysAllocString(const OLECHAR* psz) {
  if (psz == nullptr) return nullptr;
  const std::size_t length = std::wcslen(psz);
  if (length > std::numeric_limits<UINT>::max()) return nullptr;
  return SysAllocStringLen(psz, static_cast<UINT>(length));
}

void SysFreeString(BSTR bstr) {
  if (bstr != nullptr) CoTaskMemFree(PrefixOf(bstr));
}

UINT SysStringByteLen(BSTR bstr) {
  if (bstr == nullptr) return 0;
  BstrPrefix bytes;
  std::memcpy(&bytes, PrefixOf(bstr), sizeof bytes);
  return bytes;
}

UINT SysStringLen(BSTR bstr) { return SysStringByteLen(bstr) / sizeof(OLECHAR); }

void VariantInit(VARIANT* pvarg) {
  if (pvarg == nullptr) return;
  std::memset(pvarg, 0, sizeof *pvarg);
  pvarg->vt = VT_EMPTY;
}

namespace {

bool IsKnownType(VARTYPE vt) {
  switch (vt) {
    case VT_EMPTY:
    case VT_NULL:
    case VT_I2:
    case VT_I4:
    case VT_R4:
    case VT_R8:
    case VT_BSTR:
    case VT_DISPATCH:
    case VT_BOOL:
    case VT_UNKNOWN:
    case VT_UI1:
    case VT_UI2:
    case VT_UI4:
    case VT_I8:
    case VT_UI8:
    case VT_INT:
    case VT_UINT:
      return true;
    default:
      return false;
  }
}

}  // namespace

HRESULT VariantClear(VARIANT* pvarg) {
  if (pvarg == nullptr) return E_INVALIDARG;
  if (!IsKnownType(pvarg->vt)) return DISP_E_BADVARTYPE;
  switch (pvarg->vt) {
    case VT_BSTR:
      SysFreeString(pvarg->bstrVal);
      break;
    // A variant that carries an interface owns one reference on it.
    case VT_UNKNOWN:
      if (pvarg->punkVal != nullptr) pvarg->punkVal->Release();
      break;
    case VT_DISPATCH:
      if (pvarg->pdispVal != nullptr) pvarg->pdispVal->Release();
      break;
    default:
      break;
  }
  VariantInit(pvarg);
  return S_OK;
}

HRESULT VariantCopy(VARIANT* pvargDest, const VARIANT* pvargSrc) {
  if (pvargDest == nullptr || pvargSrc == nullptr) return E_INVALIDARG;
  if (pvargDest == pvargSrc) return S_OK;
  const HRESULT cleared = VariantClear(pvargDest);
  if (FAILED(cleared)) return cleared;
  if (!IsKnownType(pvargSrc->vt)) return DISP_E_BADVARTYPE;
  VARIANT copy = *pvargSrc;
  switch (copy.vt) {
    case VT_BSTR:
      if (pvargSrc->bstrVal != nullptr) {
        copy.bstrVal = SysAllocStringLen(pvargSrc->bstrVal, SysStringLen(pvargSrc->bstrVal));
        if (copy.bstrVal == nullptr) return E_OUTOFMEMORY;
      }
      break;
    // The copy's own reference (a variant that carries an interface owns one).
    case VT_UNKNOWN:
      if (copy.punkVal != nullptr) copy.punkVal->AddRef();
      break;
    case VT_DISPATCH:
      if (copy.pdispVal != nullptr) copy.pdispVal->AddRef();
      break;
    default:
      break;
  }
  *pvargDest = copy;
  return S_OK;
}
