// AnswerQuery: the whole QueryInterface of an object that answers a fixed list of
// interface identifiers with one interface pointer of its own.
//
//   STDMETHODIMP CSystemClock::QueryInterface(REFIID riid, void** ppv) {
//     return AnswerQuery(static_cast<IReferenceClock*>(this), riid, ppv, {IID_IUnknown, IID_IReferenceClock});
//   }
//
// E_POINTER when ppv is null (nothing stored); an identifier in the list stores self in
// *ppv with the caller's reference; any other stores null and answers E_NOINTERFACE.
#pragma once

#include <initializer_list>

#include "platform/com_types.h"

template <class Interface>
HRESULT AnswerQuery(Interface* self, REFIID riid, void** ppv, std::initializer_list<IID> answered) {
  if (ppv == nullptr) return E_POINTER;
  for (const IID& iid : answered) {
    if (riid == iid) {
      *ppv = self;
      self->AddRef();  // The caller's reference (QueryInterface hands one over).
      return S_OK;
    }
  }
  *ppv = nullptr;
  return E_NOINTERFACE;
}
