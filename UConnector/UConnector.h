#pragma once
// TDeviceConnector: stands between the gate controller and the gate devices.
// It selects the transport (the line-mode TCP server or a serial port), turns each
// device line into connector messages for OnGetData, answers keep-alives, and
// writes the checksummed frames that SendCommand builds from a command text.
#include <cstdint>
#include <string>

#include "platform/component.h"

namespace axg {

class TLineServer;
class TLineConnection;
class TTcpSrvClient;
class TPacketFramer;
class ISerialPort;
class TTrace;

enum TConnectorType : std::uint8_t { podEmpty = 0, podComPort = 1, podNet = 2 };

class TDeviceConnector : public TComponent {
 public:
  explicit TDeviceConnector(TComponent* AOwner = nullptr);
  ~TDeviceConnector() override;

  ISerialPort* ComPort() const { return FComport; }
  void SetComPort(ISerialPort* Value);
  TLineServer* WSocketServer() const { return FWSocketServer; }
  void SetWSocketServer(TLineServer* Value);
  TConnectorType ConnectorType() const { return FConnectorType; }
  void SetConnectorType(TConnectorType Value) { FConnectorType = Value; }
  // The trace of connections, lines and frames (not owned); none while it is off.
  void SetTrace(TTrace* Value) { FTrace = Value; }

  TLogEvent OnError;
  TLogEvent OnLog;
  TLogEvent OnGetData;
  // What the host should hear of the network side: a device held back for
  // sending too fast, accepting paused for lack of system resources.
  TLogEvent OnNotice;

  // Reading opens the selected transport when it is not open and tells whether it
  // is usable; writing false closes it. Virtual so that tests can stand in.
  virtual bool GetIsConnected();
  virtual void SetIsConnected(bool Value);
  // Why the last reading of IsConnected could not start the server listening;
  // empty while it listens.
  const std::u16string& ListenFailure() const { return FListenFailure; }

  void GetCommand(const std::u16string& AMess);
  void ProcessData(TTcpSrvClient* Client);
  virtual void CloseAll();

  // Translates one command text into device frames and writes them to the
  // connection of its network address; returns the check code to match the
  // device's acknowledgement ("" when nothing was sent). Errors of a refused
  // write propagate to the caller.
  virtual std::u16string SendCommand(const std::u16string& AMess);
  void SendDirectCommand(const std::u16string& IP, const std::u16string& AMess);
  // The last connection in the server's list whose peer address is IP, or none.
  TTcpSrvClient* FindClientByIP(const std::u16string& IP) const;

  TPacketFramer* ComDataPacket1 = nullptr;  // "$" ... CR
  TPacketFramer* ComDataPacket2 = nullptr;  // "#" ... CR

 private:
  void Log(const std::u16string& text);
  void Fail(const std::u16string& text);
  // Connections that can carry a frame now (for the trace).
  int ConnectedCount() const;
  // Server and connection handlers.
  void WS_BgException(TObject* Sender, const std::exception& E, bool& CanClose);
  void WS_ClientConnect(TObject* Sender, TLineConnection* Client, std::uint16_t Error);
  void WS_ClientDisconnect(TObject* Sender, TLineConnection* Client, std::uint16_t Error);
  void WS_DataSent(TObject* Sender, std::uint16_t ErrCode);
  void WS_SessionClosed(TObject* Sender, std::uint16_t ErrCode);
  void ClientDataAvailable(TObject* Sender, std::uint16_t Error);
  void ClientLineLimitExceeded(TObject* Sender, long Cnt, bool& ClearData);
  void ClientBgException(TObject* Sender, const std::exception& E, bool& CanClose);

  TConnectorType FConnectorType = podEmpty;
  TLineServer* FWSocketServer = nullptr;
  ISerialPort* FComport = nullptr;
  TTrace* FTrace = nullptr;
  std::u16string FListenFailure;
};

}  // namespace axg
