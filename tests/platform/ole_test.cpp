// BSTR, VARIANT, SAFEARRAY and GUID as the add-in and its host use them.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "platform/ole.h"

namespace axg {
namespace {

// A VARIANT that clears itself.
struct Var : VARIANT {
  Var() { VariantInit(this); }
  ~Var() { VariantClear(this); }
  Var(const Var&) = delete;
  Var& operator=(const Var&) = delete;
};

void SetText(VARIANT& v, std::u16string_view text) {
  VariantClear(&v);
  v.vt = VT_BSTR;
  v.bstrVal = U16ToBstr(text);
}

// An object that only counts its references.
struct Counted : IUnknown {
  ULONG refs = 1;
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** ppv) override {
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
  ULONG STDMETHODCALLTYPE Release() override { return --refs; }
};

TEST(Bstr, NullIsEmptyAndLengthIsKeptWithEmbeddedZeros) {
  EXPECT_EQ(SysStringLen(nullptr), 0u);
  EXPECT_EQ(BstrToU16(nullptr), u"");
  EXPECT_EQ(SysAllocString(nullptr), nullptr);
  SysFreeString(nullptr);

  const std::u16string text(u"a\0Ворота", 8);
  BSTR b = U16ToBstr(text);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(SysStringLen(b), 8u);
  EXPECT_EQ(SysStringByteLen(b), 16u);
  EXPECT_EQ(b[8], 0);  // terminated as well
  EXPECT_EQ(BstrToU16(b), text);
  SysFreeString(b);

  BSTR empty = U16ToBstr(u"");
  ASSERT_NE(empty, nullptr);  // an empty BSTR is a real one, not null
  EXPECT_EQ(SysStringLen(empty), 0u);
  SysFreeString(empty);

  BSTR zeros = SysAllocStringLen(nullptr, 3);
  ASSERT_NE(zeros, nullptr);
  EXPECT_EQ(BstrToU16(zeros), std::u16string(3, u'\0'));
  SysFreeString(zeros);

  BSTR c = SysAllocString(u"Kavreno");
  EXPECT_EQ(SysStringLen(c), 7u);
  SysFreeString(c);
}

struct TextCase {
  const char* name;
  VARTYPE vt;
  double real;
  std::int64_t integer;
  USHORT flags;
  std::u16string expected;
};

void Load(VARIANT& v, const TextCase& c) {
  v.vt = c.vt;
  switch (c.vt) {
    case VT_I1: v.cVal = static_cast<CHAR>(c.integer); break;
    case VT_I2: v.iVal = static_cast<SHORT>(c.integer); break;
    case VT_I4: v.lVal = static_cast<LONG>(c.integer); break;
    case VT_INT: v.intVal = static_cast<INT>(c.integer); break;
    case VT_I8: v.llVal = c.integer; break;
    case VT_UI1: v.bVal = static_cast<BYTE>(c.integer); break;
    case VT_UI2: v.uiVal = static_cast<USHORT>(c.integer); break;
    case VT_UI4: v.ulVal = static_cast<ULONG>(c.integer); break;
    case VT_UI8: v.ullVal = static_cast<ULONGLONG>(c.integer); break;
    case VT_R4: v.fltVal = static_cast<FLOAT>(c.real); break;
    case VT_R8: v.dblVal = c.real; break;
    case VT_BOOL: v.boolVal = c.integer ? VARIANT_TRUE : VARIANT_FALSE; break;
    default: break;
  }
}

TEST(VariantChangeType, ToTextFollowsOleRules) {
  const TextCase cases[] = {
      {"empty", VT_EMPTY, 0, 0, 0, u""},
      {"i4", VT_I4, 0, -42, 0, u"-42"},
      {"i2", VT_I2, 0, 1001, 0, u"1001"},
      {"i1", VT_I1, 0, -7, 0, u"-7"},
      {"ui1", VT_UI1, 0, 255, 0, u"255"},
      {"ui4", VT_UI4, 0, 4294967295, 0, u"4294967295"},
      {"i8", VT_I8, 0, INT64_MIN, 0, u"-9223372036854775808"},
      {"ui8 top bit", VT_UI8, 0, -1, 0, u"18446744073709551615"},
      {"int", VT_INT, 0, 1, 0, u"1"},
      {"r8 fraction", VT_R8, 2.5, 0, 0, u"2.5"},
      {"r8 whole", VT_R8, 3.0, 0, 0, u"3"},
      {"r8 fifteen digits", VT_R8, 0.1 + 0.2, 0, 0, u"0.3"},
      {"r8 negative", VT_R8, -1234.5678, 0, 0, u"-1234.5678"},
      {"r8 large", VT_R8, 1e20, 0, 0, u"1E+20"},
      {"r8 small", VT_R8, 1e-5, 0, 0, u"1E-05"},
      {"r8 sixteen places", VT_R8, 1e15, 0, 0, u"1E+15"},
      {"r8 fifteen places", VT_R8, 123456789012345.0, 0, 0, u"123456789012345"},
      {"r8 four decimals", VT_R8, 0.0001, 0, 0, u"0.0001"},
      {"r8 negative zero", VT_R8, -0.0, 0, 0, u"0"},
      {"r4 seven digits", VT_R4, 0.1, 0, 0, u"0.1"},
      {"bool true", VT_BOOL, 0, 1, 0, u"-1"},
      {"bool false", VT_BOOL, 0, 0, 0, u"0"},
      {"bool alpha", VT_BOOL, 0, 1, VARIANT_ALPHABOOL, u"True"},
      {"bool alpha false", VT_BOOL, 0, 0, VARIANT_ALPHABOOL, u"False"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Var src, dst;
    Load(src, c);
    ASSERT_EQ(VariantChangeType(&dst, &src, c.flags, VT_BSTR), S_OK);
    ASSERT_EQ(dst.vt, VT_BSTR);
    EXPECT_EQ(BstrToU16(dst.bstrVal), c.expected);
  }
}

TEST(VariantChangeType, NullAndObjectsCannotBecomeTextAndTheDestinationIsKept) {
  Var dst;
  SetText(dst, u"keep");
  Var null_value;
  null_value.vt = VT_NULL;
  EXPECT_EQ(VariantChangeType(&dst, &null_value, 0, VT_BSTR), DISP_E_TYPEMISMATCH);
  EXPECT_EQ(VariantChangeType(&dst, &null_value, 0, VT_I4), DISP_E_TYPEMISMATCH);
  Var error;
  error.vt = VT_ERROR;
  EXPECT_EQ(VariantChangeType(&dst, &error, 0, VT_BSTR), DISP_E_TYPEMISMATCH);
  ASSERT_EQ(dst.vt, VT_BSTR);
  EXPECT_EQ(BstrToU16(dst.bstrVal), u"keep");
}

TEST(VariantChangeType, ConvertsInPlaceAndThroughReferences) {
  Var v;
  SetText(v, u" 12.5 ");
  ASSERT_EQ(VariantChangeType(&v, &v, 0, VT_I4), S_OK);
  EXPECT_EQ(v.vt, VT_I4);
  EXPECT_EQ(v.lVal, 12);  // half to even
  ASSERT_EQ(VariantChangeType(&v, &v, 0, VT_BSTR), S_OK);
  EXPECT_EQ(BstrToU16(v.bstrVal), u"12");

  // A text passed by reference stays with its owner.
  BSTR owned = U16ToBstr(u"0001");
  Var ref, out;
  ref.vt = VT_BYREF | VT_BSTR;
  ref.pbstrVal = &owned;
  ASSERT_EQ(VariantChangeType(&out, &ref, 0, VT_BSTR), S_OK);
  EXPECT_EQ(BstrToU16(out.bstrVal), u"0001");
  EXPECT_NE(out.bstrVal, owned);
  SysFreeString(owned);

  Var inner, ref_variant, number;
  inner.vt = VT_I2;
  inner.iVal = -3;
  ref_variant.vt = VT_BYREF | VT_VARIANT;
  ref_variant.pvarVal = &inner;
  ASSERT_EQ(VariantChangeType(&number, &ref_variant, 0, VT_BSTR), S_OK);
  EXPECT_EQ(BstrToU16(number.bstrVal), u"-3");
}

TEST(VariantChangeType, TextToI4ParsesDecimalsAndRoundsHalfToEven) {
  struct Case {
    std::u16string text;
    HRESULT hr;
    LONG value;
  } cases[] = {
      {u"42", S_OK, 42},
      {u" 7", S_OK, 7},
      {u"\t-13\r\n", S_OK, -13},
      {u"+5", S_OK, 5},
      {u"007", S_OK, 7},
      {u"1.5", S_OK, 2},
      {u"2.5", S_OK, 2},
      {u"2.51", S_OK, 3},
      {u"-2.5", S_OK, -2},
      {u"0.5", S_OK, 0},
      {u".05", S_OK, 0},
      {u"5.", S_OK, 5},
      {u"1e3", S_OK, 1000},
      {u"12E-1", S_OK, 1},
      {u"0e999999999", S_OK, 0},
      {u"2147483647", S_OK, 2147483647},
      {u"2147483647.4", S_OK, 2147483647},
      {u"-2147483648", S_OK, std::numeric_limits<LONG>::min()},
      {u"2147483647.5", DISP_E_OVERFLOW, 0},
      {u"2147483648", DISP_E_OVERFLOW, 0},
      {u"1e10", DISP_E_OVERFLOW, 0},
      {u"abc", DISP_E_TYPEMISMATCH, 0},
      {u"", DISP_E_TYPEMISMATCH, 0},
      {u"   ", DISP_E_TYPEMISMATCH, 0},
      {u"-", DISP_E_TYPEMISMATCH, 0},
      {u".", DISP_E_TYPEMISMATCH, 0},
      {u"12abc", DISP_E_TYPEMISMATCH, 0},
      {u"1 2", DISP_E_TYPEMISMATCH, 0},
      {u"1e", DISP_E_TYPEMISMATCH, 0},
      {u"TRUE", DISP_E_TYPEMISMATCH, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.text.begin(), c.text.end()));
    Var src, dst;
    SetText(src, c.text);
    EXPECT_EQ(VariantChangeType(&dst, &src, 0, VT_I4), c.hr);
    if (c.hr == S_OK) {
      EXPECT_EQ(dst.vt, VT_I4);
      EXPECT_EQ(dst.lVal, c.value);
    } else {
      EXPECT_EQ(dst.vt, VT_EMPTY);
    }
  }
}

TEST(VariantChangeType, NumbersAndFlagsToI4) {
  struct Case {
    const char* name;
    VARTYPE vt;
    double real;
    std::int64_t integer;
    HRESULT hr;
    LONG value;
  } cases[] = {
      {"empty", VT_EMPTY, 0, 0, S_OK, 0},
      {"bool", VT_BOOL, 0, 1, S_OK, -1},
      {"r8 half down to even", VT_R8, 2.5, 0, S_OK, 2},
      {"r8 half up to even", VT_R8, 3.5, 0, S_OK, 4},
      {"r8 negative", VT_R8, -1.5, 0, S_OK, -2},
      {"r8 too large", VT_R8, 3e9, 0, DISP_E_OVERFLOW, 0},
      {"r8 nan", VT_R8, std::nan(""), 0, DISP_E_OVERFLOW, 0},
      {"ui4 too large", VT_UI4, 0, 0x80000000, DISP_E_OVERFLOW, 0},
      {"i8 too small", VT_I8, 0, -2147483649LL, DISP_E_OVERFLOW, 0},
      {"i8 fits", VT_I8, 0, -2147483648LL, S_OK, std::numeric_limits<LONG>::min()},
      {"ui1", VT_UI1, 0, 200, S_OK, 200},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Var src, dst;
    Load(src, TextCase{c.name, c.vt, c.real, c.integer, 0, u""});
    EXPECT_EQ(VariantChangeType(&dst, &src, 0, VT_I4), c.hr);
    if (c.hr == S_OK) {
      EXPECT_EQ(dst.lVal, c.value);
    }
  }
}

TEST(Variant, CopyIsDeepAndClearReleases) {
  Var a, b;
  SetText(a, u"Kavreno");
  ASSERT_EQ(VariantCopy(&b, &a), S_OK);
  ASSERT_EQ(b.vt, VT_BSTR);
  EXPECT_NE(b.bstrVal, a.bstrVal);
  EXPECT_EQ(BstrToU16(b.bstrVal), u"Kavreno");
  VariantClear(&a);
  EXPECT_EQ(a.vt, VT_EMPTY);
  EXPECT_EQ(BstrToU16(b.bstrVal), u"Kavreno");

  Counted object;
  {
    Var u, copy;
    u.vt = VT_UNKNOWN;
    u.punkVal = &object;
    object.AddRef();  // the variant's own reference
    ASSERT_EQ(VariantCopy(&copy, &u), S_OK);
    EXPECT_EQ(object.refs, 3u);
  }
  EXPECT_EQ(object.refs, 1u);

  Var bad;
  bad.vt = 0x0FFF;
  EXPECT_EQ(VariantCopy(&b, &bad), DISP_E_BADVARTYPE);
  bad.vt = VT_EMPTY;
}

TEST(SafeArray, VectorBoundsElementsAndCopies) {
  SAFEARRAY* psa = SafeArrayCreateVector(VT_VARIANT, 0, 3);
  ASSERT_NE(psa, nullptr);
  EXPECT_EQ(SafeArrayGetDim(psa), 1u);
  LONG lo = -1, hi = -1;
  EXPECT_EQ(SafeArrayGetLBound(psa, 1, &lo), S_OK);
  EXPECT_EQ(SafeArrayGetUBound(psa, 1, &hi), S_OK);
  EXPECT_EQ(lo, 0);
  EXPECT_EQ(hi, 2);
  EXPECT_EQ(SafeArrayGetLBound(psa, 2, &lo), DISP_E_BADINDEX);
  EXPECT_EQ(SafeArrayGetUBound(psa, 0, &hi), DISP_E_BADINDEX);

  // Elements start empty; a stored value is a copy, and so is a value read.
  Var element;
  LONG index = 1;
  ASSERT_EQ(SafeArrayGetElement(psa, &index, &element), S_OK);
  EXPECT_EQ(element.vt, VT_EMPTY);
  Var stored;
  SetText(stored, u"127.0.0.1");
  ASSERT_EQ(SafeArrayPutElement(psa, &index, &stored), S_OK);
  SetText(stored, u"changed");
  Var read;
  ASSERT_EQ(SafeArrayGetElement(psa, &index, &read), S_OK);
  EXPECT_EQ(BstrToU16(read.bstrVal), u"127.0.0.1");
  Var again;
  ASSERT_EQ(SafeArrayGetElement(psa, &index, &again), S_OK);
  EXPECT_NE(again.bstrVal, read.bstrVal);

  // Replacing an element frees the old value (the leak checker watches).
  ASSERT_EQ(SafeArrayPutElement(psa, &index, &stored), S_OK);

  for (LONG bad : {-1, 3}) {
    SCOPED_TRACE(bad);
    EXPECT_EQ(SafeArrayGetElement(psa, &bad, &element), DISP_E_BADINDEX);
    EXPECT_EQ(SafeArrayPutElement(psa, &bad, &stored), DISP_E_BADINDEX);
  }

  // A variant holding the array owns it: copying copies it, clearing destroys it.
  Var holder, copy;
  holder.vt = VT_ARRAY | VT_VARIANT;
  holder.parray = psa;
  ASSERT_EQ(VariantCopy(&copy, &holder), S_OK);
  ASSERT_NE(copy.parray, psa);
  VariantClear(&read);  // reading into a variant overwrites it without clearing
  ASSERT_EQ(SafeArrayGetElement(copy.parray, &index, &read), S_OK);
  EXPECT_EQ(BstrToU16(read.bstrVal), u"changed");
}

TEST(SafeArray, LowerBoundEmptyVectorsAndLocks) {
  SAFEARRAY* psa = SafeArrayCreateVector(VT_VARIANT, 5, 2);
  ASSERT_NE(psa, nullptr);
  Var v;
  v.vt = VT_I4;
  v.lVal = 9;
  LONG index = 6;
  EXPECT_EQ(SafeArrayPutElement(psa, &index, &v), S_OK);
  index = 4;
  EXPECT_EQ(SafeArrayPutElement(psa, &index, &v), DISP_E_BADINDEX);
  index = 7;
  EXPECT_EQ(SafeArrayPutElement(psa, &index, &v), DISP_E_BADINDEX);

  EXPECT_EQ(SafeArrayLock(psa), S_OK);
  EXPECT_EQ(SafeArrayDestroy(psa), DISP_E_ARRAYISLOCKED);
  EXPECT_EQ(SafeArrayUnlock(psa), S_OK);
  EXPECT_EQ(SafeArrayUnlock(psa), E_UNEXPECTED);
  EXPECT_EQ(SafeArrayDestroy(psa), S_OK);

  SAFEARRAY* empty = SafeArrayCreateVector(VT_VARIANT, 0, 0);
  ASSERT_NE(empty, nullptr);
  LONG hi = 0;
  EXPECT_EQ(SafeArrayGetUBound(empty, 1, &hi), S_OK);
  EXPECT_EQ(hi, -1);
  index = 0;
  EXPECT_EQ(SafeArrayGetElement(empty, &index, &v), DISP_E_BADINDEX);
  EXPECT_EQ(SafeArrayDestroy(empty), S_OK);
  EXPECT_EQ(SafeArrayDestroy(nullptr), S_OK);

  EXPECT_EQ(SafeArrayCreateVector(VT_I4, 0, 1), nullptr);  // only arrays of VARIANT
}

TEST(Guid, TextRoundTripAndMalformedForms) {
  const GUID g = {0xAB634001, 0xF13D, 0x11D0, {0xA4, 0x59, 0x00, 0x40, 0x95, 0xE1, 0xDA, 0xEA}};
  EXPECT_EQ(GuidToString(g), u"{AB634001-F13D-11D0-A459-004095E1DAEA}");
  GUID parsed{};
  ASSERT_TRUE(GuidFromString(u"{ab634001-f13d-11d0-a459-004095e1daea}", parsed));
  EXPECT_TRUE(IsEqualGUID(parsed, g));
  EXPECT_TRUE(parsed == g);
  EXPECT_EQ(GuidToString(IID_IUnknown), u"{00000000-0000-0000-C000-000000000046}");
  EXPECT_EQ(GuidToString(IID_IErrorLog), u"{3127CA40-446E-11CE-8135-00AA004BB851}");

  GUID other = g;
  other.Data4[7] ^= 1;
  EXPECT_FALSE(other == g);

  for (std::u16string_view bad : {u"AB634001-F13D-11D0-A459-004095E1DAEA",
                                  u"{AB634001-F13D-11D0-A459-004095E1DAE}",
                                  u"{AB634001-F13D-11D0-A459-004095E1DAEA}x",
                                  u"{AB634001_F13D-11D0-A459-004095E1DAEA}",
                                  u"{AB634001-F13D-11D0-A4590-04095E1DAEA}",
                                  u"{AB63400G-F13D-11D0-A459-004095E1DAEA}", u""}) {
    GUID untouched = g;
    EXPECT_FALSE(GuidFromString(bad, untouched));
    EXPECT_TRUE(untouched == g);
  }
}

}  // namespace
}  // namespace axg
