#include "AddInObj/AddInObject.h"

#include <cstdio>
#include <exception>
#include <new>

#include "AddInObj/AddInFactory.h"
#include "UConnector/FrameText.h"
#include "UConnector/UConnector.h"
#include "UturnstylerdeviceQ7/UturnstylerdeviceQ7.h"
#include "platform/environment.h"
#include "platform/error.h"
#include "platform/message_loop.h"
#include "platform/registry.h"
#include "platform/text.h"
#include "trace/TTrace.h"
#include "transport/TLineServer.h"

namespace axg {
namespace {

// The message of the exception being handled, whatever its type.
std::u16string CaughtText() {
  try {
    throw;
  } catch (const axg::Error& e) {
    return e.Message();
  } catch (const std::exception& e) {
    return FromUtf8(e.what());
  } catch (...) {
    return u"Unknown error";
  }
}

// The answer of an entry from the host that an exception reached: nothing may
// cross into the host's frames, which cannot be unwound.
HRESULT Contained() noexcept {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (...) {
    return E_UNEXPECTED;
  }
}

struct Names {
  const char16_t* english;
  const char16_t* russian;
};

constexpr Names kProps[] = {
    {u"ErrorMsg", u"Ошибка"},
    {u"Port", u"Порт"},
};

constexpr Names kMethods[] = {
    {u"Version", u"Версия"},
    {u"Start", u"Старт"},
    {u"Stop", u"Стоп"},
    {u"GateOpen", u"Ворота"},
};

enum Method : LONG { kMethodVersion = 0, kMethodStart = 1, kMethodStop = 2, kMethodGateOpen = 3 };

constexpr LONG kPropCount = sizeof(kProps) / sizeof(kProps[0]);
constexpr LONG kMethodCount = sizeof(kMethods) / sizeof(kMethods[0]);

// Entries in index order, English before Russian, compared code unit by code
// unit: letter case and blanks count.
template <std::size_t N>
LONG Lookup(const Names (&table)[N], BSTR name) {
  std::u16string wanted = BstrToU16(name);
  for (std::size_t i = 0; i < N; ++i)
    if (wanted == table[i].english || wanted == table[i].russian) return static_cast<LONG>(i);
  return -1;
}

template <std::size_t N>
HRESULT NameOf(const Names (&table)[N], LONG index, LONG alias, BSTR* out) {
  if (!out) return E_POINTER;
  SysFreeString(*out);
  *out = U16ToBstr(u"");
  if (index < 0 || index >= static_cast<LONG>(N) || (alias != 0 && alias != 1)) return S_FALSE;
  SysFreeString(*out);
  *out = U16ToBstr(alias == 0 ? table[index].english : table[index].russian);
  return S_OK;
}

void SetString(VARIANT* v, const std::u16string& text) {
  VariantClear(v);
  v->vt = VT_BSTR;
  v->bstrVal = U16ToBstr(text);
}

std::u16string HResultText(HRESULT hr) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%08X", static_cast<unsigned>(hr));
  return FromUtf8(buf);
}

// The variant type's name as the conversion error gives it.
std::u16string TypeName(VARTYPE vt) {
  switch (vt & VT_TYPEMASK) {
    case VT_EMPTY: return u"Empty";
    case VT_NULL: return u"Null";
    case VT_I2: return u"Smallint";
    case VT_I4: return u"Integer";
    case VT_R4: return u"Single";
    case VT_R8: return u"Double";
    case VT_CY: return u"Currency";
    case VT_DATE: return u"Date";
    case VT_BSTR: return u"OleStr";
    case VT_DISPATCH: return u"Dispatch";
    case VT_ERROR: return u"Error";
    case VT_BOOL: return u"Boolean";
    case VT_VARIANT: return u"Variant";
    case VT_UNKNOWN: return u"Unknown";
    case VT_DECIMAL: return u"Decimal";
    case VT_I1: return u"ShortInt";
    case VT_UI1: return u"Byte";
    case VT_UI2: return u"Word";
    case VT_UI4: return u"LongWord";
    case VT_I8: return u"Int64";
    case VT_UI8: return u"UInt64";
    default: return u"#" + IntToStr(vt);
  }
}

// Element i of a method's parameter array as text, with the code units up to
// U+0020 removed at both ends. An element that cannot be read counts as empty;
// one that cannot be turned into text (a null value, say) raises an error.
std::u16string ParamText(SAFEARRAY** params, LONG i) {
  VARIANT element;
  VariantInit(&element);
  if (params && *params) {
    LONG lower = 0;
    if (FAILED(SafeArrayGetLBound(*params, 1, &lower))) lower = 0;
    LONG at = lower + i;
    if (FAILED(SafeArrayGetElement(*params, &at, &element))) VariantInit(&element);
  }
  VARIANT text;
  VariantInit(&text);
  HRESULT hr = VariantChangeType(&text, &element, 0, VT_BSTR);
  VARTYPE from = element.vt;
  VariantClear(&element);
  if (FAILED(hr) || text.vt != VT_BSTR) {
    VariantClear(&text);
    throw axg::Error(u"Could not convert variant of type (" + TypeName(from) +
                     u") into type (OleStr)");
  }
  std::u16string s;
  try {
    s = BstrToU16(text.bstrVal);
  } catch (...) {
    VariantClear(&text);
    throw;
  }
  VariantClear(&text);
  return TrimCtl(s);
}

// AIndex compared numerically with a kind; a value that is not a number equals none.
bool KindIs(const TVar& AIndex, std::int32_t kind) {
  try {
    return !AIndex.IsEmpty() && AIndex.ToInt() == kind;
  } catch (const axg::Error&) {
    return false;
  }
}

std::u16string KindText(const TVar& AIndex) {
  try {
    return IntToStr(AIndex.ToInt());
  } catch (const axg::Error&) {
    return AIndex.ToText();
  }
}

// The data of a "CHECK" or "STATUS" event: address, device, type, card and the
// kind or state, joined by ";" with no quoting or escaping.
std::u16string EventData(const TVar& IP, const TVar& Device, const TVar& DeviceType,
                         const TVar& Cardnumber, const std::u16string& last) {
  return IP.ToText() + u";" + Device.ToText() + u";" + DeviceType.ToText() + u";" +
         Cardnumber.ToText() + u";" + last;
}

// The parameters of a call as text for the trace; never raises.
std::vector<std::u16string> TraceArgs(SAFEARRAY** params, LONG count) {
  std::vector<std::u16string> out;
  for (LONG i = 0; i < count; ++i) {
    try {
      out.push_back(ParamText(params, i));
    } catch (...) {
      out.push_back(u"?");
    }
  }
  return out;
}

template <class T>
void ReleaseInto(T*& p) {
  if (p) {
    T* q = p;
    p = nullptr;
    q->Release();
  }
}

}  // namespace

AddInObject::AddInObject(IUnknown* outer) : ComObject(outer) {}

AddInObject::~AddInObject() {
  // A host that lets go without Done: the same teardown, so that no component
  // with handlers pointing here outlives the object.
  Teardown();
  ReleaseInto(i1cv7);
}

// ---- IInitDone ----

HRESULT AddInObject::Init(IDispatch* pConnection) try {
  // A second Init without Done starts afresh instead of leaking the first set of
  // components (and the port they hold).
  if (Initialised()) Teardown();
  if (pConnection) pConnection->AddRef();
  ReleaseInto(i1cv7);
  i1cv7 = pConnection;
  ReleaseHostInterfaces();

  if (i1cv7) {
    void* p = nullptr;
    if (i1cv7->QueryInterface(IID_IErrorLog, &p) == S_OK) iError = static_cast<IErrorLog*>(p);
    p = nullptr;
    if (i1cv7->QueryInterface(IID_IStatusLine, &p) == S_OK) iStatus = static_cast<IStatusLine*>(p);
    p = nullptr;
    if (i1cv7->QueryInterface(IID_IAsyncEvent, &p) == S_OK) {
      iEvent = static_cast<IAsyncEvent*>(p);
      // Without the depth the host keeps its own (small) queue; the add-in still
      // works, so Init carries on. The reason goes to ErrorMsg and, if the sink
      // takes it, to the script as a LOG event, but not to the error log: the
      // host counts an Init during which an error record with a failing scode
      // was written as unsuccessful, and could refuse the add-in for it.
      HRESULT hr = iEvent->SetEventBufferDepth(kEventBufferDepth);
      if (FAILED(hr)) Remark(u"IAsyncEvent.SetEventBufferDepth(500) failed: HRESULT " + HResultText(hr));
    }
  }

  try {
    DC = std::make_unique<TDeviceConnector>();
    TSD = std::make_unique<TTurnStylerDeviceQ7>();
    TSD->SetTimeOut(5);
    WS = std::make_unique<TLineServer>();
    WS->Proto = u"tcp";
    WS->Port = u"1001";
    WS->Addr = u"0.0.0.0";
    DC->SetWSocketServer(WS.get());
    DC->SetConnectorType(podNet);
    TSD->SetConnector(DC.get());
    TSD->OnLog = [this](TObject* s, const std::u16string& t) { Log(s, t); };
    DC->OnNotice = [this](TObject* s, const std::u16string& t) { Log(s, t); };
    TSD->OnError = [this](TObject* s, const std::u16string& t) { Error(s, t); };
    TSD->OnCheckStatus = [this](TObject* s, const TVar& n, const TVar& ip, const TVar& d,
                                const TVar& dt, const TVar& c, const TVar& s1, const TVar& s2) {
      CheckStatus(s, n, ip, d, dt, c, s1, s2);
    };
    TSD->OnCheckSQL = [this](TObject* s, const TVar& ip, const TVar& d, const TVar& dt,
                             const TVar& c, const TVar& st, TPicture* img, const TVar& k,
                             TVar& mess, TVar& res) { CheckSQL(s, ip, d, dt, c, st, img, k, mess, res); };
    StartTrace();
    ApplyEventsSetting();
  } catch (...) {
    // Only a system out of resources gets here; the host learns of it through
    // the result and the error log.
    WS.reset();
    TSD.reset();
    DC.reset();
    try {
      Fail(u"Init failed: " + CaughtText());
    } catch (...) {
    }
    return E_FAIL;
  }
  return S_OK;
} catch (...) {
  // Out of the host's own interfaces: they are not to throw, but nothing may
  // cross back into the host.
  return Contained();
}

HRESULT AddInObject::Done() try {
  Teardown();
  return S_OK;
} catch (...) {
  return Contained();
}

void AddInObject::ReleaseHostInterfaces() {
  ReleaseInto(iStatus);
  ReleaseInto(iExtWindows);
  ReleaseInto(iError);
  ReleaseInto(iEvent);
}

void AddInObject::Teardown() {
  // From here on no report reaches the host.
  ReleaseHostInterfaces();
  if (DC) {
    try {
      DC->CloseAll();
    } catch (...) {
      // The components go all the same; there is nobody left to tell.
    }
  }
  if (delivering_ > 0 && (WS || TSD || DC || FTraceFile)) {
    // Done from the host's handler of an event we are delivering: the component
    // that raised it is still running below. They go in a later turn of the loop.
    struct Parts {
      std::unique_ptr<TDeviceConnector> dc;
      std::unique_ptr<TTurnStylerDeviceQ7> tsd;
      std::unique_ptr<TLineServer> ws;
      std::unique_ptr<TTrace> trace;
      ~Parts() {
        ws.reset();
        tsd.reset();
        dc.reset();
      }
    };
    auto parts = std::make_shared<Parts>();
    parts->dc = std::move(DC);
    parts->tsd = std::move(TSD);
    parts->ws = std::move(WS);
    parts->trace = std::move(FTraceFile);
    FTrace = nullptr;
    PostTracked(MessageLoop::Current(), [parts]() mutable { parts.reset(); });
    return;
  }
  WS.reset();
  TSD.reset();
  DC.reset();
  // Last, so that the components' final records are in it; written out here.
  FTrace = nullptr;
  FTraceFile.reset();
}

std::u16string AddInObject::Setting(const char16_t* variable, const char16_t* value) {
  std::optional<std::u16string> text = GetEnvironmentText(variable);
  if (!text || TrimCtl(*text).empty()) text = RegGetStringValue(RegRoot::CurrentUserSoftware, kSettingsKey, value);
  return text && !TrimCtl(*text).empty() ? TrimCtl(*text) : std::u16string();
}

void AddInObject::ApplyEventsSetting() {
  const std::u16string text = Setting(kEventsVariable, kEventsValue);
  std::u16string word = text;  // letter case aside: "All" in the registry means it too
  for (char16_t& c : word)
    if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c + 32);
  const bool all = word == kEventsAll;
  TSD->SetEveryPassReported(all);
  if (!all && !text.empty())
    Remark(u"Events: \"" + text + u"\" is not \"" + kEventsAll +
           u"\"; only the reports that carry news go to the script");
}

void AddInObject::StartTrace() {
  const std::u16string path = Setting(kTraceVariable, kTraceValue);
  if (path.empty()) return;
  TraceOptions options;
  options.path = path;
  // A number within its bounds; anything else leaves the default and says so.
  auto number = [&](const char16_t* variable, const char16_t* value, long long low, long long high,
                    long long fallback) {
    const std::u16string text = Setting(variable, value);
    if (text.empty()) return fallback;
    long long n = 0;
    bool ok = text.size() <= 9;
    for (char16_t c : text) {
      ok = ok && c >= u'0' && c <= u'9';
      if (ok) n = n * 10 + (c - u'0');
    }
    if (ok && n >= low && n <= high) return n;
    Remark(u"Trace: " + std::u16string(value) + u" \"" + text + u"\" is not a number from " + IntToStr(low) +
           u" to " + IntToStr(high) + u"; " + IntToStr(fallback) + u" is used");
    return fallback;
  };
  options.file_limit = static_cast<std::uint64_t>(
      number(kTraceSizeVariable, kTraceSizeValue, 1, 1024, static_cast<long long>(options.file_limit >> 20)) << 20);
  options.files = static_cast<int>(number(kTraceFilesVariable, kTraceFilesValue, 1, 99, options.files));
  FTraceFile = std::make_unique<TTrace>(options);
  if (!FTraceFile->Open()) {
    const std::u16string why = FTraceFile->Failure();
    FTraceFile.reset();
    TraceFailed(why);
    return;
  }
  FTraceFile->OnFailure = [this](const std::u16string& why) { TraceFailed(why); };
  FTrace = FTraceFile.get();
  DC->SetTrace(FTrace);
  TSD->SetTrace(FTrace);
}

void AddInObject::TraceFailed(const std::u16string& why) {
  // Off first: nothing the report below sets off may reach the failed trace.
  FTrace = nullptr;
  if (DC) DC->SetTrace(nullptr);
  if (TSD) TSD->SetTrace(nullptr);
  // Not the error log: the trace is a support aid (and see Remark).
  Remark(why);
}

// A problem the add-in carries on after: ErrorMsg and, if the sink takes it, a
// LOG event, but never an error record, which written during Init would make
// the host count the Init as failed.
void AddInObject::Remark(const std::u16string& text) {
  g_ErrorMsg = text;
  try {
    PostEvent(u"LOG", text);
  } catch (...) {
    // A sink that refuses this refuses the later events too; ErrorMsg has it.
  }
}

HRESULT AddInObject::GetInfo(SAFEARRAY** pInfo) try {
  if (pInfo && *pInfo) {
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_BSTR;
    v.bstrVal = U16ToBstr(kInfo);
    LONG zero = 0;
    SafeArrayPutElement(*pInfo, &zero, &v);  // a failed store is ignored
    VariantClear(&v);
  }
  return S_OK;
} catch (...) {
  return Contained();
}

// ---- ILanguageExtender ----

HRESULT AddInObject::RegisterExtensionAs(BSTR* bstrExtensionName) try {
  if (!bstrExtensionName) return E_POINTER;
  SysFreeString(*bstrExtensionName);
  *bstrExtensionName = U16ToBstr(kExtensionName);
  return S_OK;
} catch (...) {
  return Contained();
}

HRESULT AddInObject::GetNProps(LONG* plProps) {
  if (!plProps) return E_POINTER;
  *plProps = kPropCount;
  return S_OK;
}

HRESULT AddInObject::FindProp(BSTR bstrPropName, LONG* plPropNum) try {
  if (!plPropNum) return E_POINTER;
  *plPropNum = Lookup(kProps, bstrPropName);
  return *plPropNum >= 0 ? S_OK : S_FALSE;
} catch (...) {
  return Contained();
}

HRESULT AddInObject::GetPropName(LONG lPropNum, LONG lPropAlias, BSTR* pbstrPropName) try {
  return NameOf(kProps, lPropNum, lPropAlias, pbstrPropName);
} catch (...) {
  return Contained();
}

HRESULT AddInObject::GetPropVal(LONG lPropNum, VARIANT* pvarPropVal) {
  if (!pvarPropVal) return E_POINTER;
  VariantClear(pvarPropVal);
  try {
    if (lPropNum == 0) {
      SetString(pvarPropVal, g_ErrorMsg);
    } else if (lPropNum == 1) {
      pvarPropVal->vt = VT_I4;
      pvarPropVal->lVal = kPort;
    }
  } catch (...) {
    FailCaught();
  }
  return S_OK;
}

HRESULT AddInObject::SetPropVal(LONG, VARIANT*) { return S_OK; }

HRESULT AddInObject::IsPropReadable(LONG lPropNum, BOOL* pboolPropRead) {
  if (lPropNum != 0 && lPropNum != 1) return S_FALSE;
  if (!pboolPropRead) return E_POINTER;
  *pboolPropRead = TRUE;
  return S_OK;
}

HRESULT AddInObject::IsPropWritable(LONG lPropNum, BOOL* pboolPropWrite) {
  if (lPropNum != 0 && lPropNum != 1) return S_FALSE;
  if (!pboolPropWrite) return E_POINTER;
  *pboolPropWrite = lPropNum == 1 ? TRUE : FALSE;
  return S_OK;
}

HRESULT AddInObject::GetNMethods(LONG* plMethods) {
  if (!plMethods) return E_POINTER;
  *plMethods = kMethodCount;
  return S_OK;
}

HRESULT AddInObject::FindMethod(BSTR bstrMethodName, LONG* plMethodNum) try {
  if (!plMethodNum) return E_POINTER;
  *plMethodNum = Lookup(kMethods, bstrMethodName);
  return *plMethodNum >= 0 ? S_OK : S_FALSE;
} catch (...) {
  return Contained();
}

HRESULT AddInObject::GetMethodName(LONG lMethodNum, LONG lMethodAlias, BSTR* pbstrMethodName) try {
  return NameOf(kMethods, lMethodNum, lMethodAlias, pbstrMethodName);
} catch (...) {
  return Contained();
}

HRESULT AddInObject::GetNParams(LONG lMethodNum, LONG* plParams) {
  if (!plParams) return E_POINTER;
  *plParams = 0;
  if (lMethodNum < 0 || lMethodNum >= kMethodCount) return S_FALSE;
  if (lMethodNum == kMethodGateOpen) *plParams = 3;
  return S_OK;
}

HRESULT AddInObject::GetParamDefValue(LONG, LONG, VARIANT* pvarParamDefValue) {
  if (pvarParamDefValue) VariantClear(pvarParamDefValue);
  return S_OK;
}

HRESULT AddInObject::HasRetVal(LONG, BOOL* pboolRetValue) {
  if (!pboolRetValue) return E_POINTER;
  *pboolRetValue = TRUE;
  return S_OK;
}

// A method written as a statement (Турникеты.Старт();) reaches the add-in here:
// it runs exactly as a function call would, and its answer is dropped. Errors
// go to ErrorMsg and the error log as they do for a function call.
HRESULT AddInObject::CallAsProc(LONG lMethodNum, SAFEARRAY** paParams) {
  VARIANT result;
  VariantInit(&result);
  const HRESULT hr = CallAsFunc(lMethodNum, &result, paParams);
  VariantClear(&result);
  return hr;
}

HRESULT AddInObject::CallAsFunc(LONG lMethodNum, VARIANT* pvarRetValue, SAFEARRAY** paParams) try {
  if (!pvarRetValue) return E_POINTER;
  SetString(pvarRetValue, u"");
  if (lMethodNum < 0 || lMethodNum >= kMethodCount) return S_FALSE;
  std::u16string error;
  if (FTrace) FTrace->CallEntry(0);  // the method names its entry, if it has one
  try {
    RunMethod(lMethodNum, pvarRetValue, paParams);
  } catch (...) {
    VariantClear(pvarRetValue);
    error = FailCaught();
    try {
      SetString(pvarRetValue, u"");
    } catch (...) {
      // Out of memory even for the empty answer: the result stays empty.
    }
  }
  try {
    if (FTrace && lMethodNum != kMethodVersion)
      FTrace->HostCall(kMethods[lMethodNum].english, TraceArgs(paParams, lMethodNum == kMethodGateOpen ? 3 : 0),
                       pvarRetValue->vt == VT_BSTR ? BstrToU16(pvarRetValue->bstrVal) : u"", error);
  } catch (...) {
    // The trace goes without this call's record; the call's answer stands.
  }
  return S_OK;
} catch (...) {
  return Contained();
}

void AddInObject::RunMethod(LONG index, VARIANT* result, SAFEARRAY** params) {
  if (index == kMethodVersion) {
    SetString(result, kVersion);
    return;
  }
  if (!Initialised()) throw axg::Error(kNotInitialised);
  switch (index) {
    case kMethodStart: {
      const bool listening = DC->GetIsConnected();
      // The script learns why from ErrorMsg (and a LOG event): a port taken by
      // another program or another 1C session, say. Not an error: the answer is
      // "FALSE", and Start may be called again.
      if (!listening)
        Remark(u"Cannot listen on port " + WS->Port + u": " +
               (DC->ListenFailure().empty() ? u"the server is not listening" : DC->ListenFailure()));
      SetString(result, listening ? u"TRUE" : u"FALSE");
      break;
    }
    case kMethodStop:
      DC->CloseAll();
      SetString(result, u"TRUE");
      break;
    case kMethodGateOpen:
      GateOpen(params, result);
      break;
    default:
      break;
  }
}

void AddInObject::GateOpen(SAFEARRAY** params, VARIANT* result) {
  std::u16string ip = ParamText(params, 0);
  std::u16string device = ParamText(params, 1);
  std::u16string status = ParamText(params, 2);
  TSD->p_hw_manual(ip, device, status);
  SetString(result, u"TRUE");
}

// ---- IDispatch ----

HRESULT AddInObject::GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) { return E_NOTIMPL; }
HRESULT AddInObject::GetTypeInfo(UINT, LCID, ITypeInfo**) { return E_NOTIMPL; }
HRESULT AddInObject::GetTypeInfoCount(UINT*) { return E_NOTIMPL; }
HRESULT AddInObject::Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) {
  return E_NOTIMPL;
}

// ---- Event reporting ----

void AddInObject::PostEvent(const std::u16string& name, const std::u16string& data) {
  if (!iEvent) return;
  // Held across the call, the sink and the add-in itself: a host whose handler
  // runs at once may let go of the add-in, or call Done, from there, while the
  // component that raised the event is still running below us.
  class Delivery {
   public:
    explicit Delivery(AddInObject& add_in) : add_in_(add_in), sink_(add_in.iEvent) {
      sink_->AddRef();
      add_in_.InnerUnknown()->AddRef();
      ++add_in_.delivering_;
    }
    ~Delivery() {
      SysFreeString(source);
      SysFreeString(name);
      SysFreeString(data);
      sink_->Release();
      --add_in_.delivering_;
      add_in_.LetGoAfterEvent();
    }
    Delivery(const Delivery&) = delete;
    Delivery& operator=(const Delivery&) = delete;
    IAsyncEvent* Sink() const { return sink_; }
    BSTR source = nullptr, name = nullptr, data = nullptr;

   private:
    AddInObject& add_in_;
    IAsyncEvent* sink_;
  } call(*this);
  call.source = U16ToBstr(kEventSource);
  call.name = U16ToBstr(name);
  call.data = U16ToBstr(data);
  const HRESULT hr = call.Sink()->ExternalEvent(call.source, call.name, call.data);
  if (FTrace) FTrace->HostEvent(name, data, hr);
  if (FAILED(hr))
    throw axg::Error(u"IAsyncEvent.ExternalEvent failed: HRESULT " + HResultText(hr));
}

void AddInObject::LetGoAfterEvent() noexcept {
  IUnknown* self = InnerUnknown();
  if (LastReference()) {
    // The host let go meanwhile: the add-in goes once control is back in the loop.
    try {
      PostTracked(MessageLoop::Current(), [self] { self->Release(); });
      return;
    } catch (...) {
      // Out of memory for the call: it goes now.
    }
  }
  self->Release();
}

void AddInObject::Log(TObject*, const std::u16string& Str) { PostEvent(u"LOG", Str); }

void AddInObject::Error(TObject*, const std::u16string& Str) {
  if (FTrace) FTrace->Fault(Str);
  PostEvent(u"ERROR", Str);
}

void AddInObject::CheckStatus(TObject*, const TVar&, const TVar& IP, const TVar& Device,
                              const TVar& DeviceType, const TVar& Cardnumber, const TVar& Status1,
                              const TVar&) {
  PostEvent(u"STATUS", EventData(IP, Device, DeviceType, Cardnumber, Status1.ToText()));
}

void AddInObject::CheckSQL(TObject*, const TVar& IP, const TVar& Device, const TVar& DeviceType,
                           const TVar& Cardnumber, const TVar&, TPicture*, const TVar& AIndex,
                           TVar&, TVar& AResult) {
  // The answer stands before the event is posted, so it holds even when posting fails.
  if (KindIs(AIndex, 1) || KindIs(AIndex, 2)) AResult = TVar(1);
  PostEvent(u"CHECK", EventData(IP, Device, DeviceType, Cardnumber, KindText(AIndex)));
}

void AddInObject::ReportError(const std::u16string& message) {
  if (TrimCtl(message).empty()) return;
  if (!iError) return;
  EXCEPINFO record{};
  record.wCode = kErrorLogCode;
  record.bstrSource = U16ToBstr(kExtensionName);
  record.bstrDescription = U16ToBstr(message);
  record.scode = E_FAIL;
  IErrorLog* log = iError;
  log->AddRef();
  log->AddError(nullptr, &record);  // its result is ignored
  log->Release();
  SysFreeString(record.bstrSource);
  SysFreeString(record.bstrDescription);
}

void AddInObject::Fail(const std::u16string& message) {
  if (FTrace) FTrace->Fault(message);
  g_ErrorMsg = message;
  ReportError(message);
}

std::u16string AddInObject::FailCaught() noexcept {
  try {
    std::u16string message = CaughtText();
    Fail(message);
    return message;
  } catch (...) {
    // Out of memory for the message: it goes as far as it got.
    return {};
  }
}

HRESULT CreateAddInObject(IUnknown* outer, REFIID riid, void** out) {
  return CreateComObject<AddInObject>(outer, riid, out);
}

}  // namespace axg
