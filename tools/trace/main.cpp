// ax_gate-trace: reads the add-in's trace files and prints, per device address,
// the road of each request with the time of every step, and a summary.
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "platform/tool_text.h"
#include "tools/trace/reader.h"
#include "tools/trace/report.h"

namespace {

const char kUsage[] =
    "usage: ax_gate-trace [--device ADDR] [--since TIME] [--lang en|ru] [--json | --html OUT.html] FILE...\n"
    "Prints, per device address, each request's road with the time of every step\n"
    "(card, CHECK, GateOpen, GO or PH, relay, finished or timed out), then a summary:\n"
    "requests, opened, refused, timed out, and p50/p99 of card-to-frame and of the\n"
    "script's answer time, errors. Give all the files of a trace (trace.jsonl trace.jsonl.1 ...)\n"
    "in any order: their numbers give the order they were written in.\n"
    "\n"
    "  --device ADDR   only this controller address, device number, or ADDR/DEVICE\n"
    "  --since TIME    only requests from TIME on: \"YYYY-MM-DD HH:MM[:SS[.s]]\", \"HH:MM[:SS[.s]]\"\n"
    "                  (local time, on the day the trace starts) or ms since 1970\n"
    "  --lang en|ru    the language of the text and the page (default en)\n"
    "  --json          one JSON object instead of text\n"
    "  --html OUT      writes OUT, one web page that needs nothing else: an overview,\n"
    "                  a timeline per device (hover a request for its road), latency\n"
    "                  over time and histograms, the slowest requests and worst devices\n";

}  // namespace

int main(int argc, char** argv) {
  using namespace axg::trace;
  Filter filter;
  std::string since;
  bool json = false;
  std::string html;
  Lang lang = Lang::kEn;
  std::vector<std::string> paths;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if ((a == "--device" || a == "--since") && i + 1 < argc) {
      (a == "--device" ? filter.device : since) = argv[++i];
    } else if (a == "--html" && i + 1 < argc) {
      html = argv[++i];
    } else if (a == "--lang" && i + 1 < argc) {
      const std::string l = argv[++i];
      if (l != "en" && l != "ru") {
        std::cerr << "ax_gate-trace: --lang: en or ru, not " << l << "\n";
        return 2;
      }
      lang = l == "ru" ? Lang::kRu : Lang::kEn;
    } else if (a == "--json") {
      json = true;
    } else if (a == "-h" || a == "--help") {
      std::cout << kUsage;
      return 0;
    } else if (!a.empty() && a[0] == '-') {
      std::cerr << "ax_gate-trace: unknown option " << a << "\n" << kUsage;
      return 2;
    } else {
      paths.push_back(a);
    }
  }
  axg::ConsoleOutputInUtf8();
  // trace.jsonl* as the guides write it; Windows' command shell passes it as it is.
  paths = axg::ExpandWildcards(paths);
  if (paths.empty()) {
    std::cerr << kUsage;
    return 2;
  }

  std::vector<std::vector<Record>> files;
  std::size_t bad = 0;
  for (const std::string& path : OrderFiles(paths)) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
      std::cerr << "ax_gate-trace: cannot open " << path << "\n";
      return 1;
    }
    ReadResult r = ReadRecords(in);
    bad += r.bad_lines;
    files.push_back(std::move(r.records));
  }
  const std::vector<Record> records = MergeFiles(std::move(files));
  if (!since.empty()) {
    filter.since = ParseTime(since, records.empty() ? 0 : records.front().t);
    if (!filter.since) {
      std::cerr << "ax_gate-trace: --since: not a time: " << since << "\n";
      return 2;
    }
  }
  if (bad > 0) std::cerr << "ax_gate-trace: " << bad << " lines are not trace records (skipped)\n";

  TraceFacts facts;
  const std::vector<Road> roads = BuildRoads(records, filter, &facts);
  const Summary summary = Summarize(roads, &facts);
  if (!html.empty()) {
    std::ofstream out(html, std::ios::binary | std::ios::trunc);
    out << FormatHtml({&records, &roads, &summary, filter, paths, bad, lang});
    if (!out.flush()) {
      std::cerr << "ax_gate-trace: cannot write " << html << "\n";
      return 1;
    }
    std::cout << "ax_gate-trace: wrote " << html << "\n";
    return 0;
  }
  std::cout << (json ? FormatJson(roads, summary) : FormatText(roads, summary, lang));
  return 0;
}
