// ax_gate-serialmon: the device connector on a serial line with a gate
// controller behind it, printing every connector message and controller event.
// This is how a controller runs on a serial line: the add-in itself only ever
// uses the network.
#include <iostream>
#include <map>
#include <memory>
#include <string>

#include "UConnector/UConnector.h"
#include "UturnstylerdeviceQ7/UturnstylerdeviceQ7.h"
#include "platform/message_loop.h"
#include "platform/stdin_reader.h"
#include "platform/tool_text.h"
#include "platform/text.h"
#include "tools/serial/line_options.h"
#include "transport/TSerialPort.h"

namespace axg::serialtool {
namespace {

const std::string kUsageText = std::string(
    "usage: ax_gate-serialmon --device PATH [options]\n"
    "Runs the device connector on a serial line (ConnectorType podComPort) with a\n"
    "gate controller behind it and prints, one a line:\n"
    "  message   what the connector hands to the controller (a packet without its\n"
    "            start and stop characters)\n"
    "  log, error, status, decision   the controller's events\n"
    "  port      a failure of the line itself (the port then closes; it is opened\n"
    "            again at the next --retry)\n"
    "Runs until the end of standard input or --duration.\n"
    "\n"
    "  --device PATH       the serial device (") + axg::ThisSystemTexts().serial_example + ", or the name that\n"
    "                      ax_gate-serialsim --pty printed)\n" +
    kLineOptionsHelp +
    "  --answer WORD       answer each decision request as the script's GateOpen\n"
    "                      would, with TRUE or FALSE (default: leave it unanswered)\n"
    "  --timeout S         the controller's TimeOut (default 5)\n"
    "  --retry MS          reopen a closed port this often (default 1000; 0: never)\n"
    "  --duration S        stop after S seconds\n"
    "  --all-stack         show every STACK report of the sweep (every entry every\n"
    "                      10 ms); by default one is shown when it changes\n";
const char* kUsage = kUsageText.c_str();

void Print(const char* what, const std::u16string& text) {
  std::cout << what << ToUtf8(text) << std::endl;
}

int Run(int argc, char** argv) {
  SerialSettings settings;
  std::u16string answer;
  long timeout = 5, retry_ms = 1000;
  double duration = 0;
  bool all_stack = false;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) Usage(kUsage, a + " wants a value");
      return argv[++i];
    };
    if (a == "--help" || a == "-h") {
      std::cout << kUsage;
      return 0;
    }
    if (a == "--device") settings.device = value();
    else if (a == "--answer") {
      answer = FromUtf8(value());
      if (answer != u"TRUE" && answer != u"FALSE") Usage(kUsage, "--answer wants TRUE or FALSE");
    } else if (a == "--timeout") timeout = ToLong(kUsage, a, value(), 0, 3600);
    else if (a == "--retry") retry_ms = ToLong(kUsage, a, value(), 0, 3600000);
    else if (a == "--duration") duration = ToDouble(kUsage, a, value());
    else if (a == "--all-stack") all_stack = true;
    else if (i + 1 < argc && LineOption(kUsage, a, argv[i + 1], settings)) ++i;
    else Usage(kUsage, "unknown option " + a);
  }
  if (settings.device.empty()) Usage(kUsage, "--device is missing");

  MessageLoop& loop = MessageLoop::Current();
  TSerialPort port;
  port.DeviceName = FromUtf8(settings.device);
  port.BaudRate = static_cast<int>(settings.baud_rate);
  port.DataBits = static_cast<int>(settings.data_bits);
  port.StopBits = settings.stop_bits;
  port.Parity = settings.parity;
  port.FlowControl = settings.flow_control;
  port.OnError = [](TObject*, const std::u16string& s) { Print("port     ", s); };

  TDeviceConnector conn;
  conn.SetComPort(&port);
  conn.SetConnectorType(podComPort);
  conn.OnError = [](TObject*, const std::u16string& s) { Print("error    ", s); };
  conn.OnLog = [](TObject*, const std::u16string& s) { Print("conn     ", s); };

  TTurnStylerDeviceQ7 ctrl;
  ctrl.SetTimeOut(static_cast<std::int32_t>(timeout));
  ctrl.SetConnector(&conn);
  // Show each connector message before the controller takes it.
  TLogEvent to_controller = conn.OnGetData;
  conn.OnGetData = [to_controller](TObject* sender, const std::u16string& s) {
    Print("message  ", s);
    if (to_controller) to_controller(sender, s);
  };
  ctrl.OnLog = [](TObject*, const std::u16string& s) { Print("log      ", s); };
  ctrl.OnError = [](TObject*, const std::u16string& s) { Print("error    ", s); };
  // The sweep repeats the report of an entry that did not change (once a second,
  // or on every 10 ms pass when every pass is reported); unless asked for all,
  // an entry's "STACK" report is shown when it differs from the last one shown.
  std::map<std::u16string, std::u16string> last_stack;
  ctrl.OnCheckStatus = [&](TObject*, const TVar& name, const TVar& ip, const TVar& device, const TVar& type,
                           const TVar& card, const TVar& s1, const TVar& s2) {
    const std::u16string text = name.ToText() + u";" + ip.ToText() + u";" + device.ToText() + u";" +
                                type.ToText() + u";" + card.ToText() + u";" + s1.ToText() + u";" + s2.ToText();
    if (!all_stack && name.ToText() == u"STACK") {
      std::u16string& last = last_stack[ip.ToText() + u";" + device.ToText()];
      if (last == text) return;
      last = text;
    }
    Print("status   ", text);
  };
  // Answers as the add-in does: reports of kinds 1 and 2 are taken at once; a
  // decision request (kind 0) is answered later, like the script's GateOpen.
  ctrl.OnCheckSQL = [&](TObject*, const TVar& ip, const TVar& device, const TVar& type, const TVar& card,
                        const TVar&, TPicture*, const TVar& kind, TVar&, TVar& result) {
    const std::int32_t k = kind.ToInt();
    if (k == 1 || k == 2) result = TVar(1);
    Print("decision ", ip.ToText() + u";" + device.ToText() + u";" + type.ToText() + u";" + card.ToText() +
                           u";" + kind.ToText());
    if (k == 0 && !answer.empty()) {
      const std::u16string a = ip.ToText(), d = device.ToText();
      loop.Post([&ctrl, a, d, &answer] {
        Print("answer   ", a + u";" + d + u";" + answer);
        ctrl.p_hw_manual(a, d, answer);
      });
    }
  };

  if (conn.GetIsConnected()) std::cout << "open     " << settings.device << std::endl;
  TimerId retry = 0;
  if (retry_ms > 0) {
    retry = loop.StartTimer(static_cast<unsigned>(retry_ms), [&] {
      if (!port.Connected() && conn.GetIsConnected())
        std::cout << "open     " << settings.device << std::endl;
    });
  }
  StdinReader input([](const std::string&) {}, [&] { loop.Stop(); });
  TimerId end = 0;
  if (duration > 0) end = loop.StartTimer(static_cast<unsigned>(duration * 1000.0), [&] { loop.Stop(); });
  loop.Run();
  if (retry) loop.StopTimer(retry);
  if (end) loop.StopTimer(end);
  ctrl.SetConnector(nullptr);
  conn.SetIsConnected(false);
  return 0;
}

}  // namespace
}  // namespace axg::serialtool

int main(int argc, char** argv) { return axg::serialtool::Run(argc, argv); }
