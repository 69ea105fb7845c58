#pragma once
// The work a line server does in one loop turn, counted in lines: every line a
// connection delivers counts one, and a handler whose line made several
// messages for the host counts the extra ones too (TLineServer::ChargeLines).
// A slice of one connection's reading and the turn as a whole each have a limit
// (0: none); a slice goes on only while both have room, so what the extra
// messages use is not delivered again in lines. The count starts afresh with
// each turn.
namespace axg {

class LineBudget {
 public:
  // Where a slice starts counting.
  int Used() const { return used_; }
  // True while a slice that began at `slice_start` may deliver another line.
  bool Room(int slice_start, int per_slice, int per_turn) const {
    if (per_turn > 0 && used_ >= per_turn) return false;
    return per_slice <= 0 || used_ - slice_start < per_slice;
  }
  // Counts n lines' worth of work; true when it is the first of the turn.
  bool Charge(int n) {
    if (n <= 0) return false;
    const bool first = used_ == 0;
    used_ += n;
    return first;
  }
  void NewTurn() { used_ = 0; }

 private:
  int used_ = 0;
};

}  // namespace axg
