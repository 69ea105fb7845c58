#pragma once
// The class factory of one class of the module. It lives as long as the module
// does; AddRef and Release only count into the server's factory reference count,
// and a server lock counts as a live object while it is held.
#include <atomic>

#include "platform/ole.h"

namespace axg {

// Makes a new object of the class and asks it for riid (see AddInFactory.h).
using CreateObjectFunction = HRESULT (*)(IUnknown* outer, REFIID riid, void** out);

class ClassFactory final : public IClassFactory {
 public:
  ClassFactory(const CLSID& clsid, CreateObjectFunction create) : clsid_(clsid), create_(create) {}
  ClassFactory(const ClassFactory&) = delete;
  ClassFactory& operator=(const ClassFactory&) = delete;

  const CLSID& ClassId() const { return clsid_; }
  // Server locks currently held through this factory.
  LONG LockCount() const { return locks_.load(); }

  // IUnknown: the factory answers IUnknown and IClassFactory.
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;

  // IClassFactory.
  // A null out is E_POINTER; otherwise *out is first set to null. An outer object
  // with any identifier but IID_IUnknown is CLASS_E_NOAGGREGATION. Otherwise the
  // result of creating the object and asking it for riid; E_UNEXPECTED if the
  // creation fails with an error.
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* pUnkOuter, REFIID riid,
                                           void** ppvObject) override;
  // Locks or unlocks the server through the platform's external lock and counts
  // the lock as a live object. An unlock without a lock is refused with
  // E_UNEXPECTED and changes nothing: counting it would let the module be
  // unloaded under a live object.
  HRESULT STDMETHODCALLTYPE LockServer(BOOL fLock) override;

 private:
  const CLSID clsid_;
  const CreateObjectFunction create_;
  std::atomic<LONG> locks_{0};
};

}  // namespace axg
