// The connector on a real serial line: opening through IsConnected, "[03] "
// reports, and both packet kinds handed to OnGetData unchanged.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "UConnector/UConnector.h"
#include "platform/message_loop.h"
#include "platform/text.h"
#include "pty_line.h"
#include "transport/TSerialPort.h"

namespace axg {
namespace {

using Texts = std::vector<std::u16string>;

bool EndsWith(const std::u16string& s, const std::u16string& tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

class SerialConnectorTest : public ::testing::Test {
 protected:
  SerialConnectorTest() {
    port.DeviceName = FromUtf8(pty.Name());
    conn.SetComPort(&port);
    conn.SetConnectorType(podComPort);
    conn.OnGetData = [this](TObject* sender, const std::u16string& s) {
      EXPECT_EQ(sender, &conn);
      data.push_back(s);
    };
    conn.OnError = [this](TObject*, const std::u16string& s) { errors.push_back(s); };
  }

  bool WaitData(std::size_t n) {
    return MessageLoop::Current().RunUntil([&] { return data.size() >= n; }, 5000);
  }

  test::PtyLine pty;
  TSerialPort port;
  TDeviceConnector conn;
  Texts data, errors;
};

TEST_F(SerialConnectorTest, BothPacketKindsReachOnGetDataUnchanged) {
  ASSERT_TRUE(conn.GetIsConnected());
  EXPECT_TRUE(port.Connected());
  EXPECT_EQ(port.Framers().size(), 2u);

  // One chunk: each framer cuts all of it in turn, the "$" framer first.
  pty.Send("$0001RQ0012345678AB\r\n#0001Gate-Open5A\r\n$0001PING\r\n#0001GOGR\r\n");
  ASSERT_TRUE(WaitData(4));
  EXPECT_EQ(data, (Texts{u"0001RQ0012345678AB", u"0001PING", u"0001Gate-Open5A", u"0001GOGR"}));

  // Separate chunks come in the order sent; a "$" and a "#" packet with the same
  // body give the same message.
  pty.Send("#0002InG-Activ19\r");
  ASSERT_TRUE(WaitData(5));
  pty.Send("$0002InG-Activ19\r");
  ASSERT_TRUE(WaitData(6));
  EXPECT_EQ(data[4], u"0002InG-Activ19");
  EXPECT_EQ(data[5], u"0002InG-Activ19");

  // No keep-alive answer, no "test" text, no command frame: the line stays silent.
  EXPECT_EQ(conn.SendCommand(u"GO0002:0002"), u"");
  MessageLoop::Current().RunFor(20);
  EXPECT_EQ(pty.Received(), "");
  EXPECT_TRUE(errors.empty());
}

TEST_F(SerialConnectorTest, OpenFailureIsReportedAs03) {
  port.DeviceName = u"/dev/axg-no-such-serial-line";
  EXPECT_FALSE(conn.GetIsConnected());
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0].rfind(u"[03] ", 0), 0u) << ToUtf8(errors[0]);
  EXPECT_NE(errors[0].find(u"/dev/axg-no-such-serial-line"), std::u16string::npos);
  EXPECT_TRUE(EndsWith(errors[0], u" (Error: 2)")) << ToUtf8(errors[0]);
  conn.SetIsConnected(true);  // writing true tries again and reports again
  EXPECT_EQ(errors.size(), 2u);
  EXPECT_FALSE(port.Connected());
}

TEST_F(SerialConnectorTest, IsConnectedOpensClosesAndReopens) {
  conn.SetConnectorType(podNet);  // the port is used only with podComPort
  EXPECT_FALSE(conn.GetIsConnected());
  EXPECT_FALSE(port.Connected());
  conn.SetConnectorType(podComPort);

  conn.SetIsConnected(true);
  EXPECT_TRUE(port.Connected());
  EXPECT_TRUE(conn.GetIsConnected());  // open: left as it is
  conn.SetIsConnected(false);
  EXPECT_FALSE(port.Connected());
  EXPECT_TRUE(errors.empty());

  EXPECT_TRUE(conn.GetIsConnected());
  pty.Send("$0003GR17\r");
  ASSERT_TRUE(WaitData(1));
  EXPECT_EQ(data, Texts{u"0003GR17"});
}

TEST_F(SerialConnectorTest, PulledCableIsNoticedAtTheNextReading) {
  Texts port_errors;
  port.OnError = [&](TObject*, const std::u16string& s) { port_errors.push_back(s); };
  ASSERT_TRUE(conn.GetIsConnected());
  pty.Hangup();
  ASSERT_TRUE(MessageLoop::Current().RunUntil([&] { return !port.Connected(); }, 5000));
  EXPECT_EQ(port_errors.size(), 1u);
  // The device is gone, so reopening fails and the connector says so.
  EXPECT_FALSE(conn.GetIsConnected());
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0].rfind(u"[03] ", 0), 0u) << ToUtf8(errors[0]);
}

TEST(SerialConnectorLifetime, PortAndConnectorMayGoInEitherOrder) {
  {
    TSerialPort port;
    TDeviceConnector conn;
    conn.SetComPort(&port);
  }  // the connector goes first: its framers leave the port
  {
    TDeviceConnector conn;
    TSerialPort port;
    conn.SetComPort(&port);
    EXPECT_EQ(port.Framers().size(), 2u);
    conn.SetComPort(nullptr);
    EXPECT_TRUE(port.Framers().empty());
    conn.SetComPort(&port);
  }  // the port goes first: the framers forget it
}

}  // namespace
}  // namespace axg
