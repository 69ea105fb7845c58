// LIBS: axg_connector
// The connector's interpretation of one device line (ProcessData on a connected
// TTcpSrvClient whose RcvdLine is the input): the messages handed up, the
// keep-alive answer and the "test" text to every connection are checked against
// the rules of the line forms, written out plainly here, and the bytes each
// connection receives are exactly those, in that order.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "UConnector/FrameText.h"
#include "UConnector/TTcpSrvClient.h"
#include "UConnector/UConnector.h"
#include "fuzz/local_pair.h"
#include "platform/message_loop.h"
#include "platform/text.h"
#include "transport/TLineServer.h"

namespace {

const std::u16string kPeer = u"192.0.2.10";

std::u16string Part(const std::u16string& s, std::size_t from, std::size_t count) {
  return from >= s.size() ? std::u16string() : s.substr(from, count);
}

bool Blank(const std::u16string& s) {
  for (char16_t c : s)
    if (c > 0x20) return false;
  return true;
}

bool Has(const std::u16string& s, const char16_t* what) { return s.find(what) != std::u16string::npos; }

struct Expected {
  std::vector<std::u16string> messages;
  std::u16string echo;
};

Expected Rules(const std::u16string& L) {
  Expected x;
  const std::u16string D = Part(L, 1, 4);
  const std::u16string R = Part(L, 1, 1000);
  if (Blank(L)) return x;
  if (L[0] == u'#') {
    if (Has(L, u"BT")) x.messages.push_back(axg::AddCRC8(u"#" + kPeer + u":" + D + u"InG-Activ"));
    if (Has(L, u"GR")) x.messages.push_back(axg::AddCRC8(u"#" + kPeer + u":" + D + u"Relay"));
    if (Has(L, u"ET")) x.messages.push_back(u"$" + kPeer + u":" + R);
    if (Has(L, u"GO")) x.messages.push_back(axg::AddCRC8(u"$" + kPeer + u":" + D + u"GR"));
  } else if (L[0] == u'$') {
    if (Has(L, u"PING")) {
      x.echo = axg::AddCRC8(u"$" + D + u"ECHO");
      x.messages.push_back(axg::AddCRC8(u"#" + kPeer + u":" + D + u"HardReset"));
    } else if (Has(L, u"ET")) {
      x.messages.push_back(axg::AddCRC8(u"#" + kPeer + u":" + D + u"HardReset"));
      x.messages.push_back(u"$" + kPeer + u":" + R);
    } else {
      x.messages.push_back(u"$" + kPeer + u":" + R);
    }
  }
  return x;
}

struct Rig {
  axg::TLineServer server;
  axg::TDeviceConnector connector;
  axg::fuzz::LocalPair device, other;
  axg::TTcpSrvClient* client = nullptr;
  std::vector<std::u16string> got;

  Rig() {
    connector.SetWSocketServer(&server);
    connector.SetConnectorType(axg::podNet);
    server.ClientClass = &axg::MakeClient<axg::TTcpSrvClient>;
    server.AcceptOne(device.ServerEnd(), {"192.0.2.10", 4001});
    server.AcceptOne(other.ServerEnd(), {"192.0.2.11", 4002});
    client = dynamic_cast<axg::TTcpSrvClient*>(server.Client(0));
    if (!client || client->State() != axg::wsConnected) __builtin_trap();
    connector.OnGetData = [this](axg::TObject*, const std::u16string& m) { got.push_back(m); };
    server.FlushAll();  // the greetings
    device.Drain();
    other.Drain();
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static Rig* rig = new Rig();
  const std::u16string line = axg::FromAnsi(std::string(reinterpret_cast<const char*>(data), size));
  rig->got.clear();
  rig->client->RcvdLine = line;
  rig->connector.ProcessData(rig->client);
  // The server writes at the end of the loop's turn and the "test" text within
  // its broadcast interval; here everything goes out at once, and the turn's
  // deferred work is run so that nothing piles up between inputs.
  rig->server.FlushAll();
  axg::MessageLoop::Current().RunPending();

  const Expected x = Rules(line);
  if (rig->got != x.messages) __builtin_trap();
  const std::string test = axg::ToAnsi(axg::AddCRC8(u"test"));
  if (rig->device.Drain() != axg::ToAnsi(x.echo) + test) __builtin_trap();
  if (rig->other.Drain() != test) __builtin_trap();
  if (rig->client->State() != axg::wsConnected || rig->server.ClientCount() != 2) __builtin_trap();
  return 0;
}
