// ax_gate-host: stands in for the 1C:Enterprise 7.7 host and its script. It
// creates the add-in by ProgID as the host does, initialises it with a
// connection object offering IAsyncEvent, IErrorLog and IStatusLine, calls its
// methods and properties only through ILanguageExtender, runs the thread's
// message loop, hands queued external events to a decision policy, and prints
// events, results and error-log entries.
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "AddInLib/AddInLib.h"
#include "platform/com.h"
#include "platform/environment.h"
#include "platform/message_loop.h"
#include "platform/open_files.h"
#include "platform/registry.h"
#include "platform/stdin_reader.h"
#include "platform/stop_request.h"
#include "platform/text.h"
#include "platform/tool_text.h"
#include "tools/host/command.h"
#include "tools/host/host_site.h"
#include "tools/host/output.h"
#include "tools/host/policy.h"

namespace axg::host {
namespace {

const char kUsage[] =
    "usage: ax_gate-host [options]\n"
    "Stands in for the 1C:Enterprise 7.7 host: creates the add-in by ProgID, calls\n"
    "Init (and Start), answers decision requests by a policy and takes commands on\n"
    "standard input, one a line: a JSON array ([\"GateOpen\",\"127.0.0.2\",\"0001\",\"TRUE\"],\n"
    "[\"get\",\"ErrorMsg\"], [\"set\",\"Port\",5]) or words (Start, GateOpen 127.0.0.2 0001 TRUE,\n"
    "get Port). Method names go to the add-in as given, English or Russian. Host\n"
    "commands: get NAME, set NAME VALUE, wait MS, counts, done (Done only), release\n"
    "(release without Done, then exit), quit (Done, release, exit; also at end of input),\n"
    "loop (how long the thread's callbacks held it: count, longest, p99; \"loop reset\"\n"
    "prints them and starts afresh).\n"
    "\n"
    "  --progid NAME          ProgID to create (default AddIn.ax_gate)\n"
    "  --policy P             allow | deny | none | cards=FILE (default none): the answer to\n"
    "                         each decision request (CHECK event of kind 0); a manual\n"
    "                         request is opened only after a GateOpen TRUE typed here,\n"
    "                         and requests at type I devices are not answered\n"
    "  --no-start             do not call Start after Init\n"
    "  --no-init              do not call Init either: the add-in's methods are called\n"
    "                         as a script would before it is initialised\n"
    "  --load FILE            load this library into the process first, as other add-ins\n"
    "                         and drivers bring theirs into 1C's (repeatable)\n"
    "  --format text|jsonl    output for people (default) or one JSON object a line\n"
    "  --event-fail           ExternalEvent fails with E_FAIL\n"
    "  --depth-fail           SetEventBufferDepth fails with E_FAIL\n"
    "  --without LIST         do not offer these host interfaces (comma-separated:\n"
    "                         events, errorlog, statusline)\n"
    "  --trace FILE           the add-in writes its trace to FILE (sets AX_GATE_TRACE\n"
    "                         for it; AX_GATE_TRACE_SIZE (MiB a file) and\n"
    "                         AX_GATE_TRACE_FILES size it; read it with\n"
    "                         ax_gate-trace FILE*)\n"
    "  --event-cost MS        each delivered event holds the thread MS milliseconds, as a\n"
    "                         slow 1C handler would; events then come one a loop turn\n"
    "  --no-input             read no commands: run until ended (Ctrl+C, or SIGTERM or\n"
    "                         SIGHUP on Linux), e.g. in the background or as a service\n"
    "\n"
    "Ctrl+C, SIGTERM and SIGHUP end the host as quit does: Done (the add-in's trace\n"
    "written out), release, the counts.\n";

[[noreturn]] void Usage(const std::string& why) {
  if (!why.empty()) std::cerr << "ax_gate-host: " << why << "\n";
  std::cerr << kUsage;
  std::exit(2);
}

struct Options {
  std::string progid = "AddIn.ax_gate";
  std::string policy = "none";
  bool start = true;
  bool init = true;
  std::vector<std::string> load;
  bool input = true;
  std::string trace;
  Format format = Format::kText;
  SiteOptions site;
};

Options ParseOptions(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) Usage(a + " wants a value");
      return argv[++i];
    };
    if (a == "--progid") o.progid = value();
    else if (a == "--policy") o.policy = value();
    else if (a.rfind("--policy=", 0) == 0) o.policy = a.substr(9);
    else if (a == "--no-start") o.start = false;
    else if (a == "--no-init") o.init = false;
    else if (a == "--load") o.load.push_back(value());
    else if (a == "--trace") o.trace = value();
    else if (a == "--no-input") o.input = false;
    else if (a == "--event-cost") {
      const std::string v = value();
      char* end = nullptr;
      const long ms = std::strtol(v.c_str(), &end, 10);
      if (v.empty() || *end || ms < 0 || ms > 10000) Usage("--event-cost wants milliseconds, 0 to 10000");
      o.site.event_cost_ms = static_cast<int>(ms);
    }
    else if (a == "--format") {
      std::string f = value();
      if (f == "text") o.format = Format::kText;
      else if (f == "jsonl") o.format = Format::kJsonl;
      else Usage("--format wants text or jsonl");
    } else if (a == "--event-fail") o.site.event_fail = true;
    else if (a == "--depth-fail") o.site.depth_fail = true;
    else if (a == "--without") {
      std::string list = value() + ",";
      for (std::size_t p = 0, c; (c = list.find(',', p)) != std::string::npos; p = c + 1) {
        std::string name = list.substr(p, c - p);
        if (name == "events") o.site.offer_events = false;
        else if (name == "errorlog") o.site.offer_errorlog = false;
        else if (name == "statusline") o.site.offer_statusline = false;
        else if (!name.empty()) Usage("--without knows events, errorlog and statusline");
      }
    } else if (a == "--help" || a == "-h") {
      std::cout << kUsage;
      std::exit(0);
    } else {
      Usage("unknown option " + a);
    }
  }
  return o;
}

// A VARIANT built from a value, cleared when it goes.
class Var {
 public:
  Var() { VariantInit(&v_); }
  explicit Var(const Value& value) : Var() {
    switch (value.kind) {
      case Value::kEmpty: break;
      case Value::kNull: v_.vt = VT_NULL; break;
      case Value::kBool:
        v_.vt = VT_BOOL;
        v_.boolVal = value.b ? VARIANT_TRUE : VARIANT_FALSE;
        break;
      case Value::kInt:
        v_.vt = VT_I4;
        v_.lVal = static_cast<LONG>(value.i);
        break;
      case Value::kDouble:
        v_.vt = VT_R8;
        v_.dblVal = value.d;
        break;
      case Value::kString:
        v_.vt = VT_BSTR;
        v_.bstrVal = U16ToBstr(value.s);
        break;
    }
  }
  ~Var() { VariantClear(&v_); }
  Var(const Var&) = delete;
  Var& operator=(const Var&) = delete;
  VARIANT* get() { return &v_; }

  Value ToValue() const {
    Value out;
    switch (v_.vt) {
      case VT_EMPTY: out.kind = Value::kEmpty; return out;
      case VT_NULL: out.kind = Value::kNull; return out;
      case VT_BSTR: return Value::Str(BstrToU16(v_.bstrVal));
      case VT_BOOL:
        out.kind = Value::kBool;
        out.b = v_.boolVal != VARIANT_FALSE;
        return out;
      case VT_I1: case VT_I2: case VT_I4: case VT_INT: case VT_UI1: case VT_UI2:
        out.kind = Value::kInt;
        out.i = v_.vt == VT_I1 ? v_.cVal : v_.vt == VT_I2 ? v_.iVal : v_.vt == VT_UI1 ? v_.bVal
               : v_.vt == VT_UI2 ? v_.uiVal : v_.vt == VT_INT ? v_.intVal : v_.lVal;
        return out;
      case VT_R8:
        out.kind = Value::kDouble;
        out.d = v_.dblVal;
        return out;
      default: {
        VARIANT text;
        VariantInit(&text);
        if (SUCCEEDED(VariantChangeType(&text, const_cast<VARIANT*>(&v_), 0, VT_BSTR))) out = Value::Str(BstrToU16(text.bstrVal));
        else out = Value::Str(u"(variant type " + IntToStr(v_.vt) + u")");
        VariantClear(&text);
        return out;
      }
    }
  }

 private:
  VARIANT v_;
};

std::u16string ArgsText(const std::vector<Value>& args) {
  std::string s;
  for (std::size_t i = 0; i < args.size(); ++i) s += (i ? ", " : "") + DisplayValue(args[i]);
  return FromUtf8(s);
}

class Host {
 public:
  Host(Options opt, Output& out, Policy policy)
      : opt_(std::move(opt)), out_(out), policy_(std::move(policy)) {}

  int Run();

 private:
  bool Create();
  void Initialise();
  Value CallMethod(const std::u16string& name, const std::vector<Value>& args);
  void GetProp(const std::u16string& name);
  void SetProp(const std::u16string& name, const Value& value);
  void OnLine(const std::string& line);
  void Pump();
  void Execute(const std::vector<Value>& cmd);
  void CallDone();
  void Finish();

  Options opt_;
  Output& out_;
  Policy policy_;
  MessageLoop& loop_ = MessageLoop::Current();
  IInitDone* init_ = nullptr;
  ILanguageExtender* lang_ = nullptr;
  HostSite* site_ = nullptr;
  bool done_called_ = false;
  bool released_ = false;
  bool quitting_ = false;
  bool waiting_ = false;
  TimerId wait_timer_ = 0;
  std::deque<std::string> pending_;
  std::unique_ptr<StdinReader> stdin_;
};

bool Host::Create() {
  CoInitialize(nullptr);
  std::u16string progid = FromUtf8(opt_.progid);
  CLSID clsid;
  HRESULT hr = CLSIDFromProgID(reinterpret_cast<LPCOLESTR>(progid.c_str()), &clsid);
  if (FAILED(hr)) {
    std::u16string file = RegistryFilePath();
    std::cerr << "ax_gate-host: " << opt_.progid << " is not registered";
    if (!file.empty()) std::cerr << " in " << ToUtf8(file);
    std::cerr << ".\nRegister the module first, e.g.: " << ThisSystemTexts().register_hint << ".\n";
    return false;
  }
  void* p = nullptr;
  hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IInitDone, &p);
  if (FAILED(hr) || !p) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08X", static_cast<unsigned>(hr));
    std::cerr << "ax_gate-host: cannot create " << opt_.progid << " " << ToUtf8(GuidToString(clsid))
              << ": HRESULT " << buf;
    std::u16string why = ComLoadError();
    if (!why.empty()) std::cerr << " (" << ToUtf8(why) << ")";
    std::cerr << "\n";
    return false;
  }
  init_ = static_cast<IInitDone*>(p);
  return true;
}

// Init, GetInfo, the language extension and Start, as the host does on loading.
void Host::Initialise() {
  site_ = new HostSite(out_, opt_.site);
  site_->on_event = [this](const QueuedEvent& ev) {
    if (auto d = policy_.Decide(ev.name, ev.data))
      CallMethod(u"GateOpen", {Value::Str(d->ip), Value::Str(d->device), Value::Str(d->answer)});
  };
  HRESULT hr = S_OK;
  if (opt_.init) {
    hr = init_->Init(static_cast<IDispatch*>(site_));
    out_.Result("Init", Value(), hr);
  }

  SAFEARRAY* info = SafeArrayCreateVector(VT_VARIANT, 0, 1);
  hr = init_->GetInfo(&info);
  Var version;
  LONG zero = 0;
  if (info) SafeArrayGetElement(info, &zero, version.get());
  out_.Result("GetInfo", version.ToValue(), hr);
  if (info) SafeArrayDestroy(info);

  void* p = nullptr;
  hr = init_->QueryInterface(IID_ILanguageExtender, &p);
  if (FAILED(hr) || !p) {
    out_.Error("the add-in offers no ILanguageExtender");
    return;
  }
  lang_ = static_cast<ILanguageExtender*>(p);
  BSTR name = nullptr;
  hr = lang_->RegisterExtensionAs(&name);
  out_.Result("RegisterExtensionAs", Value::Str(BstrToU16(name)), hr);
  SysFreeString(name);

  std::string summary = "policy " + policy_.Describe();
  if (opt_.start) {
    Value started = CallMethod(u"Start", {});
    summary = "Start = " + DisplayValue(started) + "; " + summary;
  }
  out_.Ready(summary + (opt_.input ? ". Commands on standard input; quit or end of input to finish."
                                    : ". No commands are read; end the program to finish."));
}

Value Host::CallMethod(const std::u16string& name, const std::vector<Value>& args) {
  std::string call = ToUtf8(name);
  if (!lang_) {
    out_.Error("no add-in to call " + call + " on");
    return {};
  }
  BSTR bname = U16ToBstr(name);
  LONG index = -1;
  HRESULT hr = lang_->FindMethod(bname, &index);
  SysFreeString(bname);
  if (hr != S_OK || index < 0) {
    out_.Error("the add-in has no method \"" + call + "\" (names are exact: letter case matters)");
    return {};
  }
  LONG n = 0;
  lang_->GetNParams(index, &n);
  if (n < 0) n = 0;
  if (args.size() > static_cast<std::size_t>(n))
    out_.Error(call + " takes " + std::to_string(n) + " parameter(s); the others are not passed");
  SAFEARRAY* params = SafeArrayCreateVector(VT_VARIANT, 0, static_cast<ULONG>(n));
  for (LONG i = 0; i < n && static_cast<std::size_t>(i) < args.size(); ++i) {
    Var v(args[static_cast<std::size_t>(i)]);
    SafeArrayPutElement(params, &i, v.get());
  }
  Var result;
  hr = lang_->CallAsFunc(index, result.get(), &params);
  std::string label = call;
  if (opt_.format == Format::kText) label += "(" + ToUtf8(ArgsText(args)) + ")";
  out_.Result(label, result.ToValue(), hr);
  if (params) SafeArrayDestroy(params);
  return result.ToValue();
}

void Host::GetProp(const std::u16string& name) {
  std::string call = "get " + ToUtf8(name);
  if (!lang_) return out_.Error("no add-in to ask for " + ToUtf8(name));
  BSTR bname = U16ToBstr(name);
  LONG index = -1;
  HRESULT hr = lang_->FindProp(bname, &index);
  SysFreeString(bname);
  if (hr != S_OK || index < 0) return out_.Error("the add-in has no property \"" + ToUtf8(name) + "\"");
  Var value;
  hr = lang_->GetPropVal(index, value.get());
  out_.Result(call, value.ToValue(), hr);
}

void Host::SetProp(const std::u16string& name, const Value& value) {
  std::string call = "set " + ToUtf8(name);
  if (!lang_) return out_.Error("no add-in to set " + ToUtf8(name) + " on");
  BSTR bname = U16ToBstr(name);
  LONG index = -1;
  HRESULT hr = lang_->FindProp(bname, &index);
  SysFreeString(bname);
  if (hr != S_OK || index < 0) return out_.Error("the add-in has no property \"" + ToUtf8(name) + "\"");
  BOOL writable = FALSE;
  lang_->IsPropWritable(index, &writable);
  if (!writable) out_.Note(ToUtf8(name) + " is not writable; setting it anyway");
  Var v(value);
  hr = lang_->SetPropVal(index, v.get());
  out_.Result(call, Value(), hr);
}

void Host::CallDone() {
  if (!init_ || done_called_) return;
  done_called_ = true;
  HRESULT hr = init_->Done();
  out_.Result("Done", Value(), hr);
}

void Host::OnLine(const std::string& line) {
  pending_.push_back(line);
  Pump();
}

void Host::Pump() {
  while (!pending_.empty() && !waiting_ && !quitting_) {
    std::string line = std::move(pending_.front());
    pending_.pop_front();
    std::string error;
    auto cmd = ParseCommand(line, &error);
    if (!cmd) {
      if (!error.empty()) out_.Error(error + ": " + line);
      continue;
    }
    Execute(*cmd);
  }
}

void Host::Execute(const std::vector<Value>& cmd) {
  if (cmd[0].kind != Value::kString) return out_.Error("a command starts with a name");
  const std::u16string& name = cmd[0].s;
  std::vector<Value> args(cmd.begin() + 1, cmd.end());
  auto arg_text = [&](std::size_t i) -> std::u16string {
    if (i >= args.size()) return {};
    if (args[i].kind == Value::kString) return args[i].s;
    return FromUtf8(JsonValue(args[i]));
  };
  if (name == u"quit" || name == u"exit") {
    quitting_ = true;
    loop_.Stop();
  } else if (name == u"release") {
    released_ = true;
    quitting_ = true;
    loop_.Stop();
  } else if (name == u"done") {
    CallDone();
  } else if (name == u"counts") {
    out_.PrintCounts(site_ ? site_->GetCounts() : Counts{});
  } else if (name == u"loop") {
    out_.PrintLoop(loop_.Stats());
    if (!args.empty() && arg_text(0) == u"reset") loop_.ResetStats();
  } else if (name == u"get") {
    if (args.size() != 1) return out_.Error("get wants one property name");
    GetProp(arg_text(0));
  } else if (name == u"set") {
    if (args.size() != 2) return out_.Error("set wants a property name and a value");
    Value v = args[1];
    SetProp(arg_text(0), v);
  } else if (name == u"wait") {
    long ms = std::strtol(ToUtf8(arg_text(0)).c_str(), nullptr, 10);
    if (ms <= 0) return;
    waiting_ = true;
    wait_timer_ = loop_.StartTimer(static_cast<unsigned>(ms), [this] {
      loop_.StopTimer(wait_timer_);
      wait_timer_ = 0;
      waiting_ = false;
      Pump();
    });
  } else {
    // The operator's own "open": the manual request it makes is one to open.
    if ((name == u"GateOpen" || name == u"Ворота") && arg_text(2) == u"TRUE")
      policy_.Asked(arg_text(0), arg_text(1));
    CallMethod(name, args);
  }
}

void Host::Finish() {
  if (init_ && !released_) CallDone();
  if (lang_) lang_->Release();
  lang_ = nullptr;
  if (init_) init_->Release();
  init_ = nullptr;
  Counts counts = site_ ? site_->GetCounts() : Counts{};
  if (site_) {
    if (site_->Queued() > 0)
      out_.Note(std::to_string(site_->Queued()) + " event(s) still queued, not delivered");
    site_->Release();
  }
  site_ = nullptr;
  // The add-in may have left calls posted to the loop (a closed connection is
  // removed in a later turn); like the 1C host, keep pumping until they have run,
  // so that none outlives the module it belongs to.
  for (int turn = 0; turn < 100 && loop_.RunPending(); ++turn) {
  }
  CoFreeUnusedLibraries();
  out_.PrintCounts(counts);
}

int Host::Run() {
  if (!Create()) return 1;
  Initialise();
  // Asked to end (Ctrl+C, a service manager's SIGTERM, a closed terminal's
  // SIGHUP): as quit, so that Done runs and the add-in's trace is written out.
  StopRequest stop([this] {
    out_.Note("asked to end: quitting");
    quitting_ = true;
    loop_.Stop();
  });
  if (opt_.input)
    stdin_ = std::make_unique<StdinReader>([this](const std::string& line) { OnLine(line); },
                                           [this] { OnLine("quit"); });
  if (!quitting_) loop_.Run();
  if (wait_timer_) loop_.StopTimer(wait_timer_);
  stdin_.reset();
  Finish();
  CoUninitialize();
  return 0;
}

}  // namespace

int Main(int argc, char** argv) {
  Options opt = ParseOptions(argc, argv);
  // 1C's process on Windows counts no descriptors; here the soft limit (often
  // 1024) would stop a site of thousands of devices long before the add-in does.
  // The hard limit stays: `ulimit -n N` still limits the host for a test.
  RaiseOpenFileLimit(16384);
  std::string error;
  auto policy = Policy::Parse(opt.policy, &error);
  if (!policy) Usage(error);
  // The add-in reads its trace switch at Init, from this process's environment.
  if (!opt.trace.empty() && !SetEnvironmentText(u"AX_GATE_TRACE", FromUtf8(opt.trace)))
    Usage("--trace: cannot set AX_GATE_TRACE");
  for (const std::string& file : opt.load) {
    if (!LoadLibraryForGood(FromUtf8(file))) Usage("--load: cannot load " + file);
  }
  Output out(opt.format);
  Host host(opt, out, std::move(*policy));
  return host.Run();
}

}  // namespace axg::host

int main(int argc, char** argv) { return axg::host::Main(argc, argv); }
