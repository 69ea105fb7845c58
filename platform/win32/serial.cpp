// Serial lines on Windows: the Win32 communications API with overlapped I/O. A
// reader thread of the line's own waits on the device and posts every chunk to
// the message loop of the thread that opened the line; the chunk is handed to the
// line's user there, so framers and handlers only ever run on the owning thread.
#include "platform/serial.h"

#include <windows.h>

#include <atomic>
#include <memory>

#include "platform/message_loop.h"
#include "platform/text.h"
#include "platform/win32/tick_count.h"
#include "platform/win32/win32_util.h"

namespace axg {
namespace {

[[noreturn]] void Fail(const std::string& what, DWORD code) {
  throw Error(FromUtf8(what) + u": " + win32::SystemErrorText(code) + u" (Error: " + IntToStr(code) + u")");
}

// "COM3" names the device only up to COM9; the device namespace form works for all.
std::wstring DevicePath(const std::string& device) {
  std::u16string name = FromUtf8(device);
  if (name.rfind(u"\\\\", 0) != 0) name = u"\\\\.\\" + name;
  return std::wstring(win32::W(name));
}

void ApplySettings(HANDLE h, const SerialSettings& s) {
  const std::string& dev = s.device;
  if (s.data_bits < 5 || s.data_bits > 8)
    Fail("Unsupported data bits " + std::to_string(s.data_bits) + " for " + dev, ERROR_INVALID_PARAMETER);
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  if (!GetCommState(h, &dcb)) Fail("Cannot read the settings of serial port " + dev, GetLastError());
  dcb.BaudRate = s.baud_rate;
  dcb.ByteSize = static_cast<BYTE>(s.data_bits);
  dcb.fBinary = TRUE;
  dcb.fParity = s.parity != SerialParity::None;
  switch (s.parity) {
    case SerialParity::None: dcb.Parity = NOPARITY; break;
    case SerialParity::Odd: dcb.Parity = ODDPARITY; break;
    case SerialParity::Even: dcb.Parity = EVENPARITY; break;
    case SerialParity::Mark: dcb.Parity = MARKPARITY; break;
    case SerialParity::Space: dcb.Parity = SPACEPARITY; break;
  }
  switch (s.stop_bits) {
    case SerialStopBits::One: dcb.StopBits = ONESTOPBIT; break;
    case SerialStopBits::OneAndHalf: dcb.StopBits = ONE5STOPBITS; break;
    case SerialStopBits::Two: dcb.StopBits = TWOSTOPBITS; break;
  }
  // Raw and 8-bit clean: no character is replaced, dropped or acted upon.
  dcb.fErrorChar = FALSE;
  dcb.fNull = FALSE;
  dcb.fAbortOnError = FALSE;
  dcb.fDsrSensitivity = FALSE;
  dcb.fOutxDsrFlow = FALSE;
  dcb.fDtrControl = DTR_CONTROL_ENABLE;
  dcb.fOutxCtsFlow = s.flow_control == SerialFlowControl::Hardware;
  dcb.fRtsControl = s.flow_control == SerialFlowControl::Hardware ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
  dcb.fOutX = dcb.fInX = s.flow_control == SerialFlowControl::Software;
  dcb.XonChar = 0x11;
  dcb.XoffChar = 0x13;
  if (!SetCommState(h, &dcb)) Fail("Cannot apply the settings of serial port " + dev, GetLastError());
  // A read waits for the first byte without limit (the reader thread is woken
  // for closing) and returns what has come once the line stays quiet for 10 ms.
  COMMTIMEOUTS t{};
  t.ReadIntervalTimeout = 10;
  if (!SetCommTimeouts(h, &t)) Fail("Cannot apply the timeouts of serial port " + dev, GetLastError());
  PurgeComm(h, PURGE_RXCLEAR | PURGE_TXCLEAR);
}

}  // namespace

struct SerialLine::Impl {
  // What the reader thread needs, kept alive by the thread and by every chunk
  // posted to the owning loop. `open` goes false on the owning thread when the
  // line closes: chunks still queued then are dropped.
  struct Shared {
    HANDLE device = INVALID_HANDLE_VALUE;
    HANDLE stop = nullptr;  // manual-reset event: the reader thread is to end
    std::string name;
    MessageLoop* loop = nullptr;
    std::atomic<bool> open{true};
    SerialLine::Impl* impl = nullptr;  // valid while open
  };

  std::shared_ptr<Shared> shared;
  HANDLE thread = nullptr;
  DataCallback on_data;
  FailureCallback on_failure;

  static DWORD WINAPI ReaderThread(LPVOID param);
  static void ReadUntilStopped(const std::shared_ptr<Shared>& shared, OVERLAPPED& ov, char* buf, DWORD size,
                               DWORD* failure);

  void StartReader() {
    auto* handed = new std::shared_ptr<Shared>(shared);
    thread = CreateThread(nullptr, 0, &ReaderThread, handed, 0, nullptr);
    if (!thread) {
      const DWORD code = GetLastError();
      delete handed;
      Fail("Cannot start reading serial port " + shared->name, code);
    }
  }

  // On the owning thread: the reader thread saw the line fail.
  void Failed(DWORD code) {
    const std::string what = "Cannot read from serial line " + shared->name;
    FailureCallback failed = on_failure;
    try {
      Shutdown();
    } catch (const Error&) {
    }
    try {
      Fail(what, code);
    } catch (const Error& e) {
      if (failed) failed(e);
    }
  }

  // Stops the reader thread and closes the device; throws on a failed close.
  void Shutdown() {
    if (!shared) return;
    std::shared_ptr<Shared> s = std::move(shared);
    s->open = false;
    if (thread) {
      SetEvent(s->stop);
      WaitForSingleObject(thread, INFINITE);
      CloseHandle(thread);
      thread = nullptr;
    }
    on_data = nullptr;
    on_failure = nullptr;
    CloseHandle(s->stop);
    s->stop = nullptr;
    const HANDLE device = s->device;
    s->device = INVALID_HANDLE_VALUE;
    if (!CloseHandle(device)) Fail("Cannot close serial line " + s->name, GetLastError());
  }
};

namespace {

// Posts one received chunk (or the failure code, with an empty chunk) to the
// owning thread.
void HandOver(const std::shared_ptr<SerialLine::Impl::Shared>& shared, std::string chunk, DWORD failure) {
  shared->loop->Post([shared, chunk = std::move(chunk), failure] {
    if (!shared->open) return;  // closed meanwhile: nothing may run any more
    SerialLine::Impl* impl = shared->impl;
    if (failure != 0) {
      impl->Failed(failure);
      return;
    }
    if (impl->on_data) {
      SerialLine::DataCallback cb = impl->on_data;  // the callback may close the line
      cb(chunk);
    }
  });
}

}  // namespace

DWORD WINAPI SerialLine::Impl::ReaderThread(LPVOID param) {
  auto* handed = static_cast<std::shared_ptr<Shared>*>(param);
  std::shared_ptr<Shared> shared = std::move(*handed);
  delete handed;
  OVERLAPPED ov{};
  ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (!ov.hEvent) {
    try {
      HandOver(shared, {}, GetLastError());
    } catch (...) {
      // Nothing may leave the thread, which would end the host.
    }
    return 0;
  }
  char buf[4096];
  DWORD failure = 0;
  // Handing a chunk over allocates: out of memory, the line fails as a read
  // would, rather than ending the host.
  try {
    ReadUntilStopped(shared, ov, buf, sizeof buf, &failure);
  } catch (...) {
    failure = ERROR_NOT_ENOUGH_MEMORY;
    CancelIo(shared->device);
    DWORD n = 0;
    GetOverlappedResult(shared->device, &ov, &n, TRUE);
  }
  CloseHandle(ov.hEvent);
  if (failure != 0 && WaitForSingleObject(shared->stop, 0) != WAIT_OBJECT_0) {
    try {
      HandOver(shared, {}, failure);
    } catch (...) {
      // Out of memory for telling the owner too: the line stays silent until it is closed.
    }
  }
  return 0;
}

void SerialLine::Impl::ReadUntilStopped(const std::shared_ptr<Shared>& shared, OVERLAPPED& ov, char* buf,
                                        DWORD size, DWORD* failure) {
  while (WaitForSingleObject(shared->stop, 0) != WAIT_OBJECT_0) {
    DWORD n = 0;
    ResetEvent(ov.hEvent);
    if (!ReadFile(shared->device, buf, size, &n, &ov)) {
      const DWORD code = GetLastError();
      if (code != ERROR_IO_PENDING) {
        *failure = code;
        break;
      }
      const HANDLE waits[2] = {ov.hEvent, shared->stop};
      if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0) {
        // Closing: take the read back before its buffer goes away.
        CancelIo(shared->device);  // this thread's read, the only I/O it issued
        GetOverlappedResult(shared->device, &ov, &n, TRUE);
        break;
      }
      if (!GetOverlappedResult(shared->device, &ov, &n, FALSE)) {
        *failure = GetLastError();
        break;
      }
    }
    if (n > 0) HandOver(shared, std::string(buf, n), 0);
  }
}

SerialLine::SerialLine() : impl_(std::make_unique<Impl>()) {}

SerialLine::~SerialLine() {
  try {
    impl_->Shutdown();
  } catch (...) {
    // Nothing leaves a destructor.
  }
}

bool SerialLine::IsOpen() const { return impl_->shared != nullptr; }

void SerialLine::Open(const SerialSettings& settings, DataCallback on_data, FailureCallback on_failure) {
  Impl& d = *impl_;
  if (d.shared) Fail("Serial line " + d.shared->name + " is already open", ERROR_BUSY);
  const std::string& dev = settings.device;
  // No sharing: another program reading the same line would steal chunks from us.
  HANDLE h = CreateFileW(DevicePath(dev).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                         FILE_FLAG_OVERLAPPED, nullptr);
  if (h == INVALID_HANDLE_VALUE) Fail("Cannot open serial port " + dev, GetLastError());
  HANDLE stop = nullptr;
  try {
    ApplySettings(h, settings);
    stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!stop) Fail("Cannot open serial port " + dev, GetLastError());
  } catch (...) {
    CloseHandle(h);
    throw;
  }
  d.shared = std::make_shared<Impl::Shared>();
  d.shared->device = h;
  d.shared->stop = stop;
  d.shared->name = dev;
  d.shared->loop = &MessageLoop::Current();
  d.shared->impl = &d;
  d.on_data = std::move(on_data);
  d.on_failure = std::move(on_failure);
  try {
    d.StartReader();
  } catch (...) {
    try {
      d.Shutdown();
    } catch (const Error&) {
    }
    throw;
  }
}

void SerialLine::Close() { impl_->Shutdown(); }

void SerialLine::Write(std::string_view data, unsigned timeout_ms) {
  Impl& d = *impl_;
  if (!d.shared) Fail("Serial line is not open", ERROR_INVALID_HANDLE);
  const std::string& name = d.shared->name;
  OVERLAPPED ov{};
  ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (!ov.hEvent) Fail("Cannot write to serial line " + name, GetLastError());
  std::unique_ptr<void, decltype(&CloseHandle)> event(ov.hEvent, &CloseHandle);
  const DWORD start = GetTickCount();
  while (!data.empty()) {
    DWORD n = 0;
    ResetEvent(ov.hEvent);
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(data.size(), 1u << 20));
    if (!WriteFile(d.shared->device, data.data(), chunk, &n, &ov)) {
      const DWORD code = GetLastError();
      if (code != ERROR_IO_PENDING) Fail("Cannot write to serial line " + name, code);
      const DWORD left = std::min<DWORD>(win32::MillisecondsLeft(start, timeout_ms), MAXDWORD - 1);
      if (WaitForSingleObject(ov.hEvent, left) != WAIT_OBJECT_0) {
        CancelIo(d.shared->device);  // this thread's write, the only I/O it issued
        GetOverlappedResult(d.shared->device, &ov, &n, TRUE);
        Fail("Writing to serial line " + name + " timed out", ERROR_TIMEOUT);
      }
      if (!GetOverlappedResult(d.shared->device, &ov, &n, FALSE))
        Fail("Cannot write to serial line " + name, GetLastError());
    }
    data.remove_prefix(n);
    if (n == 0 && win32::MillisecondsLeft(start, timeout_ms) == 0) Fail("Writing to serial line " + name + " timed out", ERROR_TIMEOUT);
  }
}

std::string SerialLine::OpenPseudoTerminal(DataCallback, FailureCallback) {
  Fail("Pseudo-terminals do not exist on Windows", ERROR_NOT_SUPPORTED);
}

}  // namespace axg
