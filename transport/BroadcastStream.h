#pragma once
// The bytes a line server broadcasts, kept once for all its connections. The
// broadcasts form one stream of frames; each connection remembers the stream
// position up to which it has taken them, so a broadcast costs nothing per
// connection until that connection is written. Bytes every connection has taken
// are dropped.
//
// Nobody waits for these bytes: they ride along with a connection's next write,
// or the coalescing timer writes them within an interval. The connections the
// timer writes are the attached ones (those whose socket takes what it is
// given); the timer runs exactly while one of them is owed bytes, and stops as
// soon as none is, whoever wrote them, so that an idle server never wakes its
// thread. A connection whose socket is full is detached: it owes no more than
// the latest frame (Fold), which it takes once its socket has taken the rest.
#include <algorithm>
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
  // Adds one frame owed to every connection, and starts the timer with the
  // given interval while an attached connection is there to take it. With none
  // attached, every connection is behind and owes only this frame from now on.
  void Append(std::string_view frame, unsigned interval_ms);
  // The bytes from pos (a position a connection holds) to End().
  std::string_view From(std::uint64_t pos) const;
  // The position a connection that is behind holds instead of pos: the frames
  // it missed fold into the latest one.
  std::uint64_t Fold(std::uint64_t pos) const { return pos < End() ? std::max(pos, latest_) : pos; }
  // Every connection still owed bytes holds a position at or after `lowest`
  // (End() when none is owed any): the bytes before it are dropped.
  void Trim(std::uint64_t lowest);
  // A connection holding pos starts or stops being written by the timer.
  void Attach(std::uint64_t pos);
  void Detach(std::uint64_t pos);
  // An attached connection has taken every byte up to End().
  void TookAll();
  // True while bytes are held for some connection.
  bool Owed() const { return !bytes_.empty(); }
  bool TimerRunning() const;

 private:
  void StopWhenNoneOwed();

  std::string bytes_;
  std::uint64_t base_ = 0;    // stream position of bytes_[0]
  std::uint64_t latest_ = 0;  // stream position where the latest frame starts
  int attached_ = 0;          // connections the timer writes
  int at_end_ = 0;            // of those, the ones that have taken everything
  std::function<void()> on_tick_;
  std::unique_ptr<Timer> timer_;
};

}  // namespace axg
