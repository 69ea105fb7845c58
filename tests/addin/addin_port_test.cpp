// Start and Stop on the real port 1001. Run inside a private network namespace
// (or under the "port1001" lock), so two add-ins in one process may compete for
// the port without disturbing anything else.
#include <gtest/gtest.h>

#include "AddInObj/AddInObject.h"
#include "addin/fake_host.h"
#include "platform/message_loop.h"
#include "platform/socket.h"
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
  std::u16string Call(LONG method) {
    Params none({});
    Variant result;
    EXPECT_EQ(lang->CallAsFunc(method, result.get(), none.get()), S_OK);
    return result.Text();
  }
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

}  // namespace
}  // namespace axg::test
