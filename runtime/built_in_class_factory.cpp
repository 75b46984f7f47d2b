#include "runtime/built_in_class_factory.h"

#include "com/query_answer.h"

HRESULT CBuiltInClassFactory::Create(runtime::ClassCreator create, REFIID riid, void** ppv) {
  return CreateAndQuery<CBuiltInClassFactory>(riid, ppv, create);
}

STDMETHODIMP CBuiltInClassFactory::QueryInterface(REFIID riid, void** ppv) {
  return AnswerQuery(static_cast<IClassFactory*>(this), riid, ppv, {IID_IUnknown, IID_IClassFactory});
}

STDMETHODIMP CBuiltInClassFactory::CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  if (pUnkOuter != nullptr) return CLASS_E_NOAGGREGATION;
  return m_create(riid, ppv);
}

STDMETHODIMP CBuiltInClassFactory::LockServer(BOOL) { return S_OK; }
