#pragma once
// Line cutting shared by the standard-input readers of both platforms: bytes come
// in chunks of any size, and each line goes out without its line end (LF or
// CR LF), as the bytes came.
//
// The deliver callback returns false when the reader is gone (the line's handler
// may destroy it, and the pending text with it); the cutting then stops at once
// without touching the pending text again, and returns false as well.
#include <string>
#include <string_view>

namespace axg::stdin_lines {

inline void DropCr(std::string& line) {
  if (!line.empty() && line.back() == '\r') line.pop_back();
}

// Appends chunk to pending and delivers every line it completes, in order.
template <class Deliver>
bool Cut(std::string& pending, std::string_view chunk, Deliver&& deliver) {
  pending.append(chunk);
  std::size_t eol;
  while ((eol = pending.find('\n')) != std::string::npos) {
    std::string line = pending.substr(0, eol);
    pending.erase(0, eol + 1);
    DropCr(line);
    if (!deliver(line)) return false;
  }
  return true;
}

// The end of input: a last line without a line end is delivered too.
template <class Deliver>
bool Finish(std::string& pending, Deliver&& deliver) {
  if (pending.empty()) return true;
  std::string line;
  line.swap(pending);
  DropCr(line);
  return deliver(line);
}

}  // namespace axg::stdin_lines
