// AddInObject at the host boundary: the name tables and their exact lookups,
// every ILanguageExtender answer, Init and Done, GateOpen's conversion of its
// parameters and its errors, and what happens before Init and after Done.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <random>

#include "AddInObj/AddInObject.h"
#include "UConnector/UConnector.h"
#include "UturnstylerdeviceQ7/UturnstylerdeviceQ7.h"
#include "addin/fake_host.h"
#include "transport/TLineServer.h"
#include "platform/environment.h"
#include "platform/registry.h"
#include "platform/text.h"
#include "tools/trace/reader.h"

namespace axg::test {
namespace {

constexpr const char16_t* kNotInitialised = u"The add-in is not initialised";
constexpr const char16_t* kNullConversion = u"Could not convert variant of type (Null) into type (OleStr)";

class AddInTest : public ::testing::Test {
 protected:
  void SetUp() override {
    void* p = nullptr;
    ASSERT_EQ(CreateAddInObject(nullptr, IID_IInitDone, &p), S_OK);
    init = static_cast<IInitDone*>(p);
    ASSERT_EQ(init->QueryInterface(IID_ILanguageExtender, &p), S_OK);
    lang = static_cast<ILanguageExtender*>(p);
    object = static_cast<AddInObject*>(init);
  }
  void TearDown() override {
    if (lang) lang->Release();
    if (init) init->Release();
  }
  // Lets go of the object entirely (the host releasing its last references).
  void ReleaseObject() {
    lang->Release();
    init->Release();
    lang = nullptr;
    init = nullptr;
    object = nullptr;
  }

  std::u16string Call(LONG method, std::vector<Variant> args = {}, HRESULT* hr_out = nullptr) {
    Params params(std::move(args));
    Variant result;
    HRESULT hr = lang->CallAsFunc(method, result.get(), params.get());
    if (hr_out) *hr_out = hr;
    EXPECT_EQ((*result).vt, VT_BSTR) << "every method answers with a string";
    return result.Text();
  }
  std::u16string ErrorMsg() {
    Variant v;
    EXPECT_EQ(lang->GetPropVal(0, v.get()), S_OK);
    return v.Text();
  }
  // The manual request GateOpen makes for an address without an entry, as the
  // controller logs it.
  static std::u16string ManualRequestLog(const std::u16string& ip, const std::u16string& device) {
    return u"%Считано с порта% $" + ip + u":" + device + u"RQ-1-1-1-1-100";
  }

  IInitDone* init = nullptr;
  ILanguageExtender* lang = nullptr;
  AddInObject* object = nullptr;
  FakeHost host;
};

// ---- Name tables ----

struct Lookup {
  const char16_t* name;
  LONG index;  // -1: not found
};

TEST_F(AddInTest, FindPropIsExactAndTriesEnglishThenRussian) {
  const Lookup cases[] = {{u"ErrorMsg", 0}, {u"Ошибка", 0}, {u"Port", 1},   {u"Порт", 1},
                          {u"port", -1},    {u"PORT", -1},  {u"Port ", -1}, {u" Port", -1},
                          {u"порт", -1},    {u"", -1},      {u"Version", -1}};
  for (const auto& c : cases) {
    BSTR name = U16ToBstr(c.name);
    LONG index = 42;
    HRESULT hr = lang->FindProp(name, &index);
    SysFreeString(name);
    EXPECT_EQ(index, c.index) << ToUtf8(c.name);
    EXPECT_EQ(hr, c.index >= 0 ? S_OK : S_FALSE) << ToUtf8(c.name);
  }
  LONG index = 42;
  EXPECT_EQ(lang->FindProp(nullptr, &index), S_FALSE);
  EXPECT_EQ(index, -1);
}

TEST_F(AddInTest, FindMethodIsExactAndTriesEnglishThenRussian) {
  const Lookup cases[] = {{u"Version", 0},   {u"Версия", 0},    {u"Start", 1},     {u"Старт", 1},
                          {u"Stop", 2},      {u"Стоп", 2},      {u"GateOpen", 3},  {u"Ворота", 3},
                          {u"gateopen", -1}, {u"GateOpen ", -1}, {u"ворота", -1},  {u"start", -1},
                          {u"\tStop", -1},   {u"ErrorMsg", -1}};
  for (const auto& c : cases) {
    BSTR name = U16ToBstr(c.name);
    LONG index = 42;
    HRESULT hr = lang->FindMethod(name, &index);
    SysFreeString(name);
    EXPECT_EQ(index, c.index) << ToUtf8(c.name);
    EXPECT_EQ(hr, c.index >= 0 ? S_OK : S_FALSE) << ToUtf8(c.name);
  }
  // A name is compared over its whole length, a zero code unit included.
  BSTR name = U16ToBstr(std::u16string_view(u"Stop\0x", 6));
  LONG index = 42;
  EXPECT_EQ(lang->FindMethod(name, &index), S_FALSE);
  EXPECT_EQ(index, -1);
  SysFreeString(name);
}

TEST_F(AddInTest, NamesByIndexAndAlias) {
  struct NameCase {
    bool prop;
    LONG index, alias;
    const char16_t* name;  // null: S_FALSE with an empty name
  };
  const NameCase cases[] = {
      {true, 0, 0, u"ErrorMsg"}, {true, 0, 1, u"Ошибка"}, {true, 1, 0, u"Port"},
      {true, 1, 1, u"Порт"},     {true, 1, 2, nullptr},   {true, 1, -1, nullptr},
      {true, 2, 0, nullptr},     {true, -1, 0, nullptr},  {false, 0, 1, u"Версия"},
      {false, 3, 0, u"GateOpen"}, {false, 3, 1, u"Ворота"}, {false, 4, 0, nullptr},
      {false, 3, 2, nullptr},
  };
  for (const auto& c : cases) {
    // The host's string comes in filled: it must be released, and replaced by
    // the empty name on failure (leaks show under the sanitizer build).
    BSTR name = U16ToBstr(u"stale");
    HRESULT hr = c.prop ? lang->GetPropName(c.index, c.alias, &name)
                        : lang->GetMethodName(c.index, c.alias, &name);
    EXPECT_EQ(hr, c.name ? S_OK : S_FALSE) << c.prop << " " << c.index << " " << c.alias;
    EXPECT_EQ(BstrToU16(name), c.name ? c.name : u"") << c.prop << " " << c.index << " " << c.alias;
    SysFreeString(name);
  }
}

TEST_F(AddInTest, CountsFlagsAndParameterCounts) {
  LONG n = 0;
  EXPECT_EQ(lang->GetNProps(&n), S_OK);
  EXPECT_EQ(n, 2);
  EXPECT_EQ(lang->GetNMethods(&n), S_OK);
  EXPECT_EQ(n, 4);

  const LONG params[] = {0, 0, 0, 3};
  for (LONG m = 0; m < 4; ++m) {
    n = 99;
    EXPECT_EQ(lang->GetNParams(m, &n), S_OK);
    EXPECT_EQ(n, params[m]);
  }
  n = 99;
  EXPECT_EQ(lang->GetNParams(7, &n), S_FALSE);
  EXPECT_EQ(n, 0);

  BOOL flag = 7;
  EXPECT_EQ(lang->IsPropReadable(0, &flag), S_OK);
  EXPECT_EQ(flag, TRUE);
  EXPECT_EQ(lang->IsPropWritable(0, &flag), S_OK);
  EXPECT_EQ(flag, FALSE);
  EXPECT_EQ(lang->IsPropWritable(1, &flag), S_OK);
  EXPECT_EQ(flag, TRUE);
  flag = 7;
  EXPECT_EQ(lang->IsPropReadable(2, &flag), S_FALSE);
  EXPECT_EQ(lang->IsPropWritable(-1, &flag), S_FALSE);
  EXPECT_EQ(flag, 7) << "an index outside the table leaves the flag untouched";

  flag = FALSE;
  EXPECT_EQ(lang->HasRetVal(9, &flag), S_OK);
  EXPECT_EQ(flag, TRUE);

  Variant def(u"stale");
  EXPECT_EQ(lang->GetParamDefValue(3, 0, def.get()), S_OK);
  EXPECT_EQ((*def).vt, VT_EMPTY);
}

TEST_F(AddInTest, PortIsAlways1001AndWritingItIsDiscarded) {
  Variant v;
  ASSERT_EQ(lang->GetPropVal(1, v.get()), S_OK);
  EXPECT_EQ((*v).vt, VT_I4);
  EXPECT_EQ((*v).lVal, 1001);

  Variant five = Variant::Int(5);
  EXPECT_EQ(lang->SetPropVal(1, five.get()), S_OK);
  Variant text(u"x");
  EXPECT_EQ(lang->SetPropVal(0, text.get()), S_OK);
  Variant again;
  ASSERT_EQ(lang->GetPropVal(1, again.get()), S_OK);
  EXPECT_EQ((*again).lVal, 1001);
  EXPECT_EQ(ErrorMsg(), u"") << "ErrorMsg is not writable";

  ASSERT_EQ(init->Init(&host), S_OK);
  EXPECT_EQ(lang->SetPropVal(1, five.get()), S_OK);
  EXPECT_EQ(object->Server()->Port, u"1001");

  Variant other(u"stale");
  EXPECT_EQ(lang->GetPropVal(7, other.get()), S_OK);
  EXPECT_EQ((*other).vt, VT_EMPTY);
}

TEST_F(AddInTest, InfoExtensionNameAndVersion) {
  SAFEARRAY* info = SafeArrayCreateVector(VT_VARIANT, 0, 1);
  EXPECT_EQ(init->GetInfo(&info), S_OK);
  Variant element;
  LONG zero = 0;
  ASSERT_EQ(SafeArrayGetElement(info, &zero, element.get()), S_OK);
  EXPECT_EQ((*element).vt, VT_BSTR) << "a string, not a number";
  EXPECT_EQ(element.Text(), u"2000");
  SafeArrayDestroy(info);

  BSTR name = U16ToBstr(u"stale");
  EXPECT_EQ(lang->RegisterExtensionAs(&name), S_OK);
  EXPECT_EQ(BstrToU16(name), u"ax_gate");
  SysFreeString(name);

  EXPECT_EQ(Call(0), u"Kavreno v.1.0");
}

TEST_F(AddInTest, MethodsOutsideTheTableRunNothingAndCallAsProcRunsTheMethod) {
  HRESULT hr = S_OK;
  EXPECT_EQ(Call(5, {}, &hr), u"");
  EXPECT_EQ(hr, S_FALSE);
  EXPECT_EQ(Call(-1, {}, &hr), u"");
  EXPECT_EQ(hr, S_FALSE);
  ASSERT_EQ(init->Init(&host), S_OK);
  Params params({Variant(u"10.0.0.7"), Variant(u"0012"), Variant(u"TRUE")});
  for (LONG m : {-1, 4, 9}) EXPECT_EQ(lang->CallAsProc(m, params.get()), S_FALSE) << m;
  EXPECT_EQ(object->Controller()->StackCount(), 0u);
  // A statement call runs the method as a function call does.
  for (LONG m : {0, 2, 3}) EXPECT_EQ(lang->CallAsProc(m, params.get()), S_OK) << m;
  ASSERT_EQ(object->Controller()->StackCount(), 1u) << "GateOpen as a statement makes the manual request";
  EXPECT_EQ(object->Controller()->StackItem(0)->CardNumber, u"-1-1-1-1-1");
  EXPECT_EQ(ErrorMsg(), u"");
  // and fails as a function call does: the reason in ErrorMsg and the error log.
  Params null_ip({Variant::Null(), Variant(u"0012"), Variant(u"TRUE")});
  EXPECT_EQ(lang->CallAsProc(3, null_ip.get()), S_OK);
  EXPECT_EQ(ErrorMsg(), kNullConversion);
  EXPECT_EQ(host.errors.size(), 1u);
}

TEST_F(AddInTest, DispatchRefusesEverything) {
  IDispatch* disp = nullptr;
  ASSERT_EQ(init->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&disp)), S_OK);
  UINT count = 77;
  EXPECT_EQ(disp->GetTypeInfoCount(&count), E_NOTIMPL);
  EXPECT_EQ(count, 77u);
  EXPECT_EQ(disp->GetTypeInfo(0, 0, nullptr), E_NOTIMPL);
  EXPECT_EQ(disp->GetIDsOfNames(IID_IUnknown, nullptr, 0, 0, nullptr), E_NOTIMPL);
  EXPECT_EQ(disp->Invoke(1, IID_IUnknown, 0, 0, nullptr, nullptr, nullptr, nullptr), E_NOTIMPL);
  disp->Release();

  ISupportErrorInfo* sei = nullptr;
  ASSERT_EQ(init->QueryInterface(IID_ISupportErrorInfo, reinterpret_cast<void**>(&sei)), S_OK);
  for (const IID* iid : {&IID_ILanguageExtender, &IID_IInitDone, &IID_IDispatch, &IID_IUnknown})
    EXPECT_EQ(sei->InterfaceSupportsErrorInfo(*iid), S_OK);
  EXPECT_EQ(sei->InterfaceSupportsErrorInfo(IID_IAsyncEvent), S_FALSE);
  sei->Release();
}

// ---- Init and Done ----

TEST_F(AddInTest, InitAsksForTheHostInterfacesAndBuildsTheSystem) {
  ASSERT_EQ(init->Init(&host), S_OK);
  EXPECT_EQ(host.depths, std::vector<LONG>{500});
  // i1cv7, IErrorLog, IStatusLine and IAsyncEvent: one reference each.
  EXPECT_EQ(host.refs, 5u);
  ASSERT_TRUE(object->Initialised());
  EXPECT_EQ(object->Controller()->TimeOut(), 5);
  EXPECT_EQ(object->Controller()->Connector(), object->Connector());
  EXPECT_EQ(object->Connector()->WSocketServer(), object->Server());
  EXPECT_EQ(object->Connector()->ConnectorType(), podNet);
  EXPECT_EQ(object->Server()->Proto, u"tcp");
  EXPECT_EQ(object->Server()->Addr, u"0.0.0.0");
  EXPECT_EQ(object->Server()->State(), wsInvalid) << "nothing listens before Start";

  EXPECT_EQ(init->Done(), S_OK);
  EXPECT_FALSE(object->Initialised());
  EXPECT_EQ(host.refs, 2u) << "Done gives back all but the connection object";
  ReleaseObject();
  EXPECT_EQ(host.refs, 1u);
}

TEST_F(AddInTest, AHostWithoutInterfacesStillGetsAWorkingObject) {
  host.offer_events = host.offer_errorlog = host.offer_statusline = false;
  ASSERT_EQ(init->Init(&host), S_OK);
  EXPECT_TRUE(host.depths.empty());
  EXPECT_EQ(Call(3, {Variant(u"10.0.0.7"), Variant(u"0012"), Variant(u"TRUE")}), u"TRUE");
  EXPECT_EQ(object->Controller()->StackCount(), 1u);
  EXPECT_EQ(Call(3, {Variant::Null(), Variant(u"0012"), Variant(u"TRUE")}), u"");
  EXPECT_EQ(ErrorMsg(), kNullConversion) << "ErrorMsg works without an error log";
  EXPECT_TRUE(host.events.empty());
  EXPECT_TRUE(host.errors.empty());
}

// Init carries on without the event-buffer depth, and writes no error record
// while it runs: the host counts an Init during which a failing record was
// written as unsuccessful. The reason is in ErrorMsg and, when the sink takes
// it, in a LOG event.
TEST_F(AddInTest, AFailingEventBufferDepthLeavesInitWorking) {
  for (bool sink_works : {true, false}) {
    SCOPED_TRACE(sink_works ? "sink works" : "sink fails too");
    host.depth_result = E_FAIL;
    host.event_result = sink_works ? S_OK : E_FAIL;
    host.events.clear();
    ASSERT_EQ(init->Init(&host), S_OK);
    EXPECT_TRUE(object->Initialised());
    std::u16string msg = ErrorMsg();
    EXPECT_NE(msg.find(u"SetEventBufferDepth"), std::u16string::npos) << ToUtf8(msg);
    EXPECT_TRUE(host.errors.empty()) << ToUtf8(host.errors[0].description);
    if (sink_works) {
      EXPECT_EQ(host.DataOf(u"LOG"), std::vector<std::u16string>{msg});
      // Events still flow.
      EXPECT_EQ(Call(3, {Variant(u"10.0.0.7"), Variant(u"0012"), Variant(u"TRUE")}), u"TRUE");
      EXPECT_FALSE(host.DataOf(u"CHECK").empty());
    } else {
      EXPECT_TRUE(host.events.empty());
    }
    EXPECT_EQ(init->Done(), S_OK);
  }
}

TEST_F(AddInTest, CallsBeforeInitAndAfterDoneFailCleanly) {
  auto check_not_initialised = [&](const char* when) {
    for (LONG m : {1, 2, 3}) {
      HRESULT hr = E_FAIL;
      EXPECT_EQ(Call(m, {Variant(u"10.0.0.7"), Variant(u"0012"), Variant(u"TRUE")}, &hr), u"")
          << when << " method " << m;
      EXPECT_EQ(hr, S_OK);
      EXPECT_EQ(ErrorMsg(), kNotInitialised) << when;
    }
    EXPECT_EQ(Call(0), u"Kavreno v.1.0") << when;
  };
  check_not_initialised("before Init");

  ASSERT_EQ(init->Init(&host), S_OK);
  EXPECT_EQ(Call(3, {Variant(u"10.0.0.7"), Variant(u"0012"), Variant(u"TRUE")}), u"TRUE");
  ASSERT_EQ(init->Done(), S_OK);
  std::size_t events = host.events.size();
  check_not_initialised("after Done");
  EXPECT_EQ(host.events.size(), events);
  EXPECT_TRUE(host.errors.empty()) << "after Done the error log is out of reach";
  EXPECT_EQ(init->Done(), S_OK) << "a second Done is harmless";
}

TEST_F(AddInTest, InitAgainAfterDoneStartsAfresh) {
  ASSERT_EQ(init->Init(&host), S_OK);
  EXPECT_EQ(Call(3, {Variant(u"10.0.0.7"), Variant(u"0012"), Variant(u"TRUE")}), u"TRUE");
  ASSERT_EQ(init->Done(), S_OK);
  FakeHost second;
  ASSERT_EQ(init->Init(&second), S_OK);
  EXPECT_EQ(host.refs, 1u) << "the first connection object is given back";
  EXPECT_EQ(object->Controller()->StackCount(), 0u);
  EXPECT_EQ(Call(3, {Variant(u"10.0.0.8"), Variant(u"0013"), Variant(u"TRUE")}), u"TRUE");
  EXPECT_FALSE(second.DataOf(u"CHECK").empty());
  ReleaseObject();
  EXPECT_EQ(second.refs, 1u);
}

TEST_F(AddInTest, ReleasingWithoutDoneTearsDownAndGivesEverythingBack) {
  ASSERT_EQ(init->Init(&host), S_OK);
  EXPECT_EQ(Call(3, {Variant(u"10.0.0.7"), Variant(u"0012"), Variant(u"TRUE")}), u"TRUE");
  ASSERT_EQ(object->Controller()->StackCount(), 1u);
  std::size_t events = host.events.size();
  ReleaseObject();  // the controller with a live entry and its timer go with it
  EXPECT_EQ(host.refs, 1u);
  EXPECT_EQ(host.events.size(), events) << "teardown reports nothing";
}

// ---- GateOpen ----

TEST_F(AddInTest, GateOpenTrimsItsParametersAndTurnsNumbersIntoText) {
  ASSERT_EQ(init->Init(&host), S_OK);
  // An address without an entry: the controller makes a manual request of the
  // three texts, which shows them exactly as GateOpen passed them on.
  EXPECT_EQ(Call(3, {Variant(u" \t10.0.0.7\r\n"), Variant::Int(1234), Variant(u"  TRUE ")}), u"TRUE");
  std::vector<std::u16string> logs = host.DataOf(u"LOG");
  ASSERT_FALSE(logs.empty());
  EXPECT_EQ(logs[0], ManualRequestLog(u"10.0.0.7", u"1234"));
  ASSERT_EQ(object->Controller()->StackCount(), 1u);
  EXPECT_EQ(object->Controller()->StackItem(0)->CardNumber, u"-1-1-1-1-1");

  // Now the address has an entry: the answer is written into it, trimmed.
  EXPECT_EQ(Call(3, {Variant(u"10.0.0.7 "), Variant(u"\x01" u"1234\x1F"), Variant(u"\tFALSE\n")}), u"TRUE");
  EXPECT_EQ(object->Controller()->StackItem(0)->Status, u"FALSE");
  EXPECT_EQ(object->Controller()->StackItem(0)->Device, u"1234");

  // A floating-point number reaches the controller as its shortest decimal text;
  // inner blanks stay. A word other than "TRUE" for an address without an entry
  // makes no request: the controller logs it as it came.
  host.events.clear();
  EXPECT_EQ(Call(3, {Variant(u"10.0.0.9"), Variant::Double(2.5), Variant(u"a b")}), u"TRUE");
  ASSERT_FALSE(host.DataOf(u"LOG").empty());
  EXPECT_EQ(host.DataOf(u"LOG")[0], u"GateOpen(10.0.0.9, 2.5, \"a b\") came after its request ended");
  EXPECT_EQ(ErrorMsg(), u"");
}

TEST_F(AddInTest, GateOpenReadsMissingParametersAsEmpty) {
  ASSERT_EQ(init->Init(&host), S_OK);
  Variant result;
  SAFEARRAY* none = nullptr;
  EXPECT_EQ(lang->CallAsFunc(3, result.get(), &none), S_OK);
  EXPECT_EQ(result.Text(), u"TRUE");
  ASSERT_FALSE(host.DataOf(u"LOG").empty());
  EXPECT_EQ(host.DataOf(u"LOG")[0], u"GateOpen(, , \"\") came after its request ended");

  host.events.clear();
  EXPECT_EQ(Call(3, {Variant(u"10.0.0.5")}), u"TRUE");
  EXPECT_EQ(host.DataOf(u"LOG")[0], u"GateOpen(10.0.0.5, , \"\") came after its request ended");
}

TEST_F(AddInTest, GateOpenWithANullParameterFailsIntoErrorMsgAndTheErrorLog) {
  ASSERT_EQ(init->Init(&host), S_OK);
  for (int position = 0; position < 3; ++position) {
    host.events.clear();
    host.errors.clear();
    std::vector<Variant> args;
    for (int i = 0; i < 3; ++i) args.push_back(i == position ? Variant::Null() : Variant(u"x"));
    HRESULT hr = E_FAIL;
    EXPECT_EQ(Call(3, std::move(args), &hr), u"") << position;
    EXPECT_EQ(hr, S_OK);
    EXPECT_EQ(ErrorMsg(), kNullConversion);
    ASSERT_EQ(host.errors.size(), 1u);
    const auto& e = host.errors[0];
    EXPECT_EQ(e.code, 1006);
    EXPECT_EQ(e.source, u"ax_gate");
    EXPECT_EQ(e.description, kNullConversion);
    EXPECT_EQ(e.scode, E_FAIL);
    EXPECT_TRUE(e.prop_name_null);
    EXPECT_TRUE(e.rest_empty);
    EXPECT_TRUE(host.events.empty()) << "a failed GateOpen posts no external event";
    EXPECT_EQ(object->Controller()->StackCount(), 0u);
  }
  // ErrorMsg keeps the message until the next error: a good call does not clear it.
  EXPECT_EQ(Call(3, {Variant(u"10.0.0.7"), Variant(u"0012"), Variant(u"TRUE")}), u"TRUE");
  EXPECT_EQ(ErrorMsg(), kNullConversion);
}

TEST_F(AddInTest, GateOpenWhoseControllerCallFailsReportsTheControllersMessage) {
  ASSERT_EQ(init->Init(&host), S_OK);
  // The controller logs the manual request first; a host refusing that event
  // raises the error inside p_hw_manual.
  host.event_result = E_FAIL;
  HRESULT hr = E_FAIL;
  EXPECT_EQ(Call(3, {Variant(u"10.0.0.7"), Variant(u"0012"), Variant(u"TRUE")}, &hr), u"");
  EXPECT_EQ(hr, S_OK);
  std::u16string msg = ErrorMsg();
  EXPECT_NE(msg.find(u"ExternalEvent"), std::u16string::npos) << ToUtf8(msg);
  ASSERT_EQ(host.errors.size(), 1u);
  EXPECT_EQ(host.errors[0].description, msg);
}

// ---- The trace switch ----

// A directory of its own for trace files (and, on Linux, the registry stand-in);
// the trace variable and the registry value are empty unless a test sets them,
// and are left empty. Under Wine the value is the real registry's.
class AddInTraceTest : public AddInTest {
 protected:
  void SetUp() override {
    AddInTest::SetUp();
    dir = std::filesystem::temp_directory_path() / ("axg-addin-trace-" + std::to_string(std::random_device{}()));
    std::filesystem::create_directories(dir);
    SetEnvironmentText(u"AX_GATE_REGISTRY", (dir / "registry").u16string());
    SetSwitch(u"", u"");
  }
  void TearDown() override {
    AddInTest::TearDown();
    SetSwitch(u"", u"");
    SetEnvironmentText(u"AX_GATE_REGISTRY", u"");
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
  }
  static void SetSwitch(const std::u16string& env, const std::u16string& registry) {
    ASSERT_TRUE(SetEnvironmentText(u"AX_GATE_TRACE", env));
    ASSERT_TRUE(RegSetStringValue(RegRoot::CurrentUserSoftware, u"ax_gate", u"Trace", registry));
  }
  static std::vector<trace::Record> Records(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    return trace::ReadRecords(in).records;
  }
  std::filesystem::path dir;
};

TEST_F(AddInTraceTest, TheSwitchIsTheEnvironmentThenTheRegistryAndOffWithoutEither) {
  struct Case {
    const char* env;       // "": not set
    const char* registry;  // "": no file named
    const char* written;   // the file that gets the trace; "": none
  } cases[] = {
      {"", "", ""},
      {"env.jsonl", "", "env.jsonl"},
      {"", "reg.jsonl", "reg.jsonl"},
      {"env.jsonl", "reg.jsonl", "env.jsonl"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.env) + " / " + c.registry);
    std::filesystem::remove(dir / "env.jsonl");
    std::filesystem::remove(dir / "reg.jsonl");
    auto full = [&](const char* name) { return *name ? (dir / name).u16string() : std::u16string(); };
    SetSwitch(full(c.env), full(c.registry));

    ASSERT_EQ(init->Init(&host), S_OK);
    EXPECT_EQ(object->Trace() != nullptr, *c.written != 0);
    EXPECT_EQ(Call(3, {Variant(u"10.0.0.7"), Variant(u" 0012 "), Variant(u"TRUE")}), u"TRUE");
    ASSERT_EQ(init->Done(), S_OK);
    EXPECT_TRUE(host.errors.empty());

    for (const char* name : {"env.jsonl", "reg.jsonl"}) {
      const bool expected = std::string(c.written) == name;
      ASSERT_EQ(std::filesystem::exists(dir / name), expected) << name;
      if (!expected) continue;
      // The opening record, the manual request's new entry, and the call as
      // GateOpen read it (trimmed).
      const auto r = Records(dir / name);
      ASSERT_FALSE(r.empty());
      EXPECT_EQ(r.front().ev, "start");
      auto call = std::find_if(r.begin(), r.end(), [](const trace::Record& x) { return x.ev == "call"; });
      ASSERT_NE(call, r.end());
      EXPECT_EQ(call->Get("method"), "GateOpen");
      EXPECT_EQ(call->args, (std::vector<std::string>{"10.0.0.7", "0012", "TRUE"}));
      EXPECT_EQ(call->Get("answer"), "TRUE");
      EXPECT_TRUE(std::any_of(r.begin(), r.end(), [](const trace::Record& x) {
        return x.ev == "state" && x.Get("to") == "NEW" && x.Get("card") == "-1-1-1-1-1";
      }));
    }
  }
}

// The size of one file and the number of files: the variable first, then the
// value beside "Trace"; what is not a number in bounds is told, and the default used.
TEST_F(AddInTraceTest, TheTraceSizeAndFilesAreSettingsBesideTheSwitch) {
  struct Case {
    const char16_t* size;   // AX_GATE_TRACE_SIZE
    const char16_t* files;  // the registry value TraceFiles
    std::int64_t limit, count;
    const char* told;  // in ErrorMsg; "": nothing
  } cases[] = {
      {u"", u"", 32 << 20, 8, ""},
      {u"2", u"3", 2 << 20, 3, ""},
      {u"0", u"many", 32 << 20, 8, "TraceFiles \"many\" is not a number from 1 to 99"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(ToUtf8(c.size));
    std::filesystem::remove(dir / "t.jsonl");
    SetSwitch((dir / "t.jsonl").u16string(), u"");
    ASSERT_TRUE(SetEnvironmentText(u"AX_GATE_TRACE_SIZE", c.size));
    ASSERT_TRUE(RegSetStringValue(RegRoot::CurrentUserSoftware, u"ax_gate", u"TraceFiles", c.files));
    ASSERT_EQ(init->Init(&host), S_OK);
    EXPECT_NE(ToUtf8(ErrorMsg()).find(c.told), std::string::npos) << ToUtf8(ErrorMsg());
    ASSERT_EQ(init->Done(), S_OK);
    const auto r = Records(dir / "t.jsonl");
    ASSERT_FALSE(r.empty());
    EXPECT_EQ(r.front().number.at("limit"), c.limit);
    EXPECT_EQ(r.front().number.at("files"), c.count);
  }
  SetEnvironmentText(u"AX_GATE_TRACE_SIZE", u"");
  RegSetStringValue(RegRoot::CurrentUserSoftware, u"ax_gate", u"TraceFiles", u"");  // the real registry keeps it
}

// Events: the variable first, then the value beside "Trace"; "all" reports every
// live request on every pass, anything else is the default, told once when unknown.
TEST_F(AddInTraceTest, TheEventsSettingIsReadBesideTheTrace) {
  struct Case {
    const char16_t *env, *registry;
    bool every;
    std::size_t told;  // LOG events
  } cases[] = {{u"", u"", false, 0}, {u"", u"all", true, 0}, {u"All", u"", true, 0}, {u"news", u"all", false, 1}};
  for (const auto& c : cases) {
    SCOPED_TRACE(ToUtf8(c.env) + " / " + ToUtf8(c.registry));
    host.events.clear();
    ASSERT_TRUE(SetEnvironmentText(u"AX_GATE_EVENTS", c.env));
    ASSERT_TRUE(RegSetStringValue(RegRoot::CurrentUserSoftware, u"ax_gate", u"Events", c.registry));
    ASSERT_EQ(init->Init(&host), S_OK);
    EXPECT_EQ(object->Controller()->EveryPassReported(), c.every);
    EXPECT_EQ(host.DataOf(u"LOG").size(), c.told);
    ASSERT_EQ(init->Done(), S_OK);
  }
  SetEnvironmentText(u"AX_GATE_EVENTS", u"");
  RegSetStringValue(RegRoot::CurrentUserSoftware, u"ax_gate", u"Events", u"");
}

TEST_F(AddInTraceTest, ATraceThatCannotBeOpenedIsReportedOnceAndTheAddInGoesOn) {
  // A file in a directory that is not there, a directory, and (where there is
  // one) a device that takes no byte.
  std::vector<std::u16string> paths = {(dir / "missing" / "trace.jsonl").u16string(), dir.u16string()};
  if (std::filesystem::exists("/dev/full")) paths.push_back(u"/dev/full");
  for (const auto& path : paths) {
    SCOPED_TRACE(ToUtf8(path));
    host.events.clear();
    host.errors.clear();
    SetSwitch(path, u"");
    ASSERT_EQ(init->Init(&host), S_OK);
    EXPECT_TRUE(object->Initialised());
    EXPECT_EQ(object->Trace(), nullptr);
    const std::u16string msg = ErrorMsg();
    EXPECT_NE(msg.find(path), std::u16string::npos) << ToUtf8(msg);
    EXPECT_EQ(host.DataOf(u"LOG"), std::vector<std::u16string>{msg});
    // No error record: one written during Init would make the host count the
    // Init as failed.
    EXPECT_TRUE(host.errors.empty());
    // The add-in works on, and says nothing more about the trace.
    EXPECT_EQ(Call(3, {Variant(u"10.0.0.7"), Variant(u"0012"), Variant(u"TRUE")}), u"TRUE");
    EXPECT_FALSE(host.DataOf(u"CHECK").empty());
    const auto logs = host.DataOf(u"LOG");
    EXPECT_EQ(std::count(logs.begin(), logs.end(), msg), 1);
    EXPECT_TRUE(host.errors.empty());
    EXPECT_EQ(ErrorMsg(), msg);
    ASSERT_EQ(init->Done(), S_OK);
  }
}

}  // namespace
}  // namespace axg::test
