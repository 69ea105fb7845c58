#pragma once
// The connection class the connector makes the server use for every device.
#include <string>

#include "transport/TLineServer.h"

namespace axg {

class TTcpSrvClient : public TLineConnection {
 public:
  using TLineConnection::TLineConnection;

  // The last line received, without its trailing CR and LF characters.
  std::u16string RcvdLine;
  // Local date and time at which the connector configured the connection.
  double ConnectTime = 0.0;
};

}  // namespace axg
