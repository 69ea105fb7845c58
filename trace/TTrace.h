#pragma once
// TTrace: what the add-in saw, sent and told the host, for the support engineer
// at a site where the host has no console. One JSON object a line, each with the
// wall-clock time in milliseconds since 1970 UTC ("t") and the monotonic time in
// microseconds ("us"):
//
//   start   the trace was opened (files, limit)
//   accept  a device connection was accepted (addr, port)
//   close   a device connection was closed (addr, port, why: "closed", or the
//           socket error with its text)
//   line    a line came from a device (addr, port, bytes)
//   frame   a frame went to a device (addr, port, bytes); addr "*" with n: the
//           same frame to every connection
//   event   an external event went to the host (name, data, hr: ExternalEvent's result)
//   call    the host called an acting method (method, args, answer, error)
//   state   an entry of the event stack changed its state word (ip, device, type,
//           card, from, to); from "" is a new entry, to "" a dropped one
//   error   an error the add-in reported (text)
//   dropped records were lost because the disk did not keep up (n)
//
// Every hook is called through a pointer that is null while the trace is off, so
// that an add-in without a trace pays one comparison per hook. Records go to a
// buffer; the buffer goes to the file on a timer, or at the end of the turn once
// it is large, never inside the hook. The file rotates at a size limit (the
// current file and files-1 older ones, ".1" the newest of those), and the buffer
// is bounded: what does not fit while the disk is slow is counted and dropped.
// A file that cannot be opened or written switches the trace off; OnFailure
// says why, once.
#include <cstdint>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace axg {

class Timer;

struct TraceOptions {
  std::u16string path;
  std::uint64_t file_limit = 8u << 20;       // bytes of one file before it rotates
  int files = 4;                             // the current file and the older ones
  std::size_t memory_limit = 4u << 20;       // bytes of records waiting for the disk
  unsigned flush_interval_ms = 200;          // records wait at most this long
  std::size_t flush_threshold = 64u << 10;   // beyond this, flushed at the end of the turn
};

class TTrace {
 public:
  explicit TTrace(TraceOptions options);
  // Writes what is waiting and closes the file.
  ~TTrace();
  TTrace(const TTrace&) = delete;
  TTrace& operator=(const TTrace&) = delete;

  // Opens the file for appending (creating it) and writes the "start" record.
  // False, with Failure() saying why, when it cannot be opened or written.
  bool Open();
  bool Failed() const { return failed_; }
  const std::u16string& Failure() const { return failure_; }
  // Raised once, on the loop's thread, when the file fails after Open; the trace
  // is off from then on and every hook returns at once.
  std::function<void(const std::u16string& why)> OnFailure;

  void Accepted(const std::u16string& addr, const std::u16string& port);
  void Closed(const std::u16string& addr, const std::u16string& port, int error);
  void LineIn(const std::u16string& addr, const std::u16string& port, std::u16string_view line);
  void FrameOut(const std::u16string& addr, const std::u16string& port, std::u16string_view frame);
  void FrameToAll(std::u16string_view frame, int connections);
  void HostEvent(const std::u16string& name, const std::u16string& data, long hr);
  void HostCall(std::u16string_view method, const std::vector<std::u16string>& args,
                const std::u16string& answer, const std::u16string& error = {});
  void State(const std::u16string& ip, const std::u16string& device, const std::u16string& type,
             const std::u16string& card, std::u16string_view from, std::u16string_view to);
  void Fault(const std::u16string& text);

  // Writes what is waiting to the file, rotating on the way. False when the file
  // failed (now or before). The timer and the end-of-turn flush call it.
  bool Flush();
  std::size_t Waiting() const { return pending_.size(); }
  std::uint64_t Dropped() const { return dropped_; }

 private:
  // Starts a record: {"t":..,"us":..,"ev":"<ev>"
  std::string Begin(std::string_view ev) const;
  // A record: Begin and the fields (each ",\"name\":value"), not yet closed.
  template <class... Fields>
  std::string Make(std::string_view ev, const Fields&... fields) const {
    std::string out = Begin(ev);
    ((out += fields), ...);
    return out;
  }
  void Add(std::string record);
  bool Write(std::string_view data);
  bool Rotate();
  bool OpenFile(bool truncate);
  void Fail(const std::u16string& why, bool notify);

  TraceOptions options_;
  std::ofstream file_;
  std::uint64_t size_ = 0;
  std::string pending_;
  std::uint64_t dropped_ = 0;
  bool failed_ = false;
  bool flush_posted_ = false;
  std::u16string failure_;
  std::unique_ptr<Timer> timer_;
  std::shared_ptr<int> life_ = std::make_shared<int>(0);
};

}  // namespace axg
