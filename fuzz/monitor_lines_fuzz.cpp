// LIBS: axg_controller
// The monitor line reader of a controller in the client role: a monitor server
// of the fuzzer's own sends the input (and a closing "&") over a real connection,
// and the controller's OnLog and OnCheckStatus reports are checked against the
// rules of the monitor lines, written out plainly here:
//   "LOG!" text "&" and "ERROR!" text "&"  -> OnLog(text)
//   "STATUS!" a "!" b ... "&"              -> OnCheckStatus with seven fields
//   anything else                          -> nothing
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "UturnstylerdeviceQ7/UturnstylerdeviceQ7.h"
#include "platform/message_loop.h"
#include "platform/text.h"
#include "transport/TMonitorSocket.h"

namespace {

using Report = std::u16string;  // kind letter, then the values separated by U+0001

Report StatusReport(const std::u16string (&f)[7]) {
  Report r = u"S";
  for (const auto& v : f) r += v + u'\x01';
  return r;
}

std::vector<Report> Rules(const std::string& bytes) {
  std::vector<Report> out;
  std::size_t start = 0;
  for (std::size_t amp; (amp = bytes.find('&', start)) != std::string::npos; start = amp + 1) {
    const std::u16string line = axg::FromAnsi(bytes.substr(start, amp - start));
    if (line.rfind(u"LOG!", 0) == 0) {
      out.push_back(u"L" + line.substr(4));
    } else if (line.rfind(u"ERROR!", 0) == 0) {
      out.push_back(u"L" + line.substr(6));
    } else if (line.rfind(u"STATUS!", 0) == 0) {
      const std::u16string body = line.substr(7, 1000);
      std::vector<std::u16string> parts(1);
      for (char16_t c : body) {
        if (c == u'!' && parts.size() < 7) parts.emplace_back();
        else parts.back() += c;
      }
      std::u16string f[7];
      for (std::size_t i = 0; i + 1 < parts.size(); ++i) f[i] = parts[i];
      f[6] = parts.back();
      out.push_back(StatusReport(f));
    }
  }
  return out;
}

struct Rig {
  axg::TMonitorServer server;
  axg::TTurnStylerDeviceQ7 ctl;
  axg::TMonitorConnection* peer = nullptr;
  std::vector<Report> got;

  Rig() {
    axg::MessageLoop& loop = axg::MessageLoop::Current();
    server.SetPort(0);
    server.Open();
    ctl.OnLog = [this](axg::TObject*, const std::u16string& t) { got.push_back(u"L" + t); };
    ctl.OnError = [this](axg::TObject*, const std::u16string& t) { got.push_back(u"E" + t); };
    ctl.OnCheckStatus = [this](axg::TObject*, const axg::TVar& a, const axg::TVar& ip, const axg::TVar& d,
                               const axg::TVar& t, const axg::TVar& c, const axg::TVar& s1, const axg::TVar& s2) {
      const std::u16string f[7] = {a.ToText(), ip.ToText(), d.ToText(), t.ToText(), c.ToText(), s1.ToText(), s2.ToText()};
      got.push_back(StatusReport(f));
    };
    ctl.SetRemoutDevice(axg::PodClient);
    ctl.SetServer(u"127.0.0.1");
    ctl.SetPort(server.BoundPort());
    if (!loop.RunUntil([this] { return ctl.Connected() && server.ConnectionCount() == 1; }, 5000)) __builtin_trap();
    peer = server.Connection(0);
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static Rig* rig = new Rig();
  axg::MessageLoop& loop = axg::MessageLoop::Current();
  // The closing "&" ends whatever line the input left open, so that nothing of
  // this input is carried into the next.
  const std::string bytes = std::string(reinterpret_cast<const char*>(data), size) + "&";
  const std::vector<Report> expected = Rules(bytes);
  rig->got.clear();
  rig->peer->SendText(bytes);
  loop.RunUntil([&] { return rig->got.size() >= expected.size(); }, 5000);
  while (loop.RunPending()) {
  }
  if (rig->got != expected) __builtin_trap();
  if (!rig->ctl.Connected()) __builtin_trap();
  return 0;
}
