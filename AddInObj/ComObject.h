#pragma once
// The base of the module's COM objects: one reference count for all of an
// object's interfaces, QueryInterface over IUnknown, ISupportErrorInfo and the
// class's own interface table, aggregation, and the object's place in the
// server's live-object count.
//
//   class AddInObject final : public ComObject<ILanguageExtender, IInitDone, IDispatch> {
//    public:
//     explicit AddInObject(IUnknown* outer) : ComObject(outer) {}
//     ...the interfaces' own operations...
//   };
//   HRESULT CreateAddInObject(IUnknown* outer, REFIID riid, void** out) {
//     return CreateComObject<AddInObject>(outer, riid, out);
//   }
//
// The template arguments are the interface table, in the order QueryInterface
// tries it. The object is destroyed when its count falls to zero.
//
// Aggregation: an object created with an outer object keeps a separate IUnknown
// of its own (InnerUnknown) that the outer object holds and that never
// delegates; QueryInterface, AddRef and Release on every other interface pass
// on to the outer object. Without an outer object both are the object itself.
#include <atomic>
#include <utility>

#include "platform/ole.h"

namespace axg {

class ComObjectBase {
 public:
  ComObjectBase(const ComObjectBase&) = delete;
  ComObjectBase& operator=(const ComObjectBase&) = delete;

  // The object's own IUnknown: its identity, never delegating.
  IUnknown* InnerUnknown() { return &inner_; }
  // Where the interfaces' IUnknown operations go: the outer object, or InnerUnknown.
  IUnknown* ControllingUnknown() const { return controlling_; }
  bool Aggregated() const { return controlling_ != &inner_; }

 protected:
  explicit ComObjectBase(IUnknown* outer);
  virtual ~ComObjectBase();

  // The interface of the class's table with this identifier, or null.
  virtual void* FindInterface(REFIID riid) = 0;
  virtual ISupportErrorInfo* ErrorInfoInterface() = 0;

  // What the interfaces' IUnknown operations do.
  HRESULT DelegatingQueryInterface(REFIID riid, void** ppv);
  ULONG DelegatingAddRef();
  ULONG DelegatingRelease();
  // S_OK for every interface the object answers for, S_FALSE for any other.
  HRESULT SupportsErrorInfo(REFIID riid);
  // True when one reference alone holds the object.
  bool LastReference() const { return refs_.load() == 1; }

 private:
  class Inner final : public IUnknown {
   public:
    explicit Inner(ComObjectBase& owner) : owner_(owner) {}
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;

   private:
    ComObjectBase& owner_;
  };

  void* ResolveInterface(REFIID riid);

  Inner inner_;
  IUnknown* controlling_;
  std::atomic<ULONG> refs_{0};
};

template <class... Interfaces>
class ComObject : public ComObjectBase, public Interfaces..., public ISupportErrorInfo {
 public:
  // IUnknown, for every interface of the table and ISupportErrorInfo.
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    return DelegatingQueryInterface(riid, ppv);
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return DelegatingAddRef(); }
  ULONG STDMETHODCALLTYPE Release() override { return DelegatingRelease(); }

  // ISupportErrorInfo. The object itself never sets error information.
  HRESULT STDMETHODCALLTYPE InterfaceSupportsErrorInfo(REFIID riid) override {
    return SupportsErrorInfo(riid);
  }

 protected:
  explicit ComObject(IUnknown* outer) : ComObjectBase(outer) {}

 private:
  void* FindInterface(REFIID riid) override {
    void* found = nullptr;
    (static_cast<void>(found == nullptr && IsEqualGUID(riid, InterfaceId<Interfaces>())
                           ? (found = static_cast<Interfaces*>(this), true)
                           : false),
     ...);
    return found;
  }
  ISupportErrorInfo* ErrorInfoInterface() override { return this; }
};

// Creates a T (constructed from the outer object and args) and asks it for riid.
// *out receives the interface, or null; an object that nobody holds after a
// refused request is destroyed at once. The aggregation rule (an outer object
// only together with IID_IUnknown) is the class factory's to check. Throws what
// T's constructor throws.
template <class T, class... Args>
HRESULT CreateComObject(IUnknown* outer, REFIID riid, void** out, Args&&... args) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  T* object = new T(outer, std::forward<Args>(args)...);
  IUnknown* inner = object->InnerUnknown();
  inner->AddRef();
  HRESULT hr = inner->QueryInterface(riid, out);
  inner->Release();
  return hr;
}

}  // namespace axg
