// Standard input on Windows: a console or pipe handle cannot be watched by the
// message loop, so a reader thread of its own blocks in ReadFile and posts every
// chunk to the loop of the thread that made the reader, where the lines are cut
// and delivered.
#include "platform/stdin_reader.h"

#include <windows.h>

#include <mutex>

#include "platform/message_loop.h"
#include "platform/stdin_lines.h"

namespace axg {
namespace {

// What the reader thread and the owning thread share. Once the reader is gone the
// thread posts nothing more.
struct Shared {
  std::mutex mutex;
  bool alive = true;
  MessageLoop* loop = nullptr;
  StdinReader::Impl* impl = nullptr;
};

}  // namespace

struct StdinReader::Impl {
  std::function<void(const std::string&)> on_line;
  std::function<void()> on_end;
  std::string buf;
  bool ended = false;
  std::shared_ptr<Shared> shared = std::make_shared<Shared>();
  std::shared_ptr<bool> token = std::make_shared<bool>(true);  // expires with the reader
  HANDLE thread = nullptr;

  // Hands a line to on_line; false once the callback has destroyed the reader.
  auto Deliverer() {
    return [this, alive = std::weak_ptr<bool>(token)](const std::string& line) {
      on_line(line);
      return !alive.expired();
    };
  }

  void OnChunk(const std::string& chunk) { stdin_lines::Cut(buf, chunk, Deliverer()); }

  void OnEnd() {
    if (ended) return;
    ended = true;
    if (!stdin_lines::Finish(buf, Deliverer())) return;
    if (on_end) {
      auto fn = std::move(on_end);
      on_end = nullptr;
      fn();
    }
  }
};

namespace {

// Hands one chunk (or the end, when chunk is null) to the owning thread.
void Deliver(const std::shared_ptr<Shared>& shared, std::string* chunk) {
  std::lock_guard<std::mutex> lock(shared->mutex);
  if (!shared->alive) {
    delete chunk;
    return;
  }
  shared->loop->Post([shared, chunk] {
    std::unique_ptr<std::string> owned(chunk);
    StdinReader::Impl* impl;
    {
      std::lock_guard<std::mutex> inner(shared->mutex);
      if (!shared->alive) return;
      impl = shared->impl;
    }
    if (owned) impl->OnChunk(*owned);
    else impl->OnEnd();
  });
}

DWORD WINAPI ReaderThread(LPVOID param) {
  auto* handed = static_cast<std::shared_ptr<Shared>*>(param);
  std::shared_ptr<Shared> shared = std::move(*handed);
  delete handed;
  HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  // Lines are UTF-8, as from a pipe. A console gives its own code page through
  // ReadFile, so it is read as UTF-16 and turned into UTF-8 here.
  DWORD mode = 0;
  const bool console = input && input != INVALID_HANDLE_VALUE && GetConsoleMode(input, &mode);
  char tmp[4096];
  wchar_t wide[1024];
  for (;;) {
    DWORD n = 0;
    if (console) {
      if (!ReadConsoleW(input, wide, 1024, &n, nullptr) || n == 0) break;
      // A Ctrl+Z at the start of a line ends the input, as it does for ReadFile.
      if (wide[0] == 0x1A) break;
      const int bytes = WideCharToMultiByte(CP_UTF8, 0, wide, static_cast<int>(n), tmp, sizeof tmp, nullptr,
                                            nullptr);
      if (bytes <= 0) break;
      n = static_cast<DWORD>(bytes);
    } else if (input == nullptr || input == INVALID_HANDLE_VALUE || !ReadFile(input, tmp, sizeof tmp, &n, nullptr) ||
               n == 0) {
      break;  // end of input, a broken pipe or a cancelled read
    }
    Deliver(shared, new std::string(tmp, n));
  }
  Deliver(shared, nullptr);
  return 0;
}

}  // namespace

StdinReader::StdinReader(std::function<void(const std::string&)> on_line, std::function<void()> on_end)
    : impl_(std::make_unique<Impl>()) {
  impl_->on_line = std::move(on_line);
  impl_->on_end = std::move(on_end);
  impl_->shared->loop = &MessageLoop::Current();
  impl_->shared->impl = impl_.get();
  auto* handed = new std::shared_ptr<Shared>(impl_->shared);
  impl_->thread = CreateThread(nullptr, 0, &ReaderThread, handed, 0, nullptr);
  if (!impl_->thread) {
    delete handed;
    // No thread, no input: report the end in a later turn, as a closed input would.
    Deliver(impl_->shared, nullptr);
  }
}

StdinReader::~StdinReader() {
  {
    std::lock_guard<std::mutex> lock(impl_->shared->mutex);
    impl_->shared->alive = false;
  }
  if (impl_->thread) {
    // Wake a read that is still waiting; if the system cannot cancel it (Windows XP
    // has no CancelSynchronousIo, so it is looked up, not imported), the thread
    // ends with the process and posts nothing more meanwhile.
    using CancelFunction = BOOL(WINAPI*)(HANDLE);
    static const auto cancel = reinterpret_cast<CancelFunction>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "CancelSynchronousIo")));
    if (cancel) cancel(impl_->thread);
    WaitForSingleObject(impl_->thread, 100);
    CloseHandle(impl_->thread);
  }
}

}  // namespace axg
