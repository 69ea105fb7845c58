// Standard input on Linux. A pipe or a terminal is watched by the thread's loop;
// a regular file or /dev/null (which epoll refuses, and whose reads never block)
// is read one chunk per loop turn through posted calls. The descriptor is left
// blocking (it may be a terminal shared with the shell): one read per readiness
// notification cannot block.
#include "platform/stdin_reader.h"

#include <unistd.h>

#include <cerrno>

#include "platform/message_loop.h"
#include "platform/socket.h"
#include "platform/stdin_lines.h"

namespace axg {

struct StdinReader::Impl {
  std::function<void(const std::string&)> on_line;
  std::function<void()> on_end;
  std::string buf;
  bool watching = false;
  bool ended = false;
  std::shared_ptr<bool> alive = std::make_shared<bool>(true);

  // Hands a line to on_line; false once the callback has destroyed the reader.
  auto Deliverer() {
    return [this, token = std::weak_ptr<bool>(alive)](const std::string& line) {
      on_line(line);
      return !token.expired();
    };
  }

  // Reads once and delivers the complete lines. False once input has ended or
  // the reader is gone.
  bool ReadOnce() {
    char tmp[4096];
    ssize_t n = ::read(STDIN_FILENO, tmp, sizeof tmp);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) return true;
    if (n <= 0) {
      End();
      return false;
    }
    if (!stdin_lines::Cut(buf, std::string_view(tmp, static_cast<std::size_t>(n)), Deliverer()))
      return false;  // the callback destroyed the reader
    return !ended;
  }

  void PollLater() {
    std::weak_ptr<bool> token = alive;
    MessageLoop::Current().Post([this, token] {
      if (!token.expired() && ReadOnce()) PollLater();
    });
  }

  void End() {
    if (ended) return;
    ended = true;
    Unwatch();
    if (!stdin_lines::Finish(buf, Deliverer())) return;
    if (on_end) {
      auto fn = std::move(on_end);
      on_end = nullptr;
      fn();
    }
  }

  void Unwatch() {
    if (watching) MessageLoop::Current().UnwatchSocket(STDIN_FILENO);
    watching = false;
  }
};

StdinReader::StdinReader(std::function<void(const std::string&)> on_line, std::function<void()> on_end)
    : impl_(std::make_unique<Impl>()) {
  impl_->on_line = std::move(on_line);
  impl_->on_end = std::move(on_end);
  Impl* impl = impl_.get();
  try {
    MessageLoop::Current().WatchSocket(STDIN_FILENO, kSockRead | kSockClose,
                                       [impl](unsigned, int) { impl->ReadOnce(); });
    impl_->watching = true;
  } catch (const SocketError&) {
    impl_->PollLater();
  }
}

StdinReader::~StdinReader() { impl_->Unwatch(); }

}  // namespace axg
