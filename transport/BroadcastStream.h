#pragma once
// The bytes a line server broadcasts, kept once for all its connections. The
// broadcasts form one stream; each connection remembers the stream position up
// to which it has taken them, so a broadcast costs nothing per connection until
// that connection is written. Bytes every connection has taken are dropped.
//
// Nobody waits for these bytes: they ride along with a connection's next write,
// or the coalescing timer writes them within an interval. The timer runs only
// while bytes are owed to a connection; once every connection has taken them,
// or the last one has gone, it stops, so that an idle server never wakes its
// thread.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace axg {

class Timer;

class BroadcastStream {
 public:
  // on_tick runs on the coalescing timer while bytes are owed.
  explicit BroadcastStream(std::function<void()> on_tick);
  ~BroadcastStream();
  BroadcastStream(const BroadcastStream&) = delete;
  BroadcastStream& operator=(const BroadcastStream&) = delete;

  // The position after the last byte broadcast: a connection that joins now is
  // owed nothing before it.
  std::uint64_t End() const { return base_ + bytes_.size(); }
  // Adds bytes owed to every connection whose position is before End(), and
  // starts the timer with the given interval if it is not running.
  void Append(std::string_view bytes, unsigned interval_ms);
  // The bytes from pos (a position a connection holds) to End().
  std::string_view From(std::uint64_t pos) const;
  // Every connection still owed bytes holds a position at or after `lowest`
  // (End() when none is owed any): the bytes before it are dropped, and with
  // nothing left the timer stops.
  void Trim(std::uint64_t lowest);
  // True while bytes are held for some connection; the timer runs exactly then.
  bool Owed() const { return !bytes_.empty(); }
  bool TimerRunning() const;

 private:
  std::string bytes_;
  std::uint64_t base_ = 0;  // stream position of bytes_[0]
  std::function<void()> on_tick_;
  std::unique_ptr<Timer> timer_;
};

}  // namespace axg
