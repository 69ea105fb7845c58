#pragma once
// The reading side of the add-in's trace: records parsed back from their JSON
// lines, each request's road put together from them, and the road and summary
// printed for people or as JSON.
#include <cstdint>
#include <istream>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace axg::trace {

// One record: its kind, time stamps and fields. Text fields are UTF-8; a "bytes"
// field holds the bytes as they went over the wire; "args" is a list.
struct Record {
  std::string ev;
  std::int64_t t = 0;   // wall clock, ms since 1970 UTC
  std::int64_t us = 0;  // monotonic, µs
  std::map<std::string, std::string> text;
  std::map<std::string, std::int64_t> number;
  std::vector<std::string> args;
  std::string Get(const std::string& name) const {
    auto it = text.find(name);
    return it == text.end() ? std::string() : it->second;
  }
};

// Parses one line; nothing if it is not a record of the trace.
std::optional<Record> ParseRecord(const std::string& line);

// Reads every record of a stream; lines that are not records are counted.
struct ReadResult {
  std::vector<Record> records;
  std::size_t bad_lines = 0;
};
ReadResult ReadRecords(std::istream& in);

// The files of one trace in any order (rotation makes "x", "x.1", "x.2" ...):
// each file's records in the order written, the files by their first record.
std::vector<Record> MergeFiles(std::vector<std::vector<Record>> files);

struct Step {
  std::string name;  // card, CHECK, GateOpen, GO, PH, relay, passing, finished,
                     // timed out, no answer, closed, dropped
  std::int64_t us = 0;
  std::string detail;
};

struct Request {
  std::string ip, device, type, card;
  std::int64_t t = 0;  // wall clock of the card step
  std::vector<Step> steps;
  bool opened = false, refused = false, timed_out = false, finished = false, ended = false;
  std::optional<std::int64_t> card_to_frame_us, answer_us;
  std::string Outcome() const;
};

struct Road {
  std::string ip, device;
  std::vector<Request> requests;
};

struct Figures {
  std::size_t count = 0;
  double p50_ms = 0, p99_ms = 0;
};

struct Summary {
  std::size_t requests = 0, opened = 0, refused = 0, timed_out = 0, finished = 0;
  Figures card_to_frame, answer;
};

struct Filter {
  std::string device;                // ip, device number, or ip/device; empty: all
  std::optional<std::int64_t> since;  // wall clock ms; requests from then on
};

// The roads, ordered by address and device, each with its requests in order.
std::vector<Road> BuildRoads(const std::vector<Record>& records, const Filter& filter);
Summary Summarize(const std::vector<Road>& roads);

std::string FormatText(const std::vector<Road>& roads, const Summary& summary);
std::string FormatJson(const std::vector<Road>& roads, const Summary& summary);

// "2026-12-09 14:03:05", "2026-12-09T14:03:05.250", "14:03" (local time; a time
// of day alone is on the day of reference_ms), or milliseconds since 1970.
std::optional<std::int64_t> ParseTime(const std::string& text, std::int64_t reference_ms);
// Local time of day "HH:MM:SS.mmm" of a wall-clock reading.
std::string LocalTime(std::int64_t ms);

}  // namespace axg::trace
