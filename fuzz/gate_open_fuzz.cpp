// LIBS: axg_addin
// GateOpen's parameter conversion at the host boundary: CallAsFunc on the add-in
// with a parameter array built from the input (any count, any lower bound, every
// variant type the host could pass, by value or by reference). The call must
// answer S_OK with "TRUE", or with "" and the reason in ErrorMsg and the error log.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "AddInLib/AddInLib.h"
#include "AddInObj/AddInFactory.h"
#include "platform/message_loop.h"
#include "platform/ole.h"
#include "platform/text.h"

namespace {

// The host's connection object: counts what the add-in reports.
class Host final : public IDispatch, public IAsyncEvent, public IErrorLog {
 public:
  ULONG refs = 1;
  std::size_t events = 0, errors = 0;
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    *ppv = nullptr;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IDispatch)) *ppv = static_cast<IDispatch*>(this);
    else if (IsEqualIID(riid, IID_IAsyncEvent)) *ppv = static_cast<IAsyncEvent*>(this);
    else if (IsEqualIID(riid, IID_IErrorLog)) *ppv = static_cast<IErrorLog*>(this);
    if (!*ppv) return E_NOINTERFACE;
    ++refs;
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
  ULONG STDMETHODCALLTYPE Release() override { return --refs; }
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE SetEventBufferDepth(LONG) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE GetEventBufferDepth(LONG* d) override {
    *d = 500;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE ExternalEvent(BSTR, BSTR, BSTR) override {
    ++events;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE CleanBuffer() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE AddError(LPCOLESTR, EXCEPINFO* e) override {
    if (!e || e->wCode != 1006 || !e->bstrDescription) __builtin_trap();
    ++errors;
    return S_OK;
  }
};

// Reads the input front to back; past the end everything is zero.
struct Reader {
  const std::uint8_t* p;
  std::size_t n;
  std::uint8_t Byte() {
    if (n == 0) return 0;
    --n;
    return *p++;
  }
  template <class T>
  T Raw() {
    T v{};
    std::uint8_t b[sizeof(T)] = {};
    for (auto& x : b) x = Byte();
    std::memcpy(&v, b, sizeof(T));
    return v;
  }
  std::u16string Text() {
    std::size_t len = Byte() % 48;
    std::u16string s;
    const bool wide = len & 1;  // raw UTF-16 code units, or code page bytes
    for (std::size_t i = 0; i < len; ++i) s += wide ? Raw<char16_t>() : static_cast<char16_t>(Byte());
    if (!wide) s = axg::FromAnsi(axg::ToAnsi(s));
    return s;
  }
};

// Storage a by-reference variant points into; it outlives the call.
struct RefStore {
  LONGLONG ll[4] = {};
  double d[4] = {};
  BSTR b[4] = {};
  VARIANT v[4];
  int used = 0;
  RefStore() {
    for (auto& x : v) VariantInit(&x);
  }
  ~RefStore() {
    for (auto& x : b) SysFreeString(x);
    for (auto& x : v) VariantClear(&x);
  }
};

void Build(Reader& in, VARIANT& v, RefStore& refs, int depth) {
  VariantInit(&v);
  static const VARTYPE kTypes[] = {VT_EMPTY, VT_NULL, VT_I2,   VT_I4,  VT_R4,  VT_R8,   VT_CY,
                                   VT_DATE,  VT_BSTR, VT_BOOL, VT_ERROR, VT_I1, VT_UI1, VT_UI2,
                                   VT_UI4,   VT_I8,   VT_UI8,  VT_INT, VT_UINT};
  const std::uint8_t sel = in.Byte();
  const std::size_t n = sizeof(kTypes) / sizeof(kTypes[0]);
  if (sel % 32 == 31 && depth == 0 && refs.used < 4) {
    // A reference to a variant, itself built from the input.
    VARIANT& inner = refs.v[refs.used++];
    Build(in, inner, refs, depth + 1);
    v.vt = VT_BYREF | VT_VARIANT;
    v.pvarVal = &inner;
    return;
  }
  if (sel % 32 == 30 && depth == 0) {
    // An array where a scalar belongs.
    SAFEARRAY* sa = SafeArrayCreateVector(VT_VARIANT, 0, 1);
    v.vt = VT_ARRAY | VT_VARIANT;
    v.parray = sa;
    return;
  }
  const VARTYPE vt = kTypes[(sel % 32) % n];
  const bool byref = (sel & 0x80) && vt != VT_EMPTY && vt != VT_NULL && refs.used < 4;
  if (vt == VT_BSTR) {
    BSTR b = axg::U16ToBstr(in.Text());
    if (byref) {
      refs.b[refs.used] = b;
      v.vt = VT_BYREF | VT_BSTR;
      v.pbstrVal = &refs.b[refs.used++];
    } else {
      v.vt = VT_BSTR;
      v.bstrVal = b;
    }
    return;
  }
  const LONGLONG raw = in.Raw<LONGLONG>();
  v.vt = vt;
  v.llVal = raw;
  if (vt == VT_R8 || vt == VT_DATE) std::memcpy(&v.dblVal, &raw, sizeof(double));
  if (byref) {
    const int k = refs.used++;
    refs.ll[k] = raw;
    std::memcpy(&refs.d[k], &raw, sizeof(double));
    v.vt = static_cast<VARTYPE>(vt | VT_BYREF);
    v.byref = (vt == VT_R8 || vt == VT_DATE) ? static_cast<void*>(&refs.d[k]) : static_cast<void*>(&refs.ll[k]);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Reader in{data, size};
  Host host;
  void* p = nullptr;
  if (axg::CreateAddInObject(nullptr, IID_ILanguageExtender, &p) != S_OK) __builtin_trap();
  auto* lang = static_cast<ILanguageExtender*>(p);
  if (lang->QueryInterface(IID_IInitDone, &p) != S_OK) __builtin_trap();
  auto* init = static_cast<IInitDone*>(p);
  if (init->Init(&host) != S_OK) __builtin_trap();

  const std::uint8_t shape = in.Byte();
  const ULONG count = shape % 5;
  const LONG lower = static_cast<LONG>(static_cast<std::int8_t>(in.Byte())) % 4;
  SAFEARRAY* params = SafeArrayCreateVector(VT_VARIANT, lower, count);
  RefStore refs;
  for (ULONG i = 0; i < count; ++i) {
    VARIANT v;
    Build(in, v, refs, 0);
    LONG at = lower + static_cast<LONG>(i);
    SafeArrayPutElement(params, &at, &v);
    VariantClear(&v);
  }
  SAFEARRAY* passed = (shape & 0x80) ? nullptr : params;

  VARIANT result;
  VariantInit(&result);
  const std::size_t errors_before = host.errors;
  if (lang->CallAsFunc(3, &result, &passed) != S_OK) __builtin_trap();
  if (result.vt != VT_BSTR) __builtin_trap();
  const std::u16string answer = axg::BstrToU16(result.bstrVal);
  if (answer == u"TRUE") {
    if (host.errors != errors_before) __builtin_trap();
  } else if (answer.empty()) {
    VARIANT msg;
    VariantInit(&msg);
    lang->GetPropVal(0, &msg);
    if (msg.vt != VT_BSTR || SysStringLen(msg.bstrVal) == 0) __builtin_trap();
    VariantClear(&msg);
  } else {
    __builtin_trap();
  }
  VariantClear(&result);
  if (params) SafeArrayDestroy(params);

  init->Done();
  init->Release();
  lang->Release();
  if (host.refs != 1) __builtin_trap();  // every reference the add-in took is back
  return 0;
}
