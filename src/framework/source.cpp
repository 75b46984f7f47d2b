#include "framework/source.h"

#include <cwctype>
#include <new>

#include "framework/source_stream.h"

namespace {

// The decimal value at the start of text, read as the C library's string-to-integer
// conversion does (leading white space, an optional sign, digits up to the first
// non-digit; nothing readable gives 0). Values beyond the int range are clamped, which
// keeps them beyond every pin index.
long long ParseDecimalId(const WCHAR* text) {
  if (text == nullptr) return 0;
  while (std::iswspace(static_cast<wint_t>(*text))) ++text;
  bool negative = false;
  if (*text == L'+' || *text == L'-') {
    negative = *text == L'-';
    ++text;
  }
  long long value = 0;
  for (; *text >= L'0' && *text <= L'9'; ++text) {
    if (value < (1LL << 40)) value = value * 10 + (*text - L'0');
  }
  return negative ? -value : value;
}

}  // namespace

CSource::CSource(const WCHAR* pName, IUnknown* pUnk, CLSID clsid)
    : CBaseFilter(pName, pUnk, &m_cStateLock, clsid) {}

CSource::CSource(const WCHAR* pName, IUnknown* pUnk, CLSID clsid, HRESULT* /*phr*/) : CSource(pName, pUnk, clsid) {}

CSource::~CSource() {
  // A filter released without being stopped first still ends its workers cleanly
  // (each stream's worker would otherwise wait for commands that never come).
  if (!IsStopped()) CBaseFilter::Stop();
  // Each stream's destructor takes itself out of the array.
  while (m_iPins > 0) delete m_paStreams[m_iPins - 1];
}

int CSource::GetPinCount() {
  CLockHolder<CRecursiveLock> hold(m_cStateLock);
  return m_iPins;
}

CBasePin* CSource::GetPin(int n) {
  CLockHolder<CRecursiveLock> hold(m_cStateLock);
  if (n < 0 || n >= m_iPins) return nullptr;
  return m_paStreams[n];
}

HRESULT CSource::AddPin(CSourceStream* pStream) {
  CLockHolder<CRecursiveLock> hold(m_cStateLock);
  auto** streams = new (std::nothrow) CSourceStream*[static_cast<std::size_t>(m_iPins) + 1];
  if (streams == nullptr) return E_OUTOFMEMORY;
  for (int i = 0; i < m_iPins; ++i) streams[i] = m_paStreams[i];
  streams[m_iPins] = pStream;
  delete[] m_paStreams;
  m_paStreams = streams;
  ++m_iPins;
  return S_OK;
}

HRESULT CSource::RemovePin(CSourceStream* pStream) {
  for (int i = 0; i < m_iPins; ++i) {
    if (m_paStreams[i] != pStream) continue;
    if (m_iPins == 1) {
      delete[] m_paStreams;
      m_paStreams = nullptr;
    } else {
      for (int j = i + 1; j < m_iPins; ++j) m_paStreams[j - 1] = m_paStreams[j];
    }
    --m_iPins;
    return S_OK;
  }
  return S_FALSE;
}

int CSource::FindPinNumber(IPin* iPin) {
  for (int i = 0; i < m_iPins; ++i) {
    if (static_cast<IPin*>(m_paStreams[i]) == iPin) return i;
  }
  return -1;
}

STDMETHODIMP CSource::FindPin(LPCWSTR Id, IPin** ppPin) {
  if (ppPin == nullptr) return E_POINTER;
  const long long index = ParseDecimalId(Id) - 1;
  CBasePin* pin = index >= 0 && index < 0x7FFFFFFF ? GetPin(static_cast<int>(index)) : nullptr;
  if (pin == nullptr) {
    *ppPin = nullptr;
    return VFW_E_NOT_FOUND;
  }
  *ppPin = pin;
  pin->AddRef();  // The caller's reference (FindPin hands one over).
  return S_OK;
}
