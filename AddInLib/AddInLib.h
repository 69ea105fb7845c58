#pragma once
// The 1C:Enterprise 7.7 add-in interfaces with their published identifiers. The
// order of the operations is the order of the host's virtual tables: it must not
// change. LONG is 32 bits in both builds, as the host expects. IErrorLog, the
// host's error log, is the standard interface from platform/ole.h.
#include "platform/ole.h"

// ---- Interface identifiers (each unit its own copy: a module that defines no
// shared symbols of its own can be unloaded again) ----
constexpr IID IID_IInitDone = {0xAB634001, 0xF13D, 0x11D0,
                                      {0xA4, 0x59, 0x00, 0x40, 0x95, 0xE1, 0xDA, 0xEA}};
constexpr IID IID_ILanguageExtender = {0xAB634003, 0xF13D, 0x11D0,
                                              {0xA4, 0x59, 0x00, 0x40, 0x95, 0xE1, 0xDA, 0xEA}};
constexpr IID IID_IAsyncEvent = {0xAB634004, 0xF13D, 0x11D0,
                                        {0xA4, 0x59, 0x00, 0x40, 0x95, 0xE1, 0xDA, 0xEA}};
constexpr IID IID_IStatusLine = {0xAB634005, 0xF13D, 0x11D0,
                                        {0xA4, 0x59, 0x00, 0x40, 0x95, 0xE1, 0xDA, 0xEA}};
constexpr IID IID_IExtWndsSupport = {0xEFE19EA0, 0x09E4, 0x11D2,
                                            {0xA6, 0x01, 0x00, 0x80, 0x48, 0xDA, 0x00, 0xDE}};

// Implemented by the add-in: its life cycle.
struct IInitDone : public IUnknown {
  // The host hands over its connection object.
  virtual HRESULT STDMETHODCALLTYPE Init(IDispatch* pConnection) = 0;
  // The host shuts the add-in down.
  virtual HRESULT STDMETHODCALLTYPE Done() = 0;
  // Element 0 of the array receives the add-in's version information.
  virtual HRESULT STDMETHODCALLTYPE GetInfo(SAFEARRAY** pInfo) = 0;
};

// Implemented by the add-in: the properties and methods of its script object.
struct ILanguageExtender : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE RegisterExtensionAs(BSTR* bstrExtensionName) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetNProps(LONG* plProps) = 0;
  virtual HRESULT STDMETHODCALLTYPE FindProp(BSTR bstrPropName, LONG* plPropNum) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetPropName(LONG lPropNum, LONG lPropAlias,
                                                BSTR* pbstrPropName) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetPropVal(LONG lPropNum, VARIANT* pvarPropVal) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetPropVal(LONG lPropNum, VARIANT* varPropVal) = 0;
  virtual HRESULT STDMETHODCALLTYPE IsPropReadable(LONG lPropNum, BOOL* pboolPropRead) = 0;
  virtual HRESULT STDMETHODCALLTYPE IsPropWritable(LONG lPropNum, BOOL* pboolPropWrite) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetNMethods(LONG* plMethods) = 0;
  virtual HRESULT STDMETHODCALLTYPE FindMethod(BSTR bstrMethodName, LONG* plMethodNum) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetMethodName(LONG lMethodNum, LONG lMethodAlias,
                                                  BSTR* pbstrMethodName) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetNParams(LONG lMethodNum, LONG* plParams) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetParamDefValue(LONG lMethodNum, LONG lParamNum,
                                                     VARIANT* pvarParamDefValue) = 0;
  virtual HRESULT STDMETHODCALLTYPE HasRetVal(LONG lMethodNum, BOOL* pboolRetValue) = 0;
  virtual HRESULT STDMETHODCALLTYPE CallAsProc(LONG lMethodNum, SAFEARRAY** paParams) = 0;
  virtual HRESULT STDMETHODCALLTYPE CallAsFunc(LONG lMethodNum, VARIANT* pvarRetValue,
                                               SAFEARRAY** paParams) = 0;
};

// Offered by the host: the queue of external events for the script.
struct IAsyncEvent : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE SetEventBufferDepth(LONG lDepth) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetEventBufferDepth(LONG* plDepth) = 0;
  virtual HRESULT STDMETHODCALLTYPE ExternalEvent(BSTR bstrSource, BSTR bstrMessage,
                                                  BSTR bstrData) = 0;
  virtual HRESULT STDMETHODCALLTYPE CleanBuffer() = 0;
};

// Offered by the host: its status line.
struct IStatusLine : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE SetStatusLine(BSTR bstrStatusLine) = 0;
  virtual HRESULT STDMETHODCALLTYPE ResetStatusLine() = 0;
};

// Offered by the host: support for add-in windows. The add-in never asks for it
// and never calls it; the three operations only keep the table's shape.
struct IExtWndsSupport : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE Reserved1() = 0;
  virtual HRESULT STDMETHODCALLTYPE Reserved2() = 0;
  virtual HRESULT STDMETHODCALLTYPE Reserved3() = 0;
};

namespace axg {

template <>
struct InterfaceTraits<IInitDone> {
  static const IID& Iid() { return IID_IInitDone; }
};
template <>
struct InterfaceTraits<ILanguageExtender> {
  static const IID& Iid() { return IID_ILanguageExtender; }
};
template <>
struct InterfaceTraits<IAsyncEvent> {
  static const IID& Iid() { return IID_IAsyncEvent; }
};
template <>
struct InterfaceTraits<IStatusLine> {
  static const IID& Iid() { return IID_IStatusLine; }
};
template <>
struct InterfaceTraits<IExtWndsSupport> {
  static const IID& Iid() { return IID_IExtWndsSupport; }
};

}  // namespace axg
