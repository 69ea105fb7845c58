// The OLE automation stand-in: BSTR, VARIANT and one-dimensional SAFEARRAYs of
// VARIANT with oleaut32's semantics for what the add-in and its host use.
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>

#include "platform/ole.h"

// ---------------------------------------------------------------------------
// BSTR: [32-bit byte length][UTF-16 text][zero], the pointer at the text.

namespace {

constexpr std::size_t kBstrPrefix = sizeof(std::uint32_t);

std::uint32_t* BstrHeader(BSTR s) {
  return reinterpret_cast<std::uint32_t*>(reinterpret_cast<char*>(s) - kBstrPrefix);
}

}  // namespace

BSTR SysAllocStringLen(const OLECHAR* strIn, UINT ui) {
  const std::uint64_t bytes = static_cast<std::uint64_t>(ui) * sizeof(OLECHAR);
  if (bytes > std::numeric_limits<std::uint32_t>::max() - 16) return nullptr;
  char* block = static_cast<char*>(std::malloc(kBstrPrefix + bytes + sizeof(OLECHAR)));
  if (block == nullptr) return nullptr;
  const std::uint32_t length = static_cast<std::uint32_t>(bytes);
  std::memcpy(block, &length, sizeof length);
  BSTR s = reinterpret_cast<BSTR>(block + kBstrPrefix);
  if (strIn != nullptr)
    std::memcpy(s, strIn, bytes);
  else
    std::memset(s, 0, bytes);
  s[ui] = 0;
  return s;
}

BSTR SysAllocString(const OLECHAR* psz) {
  if (psz == nullptr) return nullptr;
  UINT n = 0;
  while (psz[n] != 0) ++n;
  return SysAllocStringLen(psz, n);
}

void SysFreeString(BSTR bstrString) {
  if (bstrString != nullptr) std::free(BstrHeader(bstrString));
}

UINT SysStringByteLen(BSTR bstr) {
  if (bstr == nullptr) return 0;
  std::uint32_t length;
  std::memcpy(&length, BstrHeader(bstr), sizeof length);
  return length;
}

UINT SysStringLen(BSTR pbstr) { return SysStringByteLen(pbstr) / sizeof(OLECHAR); }

// ---------------------------------------------------------------------------
// VARIANT

namespace {

bool IsScalarType(VARTYPE t) {
  switch (t) {
    case VT_EMPTY: case VT_NULL: case VT_I2: case VT_I4: case VT_R4: case VT_R8: case VT_CY:
    case VT_DATE: case VT_BSTR: case VT_DISPATCH: case VT_ERROR: case VT_BOOL: case VT_UNKNOWN:
    case VT_I1: case VT_UI1: case VT_UI2: case VT_UI4: case VT_I8: case VT_UI8: case VT_INT:
    case VT_UINT:
      return true;
    default:
      return false;
  }
}

// A type a VARIANT may carry: a scalar, an array of scalars or variants, or a
// reference to either.
bool IsValidVariantType(VARTYPE vt) {
  if (vt & ~(VT_TYPEMASK | VT_ARRAY | VT_BYREF)) return false;
  if ((vt & VT_ARRAY) && (vt & VT_BYREF)) return false;
  const VARTYPE base = vt & VT_TYPEMASK;
  if (vt & (VT_ARRAY | VT_BYREF))
    return base == VT_VARIANT || (IsScalarType(base) && base != VT_EMPTY && base != VT_NULL);
  return IsScalarType(base);
}

}  // namespace

void VariantInit(VARIANTARG* pvarg) {
  if (pvarg == nullptr) return;
  pvarg->vt = VT_EMPTY;
  pvarg->wReserved1 = pvarg->wReserved2 = pvarg->wReserved3 = 0;
  pvarg->llVal = 0;
}

HRESULT VariantClear(VARIANTARG* pvarg) {
  if (pvarg == nullptr) return E_INVALIDARG;
  if (!IsValidVariantType(pvarg->vt)) return DISP_E_BADVARTYPE;
  if (pvarg->vt & VT_ARRAY) {
    HRESULT hr = SafeArrayDestroy(pvarg->parray);
    if (FAILED(hr)) return hr;
  } else if (!(pvarg->vt & VT_BYREF)) {
    switch (pvarg->vt) {
      case VT_BSTR:
        SysFreeString(pvarg->bstrVal);
        break;
      case VT_DISPATCH:
        if (pvarg->pdispVal != nullptr) pvarg->pdispVal->Release();
        break;
      case VT_UNKNOWN:
        if (pvarg->punkVal != nullptr) pvarg->punkVal->Release();
        break;
      default:
        break;
    }
  }
  VariantInit(pvarg);
  return S_OK;
}

HRESULT VariantCopy(VARIANTARG* pvargDest, const VARIANTARG* pvargSrc) {
  if (pvargDest == nullptr || pvargSrc == nullptr) return E_INVALIDARG;
  if (pvargDest == pvargSrc) return S_OK;
  if (!IsValidVariantType(pvargSrc->vt)) return DISP_E_BADVARTYPE;
  HRESULT hr = VariantClear(pvargDest);
  if (FAILED(hr)) return hr;
  VARIANT copy = *pvargSrc;
  if (copy.vt & VT_ARRAY) {
    copy.parray = nullptr;
    if (pvargSrc->parray != nullptr) {
      hr = SafeArrayCopy(pvargSrc->parray, &copy.parray);
      if (FAILED(hr)) return hr;
    }
  } else if (!(copy.vt & VT_BYREF)) {
    switch (copy.vt) {
      case VT_BSTR:
        if (pvargSrc->bstrVal != nullptr) {
          copy.bstrVal = SysAllocStringLen(pvargSrc->bstrVal, SysStringLen(pvargSrc->bstrVal));
          if (copy.bstrVal == nullptr) return E_OUTOFMEMORY;
        }
        break;
      case VT_DISPATCH:
        if (copy.pdispVal != nullptr) copy.pdispVal->AddRef();
        break;
      case VT_UNKNOWN:
        if (copy.punkVal != nullptr) copy.punkVal->AddRef();
        break;
      default:
        break;
    }
  }
  *pvargDest = copy;
  return S_OK;
}

namespace {

// A view of the value a by-reference VARIANT points at (nothing is copied: a
// BSTR stays owned by its referent). False when the reference cannot be read.
bool Dereference(const VARIANT& src, VARIANT& view) {
  VariantInit(&view);
  if (!(src.vt & VT_BYREF)) {
    view = src;
    return true;
  }
  if (src.byref == nullptr) return false;
  const VARTYPE base = src.vt & VT_TYPEMASK;
  if (src.vt & VT_ARRAY) return false;
  view.vt = base;
  switch (base) {
    case VT_I1: view.cVal = *src.pcVal; return true;
    case VT_UI1: view.bVal = *src.pbVal; return true;
    case VT_I2: view.iVal = *src.piVal; return true;
    case VT_UI2: view.uiVal = *src.puiVal; return true;
    case VT_I4: view.lVal = *src.plVal; return true;
    case VT_UI4: view.ulVal = *src.pulVal; return true;
    case VT_INT: view.intVal = *src.pintVal; return true;
    case VT_UINT: view.uintVal = *src.puintVal; return true;
    case VT_I8: view.llVal = *src.pllVal; return true;
    case VT_UI8: view.ullVal = *src.pullVal; return true;
    case VT_R4: view.fltVal = *src.pfltVal; return true;
    case VT_R8: view.dblVal = *src.pdblVal; return true;
    case VT_BOOL: view.boolVal = *src.pboolVal; return true;
    case VT_ERROR: view.scode = *src.pscode; return true;
    case VT_BSTR: view.bstrVal = *src.pbstrVal; return true;
    case VT_DISPATCH: view.pdispVal = *src.ppdispVal; return true;
    case VT_UNKNOWN: view.punkVal = *src.ppunkVal; return true;
    case VT_VARIANT:
      if (src.pvarVal->vt & VT_BYREF) return false;  // a reference to a reference
      view = *src.pvarVal;
      return true;
    default:
      return false;
  }
}

enum class Kind { Empty, Null, Signed, Unsigned, Real, Bool, Text, Other, Unsupported };

struct Value {
  Kind kind = Kind::Other;
  std::int64_t i = 0;
  std::uint64_t u = 0;
  double d = 0.0;
  int digits = 15;  // significant digits of a real's text
  bool b = false;
  BSTR s = nullptr;
};

Value Classify(const VARIANT& v) {
  Value r;
  switch (v.vt) {
    case VT_EMPTY: r.kind = Kind::Empty; break;
    case VT_NULL: r.kind = Kind::Null; break;
    case VT_I1: r.kind = Kind::Signed; r.i = static_cast<signed char>(v.cVal); break;
    case VT_I2: r.kind = Kind::Signed; r.i = v.iVal; break;
    case VT_I4: r.kind = Kind::Signed; r.i = v.lVal; break;
    case VT_INT: r.kind = Kind::Signed; r.i = v.intVal; break;
    case VT_I8: r.kind = Kind::Signed; r.i = v.llVal; break;
    case VT_UI1: r.kind = Kind::Unsigned; r.u = v.bVal; break;
    case VT_UI2: r.kind = Kind::Unsigned; r.u = v.uiVal; break;
    case VT_UI4: r.kind = Kind::Unsigned; r.u = v.ulVal; break;
    case VT_UINT: r.kind = Kind::Unsigned; r.u = v.uintVal; break;
    case VT_UI8: r.kind = Kind::Unsigned; r.u = v.ullVal; break;
    case VT_R4: r.kind = Kind::Real; r.d = v.fltVal; r.digits = 7; break;
    case VT_R8: r.kind = Kind::Real; r.d = v.dblVal; break;
    case VT_BOOL: r.kind = Kind::Bool; r.b = v.boolVal != VARIANT_FALSE; break;
    case VT_BSTR: r.kind = Kind::Text; r.s = v.bstrVal; break;
    case VT_CY: case VT_DATE: case VT_DECIMAL: r.kind = Kind::Unsupported; break;
    default: r.kind = Kind::Other; break;  // error codes, objects, arrays
  }
  return r;
}

std::u16string Widen(const char* first, const char* last) { return std::u16string(first, last); }

std::u16string RealToText(double d, int digits) {
  if (d == 0.0) return u"0";  // also -0
  char buf[64];
  auto res = std::to_chars(buf, buf + sizeof buf, d, std::chars_format::general, digits);
  for (char* p = buf; p != res.ptr; ++p)
    if (*p == 'e') *p = 'E';
  return Widen(buf, res.ptr);
}

template <class T>
std::u16string IntegerToText(T value) {
  char buf[32];
  auto res = std::to_chars(buf, buf + sizeof buf, value);
  return Widen(buf, res.ptr);
}

HRESULT ToText(const Value& v, USHORT flags, std::u16string& out) {
  switch (v.kind) {
    case Kind::Empty: out.clear(); return S_OK;
    case Kind::Signed: out = IntegerToText(v.i); return S_OK;
    case Kind::Unsigned: out = IntegerToText(v.u); return S_OK;
    case Kind::Real: out = RealToText(v.d, v.digits); return S_OK;
    case Kind::Bool:
      if (flags & (VARIANT_ALPHABOOL | VARIANT_LOCALBOOL))
        out = v.b ? u"True" : u"False";
      else
        out = v.b ? u"-1" : u"0";
      return S_OK;
    case Kind::Text: out = axg::BstrToU16(v.s); return S_OK;
    case Kind::Unsupported: return E_NOTIMPL;
    case Kind::Null:
    case Kind::Other: return DISP_E_TYPEMISMATCH;
  }
  return DISP_E_TYPEMISMATCH;
}

HRESULT RealToI4(double d, LONG& out) {
  if (std::isnan(d)) return DISP_E_OVERFLOW;
  const double r = std::nearbyint(d);  // the default rounding: half to even
  if (r < -2147483648.0 || r > 2147483647.0) return DISP_E_OVERFLOW;
  out = static_cast<LONG>(r);
  return S_OK;
}

bool IsBlank(char16_t c) { return c == u' ' || (c >= u'\t' && c <= u'\r'); }

// A decimal number: blanks, optional sign, digits with an optional fraction,
// an optional exponent, blanks. Rounds half to even, exactly (no binary detour).
HRESULT TextToI4(std::u16string_view t, LONG& out) {
  std::size_t p = 0;
  while (p < t.size() && IsBlank(t[p])) ++p;
  bool negative = false;
  if (p < t.size() && (t[p] == u'+' || t[p] == u'-')) negative = t[p++] == u'-';
  std::string digits;  // significant digits, leading zeros dropped
  long long exponent = 0;  // value = digits * 10^exponent
  bool any_digit = false;
  for (; p < t.size() && t[p] >= u'0' && t[p] <= u'9'; ++p) {
    any_digit = true;
    if (!digits.empty() || t[p] != u'0') digits += static_cast<char>(t[p]);
  }
  if (p < t.size() && t[p] == u'.') {
    for (++p; p < t.size() && t[p] >= u'0' && t[p] <= u'9'; ++p) {
      any_digit = true;
      if (!digits.empty() || t[p] != u'0') digits += static_cast<char>(t[p]);
      --exponent;
    }
  }
  if (!any_digit) return DISP_E_TYPEMISMATCH;
  if (p < t.size() && (t[p] == u'e' || t[p] == u'E')) {
    ++p;
    bool exp_negative = false;
    if (p < t.size() && (t[p] == u'+' || t[p] == u'-')) exp_negative = t[p++] == u'-';
    if (p >= t.size() || t[p] < u'0' || t[p] > u'9') return DISP_E_TYPEMISMATCH;
    long long e = 0;
    for (; p < t.size() && t[p] >= u'0' && t[p] <= u'9'; ++p)
      if (e < 100000000) e = e * 10 + (t[p] - u'0');
    exponent += exp_negative ? -e : e;
  }
  while (p < t.size() && IsBlank(t[p])) ++p;
  if (p != t.size()) return DISP_E_TYPEMISMATCH;
  if (digits.empty()) {
    out = 0;
    return S_OK;
  }
  // Split into the integer part and the first dropped digit plus a sticky rest.
  const long long int_len = static_cast<long long>(digits.size()) + exponent;
  if (int_len > 10) return DISP_E_OVERFLOW;
  std::uint64_t magnitude = 0;
  for (long long k = 0; k < int_len; ++k) {
    const bool have = k < static_cast<long long>(digits.size());
    magnitude = magnitude * 10 + (have ? digits[static_cast<std::size_t>(k)] - '0' : 0);
  }
  int first_dropped = 0;
  bool rest_nonzero = false;
  if (int_len >= 0 && int_len < static_cast<long long>(digits.size())) {
    first_dropped = digits[static_cast<std::size_t>(int_len)] - '0';
    for (std::size_t k = static_cast<std::size_t>(int_len) + 1; k < digits.size(); ++k)
      rest_nonzero = rest_nonzero || digits[k] != '0';
  } else if (int_len < 0) {
    rest_nonzero = true;  // every digit lies below the first fractional place
  }
  if (first_dropped > 5 || (first_dropped == 5 && (rest_nonzero || (magnitude & 1))))
    ++magnitude;
  const std::uint64_t limit = negative ? 2147483648ull : 2147483647ull;
  if (magnitude > limit) return DISP_E_OVERFLOW;
  out = negative ? static_cast<LONG>(-static_cast<std::int64_t>(magnitude))
                 : static_cast<LONG>(magnitude);
  return S_OK;
}

HRESULT ToI4(const Value& v, LONG& out) {
  switch (v.kind) {
    case Kind::Empty: out = 0; return S_OK;
    case Kind::Signed:
      if (v.i < std::numeric_limits<LONG>::min() || v.i > std::numeric_limits<LONG>::max())
        return DISP_E_OVERFLOW;
      out = static_cast<LONG>(v.i);
      return S_OK;
    case Kind::Unsigned:
      if (v.u > static_cast<std::uint64_t>(std::numeric_limits<LONG>::max())) return DISP_E_OVERFLOW;
      out = static_cast<LONG>(v.u);
      return S_OK;
    case Kind::Real: return RealToI4(v.d, out);
    case Kind::Bool: out = v.b ? -1 : 0; return S_OK;
    case Kind::Text: return TextToI4(axg::BstrToU16(v.s), out);
    case Kind::Unsupported: return E_NOTIMPL;
    case Kind::Null:
    case Kind::Other: return DISP_E_TYPEMISMATCH;
  }
  return DISP_E_TYPEMISMATCH;
}

}  // namespace

HRESULT VariantChangeType(VARIANTARG* pvargDest, const VARIANTARG* pvarSrc, USHORT wFlags,
                          VARTYPE vt) {
  if (pvargDest == nullptr || pvarSrc == nullptr) return E_INVALIDARG;
  if (!IsValidVariantType(pvarSrc->vt)) return DISP_E_BADVARTYPE;
  VARIANT src;
  if (!Dereference(*pvarSrc, src)) return DISP_E_TYPEMISMATCH;

  VARIANT result;
  VariantInit(&result);
  HRESULT hr;
  if (vt == src.vt) {
    hr = VariantCopy(&result, &src);
  } else if (vt == VT_BSTR) {
    std::u16string text;
    hr = ToText(Classify(src), wFlags, text);
    if (SUCCEEDED(hr)) {
      result.bstrVal = axg::U16ToBstr(text);
      if (result.bstrVal == nullptr) return E_OUTOFMEMORY;
      result.vt = VT_BSTR;
    }
  } else if (vt == VT_I4) {
    LONG value = 0;
    hr = ToI4(Classify(src), value);
    if (SUCCEEDED(hr)) {
      result.vt = VT_I4;
      result.lVal = value;
    }
  } else {
    hr = IsValidVariantType(vt) ? E_NOTIMPL : DISP_E_BADVARTYPE;
  }
  if (FAILED(hr)) return hr;
  // The source was read completely above, so clearing a destination that is
  // the source itself loses nothing.
  VariantClear(pvargDest);
  *pvargDest = result;
  return S_OK;
}

// ---------------------------------------------------------------------------
// SAFEARRAY of VARIANT, one dimension.

namespace {

bool ElementAt(SAFEARRAY* psa, const LONG* rgIndices, VARIANT*& element) {
  const SAFEARRAYBOUND& b = psa->rgsabound[0];
  const std::int64_t offset = static_cast<std::int64_t>(rgIndices[0]) - b.lLbound;
  if (offset < 0 || offset >= static_cast<std::int64_t>(b.cElements)) return false;
  element = static_cast<VARIANT*>(psa->pvData) + offset;
  return true;
}

bool IsVariantVector(const SAFEARRAY* psa) {
  return psa->cDims == 1 && (psa->fFeatures & FADF_VARIANT) != 0;
}

}  // namespace

SAFEARRAY* SafeArrayCreateVector(VARTYPE vt, LONG lLbound, ULONG cElements) {
  if (vt != VT_VARIANT) return nullptr;
  if (cElements > std::numeric_limits<std::uint32_t>::max() / sizeof(VARIANT)) return nullptr;
  auto* psa = static_cast<SAFEARRAY*>(std::calloc(1, sizeof(SAFEARRAY)));
  if (psa == nullptr) return nullptr;
  if (cElements > 0) {
    psa->pvData = std::calloc(cElements, sizeof(VARIANT));  // all zero: VT_EMPTY
    if (psa->pvData == nullptr) {
      std::free(psa);
      return nullptr;
    }
  }
  psa->cDims = 1;
  psa->fFeatures = FADF_HAVEVARTYPE | FADF_VARIANT;
  psa->cbElements = sizeof(VARIANT);
  psa->rgsabound[0].cElements = cElements;
  psa->rgsabound[0].lLbound = lLbound;
  return psa;
}

HRESULT SafeArrayDestroy(SAFEARRAY* psa) {
  if (psa == nullptr) return S_OK;
  if (psa->cLocks > 0) return DISP_E_ARRAYISLOCKED;
  if (IsVariantVector(psa)) {
    auto* elements = static_cast<VARIANT*>(psa->pvData);
    for (ULONG i = 0; i < psa->rgsabound[0].cElements; ++i) VariantClear(&elements[i]);
  }
  std::free(psa->pvData);
  std::free(psa);
  return S_OK;
}

UINT SafeArrayGetDim(SAFEARRAY* psa) { return psa == nullptr ? 0 : psa->cDims; }

UINT SafeArrayGetElemsize(SAFEARRAY* psa) { return psa == nullptr ? 0 : psa->cbElements; }

HRESULT SafeArrayGetLBound(SAFEARRAY* psa, UINT nDim, LONG* plLbound) {
  if (psa == nullptr || plLbound == nullptr) return E_INVALIDARG;
  if (nDim != 1 || psa->cDims != 1) return DISP_E_BADINDEX;
  *plLbound = psa->rgsabound[0].lLbound;
  return S_OK;
}

HRESULT SafeArrayGetUBound(SAFEARRAY* psa, UINT nDim, LONG* plUbound) {
  if (psa == nullptr || plUbound == nullptr) return E_INVALIDARG;
  if (nDim != 1 || psa->cDims != 1) return DISP_E_BADINDEX;
  *plUbound = static_cast<LONG>(static_cast<std::int64_t>(psa->rgsabound[0].lLbound) +
                                psa->rgsabound[0].cElements - 1);
  return S_OK;
}

HRESULT SafeArrayGetVartype(SAFEARRAY* psa, VARTYPE* pvt) {
  if (psa == nullptr || pvt == nullptr) return E_INVALIDARG;
  if (!(psa->fFeatures & FADF_VARIANT)) return E_INVALIDARG;
  *pvt = VT_VARIANT;
  return S_OK;
}

HRESULT SafeArrayGetElement(SAFEARRAY* psa, LONG* rgIndices, void* pv) {
  if (psa == nullptr || rgIndices == nullptr || pv == nullptr) return E_INVALIDARG;
  if (!IsVariantVector(psa)) return E_INVALIDARG;
  VARIANT* element;
  if (!ElementAt(psa, rgIndices, element)) return DISP_E_BADINDEX;
  auto* out = static_cast<VARIANT*>(pv);
  VariantInit(out);
  return VariantCopy(out, element);
}

HRESULT SafeArrayPutElement(SAFEARRAY* psa, LONG* rgIndices, void* pv) {
  if (psa == nullptr || rgIndices == nullptr || pv == nullptr) return E_INVALIDARG;
  if (!IsVariantVector(psa)) return E_INVALIDARG;
  VARIANT* element;
  if (!ElementAt(psa, rgIndices, element)) return DISP_E_BADINDEX;
  return VariantCopy(element, static_cast<VARIANT*>(pv));
}

HRESULT SafeArrayCopy(SAFEARRAY* psa, SAFEARRAY** ppsaOut) {
  if (ppsaOut == nullptr) return E_INVALIDARG;
  *ppsaOut = nullptr;
  if (psa == nullptr) return S_OK;
  if (!IsVariantVector(psa)) return E_INVALIDARG;
  SAFEARRAY* copy =
      SafeArrayCreateVector(VT_VARIANT, psa->rgsabound[0].lLbound, psa->rgsabound[0].cElements);
  if (copy == nullptr) return E_OUTOFMEMORY;
  auto* from = static_cast<VARIANT*>(psa->pvData);
  auto* to = static_cast<VARIANT*>(copy->pvData);
  for (ULONG i = 0; i < psa->rgsabound[0].cElements; ++i) {
    HRESULT hr = VariantCopy(&to[i], &from[i]);
    if (FAILED(hr)) {
      SafeArrayDestroy(copy);
      return hr;
    }
  }
  *ppsaOut = copy;
  return S_OK;
}

HRESULT SafeArrayLock(SAFEARRAY* psa) {
  if (psa == nullptr) return E_INVALIDARG;
  ++psa->cLocks;
  return S_OK;
}

HRESULT SafeArrayUnlock(SAFEARRAY* psa) {
  if (psa == nullptr) return E_INVALIDARG;
  if (psa->cLocks == 0) return E_UNEXPECTED;
  --psa->cLocks;
  return S_OK;
}

HRESULT SafeArrayAccessData(SAFEARRAY* psa, void** ppvData) {
  if (psa == nullptr || ppvData == nullptr) return E_INVALIDARG;
  ++psa->cLocks;
  *ppvData = psa->pvData;
  return S_OK;
}

HRESULT SafeArrayUnaccessData(SAFEARRAY* psa) { return SafeArrayUnlock(psa); }
