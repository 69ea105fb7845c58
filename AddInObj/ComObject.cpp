#include "AddInObj/ComObject.h"

#include "AddInObj/ComServer.h"

namespace axg {

ComObjectBase::ComObjectBase(IUnknown* outer)
    : inner_(*this), controlling_(outer != nullptr ? outer : &inner_) {
  ComServer::Instance().CountObject(true);
}

ComObjectBase::~ComObjectBase() { ComServer::Instance().CountObject(false); }

void* ComObjectBase::ResolveInterface(REFIID riid) {
  if (IsEqualGUID(riid, IID_IUnknown)) return &inner_;
  if (IsEqualGUID(riid, IID_ISupportErrorInfo)) return ErrorInfoInterface();
  return FindInterface(riid);
}

HRESULT ComObjectBase::DelegatingQueryInterface(REFIID riid, void** ppv) {
  return controlling_->QueryInterface(riid, ppv);
}

ULONG ComObjectBase::DelegatingAddRef() { return controlling_->AddRef(); }

ULONG ComObjectBase::DelegatingRelease() { return controlling_->Release(); }

HRESULT ComObjectBase::SupportsErrorInfo(REFIID riid) {
  return ResolveInterface(riid) != nullptr ? S_OK : S_FALSE;
}

HRESULT STDMETHODCALLTYPE ComObjectBase::Inner::QueryInterface(REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  void* found = owner_.ResolveInterface(riid);
  *ppv = found;
  if (found == nullptr) return E_NOINTERFACE;
  // Every interface pointer handed out is counted through its own AddRef, so
  // that an aggregated object's interfaces count on the outer object.
  static_cast<IUnknown*>(found)->AddRef();
  return S_OK;
}

ULONG STDMETHODCALLTYPE ComObjectBase::Inner::AddRef() { return ++owner_.refs_; }

ULONG STDMETHODCALLTYPE ComObjectBase::Inner::Release() {
  const ULONG left = --owner_.refs_;
  if (left == 0) {
    // A count that cannot reach zero again while the destructor runs, should it
    // take and drop references of its own.
    owner_.refs_ = 1u << 30;
    delete &owner_;
  }
  return left;
}

}  // namespace axg
