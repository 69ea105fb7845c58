// LIBS: axg_controller
// The gate controller's inbound interpretation, p_hw_ProtocolIn, driven by a
// script of operations: inbound messages, sweep passes, time moving on, host
// answers (p_hw_manual), with handlers that answer decisions from the input and
// may call back into the controller while it reports. The connector records what
// it is asked to send. Checked: nothing crashes or misbehaves, a pass never
// leaves the controller busy, a pass over an empty stack leaves the timer off.
//
// Input: a settings byte, then operations separated by '\n'; the first byte of
// an operation picks it, the rest is its text.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "UConnector/FrameText.h"
#include "UConnector/UConnector.h"
#include "UturnstylerdeviceQ7/UturnstylerdeviceQ7.h"
#include "platform/clock.h"
#include "platform/error.h"
#include "platform/message_loop.h"
#include "platform/text.h"

namespace {

class RecordingConnector : public axg::TDeviceConnector {
 public:
  bool connected = true;
  std::size_t sent = 0;
  bool GetIsConnected() override { return connected; }
  void SetIsConnected(bool Value) override { connected = Value; }
  void CloseAll() override {}
  std::u16string SendCommand(const std::u16string& AMess) override {
    ++sent;
    if (AMess.size() > 6 && AMess[5] == u'!') throw axg::Error(u"refused");  // a failing send
    return axg::CRC8Str(AMess);
  }
};

class Controller : public axg::TTurnStylerDeviceQ7 {
 public:
  using TTurnStylerDeviceQ7::p_hw_ProcessStack;
  bool Busy() const { return IDBusy; }
  bool TimerOn() const { return StackTime->Enabled(); }
};

// Splits "a;b;c" into three texts (missing ones empty).
std::vector<std::u16string> Fields(const std::u16string& s) {
  std::vector<std::u16string> out(3);
  std::size_t f = 0;
  for (char16_t c : s) {
    if (c == u';' && f < 2) ++f;
    else out[f] += c;
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  axg::FakeClock clock(0.5);
  axg::ScopedClock scoped(clock);
  RecordingConnector conn;
  Controller ctl;
  ctl.SetConnector(&conn);
  const std::uint8_t settings = data[0];
  ctl.SetCheckET(settings & 1);
  ctl.SetRemoutDevice(static_cast<axg::TConState>((settings >> 1) % 3));
  ctl.SetTimeOut((settings >> 3) & 7);

  std::string script(reinterpret_cast<const char*>(data) + 1, size - 1);
  std::size_t answer_at = 0;
  int depth = 0;
  // The decision: the next input byte says what the host answers, and whether it
  // answers the address at once, from inside the event, as GateOpen would.
  ctl.OnCheckSQL = [&](axg::TObject*, const axg::TVar& ip, const axg::TVar& dev, const axg::TVar&,
                       const axg::TVar&, const axg::TVar&, axg::TPicture*, const axg::TVar& kind,
                       axg::TVar& Mess, axg::TVar& AResult) {
    const std::uint8_t b = script.empty() ? 0 : static_cast<std::uint8_t>(script[answer_at++ % script.size()]);
    switch (b % 6) {
      case 0: break;
      case 1: AResult = axg::TVar(0); break;
      case 2: AResult = axg::TVar(1); break;
      case 3: AResult = axg::TVar(u"not a number"); break;
      case 4: Mess = axg::TVar(u"|Line 1|Line 2||Line 4|"); break;
      case 5: AResult = axg::TVar(kind.ToInt() == 0 ? 1 : 0); break;
    }
    if ((b & 0x40) && depth < 3) {
      ++depth;
      ctl.p_hw_manual(ip.ToText(), dev.ToText(), (b & 0x80) ? u"TRUE" : u"FALSE");
      --depth;
    }
    if (b == 0xFF) throw axg::Error(u"host failed");
  };
  ctl.OnCheckStatus = [&](axg::TObject*, const axg::TVar&, const axg::TVar& ip, const axg::TVar&,
                          const axg::TVar&, const axg::TVar&, const axg::TVar&, const axg::TVar&) {
    // A report may bring another message in before it returns.
    if (depth < 2 && ip.ToText() == u"re") {
      ++depth;
      ctl.p_hw_ProtocolIn(u"#re:0001Gate-Open00");
      --depth;
    }
  };
  ctl.OnLog = [](axg::TObject*, const std::u16string&) {};
  ctl.OnError = [](axg::TObject*, const std::u16string&) {};
  ctl.OnGetImg = [](axg::TObject*, const std::u16string&, axg::TPicture* img) {
    if (!img) __builtin_trap();
  };

  std::size_t messages = 0;
  std::size_t start = 0;
  while (start <= script.size()) {
    std::size_t end = script.find('\n', start);
    if (end == std::string::npos) end = script.size();
    const std::string op = script.substr(start, end - start);
    start = end + 1;
    if (op.empty()) continue;
    const std::u16string text = axg::FromAnsi(op.substr(1));
    const std::uint8_t kind = static_cast<std::uint8_t>(op[0]);
    const bool was_empty = ctl.StackCount() == 0;
    // A failing send in the sweep (the re-send of an unacknowledged command) is
    // not caught by the pass: it reaches the caller, the timer tick or the
    // connector's handler, as an axg::Error. Anything else escaping is a fault.
    auto pass = [&] {
      try {
        ctl.p_hw_ProcessStack();
      } catch (const axg::Error&) {
      }
    };
    if (kind == '>') {
      clock.AdvanceMs(static_cast<std::int64_t>(text.size()) * 250);
      pass();
    } else if (kind == '=') {
      pass();
    } else if (kind == '?') {
      const auto f = Fields(text);
      ++messages;
      try {
        ctl.p_hw_manual(f[0], f[1], f[2]);
      } catch (const axg::Error&) {
        // The "CP" command's send failed (or the pass a manual request ran): it
        // reaches the caller, as in GateOpen.
      }
    } else if (kind == '~') {
      conn.connected = !conn.connected;
    } else {
      ++messages;
      // The whole operation is the message: its first character is the form.
      try {
        ctl.p_hw_ProtocolIn(axg::FromAnsi(op));
      } catch (const axg::Error&) {
        // From the pass it ran: the connector aborts that device's connection.
      }
    }
    if (ctl.Busy()) __builtin_trap();
    // A pass that finds the stack empty switches the timer off (one that drops
    // the last entry leaves it on for the next pass to find).
    if (was_empty && kind == '=' && ctl.TimerOn()) __builtin_trap();
    if (ctl.StackCount() > 2 * messages + 8) __builtin_trap();
  }
  // Sweeps with time moving on, as the timer would go on.
  for (int i = 0; i < 64 && ctl.StackCount() > 0; ++i) {
    clock.AdvanceMs(20000);
    try {
      ctl.p_hw_ProcessStack();
    } catch (const axg::Error&) {
    }
    if (ctl.Busy()) __builtin_trap();
  }
  return 0;
}
