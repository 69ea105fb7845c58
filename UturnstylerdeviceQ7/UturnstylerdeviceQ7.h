#pragma once
// TTurnStylerDeviceQ7: the gate controller. Every request (a card presented, an
// input signal, a manual command) becomes an entry of the event stack; a 10 ms
// sweep puts new entries to the host as decision requests, turns the host's answer
// into open or close commands for the device connector and ages each entry until
// it is dropped. Reports go out through OnLog, OnError, OnCheckStatus and
// OnCheckSQL, and as monitor lines through SendToMonitor.
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "UturnstylerdeviceQ7/TVar.h"
#include "platform/component.h"
#include "transport/TMonitorSocket.h"

namespace axg {

class TDeviceConnector;
class Timer;
class TTrace;

// Placeholder card numbers: the card of a request made by a manual command
// (GateOpen for an address without an entry) and of one made by an input signal.
inline constexpr std::u16string_view kManualCard = u"-1-1-1-1-1";
inline constexpr std::u16string_view kInputSignalCard = u"-2-2-2-2-2";
inline bool IsPlaceholderCard(std::u16string_view card) {
  return card == kManualCard || card == kInputSignalCard;
}

// Role of the controller on the monitor link.
enum TConState : std::uint8_t { podNone = 0, podServer = 1, PodClient = 2 };

// The picture of an entry: created empty with the entry, offered to OnGetImg,
// freed with the entry.
struct TPicture {
  int Width = 0;
  int Height = 0;
  std::vector<std::uint8_t> Bytes;
};

// One entry of the event stack.
struct TRFidInfo {
  std::u16string IP;          // address of the controller that sent the request
  std::u16string DeviceType;  // "I", "T" or "D"
  std::u16string CardNumber;  // card, "-1-1-1-1-1" (manual), "-2-2-2-2-2" (input) or relay
  std::u16string Device;      // reader or gate on that controller
  std::u16string Status;      // "NEW", "WAIT", "TRUE", "FALSE", "OPEN", ...
  std::u16string StatusHard;  // "", "RELAY", "CRC-ERROR" or "GATEOPEN"
  // Two time bases. Starttime and CRCtime hold the local time of day, the form in
  // which the host and the monitor link know times. Ages, which decide when a
  // request runs out of time, are counted in monotonic milliseconds from StartMs,
  // so that they neither restart at midnight nor jump when the clock is set. The
  // age runs from StartMs to the highest reading seen: a monotonic clock that
  // steps back (readings alternating between the cores of an old multi-core
  // machine) stops the age until the clock is past that reading again, so an
  // age never runs faster than real time.
  double Starttime = 0;       // local time of day (fraction of a day) of creation
  std::unique_ptr<TPicture> Img = std::make_unique<TPicture>();
  std::int32_t sys = 0;
  std::u16string InfoMess;    // what the host returned in Mess; sent with commands
  std::u16string Command;     // last command text sent; emptied by the acknowledgement
  std::u16string CRC;         // check code the connector returned for Command
  bool Finish = false;        // last command acknowledged
  double CRCtime = 0;         // time of day of the last send
  std::int64_t StartMs = 0;   // monotonic milliseconds of creation: every age counts from here
  std::int64_t HighMs = 0;    // highest monotonic reading seen since: the age is HighMs - StartMs
  // What the host was last told of the entry (a report's word, device and card)
  // and when, on the monotonic clock: the sweep's report of an entry that has not
  // changed since is held back, but for a reminder a second.
  bool Told = false;
  std::u16string ToldWord, ToldDevice, ToldCard;
  std::int64_t ToldMs = 0;
  // Unique within the controller: tells an entry from a later one that the
  // allocator placed at the same address.
  std::uint64_t Id = 0;
};

using TCheckStatusDevice = std::function<void(
    TObject* Sender, const TVar& AName, const TVar& IP, const TVar& Device,
    const TVar& DeviceType, const TVar& Cardnumber, const TVar& Status1, const TVar& Status2)>;
using TCheckSQLDevice = std::function<void(
    TObject* Sender, const TVar& IP, const TVar& Device, const TVar& DeviceType,
    const TVar& Cardnumber, const TVar& Status, TPicture* Img, const TVar& AIndex,
    TVar& Mess, TVar& AResult)>;
using TGetImg = std::function<void(TObject* Sender, const std::u16string& Device, TPicture* Img)>;

class TTurnStylerDeviceQ7 : public TComponent {
 public:
  explicit TTurnStylerDeviceQ7(TComponent* AOwner = nullptr);
  // Frees everything owned, entries last to first, and unhooks the connector.
  // Raises no event.
  ~TTurnStylerDeviceQ7() override;

  // Events. An empty one is skipped.
  TLogEvent OnLog;
  // Error texts start with a two-digit code in brackets: [01] monitor client open
  // or send, [02] a line from the monitor server dropped, [03] status poll send,
  // [04] port not open or a command send, [05] the decision handler, [06] monitor
  // server open, [07] a monitor client send or the status-report handler, [08] an
  // error that escaped a sweep step or the handling of a monitor message (a log
  // or picture handler of the host, say), [12] an asynchronous socket error.
  TLogEvent OnError;
  TCheckStatusDevice OnCheckStatus;
  TCheckSQLDevice OnCheckSQL;
  TGetImg OnGetImg;

  // Properties.
  bool CheckET() const { return FCheckET; }
  void SetCheckET(bool Value) { FCheckET = Value; }
  const std::vector<std::u16string>& DeviceList() const { return FDeviceList; }
  void SetDeviceList(std::vector<std::u16string> Value) { FDeviceList = std::move(Value); }
  TDeviceConnector* Connector() const { return FConnector; }
  // Hooks the connector's OnGetData to this controller; none unhooks the one held.
  void SetConnector(TDeviceConnector* Value);
  std::int32_t RelayOpen() const { return FRelayOpen; }
  void SetRelayOpen(std::int32_t Value) { FRelayOpen = Value; }
  std::int32_t RelayClose() const { return FRelayClose; }
  void SetRelayClose(std::int32_t Value) { FRelayClose = Value; }
  std::int32_t RelayOpenDoor() const { return FRelayOpenDoor; }
  void SetRelayOpenDoor(std::int32_t Value) { FRelayOpenDoor = Value; }
  std::int32_t RelayCloseDoor() const { return FRelayCloseDoor; }
  void SetRelayCloseDoor(std::int32_t Value) { FRelayCloseDoor = Value; }
  std::int32_t TimeDelayOpen() const { return FTimeDelayOpen; }
  void SetTimeDelayOpen(std::int32_t Value) { FTimeDelayOpen = Value; }
  std::int32_t TimeOut() const { return FTimeOut; }
  void SetTimeOut(std::int32_t Value) { FTimeOut = Value; }
  // Monitor link settings. Writing one closes the monitor sockets it makes stale
  // and opens nothing: the socket of the role opens with the next monitor line.
  const std::u16string& Server() const { return FServer; }
  void SetServer(const std::u16string& Value);
  std::int32_t Port() const { return Fport; }
  void SetPort(std::int32_t Value);
  TConState RemoutDevice() const { return FRemoutDevice; }
  void SetRemoutDevice(TConState Value);
  // The port DeviceServer listens on (the system's choice when Port is 0); 0
  // while it does not listen.
  int MonitorListenPort() const;

  // The event stack, read-only for callers: number of entries and entry i.
  std::size_t StackCount() const { return StackArray.size(); }
  const TRFidInfo* StackItem(std::size_t i) const {
    return i < StackArray.size() ? StackArray[i].get() : nullptr;
  }

  void SetTimerInterval(std::int32_t AValue);

  // Which of the sweep's reports of a live entry ("STACK") go to the host and the
  // monitor link. Off (the default): one that differs from the last report made
  // for the entry (state word, device, card), and while the entry stays as it
  // is one reminder a second. On: every live entry on every pass. Reports made
  // by inbound messages are never held back.
  bool EveryPassReported() const { return FEveryPassReported; }
  void SetEveryPassReported(bool Value) { FEveryPassReported = Value; }
  // The longest time an unchanged entry goes without a report while it is off.
  static constexpr std::int64_t kReminderMs = 1000;

  // The trace of the entries' state words (not owned); none while it is off.
  void SetTrace(TTrace* Value) { FTrace = Value; }

  // Inbound messages.
  void p_hw_ProtocolIn(std::u16string AMess);
  std::int32_t p_hw_FindDevice(const std::u16string& IP, const std::u16string& Device) const;
  std::u16string p_hw_CheckStatus(std::u16string IP, std::u16string Device,
                                  std::u16string DeviceType, std::u16string Cardnumber,
                                  std::u16string Status);
  // The host's answer for an address. For an address without an entry "TRUE"
  // makes a manual request; any other word makes nothing and is logged.
  void p_hw_manual(std::u16string IP, std::u16string Device, std::u16string Status);
  // Command output. All of them return true; failures go to OnError.
  bool p_hw_SendComCommand(std::int32_t i, std::int32_t yesnot);
  bool p_hw_relay(const std::u16string& IP, const std::u16string& Device,
                  const std::u16string& Relay, std::int32_t yesnot);
  bool p_hw_CheckStatusAll();
  std::int32_t p_hw_FindDeviceByRelay(const std::u16string& IP, const std::u16string& Device,
                                      const std::u16string& DeviceType,
                                      const std::u16string& Relay);

  // Monitor link: whether it can carry a line (opening the socket of the role
  // when it is closed), and sending one. A line the link cannot carry now is
  // dropped; with the role podNone every line is.
  bool Connected();
  virtual void SendToMonitor(const std::u16string& AMess);

  // Longest monitor line taken from the monitor server, "&" not counted. A longer
  // one is dropped with an "[02] " report, never cut into pieces.
  static constexpr std::size_t kMaxMonitorLine = 64 * 1024;

 protected:
  void StackTimeTimer();
  void ConnectorGetData(TObject* Sender, const std::u16string& AMess);
  void DoCheckStatus(const std::u16string& AName, const std::u16string& IP,
                     const std::u16string& Device, const std::u16string& DeviceType,
                     const std::u16string& Cardnumber, const std::u16string& Status1,
                     const std::u16string& Status2);
  // One sweep pass over the stack. An error of one entry's steps is reported with
  // "[08] " and the pass goes on with the next entry.
  void p_hw_ProcessStack();
  static bool p_hw_SecondsExceeded(std::int32_t N, double A, double B);
  std::int32_t DoCheckSQL(std::int32_t i, std::int32_t kind);

  // Sweep timer (interval 10 ms, created disabled).
  std::unique_ptr<Timer> StackTime;
  // The monitor link: server role and client role, both created inactive.
  std::unique_ptr<TMonitorServer> DeviceServer;
  std::unique_ptr<TMonitorClient> DeviceClient;
  std::vector<std::unique_ptr<TRFidInfo>> StackArray;
  std::int32_t FTimeDelayOpen = 2;
  std::int32_t FTimeOut = 5;
  bool IDBusy = false;
  std::int32_t Fport = 0;
  std::u16string FServer;
  TConState FRemoutDevice = podNone;
  std::vector<std::u16string> FDeviceList;
  std::int32_t FRelayOpen = 1;
  std::int32_t FRelayClose = 0;
  std::int32_t FRelayCloseDoor = 0;
  std::int32_t FRelayOpenDoor = 3;
  TDeviceConnector* FConnector = nullptr;
  bool FCheckET = false;
  bool FEveryPassReported = false;
  TTrace* FTrace = nullptr;

 private:
  // An entry and the index it had when last looked up. Handlers may drop entries
  // (through a nested pass) or append them, and a pass drops entries ahead of
  // the ones it has still to visit, so an index goes stale; Find puts it right
  // and tells whether the entry is still in the stack. Entries are only ever
  // appended, with rising ids, so the stack stays in id order.
  struct Place {
    std::uint64_t id;
    std::size_t index;
    TRFidInfo* entry;
  };
  Place PlaceOf(std::size_t i) const { return {StackArray[i]->Id, i, StackArray[i].get()}; }
  bool Find(Place& at) const;
  // One entry's turn in a pass: its steps, until it is dropped or leaves the
  // stack under the pass. The pass goes on with the next entry in every case.
  void SweepEntry(Place& at);
  // Takes a copy: a handler reached from the send may drop the entry.
  void Resend(std::u16string command);
  bool SendAndRecord(Place& at, std::int32_t yesnot, const std::u16string& word);
  // Every change of an entry's state word goes through here, so that the trace
  // sees each one; with the trace off it is the plain assignment.
  void SetState(TRFidInfo& e, const std::u16string& word);
  // A change for the trace (from "" for a new entry, to "" for a dropped one).
  void TraceState(const TRFidInfo& e, std::u16string_view from, std::u16string_view to);
  bool Holds(const TRFidInfo* e) const;
  void Drop(Place& at);
  bool AgeExceeded(std::int64_t N, TRFidInfo& e) const;
  // The entry's highest monotonic reading so far, brought up to now: ages and the
  // report's reminder count on it, so a clock that steps back never runs them fast.
  std::int64_t HighWater(TRFidInfo& e) const;
  TRFidInfo* NewEntry(const std::u16string& IP, const std::u16string& Device,
                      const std::u16string& DeviceType, const std::u16string& CardNumber);
  void StatusReport(const std::u16string& AName, const std::u16string& IP,
                    const std::u16string& Device, const std::u16string& DeviceType,
                    const std::u16string& Cardnumber, const std::u16string& Status1,
                    const std::u16string& Status2);
  // A report of the entry (AName "STACK", "COME"): the sweep's ("STACK") is held
  // back when it would only repeat what the host was told (see
  // SetEveryPassReported).
  void EntryReport(const std::u16string& AName, TRFidInfo& e);
  // Remembers a report made for the entry.
  void NoteTold(TRFidInfo& e, const std::u16string& word, const std::u16string& device,
                const std::u16string& card);
  bool Repeats(TRFidInfo& e) const;
  void Log(const std::u16string& text);
  void Fail(const std::u16string& text);
  // Fail for reports whose caller must go on: an OnError handler that raises is
  // not allowed to take the caller down with it.
  void FailQuietly(const std::u16string& text);
  // The message of the error being handled; called inside a catch block.
  static std::u16string CaughtMessage();
  void ReportSendError(const std::u16string& text);
  void ReportSent(const std::u16string& text);
  void AddDevice(const std::u16string& Device);
  bool PortReady();

  // Monitor link handlers (MonitorLink.cpp).
  void DeviceServerClientRead(TObject* Sender, TMonitorConnection* Socket);
  void DeviceServerClientConnect(TObject* Sender, TMonitorConnection* Socket);
  void DeviceServerClientDisconnect(TObject* Sender, TMonitorConnection* Socket);
  void DeviceClientRead(TObject* Sender, TMonitorConnection* Socket);
  void DeviceSocketError(TObject* Sender, TMonitorConnection* Socket, TErrorEvent ErrorEvent,
                         int& ErrorCode);
  void OpenMonitorClient();
  void CloseMonitorClient();
  void HandleMonitorLines();
  void PostMonitorTurn();
  void CutMonitorLines(std::string_view bytes);
  void EndMonitorStream();
  void MonitorLineIn(const std::u16string& line);

  // What the monitor server sent that is not a whole line yet, in its 8-bit form;
  // FMonitorSkip while the rest of an overlong line is being thrown away.
  std::string FMonitorTail;
  bool FMonitorSkip = false;
  // Whole lines waiting to be handled, in the order received; an empty optional
  // stands for an overlong line that was dropped. A handler that lets the loop
  // run may bring in more lines: they join the queue behind the ones still
  // waiting, so every line is handled once and in order.
  std::deque<std::optional<std::u16string>> FMonitorLines;
  bool FMonitorReading = false;
  bool FMonitorTurnPosted = false;
  static constexpr std::size_t kMonitorLinesPerTurn = 64;
  // Expires with the object; work posted to the loop checks it first.
  std::shared_ptr<int> FLife = std::make_shared<int>(0);
  std::uint64_t FLastEntryId = 0;
};

// The two-hexadecimal-digit check value of a relay or status-poll frame, from
// its first seven characters. A non-digit where a digit belongs (or a frame
// shorter than seven characters) raises an axg::Error.
std::u16string RelayFrameCheck(std::u16string_view frame);

}  // namespace axg
