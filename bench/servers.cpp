#include "bench/servers.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "AddInLib/AddInLib.h"
#include "AddInObj/AddInFactory.h"
#include "AddInObj/AddInObject.h"
#include "UturnstylerdeviceQ7/UturnstylerdeviceQ7.h"
#include "bench/bench_os.h"
#include "platform/message_loop.h"
#include "platform/ole.h"
#include "platform/socket.h"
#include "platform/text.h"

namespace axg::bench {

namespace {

const std::u16string kReadFromPort = u"%Считано с порта% ";

// The host's connection object with the host's event queue.
class BenchHost final : public IDispatch, public IAsyncEvent, public IErrorLog, public IStatusLine {
 public:
  BenchHost(SharedState* state, int notify_fd) : state_(state), notify_fd_(notify_fd) {}

  void Attach(ILanguageExtender* lang, AddInObject* object) {
    lang_ = lang;
    object_ = object;
  }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    *ppv = nullptr;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IDispatch)) *ppv = static_cast<IDispatch*>(this);
    else if (IsEqualIID(riid, IID_IAsyncEvent)) *ppv = static_cast<IAsyncEvent*>(this);
    else if (IsEqualIID(riid, IID_IErrorLog)) *ppv = static_cast<IErrorLog*>(this);
    else if (IsEqualIID(riid, IID_IStatusLine)) *ppv = static_cast<IStatusLine*>(this);
    if (!*ppv) return E_NOINTERFACE;
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
  ULONG STDMETHODCALLTYPE Release() override { return --refs_; }  // lives as long as the process
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE SetEventBufferDepth(LONG depth) override {
    depth_ = depth;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetEventBufferDepth(LONG* depth) override {
    *depth = depth_;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE CleanBuffer() override {
    queue_.clear();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE AddError(LPCOLESTR, EXCEPINFO*) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE SetStatusLine(BSTR) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE ResetStatusLine() override { return S_OK; }

  HRESULT STDMETHODCALLTYPE ExternalEvent(BSTR source, BSTR name, BSTR data) override {
    const std::int64_t now = NowNs();
    state_->events.fetch_add(1, std::memory_order_relaxed);
    Event ev{BstrToU16(source), BstrToU16(name), BstrToU16(data)};
    if (ev.name == u"LOG") {
      if (ev.data.compare(0, kReadFromPort.size(), kReadFromPort) == 0) {
        state_->lines.fetch_add(1, std::memory_order_relaxed);
        // A keep-alive reaches the controller as its "HardReset" word, with a check.
        if (ev.data.find(u"HardReset", kReadFromPort.size()) != std::u16string::npos)
          state_->alive_events.fetch_add(1, std::memory_order_relaxed);
      }
    } else if (ev.name == u"STATUS") {
      if (EndsWith(ev.data, u";HardReset")) state_->alive_events.fetch_add(1, std::memory_order_relaxed);
    } else if (ev.name == u"CHECK") {
      Arrived(ev, now);
    }
    if (queue_.size() >= static_cast<std::size_t>(depth_)) {
      state_->lost.fetch_add(1, std::memory_order_relaxed);
      if (ev.name == u"CHECK") {
        const Check c = Parse(ev.data);
        if (c.index >= 0 && c.index < kMaxDevices) state_->dev[c.index].checks_lost.fetch_add(1);
      }
      return S_OK;
    }
    queue_.push_back(std::move(ev));
    if (!posted_) {
      posted_ = true;
      MessageLoop::Current().Post([this] { Deliver(); });
    }
    return S_OK;
  }

 private:
  struct Event {
    std::u16string source, name, data;
  };
  struct Check {
    std::u16string ip, device;
    int index = -1;
    int kind = -1;
  };

  static bool EndsWith(const std::u16string& text, std::u16string_view end) {
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
  }

  static Check Parse(const std::u16string& data) {
    Check c;
    std::vector<std::u16string> f(1);
    for (char16_t ch : data) {
      if (ch == u';') f.emplace_back();
      else f.back() += ch;
    }
    if (f.size() != 5) return c;
    c.ip = f[0];
    c.device = f[1];
    int number = 0;
    for (char16_t ch : f[1]) number = ch >= u'0' && ch <= u'9' ? number * 10 + (ch - u'0') : -100000;
    c.index = number - 1;
    if (f[4].size() == 1 && f[4][0] >= u'0' && f[4][0] <= u'3') c.kind = f[4][0] - u'0';
    return c;
  }

  // A decision request or an outcome reached the queue.
  void Arrived(const Event& ev, std::int64_t now) {
    const Check c = Parse(ev.data);
    if (c.index < 0 || c.index >= kMaxDevices) return;
    DeviceSlot& slot = state_->dev[c.index];
    switch (c.kind) {
      case 0:
        slot.stack_at_check.store(static_cast<std::uint32_t>(object_->Controller()->StackCount()));
        slot.check_ns.store(now);
        slot.requests.fetch_add(1);
        return;
      case 1: slot.timeouts.fetch_add(1); break;
      case 2: slot.finished.fetch_add(1); break;
      case 3: slot.noanswer.fetch_add(1); break;
      default: return;
    }
    // The entry is dropped as soon as this event returns: the device may go on.
    EndNote note{static_cast<std::uint16_t>(c.index), static_cast<std::uint8_t>(c.kind), 0};
    WriteAll(notify_fd_, &note, sizeof note);
  }

  // Hands the queued events to the script. A script that takes its time gets one
  // event a turn, so that the add-in's sockets and timer are served between them
  // as the host's window messages are; one that takes none gets all of them.
  void Deliver() {
    posted_ = false;
    const std::int64_t event_cost = state_->event_cost_ns.load(std::memory_order_relaxed);
    const std::int64_t check_cost = state_->check_cost_ns.load(std::memory_order_relaxed);
    for (std::size_t n = event_cost > 0 || check_cost > 0 ? 1 : queue_.size(); n > 0 && !queue_.empty(); --n) {
      Event ev = std::move(queue_.front());
      queue_.pop_front();
      const std::int64_t cost = ev.name == u"CHECK" && Parse(ev.data).kind == 0 ? check_cost : event_cost;
      const std::int64_t start = NowNs();
      // The thread is held as the host's interpreter holds it.
      for (std::int64_t left = cost; left > 0; left = start + cost - NowNs())
        std::this_thread::sleep_for(std::chrono::nanoseconds(left));
      Script(ev);
      state_->script_ns.fetch_add(NowNs() - start, std::memory_order_relaxed);
    }
    if (!queue_.empty() && !posted_) {
      posted_ = true;
      MessageLoop::Current().Post([this] { Deliver(); });
    }
  }

  // The script: answers the decision requests of devices marked for it.
  void Script(const Event& ev) {
    if (ev.name != u"CHECK") return;
    const Check c = Parse(ev.data);
    if (c.kind != 0 || c.index < 0 || c.index >= kMaxDevices) return;
    DeviceSlot& slot = state_->dev[c.index];
    if (!slot.answer.load()) return;
    slot.gateopen_ns.store(NowNs());
    GateOpen(c.ip, c.device, u"TRUE");
  }

  void GateOpen(const std::u16string& ip, const std::u16string& device, const std::u16string& answer) {
    SAFEARRAY* params = SafeArrayCreateVector(VT_VARIANT, 0, 3);
    const std::u16string* texts[] = {&ip, &device, &answer};
    for (LONG i = 0; i < 3; ++i) {
      VARIANT v;
      VariantInit(&v);
      v.vt = VT_BSTR;
      v.bstrVal = U16ToBstr(*texts[i]);
      SafeArrayPutElement(params, &i, &v);
      VariantClear(&v);
    }
    VARIANT result;
    VariantInit(&result);
    lang_->CallAsFunc(3, &result, &params);
    VariantClear(&result);
    SafeArrayDestroy(params);
  }

  SharedState* state_;
  int notify_fd_;
  ILanguageExtender* lang_ = nullptr;
  AddInObject* object_ = nullptr;
  std::atomic<ULONG> refs_{1};
  LONG depth_ = 1;
  std::deque<Event> queue_;
  bool posted_ = false;
};

// ------------------------------------------------------------------ floor

class FloorServer {
 public:
  FloorServer(SharedState* state, std::uint16_t port) : state_(state), loop_(MessageLoop::Current()) {
    listener_ = SocketListen("0.0.0.0", port, 5);
    loop_.WatchSocket(listener_, kSockAccept, [this](unsigned, int) { AcceptAll(); });
  }

 private:
  struct Conn {
    SocketHandle s = kInvalidSocket;
    std::string in;
    std::string out;
    bool dead = false;
  };

  void AcceptAll() {
    for (int i = 0; i < 64; ++i) {
      SocketAddress peer;
      SocketHandle s = SocketAccept(listener_, &peer);
      if (s == kInvalidSocket) return;
      auto c = std::make_unique<Conn>();
      c->s = s;
      Conn* raw = c.get();
      conns_.push_back(std::move(c));
      loop_.WatchSocket(s, kSockRead | kSockClose, [this, raw](unsigned ev, int) { OnSocket(raw, ev); });
      state_->clients.fetch_add(1);
      Send(*raw, "Welcome\r\n");
    }
  }

  void OnSocket(Conn* c, unsigned ev) {
    if (ev & kSockWrite) {
      Flush(*c);
    } else {
      Read(*c);
    }
    Sweep();
  }

  void Read(Conn& c) {
    char buf[4096];
    std::size_t total = 0;
    bool ended = false;
    while (total < 64 * 1024) {
      std::ptrdiff_t n = 0;
      try {
        n = SocketRecv(c.s, buf, sizeof buf);
      } catch (const SocketError&) {
        ended = true;
        break;
      }
      if (n < 0) break;
      if (n == 0) {
        ended = true;
        break;
      }
      c.in.append(buf, static_cast<std::size_t>(n));
      total += static_cast<std::size_t>(n);
    }
    std::size_t start = 0;
    for (std::size_t end; (end = c.in.find("\r\n", start)) != std::string::npos; start = end + 2) {
      state_->lines.fetch_add(1, std::memory_order_relaxed);
      for (auto& other : conns_)
        if (!other->dead) Send(*other, "testBF");
    }
    c.in.erase(0, start);
    if (ended) c.dead = true;
  }

  void Send(Conn& c, std::string_view bytes) {
    if (c.dead) return;
    if (c.out.empty()) {
      std::size_t sent = 0;
      try {
        sent = SocketSend(c.s, bytes.data(), bytes.size());
      } catch (const SocketError&) {
        c.dead = true;
        return;
      }
      bytes.remove_prefix(sent);
      if (bytes.empty()) return;
      loop_.UpdateSocket(c.s, kSockRead | kSockClose | kSockWrite);
    }
    c.out.append(bytes);
  }

  void Flush(Conn& c) {
    std::size_t sent = 0;
    try {
      sent = SocketSend(c.s, c.out.data(), c.out.size());
    } catch (const SocketError&) {
      c.dead = true;
      return;
    }
    c.out.erase(0, sent);
    if (c.out.empty()) loop_.UpdateSocket(c.s, kSockRead | kSockClose);
  }

  void Sweep() {
    for (std::size_t i = 0; i < conns_.size();) {
      if (conns_[i]->dead) {
        SocketClose(conns_[i]->s);
        conns_.erase(conns_.begin() + static_cast<std::ptrdiff_t>(i));
      } else {
        ++i;
      }
    }
  }

  SharedState* state_;
  MessageLoop& loop_;
  SocketHandle listener_ = kInvalidSocket;
  std::vector<std::unique_ptr<Conn>> conns_;
};

// Copies the loop's callback durations where the driver reads them; starts them
// afresh first when the driver asked for it.
void PublishLoopFigures(MessageLoop& loop, LoopFigures& out) {
  if (out.reset.load(std::memory_order_acquire)) {
    loop.ResetStats();
    out.reset.store(0, std::memory_order_release);
  }
  const CallbackStats st = loop.Stats();
  for (int b = 0; b < CallbackStats::kBuckets; ++b)
    out.histogram[b].store(st.histogram[static_cast<std::size_t>(b)], std::memory_order_relaxed);
  out.max_ns.store(st.max_ns, std::memory_order_relaxed);
  out.count.store(st.count, std::memory_order_release);
}

}  // namespace

int RunFullServer(SharedState* state, int notify_fd, bool tick_probe) {
  MessageLoop& loop = MessageLoop::Current();
  auto* host = new BenchHost(state, notify_fd);
  void* p = nullptr;
  if (CreateAddInObject(nullptr, IID_IInitDone, &p) != S_OK) return 1;
  auto* init = static_cast<IInitDone*>(p);
  if (init->QueryInterface(IID_ILanguageExtender, &p) != S_OK) return 1;
  auto* lang = static_cast<ILanguageExtender*>(p);
  host->Attach(lang, static_cast<AddInObject*>(init));
  init->Init(host);

  SAFEARRAY* none = SafeArrayCreateVector(VT_VARIANT, 0, 0);
  VARIANT result;
  VariantInit(&result);
  lang->CallAsFunc(1, &result, &none);  // Start
  const bool listening = result.vt == VT_BSTR && BstrToU16(result.bstrVal) == u"TRUE";
  VariantClear(&result);
  SafeArrayDestroy(none);
  state->ready.store(listening ? 1 : -1);
  if (!listening) return 2;
  if (tick_probe) {
    // A callback that has not returned yet is in none of the loop's figures; a
    // watcher beside the loop's thread sees it.
    std::thread([state, &loop] {
      for (;;) {
        state->loop.running_since_ns.store(loop.CallbackRunningSinceNs(), std::memory_order_relaxed);
        SleepMs(2);
      }
    }).detach();
  }
  if (tick_probe)
    loop.StartTimer(10, [state, &loop] {
      const std::uint64_t n = state->ticks.load(std::memory_order_relaxed);
      state->tick_ns[n % kTickRing].store(NowNs(), std::memory_order_relaxed);
      state->ticks.store(n + 1, std::memory_order_release);
      PublishLoopFigures(loop, state->loop);
    });
  loop.Run();
  return 0;
}

int RunFloorServer(SharedState* state, std::uint16_t port) {
  try {
    FloorServer server(state, port);
    state->ready.store(1);
    MessageLoop::Current().Run();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "floor server: %s\n", e.what());
    state->ready.store(-1);
    return 2;
  }
  return 0;
}

}  // namespace axg::bench
