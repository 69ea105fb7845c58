// Monitor link: one controller mirrors its reports to other instances over TCP.
//
// Server role: DeviceServer listens on Port; every report goes as a monitor line
// to each connected monitor client, and whatever a client sends is interpreted
// by p_hw_ProtocolIn as if the connector had delivered it.
// Client role: DeviceClient connects to Server:Port; device messages are
// forwarded there unchanged, and the server's "LOG!", "ERROR!" and "STATUS!"
// lines come back as this controller's OnLog and OnCheckStatus.
//
//   "LOG!" text "&"    "ERROR!" text "&"
//   "STATUS!" AName "!" IP "!" Device "!" DeviceType "!" Cardnumber "!" Status1 "!" Status2 "&"
//
// Sockets open lazily, from Connected, which every SendToMonitor calls; changing
// a setting only closes them. Socket failures never leave the controller: they
// become "[06] ", "[01] ", "[07] " and "[12] Client Error Code " reports; a line
// from the monitor server too long to take becomes "[02] ", and a host handler
// that fails while a monitor message is handled "[08] ".
#include <exception>

#include "UConnector/UConnector.h"
#include "UturnstylerdeviceQ7/UturnstylerdeviceQ7.h"

#include "platform/message_loop.h"
#include "platform/error.h"
#include "platform/text.h"

namespace axg {
namespace {

std::u16string MessageOf(const std::exception& E) {
  if (auto* e = dynamic_cast<const Error*>(&E)) return e->Message();
  return FromUtf8(E.what());
}

bool StartsWith(const std::u16string& text, std::u16string_view prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

// Of a "STATUS!" line, at most this many characters after "STATUS!" are read.
constexpr std::size_t kStatusBody = 1000;

}  // namespace

// ---------------------------------------------------------------------------
// Settings: each closes what the new value makes stale and opens nothing.

void TTurnStylerDeviceQ7::SetRemoutDevice(TConState Value) {
  FRemoutDevice = Value;
  if (Value != podServer) DeviceServer->Close();
  if (Value != PodClient) CloseMonitorClient();
}

void TTurnStylerDeviceQ7::SetPort(std::int32_t Value) {
  Fport = Value;
  DeviceServer->Close();
  DeviceServer->SetPort(Value);
  CloseMonitorClient();
  DeviceClient->SetPort(Value);
}

void TTurnStylerDeviceQ7::SetServer(const std::u16string& Value) {
  FServer = Value;
  CloseMonitorClient();
  DeviceClient->SetAddress(Value);
}

int TTurnStylerDeviceQ7::MonitorListenPort() const { return DeviceServer->BoundPort(); }

// ---------------------------------------------------------------------------
// Sending

bool TTurnStylerDeviceQ7::Connected() {
  switch (FRemoutDevice) {
    case podNone:
      return FConnector != nullptr && FConnector->GetIsConnected();
    case podServer:
      if (!DeviceServer->Active()) {
        try {
          DeviceServer->Open();
        } catch (const std::exception& E) {
          FailQuietly(u"[06] " + MessageOf(E));
        }
      }
      return FConnector != nullptr && FConnector->GetIsConnected() && DeviceServer->Active();
    case PodClient:
      if (!DeviceClient->Active()) OpenMonitorClient();
      // False until the connection is established: the line that started the
      // attempt is dropped.
      return DeviceClient->Active();
  }
  return false;
}

void TTurnStylerDeviceQ7::SendToMonitor(const std::u16string& AMess) {
  if (FRemoutDevice == podServer) {
    if (!Connected()) return;
    // Each line goes to each connection in one piece: the connection queues what
    // the system does not take at once, and one that falls too far behind is
    // closed by the socket layer rather than given a stream with a hole in it.
    const std::string bytes = ToAnsi(AMess);
    const int count = DeviceServer->ConnectionCount();
    for (int i = 0; i < count; ++i) {
      // A handler that let the loop run may have had closed connections removed.
      if (i >= DeviceServer->ConnectionCount()) break;
      std::shared_ptr<TMonitorConnection> conn = DeviceServer->Connection(i)->shared_from_this();
      try {
        conn->SendText(bytes);
      } catch (const std::exception& E) {
        if (!OnError) continue;
        FailQuietly(u"[07] " + MessageOf(E));
        conn->Close();
      }
    }
  } else if (FRemoutDevice == PodClient) {
    if (!Connected()) return;
    try {
      DeviceClient->Connection()->SendText(ToAnsi(AMess));
    } catch (const std::exception& E) {
      FailQuietly(u"[01] " + MessageOf(E));
      // A connection that lost a line would carry the next ones after a hole.
      CloseMonitorClient();
    }
  }
}

void TTurnStylerDeviceQ7::OpenMonitorClient() {
  // A new connection is a new stream; the previous one ends here.
  if (!DeviceClient->Connecting()) EndMonitorStream();
  try {
    DeviceClient->Open();
  } catch (const std::exception& E) {
    FailQuietly(u"[01] " + MessageOf(E));
  }
}

void TTurnStylerDeviceQ7::CloseMonitorClient() {
  DeviceClient->Close();
  EndMonitorStream();
}

// The stream of the monitor connection is over. The whole lines it left with
// the socket (they wait there while a turn's worth is queued) are still handled,
// in later turns; opening the connection again would discard them. A line left
// unfinished must not be glued to the first bytes of the next stream.
void TTurnStylerDeviceQ7::EndMonitorStream() {
  if (TMonitorConnection* c = DeviceClient->Connection()) CutMonitorLines(c->ReceiveText());
  FMonitorTail.clear();
  FMonitorSkip = false;
  if (!FMonitorReading) PostMonitorTurn();
}

// ---------------------------------------------------------------------------
// Server role handlers

void TTurnStylerDeviceQ7::DeviceServerClientRead(TObject*, TMonitorConnection* Socket) {
  // Everything received is one message: a client forwards device messages
  // without a separator, so two that arrive together are interpreted together.
  const std::u16string text = FromAnsi(Socket->ReceiveText());
  if (text.empty()) return;
  try {
    p_hw_ProtocolIn(text);
  } catch (...) {
    // A handler of the host failed while the message was interpreted.
    FailQuietly(u"[08] " + CaughtMessage());
  }
}

void TTurnStylerDeviceQ7::DeviceServerClientConnect(TObject*, TMonitorConnection* Socket) {
  if (!OnLog) return;
  try {
    Log(u"%Client Connected% " + Socket->RemoteAddress());
  } catch (...) {
  }
}

void TTurnStylerDeviceQ7::DeviceServerClientDisconnect(TObject*, TMonitorConnection* Socket) {
  if (!OnLog) return;
  try {
    Log(u"%Client Disconnected% " + Socket->RemoteAddress());
  } catch (...) {
  }
}

// Both sockets: a code set to 0 tells the socket layer the error is dealt with.
// Without OnError, or when it fails, the code stays and the layer reports it.
void TTurnStylerDeviceQ7::DeviceSocketError(TObject*, TMonitorConnection*, TErrorEvent,
                                            int& ErrorCode) {
  if (!OnError) return;
  try {
    OnError(this, u"[12] Client Error Code " + IntToStr(ErrorCode));
    ErrorCode = 0;
  } catch (...) {
  }
}

// ---------------------------------------------------------------------------
// Client role: lines from the monitor server

void TTurnStylerDeviceQ7::DeviceClientRead(TObject*, TMonitorConnection* Socket) {
  // While a turn's worth of lines waits, the bytes stay with the socket, which
  // stops reading once it holds enough: the server's flow control holds it back.
  if (FMonitorLines.size() < kMonitorLinesPerTurn) CutMonitorLines(Socket->ReceiveText());
  if (FMonitorReading) return;  // the call further up the stack handles them
  HandleMonitorLines();
}

// Handles a turn's worth of the monitor lines that have arrived; the rest wait
// for the next turn, so that a server sending many lines at once does not hold
// the host's thread (each line becomes an event for the host).
void TTurnStylerDeviceQ7::HandleMonitorLines() {
  FMonitorReading = true;
  for (std::size_t n = 0; n < kMonitorLinesPerTurn && !FMonitorLines.empty(); ++n) {
    std::optional<std::u16string> line = std::move(FMonitorLines.front());
    FMonitorLines.pop_front();
    if (!line) {
      FailQuietly(u"[02] Monitor line longer than " + IntToStr(static_cast<std::int64_t>(kMaxMonitorLine)) +
                  u" characters dropped");
      continue;
    }
    try {
      MonitorLineIn(*line);
    } catch (...) {
      // A handler of the host failed while the line was handled.
      FailQuietly(u"[08] " + CaughtMessage());
    }
  }
  FMonitorReading = false;
  PostMonitorTurn();
}

void TTurnStylerDeviceQ7::PostMonitorTurn() {
  if (FMonitorLines.empty() || FMonitorTurnPosted) return;
  FMonitorTurnPosted = true;
  std::weak_ptr<int> alive = FLife;
  PostTracked(MessageLoop::Current(), [this, alive] {
    if (alive.expired()) return;
    FMonitorTurnPosted = false;
    TMonitorConnection* c = DeviceClient ? DeviceClient->Connection() : nullptr;
    if (c && FMonitorLines.size() < kMonitorLinesPerTurn) CutMonitorLines(c->ReceiveText());
    if (!FMonitorReading) HandleMonitorLines();
  });
}

// Lines are cut on the 8-bit text: "&" is the same byte in every code page, and
// a character is never split between two reads of the tail.
void TTurnStylerDeviceQ7::CutMonitorLines(std::string_view bytes) {
  std::size_t pos = 0;
  while (pos < bytes.size()) {
    const std::size_t amp = bytes.find('&', pos);
    const std::size_t end = amp == std::string_view::npos ? bytes.size() : amp;
    const std::string_view piece = bytes.substr(pos, end - pos);
    if (!FMonitorSkip) {
      if (FMonitorTail.size() + piece.size() > kMaxMonitorLine) {
        FMonitorTail.clear();
        FMonitorSkip = true;
        FMonitorLines.emplace_back(std::nullopt);
      } else {
        FMonitorTail.append(piece);
      }
    }
    if (amp == std::string_view::npos) break;
    if (!FMonitorSkip) FMonitorLines.emplace_back(FromAnsi(FMonitorTail));
    FMonitorTail.clear();
    FMonitorSkip = false;
    pos = amp + 1;
  }
}

// One line without its "&".
void TTurnStylerDeviceQ7::MonitorLineIn(const std::u16string& line) {
  if (StartsWith(line, u"LOG!")) {
    Log(line.substr(4));
  } else if (StartsWith(line, u"ERROR!")) {
    // The server's error is this controller's log: its own errors are its own.
    Log(line.substr(6));
  } else if (StartsWith(line, u"STATUS!")) {
    // Six fields end at "!", the seventh takes the rest, "!" included. With
    // fewer fields the last one present is Status2 and the missing ones between
    // are empty.
    const std::u16string body = line.substr(7, kStatusBody);
    std::u16string f[7];
    std::size_t start = 0;
    for (int n = 0; n < 6; ++n) {
      const std::size_t bang = body.find(u'!', start);
      if (bang == std::u16string::npos) break;
      f[n] = body.substr(start, bang - start);
      start = bang + 1;
    }
    f[6] = body.substr(start);
    DoCheckStatus(f[0], f[1], f[2], f[3], f[4], f[5], f[6]);
  }
}

}  // namespace axg
