// ax_gate-serialsim: plays a gate device on a serial line. It writes the serial
// form of the device protocol, packets from "$" or "#" to CR, from its arguments,
// at a rate, or line by line from standard input, and shows anything that comes
// back (the connector's port never writes, so nothing should).
#include <cstdio>
#include <iostream>
#include <random>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/message_loop.h"
#include "platform/serial.h"
#include "platform/stdin_reader.h"
#include "platform/tool_text.h"
#include "tools/serial/line_options.h"

namespace axg::serialtool {
namespace {

const std::string kUsageText = std::string(
    "usage: ax_gate-serialsim (--device PATH | --pty) [options] [PACKET...]\n"
    "Plays a gate device on a serial line: writes card requests, events and any\n"
    "packets given, each ended by CR, then (with --pty or --stdin) takes more from\n"
    "standard input, one a line:\n"
    "  card X          a card request \"$<id>RQ<X><check>\"\n"
    "  event WORD      an event \"#<id><WORD><check>\" (Gate-Open, Relay1, InG-Activ, ...)\n"
    "  anything else   sent as it is (escapes as for PACKET), then the line end\n"
    "\n"
    "  --device PATH       the serial device to write on (") + axg::ThisSystemTexts().serial_example + ")\n"
    "  --pty               make a pseudo-terminal pair instead and print the name of\n"
    "                      the side to give to ax_gate-serialmon --device; runs until\n"
    "                      the end of input or --duration\n" +
    kLineOptionsHelp +
    "  --id NNNN           device address in generated packets (default 0001)\n"
    "  --card X            send a card request (repeatable, in order with the rest)\n"
    "  --event WORD        send an event (repeatable)\n"
    "  --rate R            then send card requests for random cards, R per second\n"
    "  --count N           with --rate: stop after N of them (default: no limit)\n"
    "  --duration S        stop after S seconds\n"
    "  --address A         write every packet as the whole connector message with\n"
    "                      address A (\"$$A:<id>RQ...\"), which the gate controller\n"
    "                      interprets; a plain device packet reaches it without its\n"
    "                      form character and is only logged\n"
    "  --crlf              end packets with CR LF, as devices do on the network\n"
    "  --stdin             read standard input after the arguments (also without --pty)\n"
    "  PACKET              sent as it is, then the line end; \\r \\n \\t \\\\ \\xHH escapes\n"
    "\n"
    "Example: ax_gate-serialsim --pty --card 0012345678 --event Gate-Open\n";
const char* kUsage = kUsageText.c_str();

struct Sim {
  SerialLine line;
  std::string id = "0001";
  std::string address;  // empty: plain device packets
  std::string line_end = "\r";
  bool failed = false;

  void Send(const std::string& packet) {
    const std::string wire = (address.empty() ? packet : InMessageForm(packet, address)) + line_end;
    try {
      line.Write(wire);
      std::cout << "sent     " << Escape(wire) << std::endl;
    } catch (const Error& e) {
      std::cout << "error    " << e.what() << std::endl;
      failed = true;
    }
  }

  void Command(const std::string& text) {
    if (text.rfind("card ", 0) == 0) Send(CardRequest(id, text.substr(5)));
    else if (text.rfind("event ", 0) == 0) Send(EventPacket(id, text.substr(6)));
    else Send(Unescape(text));
  }
};

int Run(int argc, char** argv) {
  SerialSettings settings;
  Sim sim;
  bool pty = false, read_stdin = false;
  double rate = 0, duration = 0;
  long count = -1;
  std::vector<std::string> items;  // "card X", "event W" or a raw packet, in order
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
    else if (a == "--pty") pty = true;
    else if (a == "--id") {
      sim.id = value();
      if (sim.id.size() != 4) Usage(kUsage, "--id wants four characters");
    } else if (a == "--card") items.push_back("card " + value());
    else if (a == "--event") items.push_back("event " + value());
    else if (a == "--rate") rate = ToDouble(kUsage, a, value());
    else if (a == "--count") count = ToLong(kUsage, a, value(), 0, 100000000);
    else if (a == "--duration") duration = ToDouble(kUsage, a, value());
    else if (a == "--address") sim.address = value();
    else if (a == "--crlf") sim.line_end = "\r\n";
    else if (a == "--stdin") read_stdin = true;
    else if (a.rfind("--", 0) == 0 && i + 1 < argc && LineOption(kUsage, a, argv[i + 1], settings)) ++i;
    else if (a.rfind("--", 0) == 0) Usage(kUsage, "unknown option " + a);
    else items.push_back(a);
  }
  if (pty == !settings.device.empty()) Usage(kUsage, "give either --device PATH or --pty");
  if (pty) read_stdin = true;

  MessageLoop& loop = MessageLoop::Current();
  auto on_data = [](std::string_view chunk) {
    std::cout << "received " << Escape(std::string(chunk)) << std::endl;
  };
  auto on_failure = [&](const Error& e) {
    std::cout << "error    " << e.what() << std::endl;
    sim.failed = true;
    loop.Stop();
  };
  try {
    if (pty) {
      const std::string name = sim.line.OpenPseudoTerminal(on_data, on_failure);
      std::cout << "pty      " << name << std::endl;
    } else {
      sim.line.Open(settings, on_data, on_failure);
      std::cout << "open     " << settings.device << std::endl;
    }
  } catch (const Error& e) {
    std::cerr << "error: " << e.what() << std::endl;
    return 1;
  }

  for (const std::string& item : items) sim.Command(item);

  // What keeps the tool running: the rate generator, standard input, a duration.
  bool rate_done = rate <= 0 || count == 0;
  bool input_done = !read_stdin;
  auto maybe_stop = [&] {
    if (duration <= 0 && rate_done && input_done) loop.Stop();
  };
  std::mt19937 rng(static_cast<unsigned>(CurrentClock().MonotonicMs()));
  long sent = 0;
  TimerId rate_timer = 0;
  if (!rate_done) {
    const unsigned interval = static_cast<unsigned>(1000.0 / rate) > 0 ? static_cast<unsigned>(1000.0 / rate) : 1;
    rate_timer = loop.StartTimer(interval, [&] {
      std::string card;
      for (int k = 0; k < 10; ++k) card += static_cast<char>('0' + rng() % 10);
      sim.Send(CardRequest(sim.id, card));
      if (count > 0 && ++sent >= count && !rate_done) {
        rate_done = true;
        maybe_stop();
      }
    });
  }
  std::unique_ptr<StdinReader> input;
  if (read_stdin) {
    input = std::make_unique<StdinReader>(
        [&](const std::string& text) {
          std::string t = text;
          if (!t.empty() && t.back() == '\r') t.pop_back();
          if (!t.empty()) sim.Command(t);
        },
        [&] {
          input_done = true;
          maybe_stop();
        });
  }
  TimerId end_timer = 0;
  if (duration > 0) end_timer = loop.StartTimer(static_cast<unsigned>(duration * 1000.0), [&] { loop.Stop(); });

  if (!(duration <= 0 && rate_done && input_done)) loop.Run();
  if (rate_timer) loop.StopTimer(rate_timer);
  if (end_timer) loop.StopTimer(end_timer);
  input.reset();
  try {
    sim.line.Close();
  } catch (const Error& e) {
    std::cout << "error    " << e.what() << std::endl;
    return 1;
  }
  return sim.failed ? 1 : 0;
}

}  // namespace
}  // namespace axg::serialtool

int main(int argc, char** argv) { return axg::serialtool::Run(argc, argv); }
