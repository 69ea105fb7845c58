// Inbound messages: every connector message, monitor message and manual request
// goes through p_hw_ProtocolIn, which turns it into changes of the event stack,
// the device list and the hardware state, and into "CHECK" and "COME" reports.
//
//   "$" address ":" device(4) code(2) argument check(2)    coded report
//   "#" address ":" device(4) word check(2)                event word
#include <limits>

#include "UConnector/FrameText.h"
#include "UturnstylerdeviceQ7/UturnstylerdeviceQ7.h"
#include "platform/message_loop.h"
#include "trace/TTrace.h"

namespace axg {
namespace {

constexpr long kAll = std::numeric_limits<long>::max() / 2;
const std::u16string kReadFromPort = u"%Считано с порта% ";

// Upper case for comparing words and device identifiers without regard to letter
// case: ASCII letters, and the Cyrillic ones of the installation's code page.
char16_t UpperChar(char16_t c) {
  if (c >= u'a' && c <= u'z') return static_cast<char16_t>(c - 32);
  if (c >= 0x0430 && c <= 0x044F) return static_cast<char16_t>(c - 32);
  if (c == 0x0451) return 0x0401;
  return c;
}

std::u16string Upper(std::u16string_view text) {
  std::u16string out(text);
  for (char16_t& c : out) c = UpperChar(c);
  return out;
}

bool SameText(std::u16string_view a, std::u16string_view b) { return Upper(a) == Upper(b); }

}  // namespace

void TTurnStylerDeviceQ7::p_hw_ProtocolIn(std::u16string AMess) {
  Log(kReadFromPort + AMess);
  if (FRemoutDevice == podServer) SendToMonitor(u"LOG!" + kReadFromPort + AMess + u"&");
  if (FRemoutDevice == PodClient) {
    // A monitor client interprets nothing: its server does.
    SendToMonitor(AMess);
    return;
  }

  const std::size_t colon = AMess.find(u':');
  const long c = colon == std::u16string::npos ? 0 : static_cast<long>(colon) + 1;
  const std::u16string address = Copy(AMess, 2, c - 2);
  const std::u16string rest = Copy(AMess, c + 1, 1000);
  const std::u16string device = Copy(rest, 1, 4);
  const std::u16string type = rest.size() >= 4 && rest[3] == u'I' ? u"I" : u"T";

  if (!AMess.empty() && AMess[0] == u'$') {
    const std::u16string body = Copy(rest, 5, kAll);
    const std::u16string code = Copy(body, 1, 2);
    const std::u16string argument = Copy(body, 3, kAll);
    const std::u16string card =
        argument.size() > 2 ? argument.substr(0, argument.size() - 2) : std::u16string();

    if (code == u"ET" && FCheckET) {
      std::int32_t i = p_hw_FindDevice(address, device);
      if (i != -1 && StackArray[i]->CRC == Copy(argument, 1, 2)) {
        StackArray[i]->Command.clear();
        StackArray[i]->Finish = true;
      }
    }

    if (code == u"RQ") {
      std::u16string s = p_hw_CheckStatus(address, device, type, card, u"RQ");
      const std::int32_t at = p_hw_FindDevice(address, device);
      TraceEntry traced(at == -1 ? nullptr : FTrace, at == -1 ? 0 : StackArray[at]->Id);
      if (at != -1) NoteTold(*StackArray[at], s, device, card);
      StatusReport(u"COME", address, device, type, card, s, s);
    } else if (code == u"PR" || code == u"GR" || code == u"FK") {
      std::int32_t i = p_hw_FindDevice(address, device);
      if (i != -1) {
        TRFidInfo& e = *StackArray[i];
        TraceEntry traced(FTrace, e.Id);
        if (code == u"PR") {
          if (e.DeviceType == u"D") SetState(e, u"FINISH");
          if (e.DeviceType == u"T") SetState(e, u"PROGRESS");
        } else if (code == u"GR") {
          SetState(e, u"FINISH");
        } else {
          SetState(e, u"TIMEOUT");
        }
        EntryReport(u"COME", e);
      }
    }
  }

  if (!AMess.empty() && AMess[0] == u'#') {
    const std::u16string word =
        rest.size() > 6 ? rest.substr(4, rest.size() - 6) : std::u16string();
    const std::u16string key = Upper(word);
    // The words that act on the device's entry make its records; the others
    // (a keep-alive's HardReset among them) belong to no entry.
    std::int32_t traced_at = -1;
    if (FTrace && (Copy(key, 1, 5) == u"RELAY" || key == u"CRC-ERROR" || key == u"GATE-OPEN" || key == u"ING-ACTIV"))
      traced_at = p_hw_FindDevice(address, device);
    TraceEntry traced(traced_at == -1 ? nullptr : FTrace, traced_at == -1 ? 0 : StackArray[traced_at]->Id);

    if (key == u"HARDRESET") AddDevice(device);
    if (key == u"WAIT-CARD") AddDevice(device);
    if (Copy(key, 1, 5) == u"RELAY") {
      AddDevice(device);
      std::int32_t i = p_hw_FindDevice(address, device);
      if (i != -1) StackArray[i]->StatusHard = u"RELAY";
    }
    if (key == u"CRC-ERROR") {
      std::int32_t i = p_hw_FindDevice(address, device);
      if (i != -1) StackArray[i]->StatusHard = u"CRC-ERROR";
    }
    if (key == u"GATE-OPEN") {
      std::int32_t i = p_hw_FindDevice(address, device);
      if (i != -1) {
        TRFidInfo& e = *StackArray[i];
        e.StatusHard = u"GATEOPEN";
        if (e.DeviceType == u"D") SetState(e, u"FINISH");
      }
    }
    // "Btn-Activ" would open like "InG-Activ", but only for type "D" devices, and
    // a message's type is always "I" or "T": the word gets the report below only.
    if (key == u"ING-ACTIV") {
      std::int32_t i = p_hw_FindDevice(address, device);
      if (i == -1) {
        p_hw_CheckStatus(address, device, type, std::u16string(kInputSignalCard), u"RQ");
      } else if (StackArray[i]->Status == u"NEW") {
        Place at = PlaceOf(static_cast<std::size_t>(i));
        SendAndRecord(at, 1, u"OPEN");
      }
    }
    StatusReport(u"COME", address, device, type, u"NOCARDNUMBER", word, word);
  }

  if (StackTime && !StackTime->Enabled()) {
    StackTime->SetEnabled(true);
    p_hw_ProcessStack();
  }
}

std::int32_t TTurnStylerDeviceQ7::p_hw_FindDevice(const std::u16string&,
                                                  const std::u16string& Device) const {
  for (std::size_t i = 0; i < StackArray.size(); ++i)
    if (StackArray[i]->Device == Device) return static_cast<std::int32_t>(i);
  return -1;
}

std::u16string TTurnStylerDeviceQ7::p_hw_CheckStatus(std::u16string IP, std::u16string Device,
                                                     std::u16string DeviceType,
                                                     std::u16string Cardnumber,
                                                     std::u16string Status) {
  std::u16string result;
  std::int32_t i = p_hw_FindDevice(IP, Device);
  std::uint64_t id = 0;
  if (i == -1) {
    TRFidInfo* e = NewEntry(IP, Device, DeviceType, Cardnumber);
    id = e->Id;
    result = u"NEW";
    if (OnGetImg) OnGetImg(this, Device, e->Img.get());
  } else {
    id = StackArray[i]->Id;
    result = StackArray[i]->Status;
  }
  // The request's report is the entry's, also when the request joins an entry
  // made by another one.
  TraceEntry traced(FTrace, id);
  StatusReport(u"CHECK", IP, Device, DeviceType, Cardnumber, Status, result);
  return result;
}

void TTurnStylerDeviceQ7::AddDevice(const std::u16string& Device) {
  for (const auto& known : FDeviceList)
    if (SameText(known, Device)) return;
  FDeviceList.push_back(Device);
}

}  // namespace axg
