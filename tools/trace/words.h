#pragma once
// Every text the reader and its page show people, in English and in Russian. The
// state words (NEW, WAIT, TIMEOUT ...) and the mnemonics of the events, methods and
// frames (CHECK, STATUS, GateOpen, GO, PH, CP, PING) are the system's own names and
// stay as they are in both.
#include <cstddef>
#include <string>

#include "tools/trace/reader.h"

namespace axg::trace {

// A counted noun: its forms for 1, for 2 to 4 and for 5 and more (Russian; English
// uses the first two).
struct Noun {
  const char* one;
  const char* few;
  const char* many;
};

struct Words {
  const char* html_lang;
  char decimal;  // the decimal separator
  // The text report.
  const char* device;  // "127.0.0.2 device 0001"
  Noun requests, keep_alives, errors_n;
  const char* longest_gap, *card;
  const char* opened, *refused, *not_answered, *timed_out, *finished, *still_open, *lost;
  const char* summary, *finished_n, *errors, *card_to_frame, *script_answer, *none, *ms;
  const char* format_earlier_all;  // the whole trace of format %d, without entry ids
  const char* format_earlier;      // %zu of %zu runs of format %d
  const char* format_newer;    // a run of a newer format %d
  // The page.
  Noun lanes;
  const char* card_to_frame_title, *script_answer_title;
  const char* title, *overview, *runs_of_addin, *requests_fig, *not_answered_fig, *finished_fig,
      *connections, *disconnections, *dropped, *bad_lines, *p50, *p99, *loose_errors;
  const char* timeline, *timeline_note, *ring_note, *under_note, *hover_note, *counted_per, *find, *road_here;
  const char* over_time, *requests_per, *most, *p50_p99_per, *worst, *slowest_frame, *slowest_answer,
      *most_timeouts, *most_errors, *most_reconnects, *longest_silence, *none_row, *since, *device_filter;
  const char* per_minute, *per_second, *min, *sec, *hour, *to;
  // Words of the page's script.
  const char* js_requests_went_well, *js_no_keep_alive, *js_lanes, *js_of, *js_page, *js_reconnects;
};

const Words& WordsOf(Lang lang);
// "1 request", "3 requests"; "1 запрос", "3 запроса", "5 запросов".
std::string Count(const Words& w, std::size_t n, const Noun& noun);
// A step's name and detail as the reader prints them in the language.
std::string StepName(const Words& w, const std::string& name);
std::string StepDetail(const Words& w, const std::string& detail);
// A decimal number as written in the language ("12.5", "12,5").
std::string Decimal(const Words& w, std::string number);
// The note on the trace's record formats, empty when every run is readable.
std::string FormatNote(const Words& w, const Summary& s);

}  // namespace axg::trace
