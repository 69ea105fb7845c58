#pragma once
// Test harness of the gate controller: a connector that records the command texts
// it is given, a controller whose monitor lines are recorded and whose sweep can be
// run by hand, and one ordered trace of everything the controller raised.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "UConnector/FrameText.h"
#include "UConnector/UConnector.h"
#include "UturnstylerdeviceQ7/UturnstylerdeviceQ7.h"
#include "platform/clock.h"
#include "platform/error.h"
#include "platform/message_loop.h"
#include "platform/text.h"

namespace axg::test {

using Trace = std::vector<std::string>;

inline std::string U8(const std::u16string& s) { return ToUtf8(s); }

class RecordingConnector : public TDeviceConnector {
 public:
  bool connected = true;
  std::vector<std::u16string> sent;
  Trace* trace = nullptr;
  // Stands in for the send: may throw, or call back into the controller. Without
  // it the check code is the text's CRC-8, and nothing for the empty text.
  std::function<std::u16string(const std::u16string&)> on_send;

  bool GetIsConnected() override { return connected; }
  void SetIsConnected(bool Value) override { connected = Value; }
  void CloseAll() override {}
  std::u16string SendCommand(const std::u16string& AMess) override {
    sent.push_back(AMess);
    if (trace) trace->push_back("SEND " + U8(AMess));
    if (on_send) return on_send(AMess);
    return AMess.empty() ? std::u16string() : CRC8Str(AMess);
  }
};

class TestController : public TTurnStylerDeviceQ7 {
 public:
  using TTurnStylerDeviceQ7::DoCheckSQL;
  using TTurnStylerDeviceQ7::DoCheckStatus;
  using TTurnStylerDeviceQ7::p_hw_ProcessStack;
  using TTurnStylerDeviceQ7::p_hw_SecondsExceeded;
  using TTurnStylerDeviceQ7::StackTimeTimer;

  Trace* trace = nullptr;
  std::vector<std::u16string> monitor;
  void SendToMonitor(const std::u16string& AMess) override {
    monitor.push_back(AMess);
    if (trace) trace->push_back("MON " + U8(AMess));
    TTurnStylerDeviceQ7::SendToMonitor(AMess);
  }
  TRFidInfo& Entry(std::size_t i) { return *StackArray.at(i); }
  void ClearStack() { StackArray.clear(); }
  bool Busy() const { return IDBusy; }
  void SetBusy(bool v) { IDBusy = v; }
  Timer& SweepTimer() { return *StackTime; }
  bool TimerOn() const { return StackTime->Enabled(); }
};

// The controller wired as the add-in wires it, with a decision policy like the
// add-in's: kinds 1 and 2 answered 1 at once, kinds 0 and 3 left at -1. Tests
// override single kinds through `answers`, or replace the policy with `decide`.
class ControllerTest : public ::testing::Test {
 protected:
  static constexpr const char16_t* A = u"10.0.0.5";

  FakeClock clock{0.5};
  ScopedClock scoped{clock};
  Trace trace;
  RecordingConnector conn;
  TestController ctl;
  std::map<int, TVar> answers;
  std::function<void(int kind, TVar& Mess, TVar& AResult)> decide;

  ControllerTest() {
    conn.trace = &trace;
    ctl.trace = &trace;
    ctl.SetConnector(&conn);
    ctl.OnLog = [this](TObject* s, const std::u16string& t) {
      EXPECT_EQ(s, &ctl);
      trace.push_back("LOG " + U8(t));
    };
    ctl.OnError = [this](TObject* s, const std::u16string& t) {
      EXPECT_EQ(s, &ctl);
      trace.push_back("ERR " + U8(t));
    };
    ctl.OnCheckStatus = [this](TObject* s, const TVar& n, const TVar& ip, const TVar& d,
                               const TVar& ty, const TVar& c, const TVar& s1, const TVar& s2) {
      EXPECT_EQ(s, &ctl);
      trace.push_back("STATUS " + U8(n.ToText()) + "|" + U8(ip.ToText()) + "|" + U8(d.ToText()) +
                      "|" + U8(ty.ToText()) + "|" + U8(c.ToText()) + "|" + U8(s1.ToText()) + "|" +
                      U8(s2.ToText()));
    };
    ctl.OnCheckSQL = [this](TObject* s, const TVar& ip, const TVar& d, const TVar& ty,
                            const TVar& c, const TVar& st, TPicture* img, const TVar& kind,
                            TVar& Mess, TVar& AResult) {
      EXPECT_EQ(s, &ctl);
      EXPECT_EQ(img, nullptr);
      const int k = kind.ToInt();
      trace.push_back("SQL " + std::to_string(k) + "|" + U8(ip.ToText()) + "|" + U8(d.ToText()) +
                      "|" + U8(ty.ToText()) + "|" + U8(c.ToText()) + "|" + U8(st.ToText()));
      if (decide) return decide(k, Mess, AResult);
      auto it = answers.find(k);
      if (it != answers.end()) AResult = it->second;
      else if (k == 1 || k == 2) AResult = TVar(1);
    };
    ctl.OnGetImg = [this](TObject* s, const std::u16string& d, TPicture* img) {
      EXPECT_EQ(s, &ctl);
      EXPECT_NE(img, nullptr);
      trace.push_back("IMG " + U8(d));
    };
  }

  void In(const std::u16string& m) { ctl.p_hw_ProtocolIn(m); }
  void Pass() { ctl.p_hw_ProcessStack(); }
  void AdvanceMs(std::int64_t ms) { clock.AdvanceMs(ms); }
  Trace Take() {
    Trace t;
    t.swap(trace);
    return t;
  }
  int Count(const std::string& prefix) const {
    int n = 0;
    for (const auto& line : trace)
      if (line.rfind(prefix, 0) == 0) ++n;
    return n;
  }
  // A card request line of device `dev` at address A.
  static std::u16string Card(const std::u16string& dev, const std::u16string& card) {
    return u"$" + std::u16string(A) + u":" + dev + u"RQ" + card + u"XX";
  }
  static std::u16string Word(const std::u16string& dev, const std::u16string& word) {
    return u"#" + std::u16string(A) + u":" + dev + word + u"XX";
  }
  static std::u16string Code(const std::u16string& dev, const std::u16string& code) {
    return u"$" + std::u16string(A) + u":" + dev + code + u"XX";
  }
};

}  // namespace axg::test
