#pragma once
// OLE automation at the host boundary: HRESULT, GUID, IUnknown and its kin, BSTR,
// VARIANT and SAFEARRAY. The Windows build takes them from the system headers;
// elsewhere a stand-in with the same names, layouts and semantics for the types
// the add-in meets takes their place. Code above platform/ includes only this.
//
// Where the stand-in differs from oleaut32 (it converts only what the add-in
// needs), the declaration below says so.
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/export.h"

#if defined(_WIN32)

#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <ole2.h>
#include <oleauto.h>
#include <ocidl.h>

#else  // the stand-in

#include <cstddef>

// ---- Basic types, sized as on Windows (LONG is 32 bits there on every target) ----
typedef std::int32_t LONG;
typedef std::uint32_t ULONG;
typedef std::int32_t HRESULT;
typedef std::int32_t SCODE;
typedef int BOOL;
typedef unsigned char BYTE;
typedef char CHAR;
typedef short SHORT;
typedef unsigned short USHORT;
typedef std::uint16_t WORD;
typedef std::uint32_t DWORD;
typedef int INT;
typedef unsigned int UINT;
typedef std::int64_t LONGLONG;
typedef std::uint64_t ULONGLONG;
typedef float FLOAT;
typedef double DOUBLE;
typedef double DATE;
typedef void* PVOID;
typedef void* LPVOID;
typedef DWORD LCID;
typedef LONG DISPID;
typedef char16_t OLECHAR;
typedef char16_t WCHAR;
typedef OLECHAR* LPOLESTR;
typedef const OLECHAR* LPCOLESTR;
typedef OLECHAR* BSTR;
typedef short VARIANT_BOOL;
typedef unsigned short VARTYPE;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

// Calling conventions: stdcall on 32-bit Windows, nothing here.
#define STDMETHODCALLTYPE
#define STDAPICALLTYPE
#define STDAPI extern "C" HRESULT STDAPICALLTYPE

// ---- Results ----
#define SUCCEEDED(hr) (static_cast<HRESULT>(hr) >= 0)
#define FAILED(hr) (static_cast<HRESULT>(hr) < 0)

inline constexpr HRESULT S_OK = 0;
inline constexpr HRESULT S_FALSE = 1;
inline constexpr HRESULT E_NOTIMPL = static_cast<HRESULT>(0x80004001u);
inline constexpr HRESULT E_NOINTERFACE = static_cast<HRESULT>(0x80004002u);
inline constexpr HRESULT E_POINTER = static_cast<HRESULT>(0x80004003u);
inline constexpr HRESULT E_ABORT = static_cast<HRESULT>(0x80004004u);
inline constexpr HRESULT E_FAIL = static_cast<HRESULT>(0x80004005u);
inline constexpr HRESULT E_UNEXPECTED = static_cast<HRESULT>(0x8000FFFFu);
inline constexpr HRESULT E_ACCESSDENIED = static_cast<HRESULT>(0x80070005u);
inline constexpr HRESULT E_OUTOFMEMORY = static_cast<HRESULT>(0x8007000Eu);
inline constexpr HRESULT E_INVALIDARG = static_cast<HRESULT>(0x80070057u);
inline constexpr HRESULT CLASS_E_NOAGGREGATION = static_cast<HRESULT>(0x80040110u);
inline constexpr HRESULT CLASS_E_CLASSNOTAVAILABLE = static_cast<HRESULT>(0x80040111u);
inline constexpr HRESULT REGDB_E_CLASSNOTREG = static_cast<HRESULT>(0x80040154u);
inline constexpr HRESULT CO_E_CLASSSTRING = static_cast<HRESULT>(0x800401F3u);
inline constexpr HRESULT CO_E_DLLNOTFOUND = static_cast<HRESULT>(0x800401F8u);
inline constexpr HRESULT CO_E_ERRORINDLL = static_cast<HRESULT>(0x800401F9u);
inline constexpr HRESULT DISP_E_TYPEMISMATCH = static_cast<HRESULT>(0x80020005u);
inline constexpr HRESULT DISP_E_BADVARTYPE = static_cast<HRESULT>(0x80020008u);
inline constexpr HRESULT DISP_E_OVERFLOW = static_cast<HRESULT>(0x8002000Au);
inline constexpr HRESULT DISP_E_BADINDEX = static_cast<HRESULT>(0x8002000Bu);
inline constexpr HRESULT DISP_E_ARRAYISLOCKED = static_cast<HRESULT>(0x8002000Du);

// ---- GUID ----
struct GUID {
  std::uint32_t Data1;
  std::uint16_t Data2;
  std::uint16_t Data3;
  std::uint8_t Data4[8];
};
typedef GUID IID;
typedef GUID CLSID;
typedef const GUID& REFGUID;
typedef const IID& REFIID;
typedef const CLSID& REFCLSID;

inline bool IsEqualGUID(REFGUID a, REFGUID b) {
  if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3) return false;
  for (int i = 0; i < 8; ++i)
    if (a.Data4[i] != b.Data4[i]) return false;
  return true;
}
inline bool IsEqualIID(REFIID a, REFIID b) { return IsEqualGUID(a, b); }
inline bool IsEqualCLSID(REFCLSID a, REFCLSID b) { return IsEqualGUID(a, b); }
inline bool operator==(REFGUID a, REFGUID b) { return IsEqualGUID(a, b); }

// Identifiers have internal linkage: no unit shares a definition with a module
// it loads, so a module can be unloaded again.
constexpr IID IID_IUnknown = {0x00000000, 0x0000, 0x0000,
                                     {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
constexpr IID IID_IDispatch = {0x00020400, 0x0000, 0x0000,
                                      {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
constexpr IID IID_IClassFactory = {0x00000001, 0x0000, 0x0000,
                                          {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
constexpr IID IID_ISupportErrorInfo = {0xDF0B3D60, 0x548F, 0x101B,
                                              {0x8E, 0x65, 0x08, 0x00, 0x2B, 0x2B, 0xD1, 0x19}};
constexpr IID IID_IErrorLog = {0x3127CA40, 0x446E, 0x11CE,
                                      {0x81, 0x35, 0x00, 0xAA, 0x00, 0x4B, 0xB8, 0x51}};
constexpr GUID GUID_NULL = {0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};

// ---- Variant types ----
enum VARENUM {
  VT_EMPTY = 0,
  VT_NULL = 1,
  VT_I2 = 2,
  VT_I4 = 3,
  VT_R4 = 4,
  VT_R8 = 5,
  VT_CY = 6,
  VT_DATE = 7,
  VT_BSTR = 8,
  VT_DISPATCH = 9,
  VT_ERROR = 10,
  VT_BOOL = 11,
  VT_VARIANT = 12,
  VT_UNKNOWN = 13,
  VT_DECIMAL = 14,
  VT_I1 = 16,
  VT_UI1 = 17,
  VT_UI2 = 18,
  VT_UI4 = 19,
  VT_I8 = 20,
  VT_UI8 = 21,
  VT_INT = 22,
  VT_UINT = 23,
  VT_VOID = 24,
  VT_HRESULT = 25,
  VT_ARRAY = 0x2000,
  VT_BYREF = 0x4000,
  VT_TYPEMASK = 0x0FFF
};

inline constexpr VARIANT_BOOL VARIANT_TRUE = -1;
inline constexpr VARIANT_BOOL VARIANT_FALSE = 0;

// VariantChangeType flags.
inline constexpr USHORT VARIANT_NOVALUEPROP = 0x01;
inline constexpr USHORT VARIANT_ALPHABOOL = 0x02;
inline constexpr USHORT VARIANT_NOUSEROVERRIDE = 0x04;
inline constexpr USHORT VARIANT_LOCALBOOL = 0x10;

struct IUnknown;
struct IDispatch;
struct ITypeInfo;
struct tagSAFEARRAY;
typedef tagSAFEARRAY SAFEARRAY;

typedef struct tagCY {
  LONGLONG int64;
} CY;

typedef struct tagVARIANT VARIANT;
typedef VARIANT VARIANTARG;

struct tagVARIANT {
  VARTYPE vt;
  WORD wReserved1;
  WORD wReserved2;
  WORD wReserved3;
  union {
    LONGLONG llVal;
    LONG lVal;
    BYTE bVal;
    SHORT iVal;
    FLOAT fltVal;
    DOUBLE dblVal;
    VARIANT_BOOL boolVal;
    SCODE scode;
    CY cyVal;
    DATE date;
    BSTR bstrVal;
    IUnknown* punkVal;
    IDispatch* pdispVal;
    SAFEARRAY* parray;
    BYTE* pbVal;
    SHORT* piVal;
    LONG* plVal;
    LONGLONG* pllVal;
    FLOAT* pfltVal;
    DOUBLE* pdblVal;
    VARIANT_BOOL* pboolVal;
    SCODE* pscode;
    BSTR* pbstrVal;
    IUnknown** ppunkVal;
    IDispatch** ppdispVal;
    SAFEARRAY** pparray;
    VARIANT* pvarVal;
    PVOID byref;
    CHAR cVal;
    USHORT uiVal;
    ULONG ulVal;
    ULONGLONG ullVal;
    INT intVal;
    UINT uintVal;
    CHAR* pcVal;
    USHORT* puiVal;
    ULONG* pulVal;
    ULONGLONG* pullVal;
    INT* pintVal;
    UINT* puintVal;
  };
};

// ---- SAFEARRAY ----
typedef struct tagSAFEARRAYBOUND {
  ULONG cElements;
  LONG lLbound;
} SAFEARRAYBOUND;

struct tagSAFEARRAY {
  USHORT cDims;
  USHORT fFeatures;
  ULONG cbElements;
  ULONG cLocks;
  PVOID pvData;
  SAFEARRAYBOUND rgsabound[1];
};

inline constexpr USHORT FADF_HAVEVARTYPE = 0x0080;
inline constexpr USHORT FADF_BSTR = 0x0100;
inline constexpr USHORT FADF_VARIANT = 0x0800;

// ---- EXCEPINFO and DISPPARAMS ----
typedef struct tagEXCEPINFO {
  WORD wCode;
  WORD wReserved;
  BSTR bstrSource;
  BSTR bstrDescription;
  BSTR bstrHelpFile;
  DWORD dwHelpContext;
  PVOID pvReserved;
  HRESULT(STDMETHODCALLTYPE* pfnDeferredFillIn)(struct tagEXCEPINFO*);
  SCODE scode;
} EXCEPINFO, *LPEXCEPINFO;

typedef struct tagDISPPARAMS {
  VARIANTARG* rgvarg;
  DISPID* rgdispidNamedArgs;
  UINT cArgs;
  UINT cNamedArgs;
} DISPPARAMS;

// ---- Interfaces. Like their Windows originals they have no virtual destructor:
// an object is destroyed by its own Release, never through an interface. ----
struct IUnknown {
  virtual HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) = 0;
  virtual ULONG STDMETHODCALLTYPE AddRef() = 0;
  virtual ULONG STDMETHODCALLTYPE Release() = 0;
};
typedef IUnknown* LPUNKNOWN;

struct IDispatch : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* pctinfo) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT iTInfo, LCID lcid, ITypeInfo** ppTInfo) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID riid, LPOLESTR* rgszNames, UINT cNames,
                                                  LCID lcid, DISPID* rgDispId) = 0;
  virtual HRESULT STDMETHODCALLTYPE Invoke(DISPID dispIdMember, REFIID riid, LCID lcid,
                                           WORD wFlags, DISPPARAMS* pDispParams,
                                           VARIANT* pVarResult, EXCEPINFO* pExcepInfo,
                                           UINT* puArgErr) = 0;
};

struct IClassFactory : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* pUnkOuter, REFIID riid,
                                                   void** ppvObject) = 0;
  virtual HRESULT STDMETHODCALLTYPE LockServer(BOOL fLock) = 0;
};

struct ISupportErrorInfo : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE InterfaceSupportsErrorInfo(REFIID riid) = 0;
};

struct IErrorLog : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE AddError(LPCOLESTR pszPropName, EXCEPINFO* pExcepInfo) = 0;
};

// ---- BSTR: a UTF-16 text preceded by its byte length and followed by a zero.
// A null BSTR is the empty text. ----
AXG_PLATFORM_API BSTR SysAllocString(const OLECHAR* psz);
AXG_PLATFORM_API BSTR SysAllocStringLen(const OLECHAR* strIn, UINT ui);
AXG_PLATFORM_API void SysFreeString(BSTR bstrString);
AXG_PLATFORM_API UINT SysStringLen(BSTR pbstr);
AXG_PLATFORM_API UINT SysStringByteLen(BSTR bstr);

// ---- VARIANT ----
AXG_PLATFORM_API void VariantInit(VARIANTARG* pvarg);
AXG_PLATFORM_API HRESULT VariantClear(VARIANTARG* pvarg);
AXG_PLATFORM_API HRESULT VariantCopy(VARIANTARG* pvargDest, const VARIANTARG* pvargSrc);
// Converts to VT_BSTR or VT_I4 (any other target type: copy when the types
// already agree, otherwise E_NOTIMPL). The rules are OLE's with the user locale
// taken as English (decimal point "."):
//   to VT_BSTR: empty -> ""; integers -> decimal text; VT_R8 -> up to 15
//     significant digits, VT_R4 -> up to 7, trailing zeros dropped ("2.5", "3",
//     "1E+20", "1E-05"); VT_BOOL -> "-1"/"0", or "True"/"False" with
//     VARIANT_ALPHABOOL or VARIANT_LOCALBOOL; VT_NULL and anything else ->
//     DISP_E_TYPEMISMATCH.
//   to VT_I4: empty -> 0; integers and floating point (rounded half to even) ->
//     the value or DISP_E_OVERFLOW; VT_BOOL -> -1/0; text -> a decimal number with
//     optional blanks around it, sign, fraction and exponent, rounded half to
//     even; anything else in the text (the stand-in takes neither thousands
//     separators nor "&H"/"&O" numbers, which oleaut32 does), an empty text and
//     VT_NULL -> DISP_E_TYPEMISMATCH.
//   VT_CY, VT_DATE and VT_DECIMAL sources are beyond the stand-in: E_NOTIMPL.
// A source passed by reference (VT_BYREF) is converted from the value it points at.
// The destination may be the source; on failure it is left as it was.
AXG_PLATFORM_API HRESULT VariantChangeType(VARIANTARG* pvargDest, const VARIANTARG* pvarSrc,
                                           USHORT wFlags, VARTYPE vt);

// ---- SAFEARRAY: one-dimensional arrays of VARIANT (the only kind the stand-in
// creates; SafeArrayCreateVector with another element type returns null). ----
AXG_PLATFORM_API SAFEARRAY* SafeArrayCreateVector(VARTYPE vt, LONG lLbound, ULONG cElements);
AXG_PLATFORM_API HRESULT SafeArrayDestroy(SAFEARRAY* psa);
AXG_PLATFORM_API UINT SafeArrayGetDim(SAFEARRAY* psa);
AXG_PLATFORM_API UINT SafeArrayGetElemsize(SAFEARRAY* psa);
AXG_PLATFORM_API HRESULT SafeArrayGetLBound(SAFEARRAY* psa, UINT nDim, LONG* plLbound);
AXG_PLATFORM_API HRESULT SafeArrayGetUBound(SAFEARRAY* psa, UINT nDim, LONG* plUbound);
AXG_PLATFORM_API HRESULT SafeArrayGetVartype(SAFEARRAY* psa, VARTYPE* pvt);
// Copies the element out; the VARIANT at pv is treated as uninitialised.
AXG_PLATFORM_API HRESULT SafeArrayGetElement(SAFEARRAY* psa, LONG* rgIndices, void* pv);
// Stores a copy of the VARIANT at pv; the element's old value is cleared.
AXG_PLATFORM_API HRESULT SafeArrayPutElement(SAFEARRAY* psa, LONG* rgIndices, void* pv);
AXG_PLATFORM_API HRESULT SafeArrayCopy(SAFEARRAY* psa, SAFEARRAY** ppsaOut);
AXG_PLATFORM_API HRESULT SafeArrayLock(SAFEARRAY* psa);
AXG_PLATFORM_API HRESULT SafeArrayUnlock(SAFEARRAY* psa);
AXG_PLATFORM_API HRESULT SafeArrayAccessData(SAFEARRAY* psa, void** ppvData);
AXG_PLATFORM_API HRESULT SafeArrayUnaccessData(SAFEARRAY* psa);

#endif  // _WIN32

// ---- Helpers of both builds ----
namespace axg {

// A BSTR's text (a null BSTR gives the empty text).
AXG_PLATFORM_API std::u16string BstrToU16(BSTR value);
// A new BSTR holding the text (null only if memory runs out); the caller frees it.
AXG_PLATFORM_API BSTR U16ToBstr(std::u16string_view text);

// The braced upper-case text form "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}".
AXG_PLATFORM_API std::u16string GuidToString(REFGUID guid);
// Parses the braced form (hex digits in either case); false leaves guid untouched.
AXG_PLATFORM_API bool GuidFromString(std::u16string_view text, GUID& guid);

// The identifier of an interface type: InterfaceId<IDispatch>() and so on.
// Interfaces declared elsewhere add their own specialisation.
template <class Interface>
struct InterfaceTraits;

template <class Interface>
const IID& InterfaceId() {
  return InterfaceTraits<Interface>::Iid();
}

template <>
struct InterfaceTraits<IUnknown> {
  static const IID& Iid() { return IID_IUnknown; }
};
template <>
struct InterfaceTraits<IDispatch> {
  static const IID& Iid() { return IID_IDispatch; }
};
template <>
struct InterfaceTraits<IClassFactory> {
  static const IID& Iid() { return IID_IClassFactory; }
};
template <>
struct InterfaceTraits<ISupportErrorInfo> {
  static const IID& Iid() { return IID_ISupportErrorInfo; }
};
template <>
struct InterfaceTraits<IErrorLog> {
  static const IID& Iid() { return IID_IErrorLog; }
};

}  // namespace axg
