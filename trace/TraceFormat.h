#pragma once
// The trace's record format, for the writer (TTrace) and the reader
// (ax_gate-trace) alike: the kinds of record, their field names and the format's
// version. One JSON object a line, each with the monotonic time in microseconds
// ("us"), its kind ("ev") and, on the records that start something, the wall-clock
// time in milliseconds since 1970 UTC ("t"; the others are the latest "t" plus
// their distance in "us"):
//
//   start   the trace was opened (files, limit, v: the record format)
//   accept  a device connection was accepted (a: address, p: port)
//   close   a device connection was closed (a, p, why: "closed", or the socket
//           error with its text)
//   line    a line came from a device (a, b: the bytes; all: connections the
//           "test" frame it made went to, when that changed; log: its log line
//           "%Считано с порта% $a:..." went to the host)
//   frame   a frame went to a device (a, unless it is its entry's address; b)
//   STATUS, CHECK, LOG, ERROR (or "event" with a name): an external event went to
//           the host (data, or rest: what follows its entry's "ip;device;type;
//           card;"; a log line of what was read or sent as in/out: its words;
//           hr when ExternalEvent failed)
//   call    the host called an acting method (method, args, answer, error)
//   state   an entry of the event stack changed its state word (to; from unless
//           it is the entry's previous "to"; a new entry, from "", also ip, d:
//           device, type, card; d again when the device changes); to "" is a
//           dropped entry
//   alive   the keep-alives of one device that went as usual (a, d, n: PINGs, each
//           answered, gap: the longest ms between two, rtt: µs from the latest
//           PING to its ECHO, last: "us" of the latest)
//   error   an error the add-in reported (text)
//   dropped records were lost because the file did not keep up (n, ids: entries
//           whose records were lost, more: true when there were more, last: "us"
//           of the last one lost; the record's own time is the first one's)
//
// Every record that belongs to a request of the event stack carries the entry's
// "id" (a line: the entry its handling touched first), and a record after folded
// STATUS events of its entry their count ("rep").
#include <string_view>
#include <utility>

namespace axg::tracefmt {

// The format written now, the "v" of the "start" record. Format 1 (a "start"
// record without "v") wrote the long field names (addr, port, bytes, device),
// every host event as an "event" record with its "name", every record in full,
// and no entry ids: its requests cannot be told apart.
inline constexpr int kVersion = 2;
// The first format whose records carry their entry's id.
inline constexpr int kFirstWithIds = 2;

// Kinds of record ("ev").
inline constexpr std::string_view kStart = "start", kAccept = "accept", kClose = "close", kLine = "line",
                                  kFrame = "frame", kCall = "call", kState = "state", kAlive = "alive",
                                  kError = "error", kDropped = "dropped", kEvent = "event";
// The add-in's own host events, each a kind of record of its own.
inline constexpr std::string_view kStatus = "STATUS", kCheck = "CHECK", kLog = "LOG", kErrorEvent = "ERROR";

// Fields.
inline constexpr std::string_view kT = "t", kUs = "us", kEv = "ev", kId = "id", kRep = "rep";
inline constexpr std::string_view kAddr = "a", kPort = "p", kBytes = "b", kDevice = "d", kWhy = "why",
                                  kAll = "all", kLogged = "log";
inline constexpr std::string_view kName = "name", kData = "data", kRest = "rest", kIn = "in", kOut = "out",
                                  kHr = "hr";
inline constexpr std::string_view kMethod = "method", kArgs = "args", kAnswer = "answer", kFailure = "error";
inline constexpr std::string_view kFrom = "from", kTo = "to", kIp = "ip", kType = "type", kCard = "card";
inline constexpr std::string_view kCount = "n", kGap = "gap", kRtt = "rtt", kLast = "last", kText = "text",
                                  kIds = "ids", kMore = "more", kFiles = "files", kLimit = "limit",
                                  kFormat = "v";

// The fields written short, with the name the reader gives them (format 1's).
inline constexpr std::pair<std::string_view, std::string_view> kLongNames[] = {
    {kAddr, "addr"}, {kBytes, "bytes"}, {kDevice, "device"}, {kPort, "port"}};

// The add-in's log lines of what it read and sent start so; "in" and "out" hold
// the rest.
inline constexpr std::u16string_view kLogIn = u"%Считано с порта% ", kLogOut = u"%Отправлено на порт% ";

}  // namespace axg::tracefmt
