// TSerialPort on a pseudo-terminal: what the device sends reaches every attached
// framer, cut into the packets the connector relies on; opening, closing and a
// pulled cable; nothing ever goes back on the line.
#include <gtest/gtest.h>
#include <termios.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/message_loop.h"
#include "platform/text.h"
#include "pty_line.h"
#include "transport/TPacketFramer.h"
#include "transport/TSerialPort.h"

namespace axg {
namespace {

using Texts = std::vector<std::u16string>;

struct Seen {
  Texts packets;
  Texts discards;
};

void Record(TPacketFramer& f, Seen& seen) {
  f.OnPacket = [&seen](TObject*, const std::u16string& s) { seen.packets.push_back(s); };
  f.OnDiscard = [&seen](TObject*, const std::u16string& s) { seen.discards.push_back(s); };
}

bool EndsWith(const std::u16string& s, const std::u16string& tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

// The connector's two framers and a third one without a stop condition, which
// sees every chunk as it comes and so tells how many bytes have arrived.
class SerialPortTest : public ::testing::Test {
 protected:
  SerialPortTest() {
    port.DeviceName = FromUtf8(pty.Name());
    dollar.StartString = u"$";
    dollar.StopString = u"\r";
    hash.StartString = u"#";
    hash.StopString = u"\r";
    Record(dollar, d);
    Record(hash, h);
    raw.OnPacket = [this](TObject*, const std::u16string& s) { arrived += s.size(); };
    port.OnError = [this](TObject*, const std::u16string& s) { errors.push_back(s); };
    dollar.SetComPort(&port);
    hash.SetComPort(&port);
    raw.SetComPort(&port);
  }

  bool Wait(const std::function<bool()>& done) { return MessageLoop::Current().RunUntil(done, 5000); }

  // Sends one chunk and waits until the port has handed all of it on.
  void Deliver(const std::string& chunk) {
    const std::size_t want = arrived + chunk.size();
    pty.Send(chunk);
    ASSERT_TRUE(Wait([&] { return arrived >= want; })) << "chunk not received: " << chunk;
  }

  test::PtyLine pty;
  TSerialPort port;
  TPacketFramer dollar, hash, raw;
  Seen d, h;
  std::size_t arrived = 0;
  Texts errors;
};

struct ReceiveCase {
  const char* name;
  std::vector<std::string> chunks;
  Texts dollar_packets, dollar_discards;
  std::u16string dollar_left;
  Texts hash_packets, hash_discards;
  std::u16string hash_left;
};

TEST_F(SerialPortTest, CutsWhatTheDeviceSendsIntoPackets) {
  const std::vector<ReceiveCase> cases = {
      {"split across chunks", {"$0001RQ12", "345678", "AB\r"},
       {u"0001RQ12345678AB"}, {}, u"", {}, {}, u"$0001RQ12345678AB\r"},
      {"two packets in one chunk", {"$0001RQ1111111100\r$0002RQ2222222200\r"},
       {u"0001RQ1111111100", u"0002RQ2222222200"}, {}, u"",
       {}, {}, u"$0001RQ1111111100\r$0002RQ2222222200\r"},
      {"both framers on one chunk", {"xx$0001AB\r#0002CD\r"},
       {u"0001AB"}, {u"xx"}, u"#0002CD\r", {u"0002CD"}, {u"xx$0001AB\r"}, u""},
      {"a later start string discards the other form", {"xx$0001AB\r#0002CD\r", "$0003EF\r"},
       {u"0001AB", u"0003EF"}, {u"xx", u"#0002CD\r"}, u"",
       {u"0002CD"}, {u"xx$0001AB\r"}, u"$0003EF\r"},
      {"a start string inside a packet", {"$00$01\r"}, {u"00$01"}, {}, u"", {}, {}, u"$00$01\r"},
      {"CR LF tail", {"$0001GR17\r\n", "$0002GR00\r"},
       {u"0001GR17", u"0002GR00"}, {u"\n"}, u"", {}, {}, u"$0001GR17\r\n$0002GR00\r"},
      {"an event split inside its word", {"#0001Gate-", "Open5A\r\n"},
       {}, {}, u"#0001Gate-Open5A\r\n", {u"0001Gate-Open5A"}, {}, u"\n"},
      {"bytes become characters one to one", {"$0001\xC0\xFF\x98\x01\r"},
       {u"0001\u00C0\u00FF\u0098\u0001"}, {}, u"", {}, {}, u"$0001\u00C0\u00FF\u0098\u0001\r"},
  };
  port.Open();
  for (const ReceiveCase& c : cases) {
    SCOPED_TRACE(c.name);
    TPacketFramer fresh_dollar, fresh_hash;  // clean buffers for every case
    for (auto [f, start] : {std::pair{&fresh_dollar, u"$"}, std::pair{&fresh_hash, u"#"}}) {
      f->StartString = start;
      f->StopString = u"\r";
    }
    Seen fd, fh;
    Record(fresh_dollar, fd);
    Record(fresh_hash, fh);
    fresh_dollar.SetComPort(&port);
    fresh_hash.SetComPort(&port);
    for (const std::string& chunk : c.chunks) Deliver(chunk);
    EXPECT_EQ(fd.packets, c.dollar_packets);
    EXPECT_EQ(fd.discards, c.dollar_discards);
    EXPECT_EQ(fresh_dollar.Buffer(), c.dollar_left);
    EXPECT_EQ(fh.packets, c.hash_packets);
    EXPECT_EQ(fh.discards, c.hash_discards);
    EXPECT_EQ(fresh_hash.Buffer(), c.hash_left);
  }
  EXPECT_TRUE(errors.empty());
}

TEST_F(SerialPortTest, PacketIsDeliveredOnceWhenItsStopStringArrives) {
  port.Open();
  Deliver("$0001RQ1234");
  EXPECT_TRUE(d.packets.empty());
  EXPECT_TRUE(dollar.InPacket());
  Deliver("5678AB");
  EXPECT_TRUE(d.packets.empty());
  Deliver("\r");
  EXPECT_EQ(d.packets, Texts{u"0001RQ12345678AB"});
  Deliver("\n");
  EXPECT_EQ(d.packets.size(), 1u);
}

TEST_F(SerialPortTest, CharactersWithoutStartStringAreDiscardedAt1024) {
  port.Open();
  Deliver(std::string(1023, 'x'));
  EXPECT_TRUE(d.discards.empty());
  EXPECT_EQ(dollar.Buffer().size(), 1023u);
  Deliver("x");
  EXPECT_EQ(d.discards, Texts{std::u16string(1024, u'x')});
  EXPECT_EQ(h.discards, Texts{std::u16string(1024, u'x')});
  EXPECT_TRUE(dollar.Buffer().empty());

  // A packet that never ends goes the same way, and the framer starts afresh.
  Deliver("$" + std::string(1022, 'y'));
  EXPECT_TRUE(dollar.InPacket());
  Deliver("y");
  ASSERT_EQ(d.discards.size(), 2u);
  EXPECT_EQ(d.discards[1], u"$" + std::u16string(1023, u'y'));
  EXPECT_FALSE(dollar.InPacket());
  Deliver("$0001AB\r");
  EXPECT_EQ(d.packets, Texts{u"0001AB"});
}

// A fresh line is cooked: it would echo what arrives and turn CR into LF. The port
// makes it raw, so the CR still ends the packet and nothing goes back to the device.
TEST_F(SerialPortTest, RawLineAndNothingWrittenBack) {
  termios t{};
  ASSERT_EQ(tcgetattr(pty.PortSide(), &t), 0);
  t.c_lflag |= ECHO | ICANON | ISIG;
  t.c_iflag |= ICRNL | IXON;
  t.c_oflag |= OPOST | ONLCR;
  ASSERT_EQ(tcsetattr(pty.PortSide(), TCSANOW, &t), 0);
  const tcflag_t cooked_lflag = t.c_lflag;

  port.Open();
  Deliver("$0001RQ12345678AB\r#0001Gate-Open5A\r\x03\x13");
  EXPECT_EQ(d.packets, Texts{u"0001RQ12345678AB"});
  EXPECT_EQ(h.packets, Texts{u"0001Gate-Open5A"});
  EXPECT_EQ(pty.Received(), "");

  // Closing hands the line back as it was found.
  port.Close();
  ASSERT_EQ(tcgetattr(pty.PortSide(), &t), 0);
  EXPECT_EQ(t.c_lflag, cooked_lflag);
}

struct SettingsCase {
  int baud, data_bits;
  SerialStopBits stop;
  SerialParity parity;
  SerialFlowControl flow;
  speed_t speed;
  tcflag_t cflag;  // among CSTOPB, PARODD, CMSPAR, CRTSCTS
  bool xon;
};

TEST_F(SerialPortTest, AppliesTheLineSettings) {
  // A pseudo-terminal keeps 8 data bits and no parity whatever it is told; the
  // rest of the control flags stay as the port set them.
  const tcflag_t mask = CSTOPB | PARODD | CMSPAR | CRTSCTS;
  const std::vector<SettingsCase> cases = {
      {9600, 8, SerialStopBits::One, SerialParity::None, SerialFlowControl::None, B9600, 0, false},
      {19200, 7, SerialStopBits::Two, SerialParity::Even, SerialFlowControl::Hardware, B19200,
       CSTOPB | CRTSCTS, false},
      {115200, 7, SerialStopBits::One, SerialParity::Odd, SerialFlowControl::Software, B115200,
       PARODD, true},
      {1200, 5, SerialStopBits::One, SerialParity::Mark, SerialFlowControl::None, B1200,
       PARODD | CMSPAR, false},
      {57600, 6, SerialStopBits::One, SerialParity::Space, SerialFlowControl::None, B57600,
       CMSPAR, false},
  };
  for (const SettingsCase& c : cases) {
    SCOPED_TRACE(c.baud);
    port.BaudRate = c.baud;
    port.DataBits = c.data_bits;
    port.StopBits = c.stop;
    port.Parity = c.parity;
    port.FlowControl = c.flow;
    port.Open();
    termios t{};
    ASSERT_EQ(tcgetattr(pty.PortSide(), &t), 0);
    EXPECT_EQ(cfgetispeed(&t), c.speed);
    EXPECT_EQ(t.c_cflag & mask, c.cflag);
    EXPECT_EQ((t.c_iflag & (IXON | IXOFF)) != 0, c.xon);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO), 0u);
    port.Close();
  }
}

TEST_F(SerialPortTest, OpenFailureNamesTheSystemError) {
  struct Case {
    const char* name;
    std::u16string device;
    int baud, data_bits;
    SerialStopBits stop;
    std::u16string suffix;
  };
  const std::u16string line = FromUtf8(pty.Name());
  const std::vector<Case> cases = {
      {"missing device", u"/dev/axg-no-such-serial-line", 9600, 8, SerialStopBits::One, u" (Error: 2)"},
      {"not a terminal", u"/dev/null", 9600, 8, SerialStopBits::One, u" (Error: 25)"},
      {"unknown speed", line, 12345, 8, SerialStopBits::One, u" (Error: 22)"},
      {"nine data bits", line, 9600, 9, SerialStopBits::One, u" (Error: 22)"},
      {"one and a half stop bits", line, 9600, 8, SerialStopBits::OneAndHalf, u" (Error: 22)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    port.DeviceName = c.device;
    port.BaudRate = c.baud;
    port.DataBits = c.data_bits;
    port.StopBits = c.stop;
    try {
      port.Open();
      ADD_FAILURE() << "Open succeeded";
    } catch (const Error& e) {
      EXPECT_TRUE(EndsWith(e.Message(), c.suffix)) << e.what();
      EXPECT_NE(e.Message().find(c.device), std::u16string::npos) << e.what();
    }
    EXPECT_FALSE(port.Connected());
  }
  // A failed attempt leaves nothing behind: the same port opens with good settings.
  port.DeviceName = line;
  port.BaudRate = 9600;
  port.DataBits = 8;
  port.StopBits = SerialStopBits::One;
  port.Open();
  Deliver("$0001AB\r");
  EXPECT_EQ(d.packets, Texts{u"0001AB"});
}

TEST_F(SerialPortTest, OpenTwiceCloseAndReopen) {
  EXPECT_FALSE(port.Connected());
  port.Close();  // closing a closed port does nothing
  port.Open();
  port.Open();  // already open: nothing happens, the chunk still arrives once
  EXPECT_TRUE(port.Connected());
  Deliver("$0001AA\r");
  EXPECT_EQ(d.packets, Texts{u"0001AA"});

  port.Close();
  EXPECT_FALSE(port.Connected());
  MessageLoop::Current().RunPending();
  EXPECT_EQ(arrived, 8u);

  port.Open();
  EXPECT_TRUE(port.Connected());
  Deliver("$0002BB\r#0002CC\r");
  EXPECT_EQ(d.packets, (Texts{u"0001AA", u"0002BB"}));
  EXPECT_EQ(h.packets, Texts{u"0002CC"});
  EXPECT_EQ(pty.Received(), "");
}

TEST_F(SerialPortTest, PulledCableClosesThePortAndReportsIt) {
  port.Open();
  Deliver("$0001AA\r");
  pty.Hangup();
  ASSERT_TRUE(Wait([&] { return !errors.empty(); }));
  EXPECT_FALSE(port.Connected());
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_TRUE(EndsWith(errors[0], u" (Error: 5)")) << ToUtf8(errors[0]);
  // Nothing more is reported: the line is no longer watched.
  MessageLoop::Current().RunFor(50);
  EXPECT_EQ(errors.size(), 1u);
}

TEST_F(SerialPortTest, HandlerErrorCostsNoPacket) {
  dollar.OnPacket = [this](TObject*, const std::u16string& s) {
    d.packets.push_back(s);
    if (d.packets.size() == 1) throw Error(u"handler failed");
  };
  port.Open();
  Deliver("$0001AA\r$0002BB\r#0003CC\r");
  EXPECT_EQ(d.packets, (Texts{u"0001AA", u"0002BB"}));
  EXPECT_EQ(h.packets, Texts{u"0003CC"});
  EXPECT_EQ(errors, Texts{u"handler failed"});
  Deliver("$0004DD\r");
  EXPECT_EQ(d.packets.size(), 3u);
  EXPECT_TRUE(port.Connected());
}

TEST_F(SerialPortTest, HandlerMayCloseOrDestroyThePort) {
  port.Open();
  dollar.OnPacket = [this](TObject*, const std::u16string& s) {
    d.packets.push_back(s);
    port.Close();
  };
  pty.Send("$0001AA\r#0001BB\r$0002CC\r");
  ASSERT_TRUE(Wait([&] { return !d.packets.empty(); }));
  MessageLoop::Current().RunFor(20);
  EXPECT_FALSE(port.Connected());
  // What had arrived before the close is still cut, by both framers.
  EXPECT_EQ(d.packets, (Texts{u"0001AA", u"0002CC"}));
  EXPECT_EQ(h.packets, Texts{u"0001BB"});

  auto own = std::make_unique<TSerialPort>();
  own->DeviceName = FromUtf8(pty.Name());
  TPacketFramer first, second;
  first.StartString = second.StartString = u"$";
  first.StopString = second.StopString = u"\r";
  int seen_by_second = 0;
  first.OnPacket = [&](TObject*, const std::u16string&) { own.reset(); };
  second.OnPacket = [&](TObject*, const std::u16string&) { ++seen_by_second; };
  first.SetComPort(own.get());
  second.SetComPort(own.get());
  own->Open();
  pty.Send("$0003DD\r");
  ASSERT_TRUE(Wait([&] { return own == nullptr; }));
  MessageLoop::Current().RunFor(20);
  EXPECT_EQ(seen_by_second, 0);
  EXPECT_EQ(first.ComPort(), nullptr);
  EXPECT_EQ(second.ComPort(), nullptr);
}

TEST(SerialPortFramers, AttachmentFollowsFramerAndPort) {
  TSerialPort a, b;
  TPacketFramer f;
  {
    TPacketFramer g;
    f.SetComPort(&a);
    g.SetComPort(&a);
    EXPECT_EQ(a.Framers().size(), 2u);
    f.SetComPort(&b);  // moves
    EXPECT_EQ(a.Framers(), std::vector<TPacketFramer*>{&g});
    EXPECT_EQ(b.Framers(), std::vector<TPacketFramer*>{&f});
  }
  EXPECT_TRUE(a.Framers().empty());  // a destroyed framer leaves its port
  {
    TSerialPort c;
    f.SetComPort(&c);
    EXPECT_TRUE(b.Framers().empty());
  }
  EXPECT_EQ(f.ComPort(), nullptr);  // a destroyed port lets its framers forget it
}

}  // namespace
}  // namespace axg
