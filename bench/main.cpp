// axg_bench: what the add-in costs and how fast it answers, each figure beside
// its target, and where there is one beside a floor that does only the
// unavoidable work on the same loop. Prints tables and writes JSON.
//
//   axg_bench [--quick] [--only ingest,cards,latency,sweep,footprint,flood,site,exhaust,script,rush]
//             [--idle-seconds N] [--json FILE] [--ingest-devices 1,100,1000]
//             [--card-devices 10,100] [--latency-devices 1,100,1000]
//             [--footprint-devices 1000] [--site-devices 1000]
//             [--search-rates 250,500,..] [--benchmark_* options]
//
// The add-in listens on port 1001 and the devices use many loopback source
// addresses, so run it in a private network namespace (make bench does).
#include <cstdio>
#include <cstdlib>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "bench/bench_os.h"
#include "bench/scenarios.h"

namespace {

[[noreturn]] void Usage() {
  std::fprintf(stderr,
               "usage: axg_bench [--quick] [--only LIST] [--idle-seconds N] [--json FILE]\n"
               "                 [--ingest-devices N,..] [--card-devices N,..] [--latency-devices N,..]\n"
               "                 [--footprint-devices N] [--site-devices N] [--search-rates R,..]\n"
               "                 [--benchmark_* options of the sweep]\n"
               "  LIST: comma-separated of ingest, cards, latency, sweep, footprint, flood, site,\n"
               "        exhaust, script, rush (default all)\n"
               "  device counts: 1 to 1000; search rates: lines/s of all the site's devices\n");
  std::exit(2);
}

std::vector<int> Numbers(const std::string& list) {
  std::vector<int> out;
  std::stringstream in(list);
  for (std::string item; std::getline(in, item, ',');) {
    const int n = std::atoi(item.c_str());
    if (n < 1 || n > 1000) Usage();
    out.push_back(n);
  }
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace axg::bench;
  if (argc > 1 && std::string(argv[1]) == "--serve") return ServeMain(argc, argv);

  InitSweep(&argc, argv);
  Options o;
  std::string json;
  std::set<std::string> only;
  int idle = -1;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) Usage();
      return argv[++i];
    };
    if (a == "--quick") o.quick = true;
    else if (a == "--json") json = value();
    else if (a == "--idle-seconds") idle = std::atoi(value().c_str());
    else if (a == "--ingest-devices") o.ingest_devices = Numbers(value());
    else if (a == "--card-devices") o.card_devices = Numbers(value());
    else if (a == "--latency-devices") o.latency_devices = Numbers(value());
    else if (a == "--footprint-devices") o.footprint_devices = std::atoi(value().c_str());
    else if (a == "--site-devices") {
      const std::vector<int> n = Numbers(value());
      if (n.size() != 1) Usage();
      o.site_devices = n[0];
    } else if (a == "--search-rates") {
      o.search_rates.clear();
      std::stringstream list(value());
      for (std::string item; std::getline(list, item, ',');) {
        const int rate = std::atoi(item.c_str());
        if (rate < 1 || rate > 1000000) Usage();
        o.search_rates.push_back(rate);
      }
    }
    else if (a == "--only") {
      std::stringstream list(value());
      for (std::string item; std::getline(list, item, ',');) only.insert(item);
    } else Usage();
  }
  if (o.quick) {
    o.ingest_ms = 1000;
    o.ingest_rounds = 1;
    o.card_seconds = 3;
    o.latency_samples = 50;
    o.idle_seconds = 5;
    o.flood_seconds = 4;
    o.settle_seconds = 5;
    o.site_seconds = 5;
    o.search_step_seconds = 2;
    o.exhaust_seconds = 2;
    o.script_seconds = 4;
    o.script_settle_seconds = 8;
    o.rush_seconds = 8;
  }
  if (idle >= 0) o.idle_seconds = idle;
  auto want = [&](const char* name) { return only.empty() || only.count(name) > 0; };

  const long files = RaiseFileLimit();
  if (files < 4200) std::fprintf(stderr, "axg_bench: only %ld open files allowed; 1000-device runs may fail\n", files);

  Results r;
  if (want("sweep")) RunSweep(r);
  if (want("ingest")) RunIngest(o, r);
  if (want("cards")) RunCards(o, r);
  if (want("latency")) RunLatency(o, r);
  if (want("footprint")) RunFootprint(o, r);
  if (want("flood")) RunFlood(o, r);
  if (want("site")) RunSite(o, r);
  if (want("exhaust")) RunExhaust(o, r);
  if (want("script")) RunScript(o, r);
  if (want("rush")) RunRush(o, r);
  PrintTables(o, r);
  if (!json.empty()) {
    if (WriteJson(json, o, r)) std::printf("\nresults written to %s\n", json.c_str());
    else std::fprintf(stderr, "axg_bench: cannot write %s\n", json.c_str());
  }
  return r.errors.empty() ? 0 : 1;
}
