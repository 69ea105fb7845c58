// The connector's own state: creation, setters, the serial path and the texts it
// logs for server events. No sockets.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "UConnector/UConnector.h"
#include "platform/error.h"
#include "platform/text.h"
#include "transport/TLineServer.h"
#include "transport/TPacketFramer.h"

namespace axg {
namespace {

using Texts = std::vector<std::string>;

class FakePort : public ISerialPort {
 public:
  bool connected = false;
  std::u16string open_error, close_error;
  int opens = 0, closes = 0;
  std::vector<TPacketFramer*> framers;

  bool Connected() const override { return connected; }
  void Open() override {
    ++opens;
    if (!open_error.empty()) throw Error(open_error);
    connected = true;
  }
  void Close() override {
    ++closes;
    if (!close_error.empty()) throw Error(close_error);
    connected = false;
  }
  void AttachFramer(TPacketFramer* f) override { framers.push_back(f); }
  void DetachFramer(TPacketFramer* f) override { std::erase(framers, f); }
};

class ConnectorCoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    connector.OnGetData = [this](TObject*, const std::u16string& m) { messages.push_back(ToUtf8(m)); };
    connector.OnLog = [this](TObject*, const std::u16string& t) { logs.push_back(ToUtf8(t)); };
    connector.OnError = [this](TObject*, const std::u16string& t) { errors.push_back(ToUtf8(t)); };
  }
  TDeviceConnector connector;
  Texts messages, logs, errors;
};

TEST_F(ConnectorCoreTest, StartsEmptyWithItsTwoFramers) {
  EXPECT_EQ(connector.ConnectorType(), podEmpty);
  EXPECT_EQ(connector.WSocketServer(), nullptr);
  EXPECT_EQ(connector.ComPort(), nullptr);
  ASSERT_NE(connector.ComDataPacket1, nullptr);
  ASSERT_NE(connector.ComDataPacket2, nullptr);
  EXPECT_EQ(connector.ComDataPacket1->StartString, u"$");
  EXPECT_EQ(connector.ComDataPacket1->StopString, u"\r");
  EXPECT_EQ(connector.ComDataPacket2->StartString, u"#");
  EXPECT_EQ(connector.ComDataPacket2->StopString, u"\r");
  EXPECT_FALSE(connector.GetIsConnected());
}

TEST_F(ConnectorCoreTest, SerialPacketsAreHandedUpUnchanged) {
  connector.ComDataPacket1->HandleData("noise$0001RQ0012345678AB\r");
  connector.ComDataPacket2->HandleData("#0001GO\r");
  connector.ComDataPacket1->HandleData("$0001GO\r");
  EXPECT_EQ(messages, (Texts{"0001RQ0012345678AB", "0001GO", "0001GO"}));
}

TEST_F(ConnectorCoreTest, TheSerialPortCarriesBothFramers) {
  FakePort a, b;
  connector.SetComPort(&a);
  EXPECT_EQ(connector.ComPort(), &a);
  EXPECT_EQ(a.framers, (std::vector<TPacketFramer*>{connector.ComDataPacket1, connector.ComDataPacket2}));
  connector.SetComPort(&a);
  EXPECT_EQ(a.framers.size(), 2u);
  connector.SetComPort(&b);
  EXPECT_TRUE(a.framers.empty());
  EXPECT_EQ(b.framers.size(), 2u);
  connector.SetComPort(nullptr);
  EXPECT_TRUE(b.framers.empty());
}

TEST_F(ConnectorCoreTest, IsConnectedOpensTheSerialPort) {
  struct Case {
    TConnectorType type;
    bool connected;
    std::u16string open_error;
    bool answer;
    int opens;
    Texts errors;
  };
  const Case cases[] = {
      {podComPort, true, u"", true, 0, {}},
      {podComPort, false, u"", true, 1, {}},
      {podComPort, false, u"Port COM3 busy (Error: 5)", false, 1, {"[03] Port COM3 busy (Error: 5)"}},
      {podNet, true, u"", false, 0, {}},  // no server, and the port is not the selected transport
      {podEmpty, false, u"", false, 0, {}},
  };
  for (const Case& k : cases) {
    FakePort port;
    port.connected = k.connected;
    port.open_error = k.open_error;
    errors.clear();
    connector.SetComPort(&port);
    connector.SetConnectorType(k.type);
    EXPECT_EQ(connector.GetIsConnected(), k.answer) << int(k.type) << k.connected;
    EXPECT_EQ(port.opens, k.opens);
    EXPECT_EQ(errors, k.errors);
    connector.SetComPort(nullptr);
  }
}

TEST_F(ConnectorCoreTest, WritingFalseClosesTheSerialPort) {
  FakePort port;
  port.connected = true;
  connector.SetComPort(&port);
  connector.SetConnectorType(podComPort);
  connector.SetIsConnected(false);
  EXPECT_EQ(port.closes, 1);
  EXPECT_FALSE(port.connected);
  port.close_error = u"Cannot close (Error: 6)";
  connector.SetIsConnected(false);
  EXPECT_EQ(errors, Texts{"[03] Cannot close (Error: 6)"});
  connector.SetIsConnected(true);
  EXPECT_EQ(port.opens, 1);
  connector.CloseAll();  // leaves the port alone
  EXPECT_EQ(port.closes, 2);
  connector.SetComPort(nullptr);
}

TEST_F(ConnectorCoreTest, ServerHandlersComeAndGoTogether) {
  TLineServer first, second;
  first.Banner = u"hello";
  connector.SetWSocketServer(&first);
  EXPECT_EQ(connector.WSocketServer(), &first);
  EXPECT_TRUE(first.OnClientConnect && first.OnClientDisconnect && first.OnDataSent && first.OnSessionClosed &&
              first.OnBgException);

  first.OnDataSent(&first, 0);
  first.OnDataSent(&first, 10054);
  first.OnSessionClosed(&first, 0);
  EXPECT_EQ(logs, (Texts{"Data Sent Error code 0", "Data Sent Error code 10054", "Session closed"}));
  bool can_close = true;
  first.OnBgException(&first, Error(u"x"), can_close);
  EXPECT_FALSE(can_close);

  // A second server over the first leaves the first one's handlers in place.
  connector.SetWSocketServer(&second);
  EXPECT_TRUE(first.OnClientConnect && second.OnClientConnect);
  connector.SetWSocketServer(nullptr);
  EXPECT_EQ(connector.WSocketServer(), nullptr);
  EXPECT_FALSE(second.OnClientConnect || second.OnClientDisconnect || second.OnDataSent ||
               second.OnSessionClosed || second.OnBgException);
  EXPECT_TRUE(first.OnClientConnect);
  EXPECT_EQ(first.Banner, u"hello");  // nothing else of the server is touched
}

TEST_F(ConnectorCoreTest, NothingIsSentWithoutAServer) {
  EXPECT_EQ(connector.SendCommand(u"GO192.0.2.10:0001"), u"");
  connector.SendDirectCommand(u"192.0.2.10", u"X");
  EXPECT_EQ(connector.FindClientByIP(u"192.0.2.10"), nullptr);
  EXPECT_TRUE(logs.empty());
}

}  // namespace
}  // namespace axg
