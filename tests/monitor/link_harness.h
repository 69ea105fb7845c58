#pragma once
// Harness of the monitor link tests: controllers whose monitor sockets the tests
// can reach and whose events land in one ordered trace, and a plain monitor
// server standing in for the far end of a client-role controller. Everything
// runs on 127.0.0.1 with ports the system picks; every wait is bounded.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "controller/controller_fixture.h"
#include "transport/TMonitorSocket.h"
#include "transport/line_client.h"

namespace axg::test {

inline bool Wait(const std::function<bool()>& done, unsigned ms = kWaitMs) {
  return MessageLoop::Current().RunUntil(done, ms);
}

// Lets the loop deliver what is on its way, for checks that nothing more comes.
inline void Settle(unsigned ms = 50) { MessageLoop::Current().RunFor(ms); }

// Events as "LOG text", "ERR text", "STATUS AName|IP|Device|DeviceType|Cardnumber|Status1|Status2".
class LinkController : public TTurnStylerDeviceQ7 {
 public:
  using TTurnStylerDeviceQ7::DeviceClient;
  using TTurnStylerDeviceQ7::DeviceServer;

  Trace events;
  // Every text given to SendToMonitor, sent or not.
  std::vector<std::u16string> lines;

  LinkController() {
    OnLog = [this](TObject* s, const std::u16string& t) {
      EXPECT_EQ(s, this);
      events.push_back("LOG " + U8(t));
    };
    OnError = [this](TObject* s, const std::u16string& t) {
      EXPECT_EQ(s, this);
      events.push_back("ERR " + U8(t));
    };
    OnCheckStatus = [this](TObject* s, const TVar& n, const TVar& ip, const TVar& d,
                           const TVar& ty, const TVar& c, const TVar& s1, const TVar& s2) {
      EXPECT_EQ(s, this);
      events.push_back("STATUS " + U8(n.ToText()) + "|" + U8(ip.ToText()) + "|" + U8(d.ToText()) +
                       "|" + U8(ty.ToText()) + "|" + U8(c.ToText()) + "|" + U8(s1.ToText()) + "|" +
                       U8(s2.ToText()));
    };
  }
  void SendToMonitor(const std::u16string& AMess) override {
    lines.push_back(AMess);
    TTurnStylerDeviceQ7::SendToMonitor(AMess);
  }
  bool TimerOn() const { return StackTime->Enabled(); }
  int Count(const std::string& prefix) const {
    int n = 0;
    for (const auto& e : events)
      if (e.rfind(prefix, 0) == 0) ++n;
    return n;
  }
  // Server role on a port the system picks, listening from here on.
  void Serve(TDeviceConnector* connector) {
    SetConnector(connector);
    SetRemoutDevice(podServer);
    SetPort(0);
    ASSERT_TRUE(Connected());
    ASSERT_NE(MonitorListenPort(), 0);
  }
  // Client role toward 127.0.0.1:port; the connection is started, not awaited.
  void Monitor(int port) {
    SetRemoutDevice(PodClient);
    SetServer(u"127.0.0.1");
    SetPort(port);
    Connected();
  }
};

// The far end of a client-role controller: a plain monitor server that collects
// what it is sent (while `reading`) and sends raw bytes on its newest connection.
struct MonitorPeer {
  TMonitorServer server;
  std::string got;
  bool reading = true;

  MonitorPeer() {
    server.OnClientRead = [this](TObject*, TMonitorConnection* c) {
      if (reading) got += c->ReceiveText();
    };
    server.Open();
  }
  int Port() const { return server.BoundPort(); }
  TMonitorConnection* Newest() const { return server.Connection(server.ConnectionCount() - 1); }
  void Send(const std::string& bytes) { Newest()->SendText(bytes); }
};

// Client-role controller connected to peer, both ends ready.
inline void Attach(LinkController& c, MonitorPeer& peer) {
  c.Monitor(peer.Port());
  ASSERT_TRUE(Wait([&] {
    return c.DeviceClient->Active() && peer.server.ConnectionCount() > 0 && peer.Newest()->Connected();
  }));
}

}  // namespace axg::test
