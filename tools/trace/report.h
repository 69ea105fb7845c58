#pragma once
// The trace as one web page for people: an overview, a timeline lane per device
// with a mark per request (its road shown on hover or click), the latencies over
// the trace's span with their histograms, and the worst requests and devices.
// The page holds everything it shows (inline CSS and SVG, a small script, the
// lanes' data as JSON) and loads nothing from anywhere.
//
// It reads what the reader makes: the requests of the roads and the summary, and
// the trace's records for what is not a request (connections, keep-alives,
// errors, lost records).
#include <cstddef>
#include <string>
#include <vector>

#include "tools/trace/reader.h"

namespace axg::trace {

struct ReportInput {
  const std::vector<Record>* records = nullptr;  // the whole trace, files merged
  const std::vector<Road>* roads = nullptr;      // built with `filter`
  const Summary* summary = nullptr;              // of `roads`
  Filter filter;
  std::vector<std::string> files;  // names, for the heading
  std::size_t bad_lines = 0;       // lines of the files that were not records
  Lang lang = Lang::kEn;
};

// How much the page holds before it aggregates. Up to `detail` requests each get a
// mark and a road of their own; beyond that the requests that went well are
// counted per lane and per minute (or per a longer span, to stay within
// `aggregates` marks), and only the ones that went wrong and the slowest keep
// their own mark and road.
struct ReportLimits {
  std::size_t detail = 15000;
  std::size_t aggregates = 120000;
  std::size_t lanes_per_page = 40;
};

std::string FormatHtml(const ReportInput& input, const ReportLimits& limits = {});

}  // namespace axg::trace
