#include "ax_gate/ClassFactory.h"

#include "AddInObj/ComServer.h"
#include "platform/com.h"

namespace axg {

HRESULT STDMETHODCALLTYPE ClassFactory::QueryInterface(REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  if (IsEqualGUID(riid, IID_IUnknown) || IsEqualGUID(riid, IID_IClassFactory)) {
    *ppv = static_cast<IClassFactory*>(this);
    AddRef();
    return S_OK;
  }
  *ppv = nullptr;
  return E_NOINTERFACE;
}

ULONG STDMETHODCALLTYPE ClassFactory::AddRef() {
  return static_cast<ULONG>(ComServer::Instance().CountFactoryReference(true));
}

ULONG STDMETHODCALLTYPE ClassFactory::Release() {
  return static_cast<ULONG>(ComServer::Instance().CountFactoryReference(false));
}

HRESULT STDMETHODCALLTYPE ClassFactory::CreateInstance(IUnknown* pUnkOuter, REFIID riid,
                                                       void** ppvObject) {
  if (ppvObject == nullptr) return E_POINTER;
  *ppvObject = nullptr;
  if (pUnkOuter != nullptr && !IsEqualGUID(riid, IID_IUnknown)) return CLASS_E_NOAGGREGATION;
  try {
    return create_(pUnkOuter, riid, ppvObject);
  } catch (...) {
    *ppvObject = nullptr;
    return E_UNEXPECTED;
  }
}

HRESULT STDMETHODCALLTYPE ClassFactory::LockServer(BOOL fLock) {
  if (!fLock) {
    LONG held = locks_.load();
    do {
      if (held <= 0) return E_UNEXPECTED;
    } while (!locks_.compare_exchange_weak(held, held - 1));
  }
  const HRESULT hr = CoLockObjectExternal(this, fLock, TRUE);
  if (FAILED(hr)) {
    if (!fLock) ++locks_;
    return hr;
  }
  if (fLock) ++locks_;
  ComServer::Instance().CountObject(fLock != FALSE);
  return hr;
}

}  // namespace axg
