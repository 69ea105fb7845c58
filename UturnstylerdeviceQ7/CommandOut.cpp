// Command output: the open and close commands of an entry, the relay and status
// poll frames, and the decision event that asks the host about an entry.
//
// Every sender checks that the connector is there and connected, hands its text to
// the connector's SendCommand, and reports: "[04] " (or "[03] " for the status
// poll) through OnError with an "ERROR!" monitor line when something fails, and
// "%Отправлено на порт% " with a "LOG!" monitor line after every send attempt.
// Senders return true whatever happens.
#include <cstdio>
#include <exception>

#include "UConnector/FrameText.h"
#include "UConnector/UConnector.h"
#include "UturnstylerdeviceQ7/UturnstylerdeviceQ7.h"
#include "platform/clock.h"
#include "platform/error.h"
#include "platform/text.h"

namespace axg {
namespace {

const std::u16string kSentToPort = u"%Отправлено на порт% ";
const std::u16string kPortNotOpen = u"Порт не открыт или не назначен";

const std::u16string kUnknownError = u"Unknown error";

std::u16string MessageOf(const std::exception& E) {
  if (auto* e = dynamic_cast<const Error*>(&E)) return e->Message();
  return FromUtf8(E.what());
}

int DigitValue(std::u16string_view frame, std::size_t pos) {
  if (pos >= frame.size()) throw Error(u"'' is not a valid integer value");
  char16_t c = frame[pos];
  if (c < u'0' || c > u'9') throw Error(u"'" + std::u16string(1, c) + u"' is not a valid integer value");
  return c - u'0';
}

}  // namespace

std::u16string RelayFrameCheck(std::u16string_view frame) {
  if (frame.empty()) throw Error(u"'' is not a valid integer value");
  unsigned x = frame[0];
  x ^= static_cast<unsigned>(10 * DigitValue(frame, 1) + DigitValue(frame, 2));
  if (frame.size() < 4) throw Error(u"'' is not a valid integer value");
  x ^= frame[3];
  x ^= static_cast<unsigned>(DigitValue(frame, 4));
  x ^= static_cast<unsigned>(DigitValue(frame, 5));
  x ^= static_cast<unsigned>(DigitValue(frame, 6));
  char buf[16];
  std::snprintf(buf, sizeof buf, "%02X", x);
  return FromUtf8(buf);
}

void TTurnStylerDeviceQ7::ReportSendError(const std::u16string& text) {
  Fail(text);
  SendToMonitor(u"ERROR!" + text + u"&");
}

void TTurnStylerDeviceQ7::ReportSent(const std::u16string& text) {
  Log(kSentToPort + text);
  SendToMonitor(u"LOG!" + kSentToPort + text + u"&");
}

// Reading IsConnected also starts the connector's transport when it is stopped.
bool TTurnStylerDeviceQ7::PortReady() {
  if (FConnector && FConnector->GetIsConnected()) return true;
  ReportSendError(u"[04] " + kPortNotOpen);
  return false;
}

bool TTurnStylerDeviceQ7::p_hw_SendComCommand(std::int32_t i, std::int32_t yesnot) {
  std::u16string lead;
  if (!PortReady()) return true;
  if (yesnot != 0 && yesnot != 1) return true;
  if (i < 0 || static_cast<std::size_t>(i) >= StackArray.size()) return true;
  TRFidInfo* e = StackArray[i].get();

  const std::u16string target = e->IP + u":" + e->Device + e->InfoMess;
  std::u16string main;
  if (e->DeviceType == u"I") {
    main = u"SH" + target;
  } else if (e->DeviceType == u"T") {
    if (!e->InfoMess.empty()) lead = u"SH" + target;
    main = (yesnot == 0 ? u"CL" : u"GO") + target;
  }

  try {
    if (!lead.empty()) FConnector->SendCommand(lead);
    // The connector may have reported through handlers that changed the stack; the
    // command still goes out, but is recorded only in an entry that is still there.
    if (Holds(e)) {
      e->Command = main;
      e->Finish = false;
    }
    std::u16string crc = FConnector->SendCommand(main);
    if (Holds(e)) {
      e->CRC = crc;
      e->CRCtime = CurrentClock().TimeOfDay();
    }
  } catch (const std::exception& E) {
    ReportSendError(u"[04] " + MessageOf(E));
  } catch (...) {
    ReportSendError(u"[04] " + kUnknownError);
  }
  ReportSent(main);
  return true;
}

bool TTurnStylerDeviceQ7::p_hw_relay(const std::u16string&, const std::u16string& Device,
                                     const std::u16string& Relay, std::int32_t yesnot) {
  if (!PortReady()) return true;
  std::u16string text;
  if (yesnot == 0) {
    text = u"$" + Device + Relay + u"00";
  } else if (yesnot == 1) {
    const bool door = Device.size() >= 3 && Device[2] == u'A';
    text = u"$" + Device + Relay + (door ? u"00" : u"20");
  } else {
    return true;
  }
  text += RelayFrameCheck(text) + u"\r";
  try {
    FConnector->SendCommand(text);
  } catch (const std::exception& E) {
    ReportSendError(u"[04] " + MessageOf(E));
  } catch (...) {
    ReportSendError(u"[04] " + kUnknownError);
  }
  ReportSent(text);
  return true;
}

bool TTurnStylerDeviceQ7::p_hw_CheckStatusAll() {
  if (!PortReady()) return true;
  std::u16string text = u"$000900";
  text += RelayFrameCheck(text) + u"\r";
  try {
    FConnector->SendCommand(text);
  } catch (const std::exception& E) {
    ReportSendError(u"[03] " + MessageOf(E));
  } catch (...) {
    ReportSendError(u"[03] " + kUnknownError);
  }
  ReportSent(text);
  return true;
}

std::int32_t TTurnStylerDeviceQ7::p_hw_FindDeviceByRelay(const std::u16string& IP,
                                                         const std::u16string& Device,
                                                         const std::u16string& DeviceType,
                                                         const std::u16string& Relay) {
  for (std::size_t i = 0; i < StackArray.size(); ++i)
    if (StackArray[i]->Device == Device && StackArray[i]->CardNumber == Relay)
      return static_cast<std::int32_t>(i);
  NewEntry(IP, Device, DeviceType, Relay);
  return static_cast<std::int32_t>(StackArray.size() - 1);
}

// Raises OnCheckSQL for entry i and returns the host's AResult as an integer.
// Kind 0 asks for a decision (-1 wait, 0 refuse, 1 open) and keeps the host's Mess
// as the entry's InfoMess; kinds 1 (timed out), 2 (pass finished) and 3 (no answer)
// let the host close the request. A failing handler or a result that is no number
// is reported with "[05] "; the result is then what it was before the failure.
std::int32_t TTurnStylerDeviceQ7::DoCheckSQL(std::int32_t i, std::int32_t kind) {
  std::int32_t result = -1;
  TVar AResult(-1);
  TRFidInfo* e =
      i >= 0 && static_cast<std::size_t>(i) < StackArray.size() ? StackArray[i].get() : nullptr;
  if (kind < 0 || kind > 3) return result;
  if (kind != 0) result = 1;
  TVar Mess = kind == 0 ? TVar(u"") : TVar();

  if (OnCheckSQL && e) {
    try {
      OnCheckSQL(this, TVar(e->IP), TVar(e->Device), TVar(e->DeviceType), TVar(e->CardNumber),
                 TVar(e->Status), nullptr, TVar(kind), Mess, AResult);
      if (kind == 0 && Holds(e)) e->InfoMess = Mess.ToText();
      result = AResult.ToInt();
    } catch (const std::exception& E) {
      Fail(u"[05] " + MessageOf(E));
    } catch (...) {
      Fail(u"[05] " + kUnknownError);
    }
  }
  if (kind == 0 && e && Holds(e) && IsPlaceholderCard(e->CardNumber)) SetState(*e, u"OPEN");
  return result;
}

}  // namespace axg
