#pragma once
#include <functional>
#include <memory>
#include <string>

#include "platform/export.h"

namespace axg {

// The process's standard input, read line by line on the calling thread's message
// loop, so that a tool can take commands while its loop serves sockets and timers.
// Each line is delivered without its line end (LF or CR LF), as the bytes came;
// a last line without a line end is delivered at the end of input. on_end runs
// once, at the end of input or when reading fails. Destroying the reader stops
// the deliveries. One reader per process.
class AXG_PLATFORM_API StdinReader {
 public:
  StdinReader(std::function<void(const std::string& line)> on_line, std::function<void()> on_end);
  ~StdinReader();
  StdinReader(const StdinReader&) = delete;
  StdinReader& operator=(const StdinReader&) = delete;

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace axg
