#include "tools/trace/words.h"

#include <cstdio>
#include <map>
#include <utility>

#include "trace/TraceFormat.h"

namespace axg::trace {
namespace {

const Words kEnglish = {
    .html_lang = "en",
    .decimal = '.',
    .device = "device",
    .requests = {"request", "requests", "requests"},
    .keep_alives = {"keep-alive", "keep-alives", "keep-alives"},
    .errors_n = {"error", "errors", "errors"},
    .longest_gap = "longest gap",
    .card = "card",
    .opened = "opened",
    .refused = "refused",
    .not_answered = "not answered",
    .timed_out = "timed out",
    .finished = "finished",
    .still_open = "still open at the end of the trace",
    .lost = "records of it lost",
    .summary = "summary",
    .finished_n = "finished",
    .errors = "errors",
    .card_to_frame = "card to frame",
    .script_answer = "script answer",
    .none = "none",
    .ms = "ms",
    .format_earlier_all = "The trace was written by an earlier version of the add-in (record format %d): its "
                          "records carry no entry ids, so its requests and their roads cannot be shown; its "
                          "connections, keep-alives and errors are shown",
    .format_earlier = "%zu of the trace's %zu runs of the add-in were written by an earlier version (record "
                      "format %d): their records carry no entry ids, so their requests and roads cannot be "
                      "shown; their connections, keep-alives and errors are shown",
    .format_newer = "%zu of the trace's %zu runs of the add-in were written by a newer version (record format "
                    "%d) than this reader knows (%d): what it added is not shown",
    .lanes = {"lane", "lanes", "lanes"},
    .card_to_frame_title = "Card to frame",
    .script_answer_title = "Script answer time",
    .title = "ax_gate trace",
    .overview = "Overview",
    .runs_of_addin = "of the add-in",
    .requests_fig = "requests",
    .not_answered_fig = "not answered (no GO or PH)",
    .finished_fig = "finished passes",
    .connections = "connections",
    .disconnections = "disconnections",
    .dropped = "records dropped",
    .bad_lines = "lines not records",
    .p50 = "p50",
    .p99 = "p99",
    .loose_errors = "errors of no one device",
    .timeline = "Timeline per device",
    .timeline_note = "One lane per device, the busiest first. Marks:",
    .ring_note = "a dark ring: opened, but the pass was never reported.",
    .under_note = "Under the marks:",
    .hover_note = "Hover over a mark for its road; click to keep it below.",
    .counted_per = "Requests that went well are counted per %s (wide marks).",
    .find = "address or device",
    .road_here = "Click a mark to keep its road here.",
    .over_time = "Over time",
    .requests_per = "Requests per %s (most %zu)",
    .most = "most",
    .p50_p99_per = "%s: p50 and p99 per %s",
    .worst = "The worst",
    .slowest_frame = "Slowest card to frame",
    .slowest_answer = "Slowest script answers",
    .most_timeouts = "Most timed out",
    .most_errors = "Most errors",
    .most_reconnects = "Most reconnects",
    .longest_silence = "Longest silence",
    .none_row = "none",
    .since = "since",
    .device_filter = "device",
    .per_minute = "minute",
    .per_second = "second",
    .min = "min",
    .sec = "s",
    .hour = "h",
    .to = "to",
    .js_requests_went_well = "requests that went well",
    .js_no_keep_alive = "no keep-alive from %1 to %2",
    .js_lanes = "lanes %1 to %2 of %3",
    .js_of = "of",
    .js_page = "page %1 of %2",
    .js_reconnects = "reconnects",
};

const Words kRussian = {
    .html_lang = "ru",
    .decimal = ',',
    .device = "устройство",
    .requests = {"запрос", "запроса", "запросов"},
    .keep_alives = {"проверка связи", "проверки связи", "проверок связи"},
    .errors_n = {"ошибка", "ошибки", "ошибок"},
    .longest_gap = "наибольший перерыв",
    .card = "карта",
    .opened = "открыто",
    .refused = "отказано",
    .not_answered = "без ответа",
    .timed_out = "время истекло",
    .finished = "проход завершён",
    .still_open = "не завершён к концу трассировки",
    .lost = "часть записей потеряна",
    .summary = "итого",
    .finished_n = "проходов завершено",
    .errors = "ошибок",
    .card_to_frame = "от карты до команды",
    .script_answer = "ответ скрипта",
    .none = "нет",
    .ms = "мс",
    .format_earlier_all = "Трассировка записана прежней версией внешней компоненты (формат записей %d): в её "
                          "записях нет номеров записей стека, поэтому запросы и их путь показать нельзя; показаны "
                          "подключения, проверки связи и ошибки",
    .format_earlier = "%zu из %zu запусков внешней компоненты в трассировке записаны прежней версией (формат "
                      "записей %d): в их записях нет номеров записей стека, поэтому запросы и их путь показать "
                      "нельзя; показаны подключения, проверки связи и ошибки",
    .format_newer = "%zu из %zu запусков внешней компоненты в трассировке записаны более новой версией (формат "
                    "записей %d), чем знает эта программа (%d): новое в них не показано",
    .lanes = {"дорожка", "дорожки", "дорожек"},
    .card_to_frame_title = "От карты до команды",
    .script_answer_title = "Время ответа скрипта",
    .title = "Трассировка ax_gate",
    .overview = "Обзор",
    .runs_of_addin = "внешней компоненты",
    .requests_fig = "запросов",
    .not_answered_fig = "без ответа (не ушли ни GO, ни PH)",
    .finished_fig = "проходов завершено",
    .connections = "подключений",
    .disconnections = "отключений",
    .dropped = "записей потеряно",
    .bad_lines = "строк не записи",
    .p50 = "p50",
    .p99 = "p99",
    .loose_errors = "ошибки без устройства",
    .timeline = "Хронология по устройствам",
    .timeline_note = "По дорожке на устройство, самые загруженные первыми. Отметки:",
    .ring_note = "тёмная обводка: открыто, но о проходе устройство так и не сообщило.",
    .under_note = "Под отметками:",
    .hover_note = "Наведите на отметку, чтобы увидеть путь запроса; щелчок оставит его ниже.",
    .counted_per = "Запросы, прошедшие без сбоев, сосчитаны вместе, по интервалам «за %s» (широкие отметки).",
    .find = "адрес или устройство",
    .road_here = "Щёлкните по отметке, чтобы оставить здесь путь её запроса.",
    .over_time = "По времени",
    .requests_per = "Запросы за %s (наибольшее число %zu)",
    .most = "наибольшее",
    .p50_p99_per = "%s: p50 и p99 за %s",
    .worst = "Худшее",
    .slowest_frame = "Дольше всего от карты до команды",
    .slowest_answer = "Самые медленные ответы скрипта",
    .most_timeouts = "Больше всего «время истекло»",
    .most_errors = "Больше всего ошибок",
    .most_reconnects = "Больше всего переподключений",
    .longest_silence = "Самое долгое молчание",
    .none_row = "нет",
    .since = "с",
    .device_filter = "устройство",
    .per_minute = "минуту",
    .per_second = "секунду",
    .min = "мин",
    .sec = "с",
    .hour = "ч",
    .to = "до",
    .js_requests_went_well = "запросов прошли без сбоев",
    .js_no_keep_alive = "нет проверки связи с %1 до %2",
    .js_lanes = "дорожки с %1 по %2 из %3",
    .js_of = "из",
    .js_page = "страница %1 из %2",
    .js_reconnects = "переподключений",
};

// The step names the reader gives, and their Russian.
const std::pair<const char*, const char*> kSteps[] = {
    {"relay", "реле"},         {"line", "строка"},          {"device", "устройство"},
    {"passing", "проход"},     {"finished", "проход завершён"}, {"timed out", "время истекло"},
    {"no answer", "нет ответа"}, {"closed", "закрыто"},     {"records lost", "записи потеряны"},
    {"dropped", "снят со стека"}, {"card", "карта"},
};
// The words inside a step's detail.
const std::pair<const char*, const char*> kDetails[] = {
    {"kind ", "вид "}, {"failed ", "отказ "}, {"(device ", "(устройство "}, {"device ", "устройство "},
    {"from ", "от "},  {" in all)", " всего)"},
};

}  // namespace

const Words& WordsOf(Lang lang) { return lang == Lang::kRu ? kRussian : kEnglish; }

std::string Count(const Words& w, std::size_t n, const Noun& noun) {
  const std::size_t ten = n % 10, hundred = n % 100;
  const char* form = ten == 1 && hundred != 11                               ? noun.one
                     : ten >= 2 && ten <= 4 && (hundred < 12 || hundred > 14) ? noun.few
                                                                              : noun.many;
  if (w.decimal == '.') form = n == 1 ? noun.one : noun.few;
  return std::to_string(n) + " " + form;
}

std::string StepName(const Words& w, const std::string& name) {
  if (&w == &kEnglish) return name;
  for (const auto& [en, ru] : kSteps)
    if (name == en) return ru;
  return name;  // CHECK, GateOpen, GO, PH, CP, STATUS
}

std::string StepDetail(const Words& w, const std::string& detail) {
  if (&w == &kEnglish) return detail;
  std::string out = detail;
  for (const auto& [en, ru] : kDetails) {
    // Only where the reader put the word: before the first ": " (what follows is the device's own text).
    const std::size_t limit = out.find(": ");
    const std::size_t at = out.find(en);
    if (at != std::string::npos && at < limit) out.replace(at, std::char_traits<char>::length(en), ru);
  }
  const std::size_t open = out.find("(");
  if (open != std::string::npos && out.find(" всего)", open) != std::string::npos) {
    // "(7 всего)" reads "(всего 7)".
    const std::size_t end = out.find(" всего)", open);
    out = out.substr(0, open) + "(всего " + out.substr(open + 1, end - open - 1) + ")" +
          out.substr(end + std::char_traits<char>::length(" всего)"));
  }
  return out;
}

std::string Decimal(const Words& w, std::string number) {
  for (char& c : number)
    if (c == '.') c = w.decimal;
  return number;
}

std::string FormatNote(const Words& w, const Summary& s) {
  std::map<int, std::size_t> runs;  // format, runs written by it
  for (int v : s.formats) ++runs[v];
  std::string out;
  char buf[512];
  for (const auto& [v, n] : runs) {
    if (v < tracefmt::kFirstWithIds && n == s.formats.size())
      std::snprintf(buf, sizeof buf, w.format_earlier_all, v);
    else if (v < tracefmt::kFirstWithIds)
      std::snprintf(buf, sizeof buf, w.format_earlier, n, s.formats.size(), v);
    else if (v > tracefmt::kVersion)
      std::snprintf(buf, sizeof buf, w.format_newer, n, s.formats.size(), v, tracefmt::kVersion);
    else
      continue;
    if (!out.empty()) out += '\n';
    out.append(buf).append(".");
  }
  return out;
}

}  // namespace axg::trace
