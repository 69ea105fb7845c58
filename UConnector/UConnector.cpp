#include "UConnector/UConnector.h"

#include <array>

#include "UConnector/FrameText.h"
#include "UConnector/TTcpSrvClient.h"
#include "platform/clock.h"
#include "platform/error.h"
#include "platform/text.h"
#include "transport/TLineServer.h"
#include "transport/TPacketFramer.h"
#include "trace/TTrace.h"

namespace axg {

namespace {

// The message of an error as the connector reports it.
std::u16string ErrorText(const std::exception& e) {
  if (const auto* err = dynamic_cast<const Error*>(&e)) return err->Message();
  return FromUtf8(e.what());
}

bool Contains(const std::u16string& text, std::u16string_view what) {
  return text.find(what) != std::u16string::npos;
}

}  // namespace

TDeviceConnector::TDeviceConnector(TComponent* AOwner) : TComponent(AOwner) {
  ComDataPacket1 = new TPacketFramer(this);
  ComDataPacket1->SetComPort(FComport);
  ComDataPacket1->StartString = u"$";
  ComDataPacket1->StopString = u"\r";
  ComDataPacket1->OnPacket = [this](TObject*, const std::u16string& Str) { GetCommand(Str); };

  ComDataPacket2 = new TPacketFramer(this);
  ComDataPacket2->SetComPort(FComport);
  ComDataPacket2->StartString = u"#";
  ComDataPacket2->StopString = u"\r";
  ComDataPacket2->OnPacket = [this](TObject*, const std::u16string& Str) { GetCommand(Str); };
}

TDeviceConnector::~TDeviceConnector() {
  // The server's handlers stay as they are: its owner destroys the server first
  // (or detaches it through SetWSocketServer), so it may no longer exist here.
  FComport = nullptr;
  delete ComDataPacket1;
  ComDataPacket1 = nullptr;
  delete ComDataPacket2;
  ComDataPacket2 = nullptr;
  FWSocketServer = nullptr;
}

void TDeviceConnector::Log(const std::u16string& text) {
  if (OnLog) OnLog(this, text);
}

void TDeviceConnector::Fail(const std::u16string& text) {
  if (OnError) OnError(this, text);
}

// ------------------------------------------------------------------- setters

void TDeviceConnector::SetComPort(ISerialPort* Value) {
  if (Value != FComport) {
    ComDataPacket1->SetComPort(Value);
    ComDataPacket2->SetComPort(Value);
  }
  FComport = Value;
}

void TDeviceConnector::SetWSocketServer(TLineServer* Value) {
  if (Value) {
    FWSocketServer = Value;
    Value->OnBgException = [this](TObject* s, const std::exception& e, bool& c) { WS_BgException(s, e, c); };
    Value->OnClientConnect = [this](TObject* s, TLineConnection* c, std::uint16_t e) { WS_ClientConnect(s, c, e); };
    Value->OnClientDisconnect = [this](TObject* s, TLineConnection* c, std::uint16_t e) {
      WS_ClientDisconnect(s, c, e);
    };
    Value->OnDataSent = [this](TObject* s, std::uint16_t e) { WS_DataSent(s, e); };
    Value->OnSessionClosed = [this](TObject* s, std::uint16_t e) { WS_SessionClosed(s, e); };
    Value->OnNotice = [this](TObject*, const std::u16string& text) {
      if (OnNotice) OnNotice(this, text);
    };
  } else if (FWSocketServer) {
    FWSocketServer->OnNotice = nullptr;
    FWSocketServer->OnBgException = nullptr;
    FWSocketServer->OnClientConnect = nullptr;
    FWSocketServer->OnClientDisconnect = nullptr;
    FWSocketServer->OnDataSent = nullptr;
    FWSocketServer->OnSessionClosed = nullptr;
    FWSocketServer = nullptr;
  }
}

// --------------------------------------------------------------- IsConnected

bool TDeviceConnector::GetIsConnected() {
  bool result = false;
  if (FComport && FConnectorType == podComPort) {
    result = FComport->Connected();
    if (!result) {
      try {
        FComport->Open();
        result = true;
      } catch (const std::exception& e) {
        Fail(u"[03] " + ErrorText(e));
      }
    }
  }
  if (FWSocketServer && FConnectorType == podNet) {
    FWSocketServer->ClientClass = &MakeClient<TTcpSrvClient>;
    if (FWSocketServer->State() != wsListening) {
      try {
        FWSocketServer->Listen();
      } catch (const std::exception& e) {
        // A failed listen (port taken, no network) shows as "not connected"; the
        // next reading tries again. The reason is kept for the add-in's Start.
        FListenFailure = ErrorText(e);
      } catch (...) {
        FListenFailure = u"Unknown error";
      }
    }
    result = FWSocketServer->State() == wsListening;
    if (result) FListenFailure.clear();
  }
  return result;
}

void TDeviceConnector::SetIsConnected(bool Value) {
  if (Value) {
    GetIsConnected();
    return;
  }
  if (FComport && FConnectorType == podComPort) {
    try {
      FComport->Close();
    } catch (const std::exception& e) {
      Fail(u"[03] " + ErrorText(e));
    }
  }
  if (FWSocketServer && FConnectorType == podNet) FWSocketServer->Close();
}

void TDeviceConnector::CloseAll() {
  if (!FWSocketServer) return;
  for (int i = 0; i < FWSocketServer->ClientCount(); ++i) FWSocketServer->Client(i)->Close();
  if (FWSocketServer->State() == wsListening) {
    try {
      FWSocketServer->Close();
    } catch (const std::exception& e) {
      Fail(u"Server Close " + ErrorText(e));
    }
  }
}

// ----------------------------------------------------------- server handlers

void TDeviceConnector::WS_BgException(TObject*, const std::exception&, bool& CanClose) {
  // An error in a server handler must not take the listening socket down.
  CanClose = false;
}

void TDeviceConnector::WS_ClientConnect(TObject* Sender, TLineConnection* Client, std::uint16_t) {
  if (FTrace) FTrace->Accepted(Client->PeerAddr(), Client->PeerPort());
  if (OnLog) {
    Log(u"Client connected. Remote: " + Client->PeerAddr() + u"/" + Client->PeerPort() + u" Local: " +
        Client->GetXAddr() + u"/" + Client->GetXPort());
    if (auto* server = dynamic_cast<TLineServer*>(Sender))
      Log(u"There is now " + IntToStr(server->ClientCount()) + u" clients connected.");
  }

  auto* client = dynamic_cast<TTcpSrvClient*>(Client);
  if (!client) return;  // not made by our client class: left as the server made it
  client->LineMode = true;
  client->LineEdit = true;
  client->LineLimit = 160;
  client->OnDataAvailable = [this](TObject* s, std::uint16_t e) { ClientDataAvailable(s, e); };
  client->OnLineLimitExceeded = [this](TObject* s, long n, bool& clear) { ClientLineLimitExceeded(s, n, clear); };
  client->OnBgException = [this](TObject* s, const std::exception& e, bool& c) { ClientBgException(s, e, c); };
  client->ConnectTime = CurrentClock().Now();
}

void TDeviceConnector::WS_ClientDisconnect(TObject* Sender, TLineConnection* Client, std::uint16_t Error) {
  if (FTrace && Client) FTrace->Closed(Client->PeerAddr(), Client->PeerPort(), Error);
  auto* server = dynamic_cast<TLineServer*>(Sender);
  if (!server) return;
  for (int i = 0; i < server->ClientCount(); ++i) {
    TLineConnection* c = server->Client(i);
    if (c->State() == wsInvalid) c->Close();
  }
}

void TDeviceConnector::WS_DataSent(TObject*, std::uint16_t ErrCode) {
  if (OnLog) Log(u"Data Sent Error code " + IntToStr(ErrCode));
}

void TDeviceConnector::WS_SessionClosed(TObject*, std::uint16_t) { Log(u"Session closed"); }

// ------------------------------------------------------- connection handlers

void TDeviceConnector::ClientBgException(TObject*, const std::exception&, bool& CanClose) {
  // An error while a device line was handled drops that device's connection.
  CanClose = true;
}

void TDeviceConnector::ClientDataAvailable(TObject* Sender, std::uint16_t) {
  auto* client = dynamic_cast<TTcpSrvClient*>(Sender);
  if (!client) return;
  std::u16string line = client->ReceiveStr();
  // The records the line's handling makes are its road; the end is marked also
  // when a handler throws.
  struct LineEnd {
    TTrace* trace;
    ~LineEnd() {
      if (trace) trace->LineDone();
    }
  } line_end{FTrace};
  if (FTrace) FTrace->LineIn(client->PeerAddr(), client->PeerPort(), line);
  while (!line.empty() && (line.back() == u'\n' || line.back() == u'\r')) line.pop_back();
  client->RcvdLine = line;
  if (OnLog) Log(u"IP" + client->PeerAddr());
  if (OnLog) Log(u"Received from " + client->PeerAddr() + u": " + client->RcvdLine);
  ProcessData(client);
}

void TDeviceConnector::ClientLineLimitExceeded(TObject* Sender, long, bool& ClearData) {
  auto* client = dynamic_cast<TLineConnection*>(Sender);
  if (!client) return;
  if (OnLog) Log(u"Line limit exceeded from " + client->PeerAddr() + u". Closing.");
  if (FTrace) FTrace->Fault(u"Line limit exceeded from " + client->PeerAddr() + u"/" + client->PeerPort());
  ClearData = true;
  client->Close();
}

void TDeviceConnector::GetCommand(const std::u16string& AMess) {
  if (OnGetData) OnGetData(this, AMess);
}

void TDeviceConnector::ProcessData(TTcpSrvClient* Client) {
  if (!Client) return;
  // Copies: a handler of a message may touch the connection.
  const std::u16string line = Client->RcvdLine;
  const std::u16string P = Client->PeerAddr();
  const std::u16string D = Copy(line, 2, 4);
  const std::u16string R = Copy(line, 2, 1000);
  const bool usable = !TrimCtl(line).empty() && Client->State() == wsConnected;
  // A line that carries several codes makes several messages; each beyond the
  // first counts as another line against the server's work of the turn.
  int messages = 0;
  auto up = [&](const std::u16string& message) {
    ++messages;
    GetCommand(message);
  };

  // 1. Short event codes: each test independently, in this order.
  if (usable && line[0] == u'#') {
    if (Contains(line, u"BT")) up(AddCRC8(u"#" + P + u":" + D + u"InG-Activ"));
    if (Contains(line, u"GR")) up(AddCRC8(u"#" + P + u":" + D + u"Relay"));
    if (Contains(line, u"ET")) up(u"$" + P + u":" + R);
    if (Contains(line, u"GO")) up(AddCRC8(u"$" + P + u":" + D + u"GR"));
  }

  // 2. Coded reports: the first form that matches.
  if (usable && line[0] == u'$') {
    if (Contains(line, u"PING")) {
      const std::u16string echo = AddCRC8(u"$" + D + u"ECHO");
      Client->SendStr(echo);
      if (FTrace) FTrace->FrameOut(P, Client->PeerPort(), echo);
      up(AddCRC8(u"#" + P + u":" + D + u"HardReset"));
    } else if (Contains(line, u"ET")) {
      up(AddCRC8(u"#" + P + u":" + D + u"HardReset"));
      up(u"$" + P + u":" + R);
    } else {
      up(u"$" + P + u":" + R);
    }
  }

  if (messages > 1 && FWSocketServer) FWSocketServer->ChargeLines(messages - 1);

  // 3. "test" to every connection that can carry it. Connections that have closed
  // but are still listed are skipped. Nobody waits for these bytes: the server
  // sends them ahead of the next frame for each connection or within its
  // broadcast interval, so that a busy site costs one write per connection per
  // interval rather than one per connection per line.
  if (!FWSocketServer) return;
  static const std::u16string test = AddCRC8(u"test");
  FWSocketServer->Broadcast(test);
  // One record for the frame every connection gets, not one per connection.
  if (FTrace) FTrace->FrameToAll(test, ConnectedCount());
}

int TDeviceConnector::ConnectedCount() const {
  int n = 0;
  for (int i = 0; FWSocketServer && i < FWSocketServer->ClientCount(); ++i)
    n += FWSocketServer->Client(i)->State() == wsConnected;
  return n;
}

// ------------------------------------------------------------ command output

TTcpSrvClient* TDeviceConnector::FindClientByIP(const std::u16string& IP) const {
  if (!FWSocketServer) return nullptr;
  TTcpSrvClient* found = nullptr;
  for (int i = 0; i < FWSocketServer->ClientCount(); ++i) {
    auto* c = dynamic_cast<TTcpSrvClient*>(FWSocketServer->Client(i));
    if (c && c->PeerAddr() == IP) found = c;  // the last accepted one wins
  }
  return found;
}

std::u16string TDeviceConnector::SendCommand(const std::u16string& AMess) {
  const TCommandText cmd = ParseCommandText(AMess);
  if (cmd.code != u"GO" && cmd.code != u"CL" && cmd.code != u"CP" && cmd.code != u"SH") return {};
  if (!FWSocketServer || !cmd.has_colon) return {};
  TTcpSrvClient* client = FindClientByIP(cmd.address);
  if (!client) return {};

  const std::u16string head = u"$" + cmd.device;
  // Sends (when asked) and logs one frame; returns it.
  auto step = [&](const std::u16string& body, bool send) {
    const std::u16string frame = AddCRC8(head + body);
    if (send) client->SendStr(frame);
    if (send && FTrace) FTrace->FrameOut(client->PeerAddr(), client->PeerPort(), frame);
    Log(frame);
    return frame;
  };
  auto checksum = [](const std::u16string& frame) { return frame.substr(frame.size() - 2); };

  if (cmd.code == u"GO") {
    step(u"GO", true);
    step(u"GR", true);
    return {};
  }
  if (cmd.code == u"CL") return checksum(step(u"PH", true));
  if (cmd.code == u"CP") return checksum(step(u"CP", true));

  // "SH": the display lines, each centred in 20 characters; blank ones are not sent.
  bool any = false;
  for (const auto& line : cmd.lines) any = any || !line.empty();
  step(u"CS", any);
  static constexpr std::array<std::u16string_view, 4> kLine = {u"PSN1001", u"PSN1002", u"PSN1003", u"PSN1004"};
  std::u16string result;
  for (std::size_t n = 0; n < kLine.size(); ++n) {
    const std::u16string frame = step(std::u16string(kLine[n]) + CenterStr(cmd.lines[n], 20), !cmd.lines[n].empty());
    if (n == 0) result = checksum(frame);
  }
  return result;
}

void TDeviceConnector::SendDirectCommand(const std::u16string& IP, const std::u16string& AMess) {
  if (!FWSocketServer) return;
  TTcpSrvClient* client = FindClientByIP(IP);
  if (!client) return;
  const std::u16string frame = AddCRC8(AMess);
  client->SendStr(frame);
  if (FTrace) FTrace->FrameOut(client->PeerAddr(), client->PeerPort(), frame);
  Log(frame);
}

}  // namespace axg
