// A card request typed into the serial line reaches the gate controller as a
// connector message.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "UConnector/UConnector.h"
#include "UturnstylerdeviceQ7/UturnstylerdeviceQ7.h"
#include "platform/message_loop.h"
#include "platform/text.h"
#include "pty_line.h"
#include "transport/TSerialPort.h"

namespace axg {
namespace {

struct Report {
  std::u16string name, ip, device, type, card, status1, status2;
};

class SerialControllerTest : public ::testing::Test {
 protected:
  SerialControllerTest() {
    port.DeviceName = FromUtf8(pty.Name());
    conn.SetComPort(&port);
    conn.SetConnectorType(podComPort);
    ctrl.SetConnector(&conn);
    ctrl.OnLog = [this](TObject*, const std::u16string& s) { logs.push_back(s); };
    ctrl.OnCheckStatus = [this](TObject*, const TVar& name, const TVar& ip, const TVar& device,
                                const TVar& type, const TVar& card, const TVar& s1, const TVar& s2) {
      reports.push_back({name.ToText(), ip.ToText(), device.ToText(), type.ToText(), card.ToText(),
                         s1.ToText(), s2.ToText()});
    };
  }
  ~SerialControllerTest() override { ctrl.SetConnector(nullptr); }

  bool Logged(const std::u16string& text) {
    return MessageLoop::Current().RunUntil(
        [&] {
          for (const auto& l : logs)
            if (l == text) return true;
          return false;
        },
        5000);
  }
  const Report* Find(const std::u16string& name) const {
    for (const auto& r : reports)
      if (r.name == name) return &r;
    return nullptr;
  }

  test::PtyLine pty;
  TSerialPort port;
  TDeviceConnector conn;
  TTurnStylerDeviceQ7 ctrl;
  std::vector<std::u16string> logs;
  std::vector<Report> reports;
};

// The connector hands a serial packet up without its form character, so the
// device's own card request is read and logged but is of neither message form.
TEST_F(SerialControllerTest, DevicePacketIsReadButNotInterpreted) {
  ASSERT_TRUE(conn.GetIsConnected());
  pty.Send("$0001RQ0012345678AB\r\n");
  ASSERT_TRUE(Logged(u"%Считано с порта% 0001RQ0012345678AB"));
  EXPECT_EQ(Find(u"CHECK"), nullptr);
  EXPECT_EQ(ctrl.StackCount(), 0u);
}

// A packet that carries the whole connector message, form character and address
// included, is a card request for the controller.
TEST_F(SerialControllerTest, CardRequestInMessageFormReachesTheController) {
  ASSERT_TRUE(conn.GetIsConnected());
  pty.Send("$$COM1:0001RQ0012345678AB\r\n");
  ASSERT_TRUE(Logged(u"%Считано с порта% $COM1:0001RQ0012345678AB"));
  const Report* check = Find(u"CHECK");
  ASSERT_NE(check, nullptr);
  EXPECT_EQ(check->ip, u"COM1");
  EXPECT_EQ(check->device, u"0001");
  EXPECT_EQ(check->type, u"T");
  EXPECT_EQ(check->card, u"0012345678");
  EXPECT_EQ(check->status1, u"RQ");
  EXPECT_EQ(check->status2, u"NEW");
  ASSERT_EQ(ctrl.StackCount(), 1u);
  EXPECT_EQ(ctrl.StackItem(0)->CardNumber, u"0012345678");

  // The device's gate-open event for it, in the same form, through the "#" framer.
  pty.Send("##COM1:0001Gate-Open5A\r\n");
  ASSERT_TRUE(Logged(u"%Считано с порта% #COM1:0001Gate-Open5A"));
  ASSERT_GE(ctrl.StackCount(), 1u);
  EXPECT_EQ(ctrl.StackItem(0)->StatusHard, u"GATEOPEN");
  EXPECT_EQ(pty.Received(), "");
}

}  // namespace
}  // namespace axg
