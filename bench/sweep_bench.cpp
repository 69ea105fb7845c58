// Sweep cost: one sweep pass over n live entries, each reported to the host
// through the add-in's own reporting routine into a host sink that only counts.
// The entries wait for the host's decision ("WAIT"), the state every pending card
// request spends most of its life in; the clock stands still so none times out.
// The pass is measured with the trace off (as the add-in runs unless switched
// on) and with the trace on, every host event going to its file.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "AddInLib/AddInLib.h"
#include "AddInObj/AddInFactory.h"
#include "AddInObj/AddInObject.h"
#include "UturnstylerdeviceQ7/UturnstylerdeviceQ7.h"
#include "bench/scenarios.h"
#include "platform/clock.h"
#include "platform/environment.h"
#include "platform/ole.h"
#include "trace/TTrace.h"

namespace axg::bench {
namespace {

class SinkHost final : public IDispatch, public IAsyncEvent {
 public:
  long events = 0;
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    *ppv = nullptr;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IDispatch)) *ppv = static_cast<IDispatch*>(this);
    else if (IsEqualIID(riid, IID_IAsyncEvent)) *ppv = static_cast<IAsyncEvent*>(this);
    if (!*ppv) return E_NOINTERFACE;
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
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
};

class SweptController : public TTurnStylerDeviceQ7 {
 public:
  using TTurnStylerDeviceQ7::p_hw_ProcessStack;
};

void SweepPass(benchmark::State& state, bool traced) {
  const int n = static_cast<int>(state.range(0));
  FakeClock clock(0.5);
  ScopedClock scoped(clock);
  SinkHost host;
  void* p = nullptr;
  CreateAddInObject(nullptr, IID_IInitDone, &p);
  auto* init = static_cast<IInitDone*>(p);
  const std::filesystem::path file =
      std::filesystem::temp_directory_path() / ("axg-bench-trace-" + std::to_string(n) + ".jsonl");
  SetEnvironmentText(u"AX_GATE_TRACE", traced ? file.u16string() : u"");
  init->Init(&host);
  SetEnvironmentText(u"AX_GATE_TRACE", u"");
  auto* addin = static_cast<AddInObject*>(init);
  TTrace* trace = addin->Trace();
  if (traced && !trace) state.SkipWithError("the trace did not open");
  {
    SweptController ctl;
    ctl.OnCheckStatus = [addin](TObject* s, const TVar& a, const TVar& ip, const TVar& d, const TVar& t,
                                const TVar& c, const TVar& s1, const TVar& s2) {
      addin->CheckStatus(s, a, ip, d, t, c, s1, s2);
    };
    ctl.OnCheckSQL = [addin](TObject* s, const TVar& ip, const TVar& d, const TVar& t, const TVar& c,
                             const TVar& st, TPicture* img, const TVar& k, TVar& m, TVar& res) {
      addin->CheckSQL(s, ip, d, t, c, st, img, k, m, res);
    };
    ctl.OnLog = [addin](TObject* s, const std::u16string& text) { addin->Log(s, text); };
    ctl.SetTrace(trace);
    for (int i = 0; i < n; ++i) {
      char id[16];
      std::snprintf(id, sizeof id, "%04d", i);
      std::u16string dev(id, id + 4);
      ctl.p_hw_ProtocolIn(u"$10.0.0.7:" + dev + u"RQ0012345678XX");
    }
    ctl.p_hw_ProcessStack();  // every entry has had its decision request: all wait
    if (ctl.StackCount() != static_cast<std::size_t>(n)) state.SkipWithError("entries missing");
    const long before = host.events;
    // The host's thread only formats and queues records; the trace's own writer
    // thread writes them meanwhile.
    for (auto _ : state) ctl.p_hw_ProcessStack();
    if (trace) state.counters["dropped"] = static_cast<double>(trace->Dropped());
    state.counters["entries"] = n;
    state.counters["trace"] = traced ? 1 : 0;
    state.counters["events_per_pass"] =
        static_cast<double>(host.events - before) / static_cast<double>(std::max<benchmark::IterationCount>(state.iterations(), 1));
    state.SetItemsProcessed(state.iterations() * n);
  }
  init->Done();
  init->Release();
  std::error_code ec;
  for (const char* suffix : {"", ".1", ".2", ".3"}) std::filesystem::remove(file.string() + suffix, ec);
}

void BM_SweepPass(benchmark::State& state) { SweepPass(state, false); }
void BM_SweepPassTraced(benchmark::State& state) { SweepPass(state, true); }
BENCHMARK(BM_SweepPass)->Arg(10)->Arg(100)->Arg(1000)->Arg(10000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SweepPassTraced)->Arg(100)->Arg(1000)->Unit(benchmark::kMicrosecond);

// Console output as usual, and the figures kept for the summary.
class Collector : public benchmark::ConsoleReporter {
 public:
  explicit Collector(Results& r) : r_(r) {}
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.error_occurred || run.run_type != Run::RT_Iteration) continue;
      auto it = run.counters.find("entries");
      if (it == run.counters.end()) continue;
      SweepResult s;
      s.entries = static_cast<int>(it->second.value);
      auto traced = run.counters.find("trace");
      s.traced = traced != run.counters.end() && traced->second.value > 0;
      // CPU time: on a machine shared with other work the wall clock also counts
      // the time others had the processor.
      const double pass_ns = run.GetAdjustedCPUTime() * 1e9 / benchmark::GetTimeUnitMultiplier(run.time_unit);
      const double wall_ns = run.GetAdjustedRealTime() * 1e9 / benchmark::GetTimeUnitMultiplier(run.time_unit);
      s.pass_us = pass_ns / 1e3;
      s.pass_wall_us = wall_ns / 1e3;
      s.ns_per_entry = pass_ns / s.entries;
      r_.sweep.push_back(s);
    }
  }

 private:
  Results& r_;
};

}  // namespace

void InitSweep(int* argc, char** argv) { benchmark::Initialize(argc, argv); }

void RunSweep(Results& r) {
  std::printf("sweep cost: one pass over n waiting entries ...\n");
  std::fflush(stdout);
  Collector collector(r);
  benchmark::RunSpecifiedBenchmarks(&collector);
}

}  // namespace axg::bench
