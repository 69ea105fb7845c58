#pragma once
// What the host prints. Text is for people: one time-stamped line per item, and
// runs of identical "STATUS" events of a reader folded into one line with a count. JSON Lines
// is for scripts: one object per line,
//   {"type":"event","source":…,"name":…,"data":…}
//   {"type":"errorlog","code":…,"source":…,"description":…}
//   {"type":"result","call":…,"value":…,"hr":…}
//   {"type":"ready"}
// and, besides those, {"type":"lost",…} for an event that found the queue full,
// {"type":"error","message":…} for a command the host could not carry out,
// {"type":"note","message":…} and {"type":"counts",…} at the end, and
// {"type":"loop",…} when asked for.
#include <cstdint>
#include <string>
#include <vector>

#include "platform/message_loop.h"
#include "tools/host/command.h"

namespace axg::host {

enum class Format { kText, kJsonl };

struct Counts {
  std::int64_t received = 0;   // ExternalEvent calls accepted
  std::int64_t delivered = 0;  // events handed to the script stand-in
  std::int64_t lost = 0;       // found the queue full
  std::int64_t refused = 0;    // ExternalEvent failed on purpose (--event-fail)
  std::int64_t errorlog = 0;   // AddError calls
};

class Output {
 public:
  explicit Output(Format format) : format_(format) {}

  void Event(const std::u16string& source, const std::u16string& name, const std::u16string& data);
  void Lost(const std::u16string& source, const std::u16string& name, const std::u16string& data,
            long depth, std::int64_t lost_so_far);
  void ErrorLog(long code, const std::u16string& source, const std::u16string& description);
  void Result(const std::string& call, const Value& value, long hr);
  void Ready(const std::string& text_summary);
  void Error(const std::string& message);
  void Note(const std::string& message);
  void StatusLine(const std::u16string& text);
  void PrintCounts(const Counts& c);
  // How long the loop's callbacks held the thread.
  void PrintLoop(const CallbackStats& s);
  // Prints the repeats of "STATUS" reports counted so far (at the end).
  void FlushRun();

 private:
  void TextLine(const std::string& kind, const std::string& text);
  void JsonLine(const std::string& json);

  Format format_;
  struct Repeat {
    std::u16string key;  // address;device
    std::u16string data;
    std::int64_t more = 0;
  };
  std::vector<Repeat> run_;  // the last "STATUS" report of each reader
};

}  // namespace axg::host
