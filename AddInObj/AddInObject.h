#pragma once
// AddInObject: the one object the 1C:Enterprise 7.7 host creates from this
// module under the ProgID "AddIn.ax_gate". IInitDone carries its life cycle,
// ILanguageExtender publishes two properties and four methods under English and
// Russian names, IDispatch refuses every late-bound call. From Init to Done the
// object owns the device connector, the gate controller and the controllers' TCP
// server, and turns the controller's events into external events for the host.
//
// Between host calls the object is in one of two states. Initialised (after Init,
// before Done): everything works. Not initialised (before Init, after Done): the
// tables, Version and the properties still answer; Start, Stop and GateOpen fail
// with "The add-in is not initialised" in ErrorMsg, and nothing reaches the host.
// A host that releases the object without Done gets Done's teardown first.
#include <memory>
#include <string>

#include "AddInLib/AddInLib.h"
#include "AddInObj/ComObject.h"
#include "UturnstylerdeviceQ7/TVar.h"
#include "platform/component.h"
#include "platform/ole.h"

namespace axg {

class TDeviceConnector;
class TLineServer;
class TTrace;
class TTurnStylerDeviceQ7;
struct TPicture;

class AddInObject final : public ComObject<ILanguageExtender, IInitDone, IDispatch> {
 public:
  explicit AddInObject(IUnknown* outer);

  // Script-visible names and the add-in's fixed texts.
  static constexpr const char16_t* kExtensionName = u"ax_gate";
  static constexpr const char16_t* kInfo = u"2000";
  static constexpr const char16_t* kVersion = u"Kavreno v.1.0";
  static constexpr const char16_t* kEventSource = u"Kavreno";
  static constexpr const char16_t* kNotInitialised = u"The add-in is not initialised";
  static constexpr LONG kEventBufferDepth = 500;
  static constexpr LONG kPort = 1001;
  static constexpr WORD kErrorLogCode = 1006;
  // The trace switch, read at Init: the environment variable first, then the
  // string value "Trace" of HKEY_CURRENT_USER\Software\ax_gate; each names the
  // trace file. Neither set (or empty): no trace.
  static constexpr const char16_t* kTraceVariable = u"AX_GATE_TRACE";
  static constexpr const char16_t* kSettingsKey = u"ax_gate";
  static constexpr const char16_t* kTraceValue = u"Trace";
  // Its size, beside it and read the same way: MiB of one file (1 to 1024) and
  // the number of files (1 to 99); unset, 32 MiB and 8 files.
  static constexpr const char16_t* kTraceSizeVariable = u"AX_GATE_TRACE_SIZE";
  static constexpr const char16_t* kTraceSizeValue = u"TraceSize";
  static constexpr const char16_t* kTraceFilesVariable = u"AX_GATE_TRACE_FILES";
  static constexpr const char16_t* kTraceFilesValue = u"TraceFiles";
  // Which reports of the live requests reach the script, read the same way:
  // "all" (in any letter case), every live request on every 10 ms pass;
  // anything else, or nothing, only the reports that carry news (and a reminder
  // a second of a request that waits). Another value is told once in a LOG.
  static constexpr const char16_t* kEventsVariable = u"AX_GATE_EVENTS";
  static constexpr const char16_t* kEventsValue = u"Events";
  static constexpr const char16_t* kEventsAll = u"all";

  // IInitDone
  HRESULT STDMETHODCALLTYPE Init(IDispatch* pConnection) override;
  HRESULT STDMETHODCALLTYPE Done() override;
  HRESULT STDMETHODCALLTYPE GetInfo(SAFEARRAY** pInfo) override;

  // ILanguageExtender
  HRESULT STDMETHODCALLTYPE RegisterExtensionAs(BSTR* bstrExtensionName) override;
  HRESULT STDMETHODCALLTYPE GetNProps(LONG* plProps) override;
  HRESULT STDMETHODCALLTYPE FindProp(BSTR bstrPropName, LONG* plPropNum) override;
  HRESULT STDMETHODCALLTYPE GetPropName(LONG lPropNum, LONG lPropAlias, BSTR* pbstrPropName) override;
  HRESULT STDMETHODCALLTYPE GetPropVal(LONG lPropNum, VARIANT* pvarPropVal) override;
  HRESULT STDMETHODCALLTYPE SetPropVal(LONG lPropNum, VARIANT* varPropVal) override;
  HRESULT STDMETHODCALLTYPE IsPropReadable(LONG lPropNum, BOOL* pboolPropRead) override;
  HRESULT STDMETHODCALLTYPE IsPropWritable(LONG lPropNum, BOOL* pboolPropWrite) override;
  HRESULT STDMETHODCALLTYPE GetNMethods(LONG* plMethods) override;
  HRESULT STDMETHODCALLTYPE FindMethod(BSTR bstrMethodName, LONG* plMethodNum) override;
  HRESULT STDMETHODCALLTYPE GetMethodName(LONG lMethodNum, LONG lMethodAlias,
                                          BSTR* pbstrMethodName) override;
  HRESULT STDMETHODCALLTYPE GetNParams(LONG lMethodNum, LONG* plParams) override;
  HRESULT STDMETHODCALLTYPE GetParamDefValue(LONG lMethodNum, LONG lParamNum,
                                             VARIANT* pvarParamDefValue) override;
  HRESULT STDMETHODCALLTYPE HasRetVal(LONG lMethodNum, BOOL* pboolRetValue) override;
  HRESULT STDMETHODCALLTYPE CallAsProc(LONG lMethodNum, SAFEARRAY** paParams) override;
  HRESULT STDMETHODCALLTYPE CallAsFunc(LONG lMethodNum, VARIANT* pvarRetValue,
                                       SAFEARRAY** paParams) override;

  // IDispatch: no late-bound automation; each returns E_NOTIMPL.
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID riid, LPOLESTR* rgszNames, UINT cNames, LCID lcid,
                                          DISPID* rgDispId) override;
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT iTInfo, LCID lcid, ITypeInfo** ppTInfo) override;
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* pctinfo) override;
  HRESULT STDMETHODCALLTYPE Invoke(DISPID dispIdMember, REFIID riid, LCID lcid, WORD wFlags,
                                   DISPPARAMS* pDispParams, VARIANT* pVarResult,
                                   EXCEPINFO* pExcepInfo, UINT* puArgErr) override;

  // The controller's events, routed here by Init; each becomes one external
  // event. A failing ExternalEvent is raised as an axg::Error to the caller.
  void Log(TObject* Sender, const std::u16string& Str);
  void Error(TObject* Sender, const std::u16string& Str);
  void CheckStatus(TObject* Sender, const TVar& AName, const TVar& IP, const TVar& Device,
                   const TVar& DeviceType, const TVar& Cardnumber, const TVar& Status1,
                   const TVar& Status2);
  void CheckSQL(TObject* Sender, const TVar& IP, const TVar& Device, const TVar& DeviceType,
                const TVar& Cardnumber, const TVar& Status, TPicture* Img, const TVar& AIndex,
                TVar& Mess, TVar& AResult);
  // Writes one entry to the host's error log (nothing for a blank message).
  void ReportError(const std::u16string& message);

  bool Initialised() const { return TSD != nullptr; }
  // The owned components, for tests; null when not initialised.
  TDeviceConnector* Connector() const { return DC.get(); }
  TTurnStylerDeviceQ7* Controller() const { return TSD.get(); }
  TLineServer* Server() const { return WS.get(); }
  // The trace while it is on; null when off (not switched on, or failed).
  TTrace* Trace() const { return FTrace; }

 private:
  ~AddInObject() override;

  void PostEvent(const std::u16string& name, const std::u16string& data);
  // Gives back the reference PostEvent held on the add-in.
  void LetGoAfterEvent() noexcept;
  // Done's steps 1 to 3.
  void Teardown();
  void ReleaseHostInterfaces();
  // Stores the message in g_ErrorMsg and writes it to the error log.
  void Fail(const std::u16string& message);
  // The same for the exception being handled, as far as memory allows; gives
  // its message. Called in the handlers of the entry points: nothing leaves them.
  std::u16string FailCaught() noexcept;
  void RunMethod(LONG index, VARIANT* result, SAFEARRAY** params);
  void GateOpen(SAFEARRAY** params, VARIANT* result);
  // Opens the trace the switch names and hands it to the components; a trace
  // that cannot be opened or written is reported once (ErrorMsg and a LOG
  // event) and switched off.
  void StartTrace();
  void ApplyEventsSetting();
  // A setting: its environment variable first, then the string value of that
  // name under HKEY_CURRENT_USER\Software\ax_gate; trimmed, empty when neither is set.
  static std::u16string Setting(const char16_t* variable, const char16_t* value);
  void Remark(const std::u16string& text);
  void TraceFailed(const std::u16string& why);

  std::u16string g_ErrorMsg;
  IDispatch* i1cv7 = nullptr;
  IStatusLine* iStatus = nullptr;
  IExtWndsSupport* iExtWindows = nullptr;
  IErrorLog* iError = nullptr;
  IAsyncEvent* iEvent = nullptr;
  // Destroyed in Done in the order server, controller, connector.
  std::unique_ptr<TDeviceConnector> DC;
  std::unique_ptr<TTurnStylerDeviceQ7> TSD;
  std::unique_ptr<TLineServer> WS;
  // The trace outlives the components it was handed to; FTrace is its pointer
  // while it is on, and the one thing every hook tests.
  std::unique_ptr<TTrace> FTraceFile;
  TTrace* FTrace = nullptr;
  // External events being delivered (the host's handler may call back into us).
  int delivering_ = 0;
};

}  // namespace axg
