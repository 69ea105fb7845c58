// Manual commands and the timer sweep: the life of a request.
//
// Each sweep pass works through the entries that were there when it started and
// applies the steps A to M below to each, in order; every step reads the state the
// steps before it left. A pass drops at most one entry and ends there.
//
// Handlers called on the way (reports, the decision event, the connector) may call
// back into the controller: a GateOpen writes an entry's state at once, an inbound
// message may append entries (they wait for the next pass). IDBusy keeps a nested
// pass off the stack while this one works. Entries are held by pointer, and after
// every call that can run a handler the pass checks that its entry is still where
// it was before touching it again.
#include <cmath>
#include <limits>

#include "UConnector/UConnector.h"
#include "UturnstylerdeviceQ7/UturnstylerdeviceQ7.h"
#include "platform/clock.h"
#include "platform/message_loop.h"

namespace axg {
namespace {

const std::u16string kManualCard = u"-1-1-1-1-1";
const std::u16string kInputSignalCard = u"-2-2-2-2-2";

bool IsPlaceholderCard(const std::u16string& card) {
  return card == kManualCard || card == kInputSignalCard;
}

// Clears IDBusy however the pass ends: normally, by a drop, or by an error that
// escapes a step. A flag left set would stop every later pass.
class BusyReset {
 public:
  explicit BusyReset(bool& flag) : flag_(flag) {}
  ~BusyReset() { flag_ = false; }
  BusyReset(const BusyReset&) = delete;
  BusyReset& operator=(const BusyReset&) = delete;

 private:
  bool& flag_;
};

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
    // No entry for the address: a manual request, read as a card request whose
    // card number is "-1-1-1-1-1" (the last two characters are its check).
    p_hw_ProtocolIn(u"$" + IP + u":" + Device + u"RQ-1-1-1-1-100");
    return;
  }
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
// down, is greater than N. The age is counted on the monotonic clock.
bool TTurnStylerDeviceQ7::AgeExceeded(std::int64_t N, const TRFidInfo& e) const {
  std::int64_t age_ms = CurrentClock().MonotonicMs() - e.StartMs;
  if (age_ms < 0) age_ms = -age_ms;
  return age_ms / 1000 > N;
}

void TTurnStylerDeviceQ7::Drop(std::size_t i, const TRFidInfo* e) {
  if (!Alive(i, e)) return;
  if (FTrace) TraceState(*StackArray[i], StackArray[i]->Status, u"");
  StackArray[i]->Img.reset();
  StackArray.erase(StackArray.begin() + static_cast<std::ptrdiff_t>(i));
}

void TTurnStylerDeviceQ7::p_hw_ProcessStack() {
  if (!IDBusy && !StackArray.empty()) {
    BusyReset busy(IDBusy);
    const std::size_t n = StackArray.size();
    for (std::size_t i = 0; i < n && i < StackArray.size(); ++i) {
      StepEnd end = SweepEntry(i, StackArray[i].get());
      if (end == StepEnd::Dropped) return;  // the pass ends at once, timer left on
      if (end == StepEnd::Lost) break;      // the stack changed under the pass
    }
  }
  if (StackArray.empty() && StackTime) StackTime->SetEnabled(false);
}

TTurnStylerDeviceQ7::StepEnd TTurnStylerDeviceQ7::SweepEntry(std::size_t i, TRFidInfo* e) {
  const auto idx = static_cast<std::int32_t>(i);
  const std::int64_t timeout = FTimeOut;
  // Handlers may have changed the stack: go on with the entry only where it was.
#define AXG_CHECK_ENTRY() \
  if (!Alive(i, e)) return StepEnd::Lost

  // A. Re-send a command the device has not acknowledged.
  if (FCheckET && !e->Finish && !e->Command.empty() && AgeExceeded(1, *e) && FConnector) {
    const std::u16string command = e->Command;
    FConnector->SendCommand(command);
    AXG_CHECK_ENTRY();
  }
  // B.
  IDBusy = true;
  // C. A new request: ask the host.
  if (e->Status == u"NEW") {
    EntryReport(u"STACK", *e);
    AXG_CHECK_ENTRY();
    const std::int32_t r = DoCheckSQL(idx, 0);
    AXG_CHECK_ENTRY();
    if (r == -1) {
      SetState(*e, u"WAIT");
    } else if (r == 0 || r == 1) {
      if (IsPlaceholderCard(e->CardNumber) || e->Status == u"TRUE" || e->Status == u"FALSE") {
        p_hw_SendComCommand(idx, r);
        AXG_CHECK_ENTRY();
        SetState(*e, r == 0 ? u"CLOSE" : u"OPEN");
      } else {
        SetState(*e, u"WAIT");
      }
    }
  }
  // D. Refused by the host.
  if (e->Status == u"FALSE") {
    p_hw_SendComCommand(idx, 0);
    AXG_CHECK_ENTRY();
    SetState(*e, u"CLOSE");
  }
  // E. Allowed by the host.
  if (e->Status == u"TRUE") {
    p_hw_SendComCommand(idx, 1);
    AXG_CHECK_ENTRY();
    SetState(*e, u"OPEN");
  }
  // F. Waiting for the host or for the device.
  if (e->Status == u"OPEN" || e->Status == u"WAIT") {
    EntryReport(u"STACK", *e);
    AXG_CHECK_ENTRY();
    if (FCheckET && e->DeviceType == u"I") {
      if (e->Finish || AgeExceeded(2, *e)) SetState(*e, u"NOANSWER");
    }
    if (!FCheckET && e->DeviceType == u"I") SetState(*e, u"NOANSWER");
    if (e->DeviceType == u"T" && AgeExceeded(timeout + 2, *e)) SetState(*e, u"TIMEOUT");
    if (e->DeviceType == u"D" && AgeExceeded(3, *e)) SetState(*e, u"TIMEOUT");
  }
  // G. Opened, but no hardware report in time.
  if (e->StatusHard.empty() && e->Status == u"OPEN" && AgeExceeded(1, *e)) SetState(*e, u"NOANSWER");
  // H.
  if (e->Status == u"NOANSWER") {
    EntryReport(u"STACK", *e);
    AXG_CHECK_ENTRY();
    const std::int32_t r = DoCheckSQL(idx, 3);
    AXG_CHECK_ENTRY();
    if (r != 0) {
      Drop(i, e);
      return StepEnd::Dropped;
    }
  }
  // I.
  if (e->Status == u"CRC-ERROR") {
    EntryReport(u"STACK", *e);
    AXG_CHECK_ENTRY();
    const std::int32_t r = DoCheckSQL(idx, 3);
    AXG_CHECK_ENTRY();
    if (r == 1) {
      Drop(i, e);
      return StepEnd::Dropped;
    }
  }
  // J.
  if (e->Status == u"TIMEOUT") {
    EntryReport(u"STACK", *e);
    AXG_CHECK_ENTRY();
    const std::int32_t r = DoCheckSQL(idx, 1);
    AXG_CHECK_ENTRY();
    if (r == 1) {
      Drop(i, e);
      return StepEnd::Dropped;
    }
  }
  // K.
  if (e->Status == u"CLOSE") {
    EntryReport(u"STACK", *e);
    AXG_CHECK_ENTRY();
    Drop(i, e);
    return StepEnd::Dropped;
  }
  // L. A pass in progress at a turnstile.
  if (e->Status == u"PROGRESS") {
    EntryReport(u"STACK", *e);
    AXG_CHECK_ENTRY();
    if (e->DeviceType == u"T" && AgeExceeded(timeout + 10, *e)) SetState(*e, u"TIMEOUT");
  }
  // M. The pass is done.
  if (e->Status == u"FINISH") {
    EntryReport(u"STACK", *e);
    AXG_CHECK_ENTRY();
    const std::int32_t r = DoCheckSQL(idx, 2);
    AXG_CHECK_ENTRY();
    if (r == 1) {
      Drop(i, e);
      return StepEnd::Dropped;
    }
    SetState(*e, u"NOANSWER");
  }
#undef AXG_CHECK_ENTRY
  return StepEnd::Go;
}

}  // namespace axg
