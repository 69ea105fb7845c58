#include "platform/socket.h"
#include "platform/text.h"

namespace axg {
namespace {

std::u16string SocketErrorMessage(int code, const std::string& api) {
  return u"Windows socket error: " + SocketErrorText(code) + u" (" + IntToStr(code) + u"), on API '" +
         FromUtf8(api) + u"'";
}

}  // namespace

SocketError::SocketError(int code, const std::string& api)
    : Error(SocketErrorMessage(code, api)), code_(code), api_(api) {}

}  // namespace axg
