#pragma once
// Helpers shared by the Win32 half of the platform layer (not part of its
// interface: nothing outside platform/win32 and the Windows tests includes this file).
#include <winsock2.h>
#include <windows.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/socket.h"

namespace axg::win32 {

// wchar_t is a UTF-16 code unit on Windows, so the two string kinds share their
// representation.
inline const wchar_t* W(const std::u16string& s) { return reinterpret_cast<const wchar_t*>(s.c_str()); }
inline std::u16string U16(const wchar_t* s, std::size_t n) {
  return std::u16string(reinterpret_cast<const char16_t*>(s), n);
}
inline std::u16string U16(const wchar_t* s) { return U16(s, s ? wcslen(s) : 0); }

// The module this code is linked into: ax_gate.dll inside the host, the .exe for
// the tools. Window classes and the registration path belong to it.
HMODULE ThisModule();

// The system's text for an error number, without the trailing line break and
// full stop that FormatMessage appends; empty when the system has none.
std::u16string SystemMessage(DWORD code);
// The same, or "Error <code>" when the system has no text.
std::u16string SystemErrorText(DWORD code);

// Forgets the socket's watch in the calling thread's loop, if it has one. Closing
// a socket calls it first: the watch must not outlive the handle, which the
// system hands out again soon.
void DropSocketWatch(SocketHandle s) noexcept;
// Tells the calling thread's loop that the socket has nothing more to read or
// accept for now (the call said WSAEWOULDBLOCK): Winsock tells of the next data
// itself, so the loop need not look at the socket again after this callback.
void NoteSocketDrained(SocketHandle s) noexcept;
// Where the calling thread's loop numbers its next timer from: a loop that has
// run for months is where the numbers wrap around.
void NumberTimersFrom(std::uintptr_t id);

}  // namespace axg::win32
