// Start and Stop on the real port 1001. Run inside a private network namespace
// (or under the "port1001" lock), so two add-ins in one process may compete for
// the port without disturbing anything else.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>

#include "AddInObj/AddInObject.h"
#include "UConnector/FrameText.h"
#include "UturnstylerdeviceQ7/UturnstylerdeviceQ7.h"
#include "addin/fake_host.h"
#include "platform/message_loop.h"
#include "platform/socket.h"
#include "platform/text.h"
#include "tools/trace/reader.h"
#include "transport/TLineServer.h"

namespace axg::test {
namespace {

struct AddIn {
  AddIn() {
    void* p = nullptr;
    EXPECT_EQ(CreateAddInObject(nullptr, IID_ILanguageExtender, &p), S_OK);
    lang = static_cast<ILanguageExtender*>(p);
    EXPECT_EQ(lang->QueryInterface(IID_IInitDone, &p), S_OK);
    init = static_cast<IInitDone*>(p);
    EXPECT_EQ(init->Init(&host), S_OK);
  }
  ~AddIn() {
    init->Done();
    init->Release();
    lang->Release();
  }
  std::u16string Call(LONG method, std::vector<Variant> args = {}) {
    Params params(std::move(args));
    Variant result;
    EXPECT_EQ(lang->CallAsFunc(method, result.get(), params.get()), S_OK);
    return result.Text();
  }
  AddInObject* Object() const { return static_cast<AddInObject*>(init); }
  FakeHost host;
  IInitDone* init = nullptr;
  ILanguageExtender* lang = nullptr;
};

bool CanConnect() {
  SocketHandle s = kInvalidSocket;
  try {
    s = SocketConnect("127.0.0.1", 1001);
  } catch (const SocketError&) {
    return false;  // refused at once
  }
  bool connected = false, done = false;
  MessageLoop& loop = MessageLoop::Current();
  loop.WatchSocket(s, kSockConnect, [&](unsigned, int error) {
    connected = error == 0;
    done = true;
  });
  loop.RunUntil([&] { return done; }, 2000);
  loop.UnwatchSocket(s);
  SocketClose(s);
  return connected;
}

TEST(AddInPort, StartListensStopClosesAndABusyPortGivesFalse) {
  AddIn first;
  AddIn second;
  EXPECT_EQ(first.Call(1), u"TRUE");
  EXPECT_TRUE(CanConnect());
  EXPECT_EQ(second.Call(1), u"FALSE") << "the port is taken";
  EXPECT_TRUE(second.host.errors.empty()) << "a busy port is an answer, not an error";
  // The reason: in ErrorMsg and a LOG event, with the system's words.
  Variant why;
  ASSERT_EQ(second.lang->GetPropVal(0, why.get()), S_OK);
  EXPECT_EQ(why.Text().rfind(u"Cannot listen on port 1001: ", 0), 0u) << ToUtf8(why.Text());
  EXPECT_NE(why.Text().find(u"'bind'"), std::u16string::npos) << ToUtf8(why.Text());
  ASSERT_FALSE(second.host.events.empty());
  EXPECT_EQ(second.host.events.back().name, u"LOG");
  EXPECT_EQ(second.host.events.back().data, why.Text());

  EXPECT_EQ(first.Call(2), u"TRUE");
  EXPECT_FALSE(CanConnect());
  EXPECT_EQ(first.Call(2), u"TRUE") << "Stop may be called again";

  EXPECT_EQ(second.Call(1), u"TRUE") << "free again after Stop";
  EXPECT_TRUE(CanConnect());
  EXPECT_EQ(first.Call(1), u"FALSE");
  EXPECT_EQ(second.Call(1), u"TRUE") << "Start while listening answers TRUE";
}

TEST(AddInPort, DoneClosesThePort) {
  {
    AddIn a;
    EXPECT_EQ(a.Call(1), u"TRUE");
    ASSERT_EQ(a.init->Done(), S_OK);
    EXPECT_FALSE(CanConnect());
  }
  AddIn b;
  EXPECT_EQ(b.Call(1), u"TRUE");
}

// One record of the trace as the test compares it: its kind and the fields that
// identify it. The STATUS reports of every sweep tick and the LOG events are left
// out: how many there are depends on the timing.
std::string Brief(const trace::Record& r) {
  std::string out = r.ev;
  for (const char* f : {"addr", "port", "bytes", "name", "data", "method", "answer", "error", "ip", "device",
                        "type", "card", "from", "to", "why"}) {
    auto it = r.text.find(f);
    if (it != r.text.end()) out += std::string(" ") + f + "=" + it->second;
  }
  for (const char* f : {"n", "id"})
    if (r.number.count(f)) out += std::string(" ") + f + "=" + std::to_string(r.number.at(f));
  for (const auto& a : r.args) out += " [" + a + "]";
  return out;
}

TEST(AddInPort, TheTraceOfAKnownRoadHoldsItsRecordsInOrder) {
  namespace fs = std::filesystem;
  const fs::path dir = fs::temp_directory_path() / ("axg-road-" + std::to_string(std::random_device{}()));
  fs::create_directories(dir);
  const fs::path file = dir / "trace.jsonl";
  ::setenv("AX_GATE_TRACE", file.c_str(), 1);
  MessageLoop& loop = MessageLoop::Current();
  std::string port;
  {
    AddIn a;
    ::unsetenv("AX_GATE_TRACE");
    ASSERT_NE(a.Object()->Trace(), nullptr);
    ASSERT_EQ(a.Call(1), u"TRUE");

    // A device on loopback: connects, presents a card, and reads what comes back.
    SocketHandle s = SocketConnect("127.0.0.1", 1001);
    std::string received;
    bool connected = false;
    loop.WatchSocket(s, kSockConnect | kSockRead, [&](unsigned ev, int error) {
      if (ev == kSockConnect) connected = error == 0;
      char buf[512];
      std::ptrdiff_t n;
      if (ev == kSockRead)
        while ((n = SocketRecv(s, buf, sizeof buf)) > 0) received.append(buf, static_cast<std::size_t>(n));
    });
    ASSERT_TRUE(loop.RunUntil([&] { return connected; }, 2000));
    port = std::to_string(SocketLocalAddress(s).port);
    auto send = [&](const std::string& line) { ASSERT_EQ(SocketSend(s, line.data(), line.size()), line.size()); };

    send("$0001RQ0000123456AB\r\n");
    ASSERT_TRUE(loop.RunUntil([&] { return !a.host.DataOf(u"CHECK").empty(); }, 2000));
    ASSERT_EQ(a.Call(3, {Variant(u"127.0.0.1"), Variant(u"0001"), Variant(u"TRUE")}), u"TRUE");
    const std::string go = ToUtf8(AddCRC8(u"$0001GO")), gr = ToUtf8(AddCRC8(u"$0001GR"));
    ASSERT_TRUE(loop.RunUntil([&] { return received.find(gr) != std::string::npos; }, 2000)) << received;
    send("#0001GR00\r\n");  // the relay
    // The answer to the relay line ("test" again) has come once a "test" follows the GR frame.
    const std::string test_frame = ToUtf8(AddCRC8(u"test"));
    ASSERT_TRUE(loop.RunUntil([&] { return received.find(test_frame, received.find(gr)) != std::string::npos; }, 2000));
    send("$0001GR00\r\n");  // the pass is done
    ASSERT_TRUE(loop.RunUntil([&] { return a.host.DataOf(u"CHECK").size() == 2; }, 3000));
    ASSERT_TRUE(loop.RunUntil([&] { return a.Object()->Controller()->StackCount() == 0; }, 2000));
    ASSERT_EQ(a.Call(2), u"TRUE");
    ASSERT_TRUE(loop.RunUntil([&] { return a.Object()->Server()->ClientCount() == 0; }, 2000));
    loop.UnwatchSocket(s);
    SocketClose(s);
  }  // Done writes the trace out

  std::ifstream in(file, std::ios::binary);
  const auto read = trace::ReadRecords(in);
  EXPECT_EQ(read.bad_lines, 0u);
  const auto records = trace::MergeFiles({read.records});  // what a record leaves to the ones before
  std::vector<std::string> got;
  for (const auto& r : records)
    if (!(r.ev == "event" && (r.Get("name") == "STATUS" || r.Get("name") == "LOG"))) got.push_back(Brief(r));

  // Every record of the request carries its entry's id; the "test" frame each
  // line makes is told by the line's record.
  const std::string dev = " addr=127.0.0.1", id = " id=1";
  const std::string entry = " ip=127.0.0.1 device=0001 type=T card=0000123456";
  const std::vector<std::string> expected = {
      "start",
      "call method=Start answer=TRUE",
      "accept" + dev + " port=" + port,
      "line" + dev + " bytes=$0001RQ0000123456AB\r\n" + id,
      "state" + entry + " from= to=NEW" + id,
      "event name=CHECK data=127.0.0.1;0001;T;0000123456;0" + id,
      "state from=NEW to=WAIT" + id,
      "state from=WAIT to=TRUE" + id,
      "call method=GateOpen answer=TRUE" + id + " [127.0.0.1] [0001] [TRUE]",
      "frame" + dev + " bytes=" + ToUtf8(AddCRC8(u"$0001GO")) + id,
      "frame" + dev + " bytes=" + ToUtf8(AddCRC8(u"$0001GR")) + id,
      "state from=TRUE to=OPEN" + id,
      "line" + dev + " bytes=#0001GR00\r\n" + id,
      "line" + dev + " bytes=$0001GR00\r\n" + id,
      "state from=OPEN to=FINISH" + id,
      "event name=CHECK data=127.0.0.1;0001;T;0000123456;2" + id,
      "state from=FINISH to=" + id,
      "call method=Stop answer=TRUE",
      "close" + dev + " port=" + port + " why=closed",
  };
  EXPECT_EQ(got, expected);

  // The reader makes the same road of it.
  const auto roads = trace::BuildRoads(records, {});
  ASSERT_EQ(roads.size(), 1u);
  ASSERT_EQ(roads[0].requests.size(), 1u);
  std::vector<std::string> steps;
  for (const auto& step : roads[0].requests[0].steps) steps.push_back(step.name);
  EXPECT_EQ(steps, (std::vector<std::string>{"card", "CHECK", "GateOpen", "GO", "relay", "line", "finished", "CHECK",
                                             "dropped"}));
  std::error_code ec;
  fs::remove_all(dir, ec);
}

}  // namespace
}  // namespace axg::test
