// Manual commands and the timer sweep: the life of a request.
//
// Each sweep pass works through the entries that were there when it started and
// applies the steps A to N below to each, in order; every step reads the state the
// steps before it left. A pass that drops an entry goes on with the next one: at a
// busy site the entries behind a drop (new requests, answers waiting for their
// open command) would otherwise wait a tick for every drop ahead of them.
//
// Handlers called on the way (reports, the decision event, the connector) may call
// back into the controller: a GateOpen writes an entry's state at once, an inbound
// message may append entries (they wait for the next pass), a nested pass may drop
// one. IDBusy keeps a nested pass off the stack while this one works, except
// during step A, which comes before it. After every call that can run a handler
// the pass looks its entry up again (Find) before touching it; an entry that has
// left the stack ends its turn, and the pass goes on with the next one.
//
// An error that escapes an entry's steps (a host handler that fails while a
// command is reported, in practice) is reported with "[08] " and the pass goes on
// with the next entry: one broken entry must not keep the others from being
// reported, closed or timed out.
#include <algorithm>
#include <cmath>
#include <limits>

#include "UConnector/UConnector.h"
#include "UturnstylerdeviceQ7/UturnstylerdeviceQ7.h"
#include "platform/clock.h"
#include "platform/message_loop.h"
#include "trace/TTrace.h"

namespace axg {
namespace {

// Clears IDBusy however the pass ends: normally, by a drop, or by an error that
// escapes it. A flag left set would stop every later pass.
class BusyReset {
 public:
  explicit BusyReset(bool& flag) : flag_(flag) {}
  ~BusyReset() { flag_ = false; }
  BusyReset(const BusyReset&) = delete;
  BusyReset& operator=(const BusyReset&) = delete;

 private:
  bool& flag_;
};

// The state words the steps below act on. GateOpen stores whatever word the
// script passes; any other word is timed out by step F' instead of staying for
// ever.
bool IsSweepWord(const std::u16string& word) {
  for (const char16_t* known : {u"NEW", u"WAIT", u"TRUE", u"FALSE", u"OPEN", u"NOANSWER", u"CRC-ERROR",
                                u"TIMEOUT", u"CLOSE", u"PROGRESS", u"FINISH"})
    if (word == known) return true;
  return false;
}

}  // namespace

void TTurnStylerDeviceQ7::p_hw_manual(std::u16string IP, std::u16string Device,
                                      std::u16string Status) {
  TRFidInfo* e = nullptr;
  for (const auto& p : StackArray) {
    if (p->IP == IP) {
      e = p.get();
      break;
    }
  }
  if (!e) {
    // No entry for the address. "TRUE", the operator's "open", makes a manual
    // request, read as a card request whose card number is the manual placeholder
    // ("00" is taken as its check). Any other word answers a request that has
    // already ended (timed out, or at a reader dropped in the pass that asked):
    // refusing what is gone does nothing. Made into a request it would ask the
    // script to open a gate it refused, and at a reader, whose requests end in
    // one pass, each answer would make the next request.
    if (Status != u"TRUE") {
      Log(u"GateOpen(" + IP + u", " + Device + u", \"" + Status + u"\") came after its request ended");
      return;
    }
    p_hw_ProtocolIn(u"$" + IP + u":" + Device + u"RQ" + std::u16string(kManualCard) + u"00");
    return;
  }
  // The answer's records (the call's own, the frames, the state) are the entry's.
  if (FTrace) FTrace->CallEntry(e->Id);
  TraceEntry traced(FTrace, e->Id);
  if (e->Device != Device && FConnector) {
    // The device of the request changes: the one it had until now is told so. An
    // error here goes to the caller and leaves the entry unchanged.
    FConnector->SendCommand(u"CP" + e->IP + u":" + e->Device);
    if (!Holds(e)) return;
  }
  e->Device = Device;
  SetState(*e, Status);
}

bool TTurnStylerDeviceQ7::p_hw_SecondsExceeded(std::int32_t N, double A, double B) {
  const double seconds = std::fabs(A - B) * 86400.0;
  if (std::isnan(seconds)) return false;
  if (seconds >= 9.0e18) return true;
  return static_cast<std::int64_t>(seconds) > N;
}

// A limit of N seconds has run out when the entry's age, in whole seconds rounded
// down, is greater than N. The age is counted on the monotonic clock up to its
// highest reading: readings that bounce between two cores would otherwise add
// the skew between them again at every bounce.
bool TTurnStylerDeviceQ7::AgeExceeded(std::int64_t N, TRFidInfo& e) const {
  return (HighWater(e) - e.StartMs) / 1000 > N;
}

std::int64_t TTurnStylerDeviceQ7::HighWater(TRFidInfo& e) const {
  e.HighMs = std::max(e.HighMs, CurrentClock().MonotonicMs());
  return e.HighMs;
}

void TTurnStylerDeviceQ7::Drop(Place& at) {
  if (!Find(at)) return;
  if (FTrace) TraceState(*StackArray[at.index], StackArray[at.index]->Status, u"");
  StackArray[at.index]->Img.reset();
  StackArray.erase(StackArray.begin() + static_cast<std::ptrdiff_t>(at.index));
}

void TTurnStylerDeviceQ7::p_hw_ProcessStack() {
  if (!IDBusy && !StackArray.empty()) {
    BusyReset busy(IDBusy);
    // The entries there when the pass starts, in order.
    std::vector<Place> entries;
    entries.reserve(StackArray.size());
    for (std::size_t i = 0; i < StackArray.size(); ++i) entries.push_back(PlaceOf(i));
    for (Place& at : entries) {
      if (!Find(at)) continue;  // a nested pass dropped it
      try {
        SweepEntry(at);  // dropped or not, the pass goes on with the entry behind it
      } catch (...) {
        // The entry keeps what its steps wrote before the error.
        FailQuietly(u"[08] " + CaughtMessage());
      }
    }
  }
  if (StackArray.empty() && StackTime) StackTime->SetEnabled(false);
}

// A re-send is a best effort: a failure is reported and the entry's other steps
// still run, so that its time limits still move it on.
void TTurnStylerDeviceQ7::Resend(std::u16string command) {
  try {
    FConnector->SendCommand(command);
  } catch (...) {
    const std::u16string text = u"[04] " + CaughtMessage();
    FailQuietly(text);
    SendToMonitor(u"ERROR!" + text + u"&");
  }
}

// Sends the open (1) or close (0) command of the entry and writes the state word
// that records it as sent. The word is written also when reporting the send fails
// (a host handler that raises): the command has gone out, and an entry left in
// "TRUE" or "FALSE" would send it again on every tick. The report's error still
// goes on to the caller. False when the entry has left the stack meanwhile.
bool TTurnStylerDeviceQ7::SendAndRecord(Place& at, std::int32_t yesnot, const std::u16string& word) {
  try {
    p_hw_SendComCommand(static_cast<std::int32_t>(at.index), yesnot);
  } catch (...) {
    if (Find(at)) SetState(*at.entry, word);
    throw;
  }
  if (!Find(at)) return false;
  SetState(*at.entry, word);
  return true;
}

void TTurnStylerDeviceQ7::SweepEntry(Place& at) {
  TRFidInfo* const e = at.entry;  // stays valid for as long as Find finds it
  TraceEntry traced(FTrace, e->Id);
  auto index = [&at] { return static_cast<std::int32_t>(at.index); };
  const std::int64_t timeout = FTimeOut;

  // A. Re-send a command the device has not acknowledged.
  if (FCheckET && !e->Finish && !e->Command.empty() && AgeExceeded(1, *e) && FConnector) {
    Resend(e->Command);
    if (!Find(at)) return;
  }
  // B.
  IDBusy = true;
  // C. A new request: ask the host.
  if (e->Status == u"NEW") {
    EntryReport(u"STACK", *e);
    if (!Find(at)) return;
    const std::int32_t r = DoCheckSQL(index(), 0);
    if (!Find(at)) return;
    if (r == -1) {
      SetState(*e, u"WAIT");
    } else if (r == 0 || r == 1) {
      if (IsPlaceholderCard(e->CardNumber) || e->Status == u"TRUE" || e->Status == u"FALSE") {
        if (!SendAndRecord(at, r, r == 0 ? u"CLOSE" : u"OPEN")) return;
      } else {
        SetState(*e, u"WAIT");
      }
    }
  }
  // D. Refused by the host.
  if (e->Status == u"FALSE") {
    if (!SendAndRecord(at, 0, u"CLOSE")) return;
  }
  // E. Allowed by the host.
  if (e->Status == u"TRUE") {
    if (!SendAndRecord(at, 1, u"OPEN")) return;
  }
  // F. Waiting for the host or for the device.
  if (e->Status == u"OPEN" || e->Status == u"WAIT") {
    EntryReport(u"STACK", *e);
    if (!Find(at)) return;
    if (FCheckET && e->DeviceType == u"I") {
      if (e->Finish || AgeExceeded(2, *e)) SetState(*e, u"NOANSWER");
    }
    if (!FCheckET && e->DeviceType == u"I") SetState(*e, u"NOANSWER");
    if (e->DeviceType == u"T" && AgeExceeded(timeout + 2, *e)) SetState(*e, u"TIMEOUT");
    if (e->DeviceType == u"D" && AgeExceeded(3, *e)) SetState(*e, u"TIMEOUT");
  }
  // F'. A word the steps do not know (a GateOpen answer such as "Да"): the entry
  // keeps it and is reported with it, and times out like a waiting request, so
  // that the device's next card makes a request again.
  if (!IsSweepWord(e->Status)) {
    EntryReport(u"STACK", *e);
    if (!Find(at)) return;
    if (AgeExceeded(timeout + 2, *e)) SetState(*e, u"TIMEOUT");
  }
  // G. Opened, but no hardware report in time.
  if (e->StatusHard.empty() && e->Status == u"OPEN" && AgeExceeded(1, *e)) SetState(*e, u"NOANSWER");
  // H. No answer from the device: any result but 0 drops.
  if (e->Status == u"NOANSWER") {
    EntryReport(u"STACK", *e);
    if (!Find(at)) return;
    const std::int32_t r = DoCheckSQL(index(), 3);
    if (!Find(at)) return;
    if (r != 0) {
      Drop(at);
      return;
    }
  }
  // I.
  if (e->Status == u"CRC-ERROR") {
    EntryReport(u"STACK", *e);
    if (!Find(at)) return;
    const std::int32_t r = DoCheckSQL(index(), 3);
    if (!Find(at)) return;
    if (r == 1) {
      Drop(at);
      return;
    }
  }
  // J.
  if (e->Status == u"TIMEOUT") {
    EntryReport(u"STACK", *e);
    if (!Find(at)) return;
    const std::int32_t r = DoCheckSQL(index(), 1);
    if (!Find(at)) return;
    if (r == 1) {
      Drop(at);
      return;
    }
  }
  // K.
  if (e->Status == u"CLOSE") {
    EntryReport(u"STACK", *e);
    if (!Find(at)) return;
    Drop(at);
    return;
  }
  // L. A pass in progress at a turnstile.
  if (e->Status == u"PROGRESS") {
    EntryReport(u"STACK", *e);
    if (!Find(at)) return;
    if (e->DeviceType == u"T" && AgeExceeded(timeout + 10, *e)) SetState(*e, u"TIMEOUT");
  }
  // M. The pass is done.
  if (e->Status == u"FINISH") {
    EntryReport(u"STACK", *e);
    if (!Find(at)) return;
    const std::int32_t r = DoCheckSQL(index(), 2);
    if (!Find(at)) return;
    if (r == 1) {
      Drop(at);
      return;
    }
    SetState(*e, u"NOANSWER");
  }
  // N. Every request ends. An entry still here once the longest limit has run
  // out is timed out, whatever its word and type: a word the steps above keep
  // without a limit of their own ("CRC-ERROR", whose kind 3 the add-in answers
  // -1; "PROGRESS" at a reader or a door), or an answer to a decision event
  // that keeps it. Step J drops it on the next pass. Without this the device's
  // later cards would all join the entry, and none would ask the script again.
  if (e->Status != u"TIMEOUT" && AgeExceeded(timeout + 10, *e)) SetState(*e, u"TIMEOUT");
}

}  // namespace axg
