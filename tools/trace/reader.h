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

// The language of what people read: the text report and the page.
enum class Lang { kEn, kRu };

// One record: its kind, time stamps and fields, under their long names ("a" is
// read as "addr", "b" as "bytes", "d" as "device", "p" as "port"). Text fields
// are UTF-8; a "bytes" field (the bytes as they went over the wire) is decoded
// through the code page, as the add-in decoded them, so that it reads like the
// text fields; "args" is the list of a call's arguments, other lists are in lists.
struct Record {
  std::string ev;
  std::int64_t t = 0;   // wall clock, ms since 1970 UTC
  std::int64_t us = 0;  // monotonic, µs
  std::map<std::string, std::string> text;
  std::map<std::string, std::int64_t> number;
  std::vector<std::string> args;
  std::map<std::string, std::vector<std::string>> lists;
  std::uint64_t Id() const {
    auto it = number.find("id");
    return it == number.end() || it->second < 0 ? 0 : static_cast<std::uint64_t>(it->second);
  }
  std::string Get(const std::string& name) const {
    auto it = text.find(name);
    return it == text.end() ? std::string() : it->second;
  }
};

// Parses one line; nothing if it is not a record of the trace. The add-in's
// events ("ev":"STATUS", "CHECK", "LOG", "ERROR") are read as "event" with that name.
std::optional<Record> ParseRecord(const std::string& line);

// Reads every record of a stream; lines that are not records are counted. A
// record glued to an unfinished line (a write cut short) is still read.
struct ReadResult {
  std::vector<Record> records;
  std::size_t bad_lines = 0;
};
ReadResult ReadRecords(std::istream& in);

// The files of one trace (rotation makes "x", "x.1", "x.2" ..., ".1" the newest
// of the older ones) in the order they were written: the highest number first,
// the file without a number last. Their names alone decide, not their times.
std::vector<std::string> OrderFiles(std::vector<std::string> paths);
// The records of the files given in the order written, one after the other, with
// what the add-in leaves out filled in from the records before: a missing "t",
// a state's "from", an entry's report "data" from its "rest".
std::vector<Record> MergeFiles(std::vector<std::vector<Record>> files);

struct Step {
  std::string name;  // card, CHECK, GateOpen, GO, PH, CP, relay, line, STATUS
                     // (of another address), device, passing, finished, timed out,
                     // no answer, closed, records lost, dropped
  std::int64_t us = 0;
  std::string detail;
};

// The road of one request: one entry of the add-in's event stack, from its card
// to its drop, built from the records that carry the entry's id.
struct Request {
  std::uint64_t id = 0;               // the entry's id within its run of the add-in
  std::string ip, device, type, card;  // as the entry was made
  std::int64_t t = 0;                 // wall clock of the card step
  std::vector<Step> steps;            // the card step first, the others in order
  bool opened = false, refused = false, timed_out = false, finished = false, ended = false;
  bool lost = false;                  // records of it were dropped
  std::size_t errors = 0;             // error records, events the host refused, calls that failed
  std::optional<std::int64_t> card_to_frame_us, answer_us;
  std::string Outcome(Lang lang = Lang::kEn) const;
};

// The requests of one controller address and device, and its keep-alives.
struct Road {
  std::string ip, device;  // device empty: an address without a device of its own in the trace
  std::vector<Request> requests;
  std::size_t address_errors = 0;  // errors that name the address and no request
  std::uint64_t pings = 0;          // keep-alives seen (counted ones included)
  std::int64_t longest_gap_ms = 0;  // the longest time between two of them
};

struct Figures {
  std::size_t count = 0;
  double p50_ms = 0, p99_ms = 0;
};

// The figures of a road, of all of them, or of the whole trace; the reader's
// summary, the page's overview and each of its lanes say the same with them.
//   not answered  neither GO nor PH went out (the script did not answer in time,
//                 or the trace ended first)
//   timed out     the entry reached TIMEOUT, or NOANSWER before the device reported
//                 the pass
//   errors        error records, events the host refused and acting calls that
//                 failed, of the road's requests and its address
struct Summary {
  std::size_t requests = 0, opened = 0, refused = 0, not_answered = 0, timed_out = 0, finished = 0;
  std::size_t errors = 0;
  Figures card_to_frame, answer;
  // The record format of each run of the add-in in the trace ("start" records),
  // in the order written; empty when no file holds its run's start.
  std::vector<int> formats;
  // True when a run wrote records without entry ids: its requests are not shown.
  bool EarlierFormat() const;
};

struct Filter {
  std::string device;                // ip, device number, or ip/device; empty: all
  std::optional<std::int64_t> since;  // wall clock ms; requests from then on
};

// What the trace says beside its roads.
struct TraceFacts {
  std::vector<int> formats;     // as Summary::formats
  std::size_t loose_errors = 0;  // errors that name no address and no request
};

// The roads, ordered by address and device, each with its requests in order.
// Records are put to a request by their entry id alone; an error without one to
// the first road of the address it names.
std::vector<Road> BuildRoads(const std::vector<Record>& records, const Filter& filter, TraceFacts* facts = nullptr);
Summary Summarize(const Road& road);
// The roads' figures summed (percentiles over all their requests), with the
// trace's own when given.
Summary Summarize(const std::vector<Road>& roads, const TraceFacts* facts = nullptr);

std::string FormatText(const std::vector<Road>& roads, const Summary& summary, Lang lang = Lang::kEn);
std::string FormatJson(const std::vector<Road>& roads, const Summary& summary);

// "2026-12-09 14:03:05", "2026-12-09T14:03:05.250", "14:03", "14:03:05.5" (local
// time; a time of day alone is on the day of reference_ms; a fraction of a second
// is a decimal fraction), or milliseconds since 1970.
std::optional<std::int64_t> ParseTime(const std::string& text, std::int64_t reference_ms);
// Local time of day "HH:MM:SS.mmm" of a wall-clock reading (a decimal comma in Russian).
std::string LocalTime(std::int64_t ms, Lang lang = Lang::kEn);
// Whether an error's text names the address (not a longer one that starts so).
bool Mentions(const std::string& text, const std::string& ip);

}  // namespace axg::trace
