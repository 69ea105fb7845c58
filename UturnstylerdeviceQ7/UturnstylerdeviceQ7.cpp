// Controller state: construction and destruction, properties, the connector hook,
// the sweep timer and the way the controller raises its reports.
#include "UturnstylerdeviceQ7/UturnstylerdeviceQ7.h"

#include <algorithm>
#include <exception>

#include "UConnector/UConnector.h"
#include "platform/clock.h"
#include "platform/error.h"
#include "platform/message_loop.h"
#include "platform/text.h"
#include "trace/TTrace.h"

namespace axg {

TTurnStylerDeviceQ7::TTurnStylerDeviceQ7(TComponent* AOwner) : TComponent(AOwner) {
  // Settings and handlers take their defaults from the member initialisers:
  // no connector, TimeDelayOpen 2, TimeOut 5, CheckET off, relays 1/0/3/0,
  // role podNone, Server empty, Port 0, every event unassigned.
  StackTime = std::make_unique<Timer>([this] { StackTimeTimer(); }, 10);

  DeviceServer = std::make_unique<TMonitorServer>();
  DeviceServer->OnClientRead = [this](TObject* Sender, TMonitorConnection* Socket) {
    DeviceServerClientRead(Sender, Socket);
  };
  DeviceServer->OnClientConnect = [this](TObject* Sender, TMonitorConnection* Socket) {
    DeviceServerClientConnect(Sender, Socket);
  };
  DeviceServer->OnClientDisconnect = [this](TObject* Sender, TMonitorConnection* Socket) {
    DeviceServerClientDisconnect(Sender, Socket);
  };
  DeviceServer->OnClientError = [this](TObject* Sender, TMonitorConnection* Socket,
                                       TErrorEvent ErrorEvent, int& ErrorCode) {
    DeviceSocketError(Sender, Socket, ErrorEvent, ErrorCode);
  };

  DeviceClient = std::make_unique<TMonitorClient>();
  DeviceClient->OnRead = [this](TObject* Sender, TMonitorConnection* Socket) {
    DeviceClientRead(Sender, Socket);
  };
  DeviceClient->OnError = [this](TObject* Sender, TMonitorConnection* Socket,
                                 TErrorEvent ErrorEvent, int& ErrorCode) {
    DeviceSocketError(Sender, Socket, ErrorEvent, ErrorCode);
  };
}

TTurnStylerDeviceQ7::~TTurnStylerDeviceQ7() {
  FLife.reset();
  // Closing raises nothing: the server drops its connections without the
  // disconnect notification, and the client has none.
  DeviceServer->Close();
  DeviceServer.reset();
  DeviceClient->Close();
  DeviceClient.reset();
  if (StackTime) {
    StackTime->SetEnabled(false);
    StackTime.reset();
  }
  while (!StackArray.empty()) {
    StackArray.back()->Img.reset();
    StackArray.pop_back();
  }
  FDeviceList.clear();
  if (FConnector) FConnector->OnGetData = nullptr;
}

void TTurnStylerDeviceQ7::SetConnector(TDeviceConnector* Value) {
  if (Value) {
    FConnector = Value;
    Value->OnGetData = [this](TObject* Sender, const std::u16string& AMess) {
      ConnectorGetData(Sender, AMess);
    };
  } else if (FConnector) {
    FConnector->OnGetData = nullptr;
  }
  FConnector = Value;
}

void TTurnStylerDeviceQ7::SetTimerInterval(std::int32_t AValue) {
  bool was_enabled = StackTime->Enabled();
  StackTime->SetEnabled(false);
  StackTime->SetInterval(AValue > 0 ? static_cast<unsigned>(AValue) : 0u);
  StackTime->SetEnabled(was_enabled);
}

void TTurnStylerDeviceQ7::ConnectorGetData(TObject*, const std::u16string& AMess) {
  p_hw_ProtocolIn(AMess);
}

void TTurnStylerDeviceQ7::StackTimeTimer() {
  // The tick comes from the message loop: nothing may escape into it. A pass
  // reports the errors of its entries itself; this catches what is left (a system
  // out of memory, say).
  try {
    p_hw_ProcessStack();
  } catch (...) {
    FailQuietly(u"[08] " + CaughtMessage());
  }
}

void TTurnStylerDeviceQ7::Log(const std::u16string& text) {
  if (OnLog) OnLog(this, text);
}

void TTurnStylerDeviceQ7::Fail(const std::u16string& text) {
  if (OnError) OnError(this, text);
}

void TTurnStylerDeviceQ7::FailQuietly(const std::u16string& text) {
  try {
    Fail(text);
  } catch (...) {
  }
}

std::u16string TTurnStylerDeviceQ7::CaughtMessage() {
  try {
    throw;
  } catch (const Error& E) {
    return E.Message();
  } catch (const std::exception& E) {
    return FromUtf8(E.what());
  } catch (...) {
    return u"Unknown error";
  }
}

void TTurnStylerDeviceQ7::DoCheckStatus(const std::u16string& AName, const std::u16string& IP,
                                        const std::u16string& Device,
                                        const std::u16string& DeviceType,
                                        const std::u16string& Cardnumber,
                                        const std::u16string& Status1,
                                        const std::u16string& Status2) {
  if (!OnCheckStatus) return;
  try {
    OnCheckStatus(this, TVar(AName), TVar(IP), TVar(Device), TVar(DeviceType), TVar(Cardnumber),
                  TVar(Status1), TVar(Status2));
  } catch (...) {
    FailQuietly(u"[07] " + CaughtMessage());
  }
}

// The values are taken by reference but copied into the monitor line only after
// DoCheckStatus: callers pass copies, never fields of an entry, because the
// handler may change or drop the entry.
void TTurnStylerDeviceQ7::StatusReport(const std::u16string& AName, const std::u16string& IP,
                                       const std::u16string& Device,
                                       const std::u16string& DeviceType,
                                       const std::u16string& Cardnumber,
                                       const std::u16string& Status1,
                                       const std::u16string& Status2) {
  DoCheckStatus(AName, IP, Device, DeviceType, Cardnumber, Status1, Status2);
  SendToMonitor(u"STATUS!" + AName + u"!" + IP + u"!" + Device + u"!" + DeviceType + u"!" +
                Cardnumber + u"!" + Status1 + u"!" + Status2 + u"&");
}

// The sweep comes to every live entry on every pass, up to a hundred times a
// second. The host's script takes each report on the host's thread and its queue
// drops the newest event when full, so reports that only repeat what it was told
// would crowd out the decision requests and make a late answer later still. A
// report carries news: a word, device or card the host has not been told for the
// entry, or, while nothing changes, a reminder a second that the request lives.
void TTurnStylerDeviceQ7::EntryReport(const std::u16string& AName, TRFidInfo& e) {
  if (AName == u"STACK" && !FEveryPassReported && Repeats(e)) return;
  const std::u16string ip = e.IP, device = e.Device, type = e.DeviceType, card = e.CardNumber,
                       status = e.Status;
  NoteTold(e, status, device, card);
  StatusReport(AName, ip, device, type, card, status, status);
}

void TTurnStylerDeviceQ7::NoteTold(TRFidInfo& e, const std::u16string& word, const std::u16string& device,
                                   const std::u16string& card) {
  e.Told = true;
  e.ToldWord = word;
  e.ToldDevice = device;
  e.ToldCard = card;
  e.ToldMs = HighWater(e);
}

// The reminder waits on the entry's own high-water mark, as its ages do, so a
// clock that steps back or bounces between cores never brings it forward.
bool TTurnStylerDeviceQ7::Repeats(TRFidInfo& e) const {
  if (!e.Told || e.ToldWord != e.Status || e.ToldDevice != e.Device || e.ToldCard != e.CardNumber) return false;
  return HighWater(e) - e.ToldMs < kReminderMs;
}

TRFidInfo* TTurnStylerDeviceQ7::NewEntry(const std::u16string& IP, const std::u16string& Device,
                                         const std::u16string& DeviceType,
                                         const std::u16string& CardNumber) {
  auto e = std::make_unique<TRFidInfo>();
  e->IP = IP;
  e->Device = Device;
  e->DeviceType = DeviceType;
  e->CardNumber = CardNumber;
  Clock& clock = CurrentClock();
  e->Starttime = clock.TimeOfDay();
  e->StartMs = clock.MonotonicMs();
  e->HighMs = e->StartMs;
  e->Id = ++FLastEntryId;
  SetState(*e, u"NEW");
  StackArray.push_back(std::move(e));
  return StackArray.back().get();
}

void TTurnStylerDeviceQ7::SetState(TRFidInfo& e, const std::u16string& word) {
  if (FTrace) TraceState(e, e.Status, word);
  e.Status = word;
}

void TTurnStylerDeviceQ7::TraceState(const TRFidInfo& e, std::u16string_view from, std::u16string_view to) {
  if (from != to) FTrace->State(e.Id, e.IP, e.Device, e.DeviceType, e.CardNumber, from, to);
}

bool TTurnStylerDeviceQ7::Holds(const TRFidInfo* e) const {
  for (const auto& p : StackArray)
    if (p.get() == e) return true;
  return false;
}

// A pass that drops entries leaves every later index stale by one per drop:
// the lookup is a binary search, not a scan of the whole stack per step.
bool TTurnStylerDeviceQ7::Find(Place& at) const {
  if (at.index < StackArray.size() && StackArray[at.index]->Id == at.id) return true;
  const auto it = std::lower_bound(StackArray.begin(), StackArray.end(), at.id,
                                   [](const std::unique_ptr<TRFidInfo>& e, std::uint64_t id) { return e->Id < id; });
  if (it == StackArray.end() || (*it)->Id != at.id) return false;
  at.index = static_cast<std::size_t>(it - StackArray.begin());
  return true;
}

}  // namespace axg
