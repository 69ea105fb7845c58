#pragma once
// Between the Linux socket functions and the Linux message loop, inside the
// platform library only.
#include "platform/socket.h"

namespace axg::posix {

// Forgets the socket's watch in the calling thread's loop, if that thread has a
// loop and the socket is watched there. Closing a socket calls it first, so that
// a notification already gathered for the old descriptor can never reach a new
// socket that the system gives the same number.
void DropSocketWatch(SocketHandle s) noexcept;

}  // namespace axg::posix
