#pragma once
// A stand-in for the 1C host's connection object: it records what the add-in
// sends (external events, error-log entries, the event buffer depth) and can be
// told to refuse. It lives on the test's stack; Release never deletes it, so a
// test can check that every reference the add-in took was given back.
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "AddInLib/AddInLib.h"
#include "AddInObj/AddInFactory.h"
#include "platform/ole.h"

namespace axg::test {

class FakeHost final : public IDispatch, public IAsyncEvent, public IErrorLog, public IStatusLine {
 public:
  struct Event {
    std::u16string source, name, data;
  };
  struct LogEntry {
    bool prop_name_null = false;
    WORD code = 0;
    std::u16string source, description;
    bool rest_empty = false;  // help file, help context, reserved, deferred fill-in
    SCODE scode = 0;
  };

  bool offer_events = true;
  bool offer_errorlog = true;
  bool offer_statusline = true;
  HRESULT event_result = S_OK;
  HRESULT depth_result = S_OK;
  bool throw_from_events = false;  // IAsyncEvent's calls throw an int (no std::exception)
  std::function<void()> on_event;   // the script's handler, run inside ExternalEvent

  std::vector<LONG> depths;
  std::vector<Event> events;
  std::vector<LogEntry> errors;
  ULONG refs = 1;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    *ppv = nullptr;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IDispatch))
      *ppv = static_cast<IDispatch*>(this);
    else if (IsEqualIID(riid, IID_IAsyncEvent) && offer_events)
      *ppv = static_cast<IAsyncEvent*>(this);
    else if (IsEqualIID(riid, IID_IErrorLog) && offer_errorlog)
      *ppv = static_cast<IErrorLog*>(this);
    else if (IsEqualIID(riid, IID_IStatusLine) && offer_statusline)
      *ppv = static_cast<IStatusLine*>(this);
    if (!*ppv) return E_NOINTERFACE;
    ++refs;
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
  ULONG STDMETHODCALLTYPE Release() override { return --refs; }

  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*,
                                   UINT*) override {
    return E_NOTIMPL;
  }

  HRESULT STDMETHODCALLTYPE SetEventBufferDepth(LONG depth) override {
    if (throw_from_events) throw 42;
    depths.push_back(depth);
    return depth_result;
  }
  HRESULT STDMETHODCALLTYPE GetEventBufferDepth(LONG* depth) override {
    *depth = depths.empty() ? 1 : depths.back();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE ExternalEvent(BSTR source, BSTR name, BSTR data) override {
    if (throw_from_events) throw 42;
    if (FAILED(event_result)) return event_result;
    events.push_back({BstrToU16(source), BstrToU16(name), BstrToU16(data)});
    if (on_event) std::exchange(on_event, nullptr)();
    return event_result;
  }
  HRESULT STDMETHODCALLTYPE CleanBuffer() override { return S_OK; }

  HRESULT STDMETHODCALLTYPE AddError(LPCOLESTR prop, EXCEPINFO* e) override {
    LogEntry entry;
    entry.prop_name_null = prop == nullptr;
    entry.code = e->wCode;
    entry.source = BstrToU16(e->bstrSource);
    entry.description = BstrToU16(e->bstrDescription);
    entry.rest_empty = e->bstrHelpFile == nullptr && e->dwHelpContext == 0 &&
                       e->pvReserved == nullptr && e->pfnDeferredFillIn == nullptr &&
                       e->wReserved == 0;
    entry.scode = e->scode;
    errors.push_back(entry);
    return E_FAIL;  // the add-in ignores the result
  }

  HRESULT STDMETHODCALLTYPE SetStatusLine(BSTR) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE ResetStatusLine() override { return S_OK; }

  std::vector<std::u16string> DataOf(const std::u16string& name) const {
    std::vector<std::u16string> out;
    for (const auto& e : events)
      if (e.name == name) out.push_back(e.data);
    return out;
  }
};

// Owns a VARIANT.
class Variant {
 public:
  Variant() { VariantInit(&v_); }
  explicit Variant(const char16_t* text) : Variant() {
    v_.vt = VT_BSTR;
    v_.bstrVal = U16ToBstr(text);
  }
  static Variant Int(LONG n) {
    Variant v;
    v.v_.vt = VT_I4;
    v.v_.lVal = n;
    return v;
  }
  static Variant Double(double d) {
    Variant v;
    v.v_.vt = VT_R8;
    v.v_.dblVal = d;
    return v;
  }
  static Variant Null() {
    Variant v;
    v.v_.vt = VT_NULL;
    return v;
  }
  Variant(Variant&& o) noexcept : v_(o.v_) { VariantInit(&o.v_); }
  // mingw-w64 declares the source of VariantCopy without const.
  Variant(const Variant& o) : Variant() { VariantCopy(&v_, const_cast<VARIANT*>(&o.v_)); }
  Variant& operator=(const Variant&) = delete;
  ~Variant() { VariantClear(&v_); }
  VARIANT* get() { return &v_; }
  const VARIANT& operator*() const { return v_; }
  std::u16string Text() const { return v_.vt == VT_BSTR ? BstrToU16(v_.bstrVal) : u"<not a string>"; }

 private:
  VARIANT v_;
};

// A parameter array of VARIANTs, destroyed with the object.
class Params {
 public:
  explicit Params(std::vector<Variant> values) {
    sa_ = SafeArrayCreateVector(VT_VARIANT, 0, static_cast<ULONG>(values.size()));
    for (LONG i = 0; i < static_cast<LONG>(values.size()); ++i)
      SafeArrayPutElement(sa_, &i, values[static_cast<std::size_t>(i)].get());
  }
  ~Params() {
    if (sa_) SafeArrayDestroy(sa_);
  }
  Params(const Params&) = delete;
  SAFEARRAY** get() { return &sa_; }

 private:
  SAFEARRAY* sa_ = nullptr;
};

}  // namespace axg::test
