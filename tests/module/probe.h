#pragma once
// A small COM class on the module's object base, standing in for AddInObject in
// the module's tests: it answers IInitDone and IDispatch and says when it dies.
#include <atomic>

#include "AddInLib/AddInLib.h"
#include "AddInObj/ComObject.h"

namespace axgtest {

class Probe final : public axg::ComObject<IInitDone, IDispatch> {
 public:
  static inline std::atomic<int> destroyed{0};

  explicit Probe(IUnknown* outer) : ComObject(outer) {}
  ~Probe() override { ++destroyed; }

  HRESULT STDMETHODCALLTYPE Init(IDispatch*) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE Done() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE GetInfo(SAFEARRAY**) override { return S_OK; }

  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*,
                                   UINT*) override {
    return E_NOTIMPL;
  }
};

// An outer object that records what an aggregated object delegates to it.
struct Outer : IUnknown {
  ULONG refs = 1;
  int queries = 0;
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** ppv) override {
    ++queries;
    *ppv = this;
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
  ULONG STDMETHODCALLTYPE Release() override { return --refs; }
};

inline HRESULT CreateProbe(IUnknown* outer, REFIID riid, void** out) {
  return axg::CreateComObject<Probe>(outer, riid, out);
}

}  // namespace axgtest
