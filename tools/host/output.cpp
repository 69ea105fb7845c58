#include "tools/host/output.h"

#include <cstdio>
#include <iostream>

#include "platform/clock.h"
#include "platform/text.h"

namespace axg::host {
namespace {

std::string TimeStamp() {
  double t = CurrentClock().TimeOfDay();
  long ms = static_cast<long>(t * 86400000.0 + 0.5);
  char buf[32];
  std::snprintf(buf, sizeof buf, "%02ld:%02ld:%02ld.%03ld", ms / 3600000 % 24, ms / 60000 % 60,
                ms / 1000 % 60, ms % 1000);
  return buf;
}

std::string Hr(long hr) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%08lX", static_cast<unsigned long>(hr) & 0xFFFFFFFFul);
  return buf;
}

}  // namespace

void Output::TextLine(const std::string& kind, const std::string& text) {
  char pad[16];
  std::snprintf(pad, sizeof pad, "%-8s", kind.c_str());
  std::cout << TimeStamp() << "  " << pad << " " << text << std::endl;
}

void Output::JsonLine(const std::string& json) { std::cout << json << std::endl; }

void Output::FlushRun() {
  for (auto& r : run_)
    if (r.more > 0) {
      TextLine("STATUS", ToUtf8(r.data) + "   (" + std::to_string(r.more) + " more time" +
                             (r.more == 1 ? "" : "s") + ")");
      r.more = 0;
    }
}

void Output::Event(const std::u16string& source, const std::u16string& name,
                   const std::u16string& data) {
  if (format_ == Format::kJsonl) {
    JsonLine("{\"type\":\"event\",\"source\":" + JsonString(source) + ",\"name\":" +
             JsonString(name) + ",\"data\":" + JsonString(data) + "}");
    return;
  }
  std::string label = ToUtf8(name);
  std::string text = ToUtf8(data);
  if (source != u"Kavreno") text = "(source " + ToUtf8(source) + ") " + text;
  if (name == u"STATUS" && source == u"Kavreno") {
    // One fold per reader (address and device): repeats of its last report are
    // counted, and the count is printed when the reader reports something else.
    std::u16string key = data.substr(0, data.find(u';', data.find(u';') + 1));
    for (auto& r : run_) {
      if (r.key != key) continue;
      if (r.data == data) {
        ++r.more;
        return;
      }
      if (r.more > 0)
        TextLine(label, ToUtf8(r.data) + "   (" + std::to_string(r.more) + " more time" +
                            (r.more == 1 ? "" : "s") + ")");
      r.data = data;
      r.more = 0;
      TextLine(label, text);
      return;
    }
    run_.push_back({key, data, 0});
    TextLine(label, text);
    return;
  }
  TextLine(label, text);
}

void Output::Lost(const std::u16string& source, const std::u16string& name,
                  const std::u16string& data, long depth, std::int64_t lost_so_far) {
  if (format_ == Format::kJsonl) {
    JsonLine("{\"type\":\"lost\",\"source\":" + JsonString(source) + ",\"name\":" +
             JsonString(name) + ",\"data\":" + JsonString(data) + ",\"depth\":" +
             std::to_string(depth) + ",\"lost\":" + std::to_string(lost_so_far) + "}");
    return;
  }
  TextLine("lost", ToUtf8(name) + " " + ToUtf8(data) + "   (event queue full at depth " +
                       std::to_string(depth) + "; " + std::to_string(lost_so_far) + " lost so far)");
}

void Output::ErrorLog(long code, const std::u16string& source, const std::u16string& description) {
  if (format_ == Format::kJsonl) {
    JsonLine("{\"type\":\"errorlog\",\"code\":" + std::to_string(code) + ",\"source\":" +
             JsonString(source) + ",\"description\":" + JsonString(description) + "}");
    return;
  }
  TextLine("errorlog", "[" + std::to_string(code) + "] " + ToUtf8(source) + ": " + ToUtf8(description));
}

void Output::Result(const std::string& call, const Value& value, long hr) {
  if (format_ == Format::kJsonl) {
    JsonLine("{\"type\":\"result\",\"call\":" + JsonString(call) + ",\"value\":" + JsonValue(value) +
             ",\"hr\":" + std::to_string(hr) + "}");
    return;
  }
  std::string text = call + " = " + DisplayValue(value);
  if (hr != 0) text += "   (HRESULT " + Hr(hr) + ")";
  TextLine("call", text);
}

void Output::Ready(const std::string& text_summary) {
  if (format_ == Format::kJsonl) {
    JsonLine("{\"type\":\"ready\"}");
    return;
  }
  TextLine("ready", text_summary);
}

void Output::Error(const std::string& message) {
  if (format_ == Format::kJsonl) {
    JsonLine("{\"type\":\"error\",\"message\":" + JsonString(message) + "}");
    return;
  }
  TextLine("error", message);
}

void Output::Note(const std::string& message) {
  if (format_ == Format::kJsonl) {
    JsonLine("{\"type\":\"note\",\"message\":" + JsonString(message) + "}");
    return;
  }
  TextLine("host", message);
}

void Output::StatusLine(const std::u16string& text) {
  if (format_ == Format::kJsonl) {
    JsonLine("{\"type\":\"statusline\",\"text\":" + JsonString(text) + "}");
    return;
  }
  TextLine("status", ToUtf8(text));
}

void Output::PrintCounts(const Counts& c) {
  if (format_ == Format::kJsonl) {
    JsonLine("{\"type\":\"counts\",\"received\":" + std::to_string(c.received) +
             ",\"delivered\":" + std::to_string(c.delivered) + ",\"lost\":" +
             std::to_string(c.lost) + ",\"refused\":" + std::to_string(c.refused) +
             ",\"errorlog\":" + std::to_string(c.errorlog) + "}");
    return;
  }
  FlushRun();
  std::string text = "events received " + std::to_string(c.received) + ", delivered " +
                     std::to_string(c.delivered) + ", dropped " + std::to_string(c.lost) +
                     " (queue full)";
  if (c.refused) text += ", refused " + std::to_string(c.refused) + " (--event-fail)";
  text += "; error-log entries " + std::to_string(c.errorlog);
  TextLine("counts", text);
}

void Output::PrintLoop(const CallbackStats& s) {
  char ms[96];
  std::snprintf(ms, sizeof ms, "%.3f,\"p99_ms\":%.3f", static_cast<double>(s.max_ns) / 1e6,
                static_cast<double>(s.QuantileNs(0.99)) / 1e6);
  if (format_ == Format::kJsonl) {
    JsonLine("{\"type\":\"loop\",\"callbacks\":" + std::to_string(s.count) + ",\"max_ms\":" + ms + "}");
    return;
  }
  std::snprintf(ms, sizeof ms, "longest %.3f ms, p99 %.3f ms", static_cast<double>(s.max_ns) / 1e6,
                static_cast<double>(s.QuantileNs(0.99)) / 1e6);
  TextLine("loop", "callbacks " + std::to_string(s.count) + ", " + ms);
}

}  // namespace axg::host
