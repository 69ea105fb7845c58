// LIBS: axg_transport
// The line cutter of a line-mode connection, with line editing and the line limit
// as the device connector configures them, fed through a real socket in chunks
// the input chooses. Every line and every limit event is checked against a plain
// model of the cutting rules.
//
// Input: one flag byte (bit 0: line editing off, bit 1: a limit of 16 instead of
// 160), then chunks, each a length byte and that many bytes.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/local_pair.h"
#include "platform/message_loop.h"
#include "platform/text.h"
#include "transport/TLineServer.h"

namespace {

// The cutting rules, one chunk at a time.
struct Model {
  bool edit = true;
  std::size_t limit = 160;
  std::string buffer;
  std::vector<std::string> lines;
  std::vector<long> limit_events;

  void Feed(std::string_view chunk) {
    for (char b : chunk) {
      if (edit && b == '\b') {
        if (!buffer.empty()) buffer.pop_back();
      } else if (edit && b == '\t') {
        do buffer += ' ';
        while (buffer.size() % 8 != 0);
      } else {
        buffer += b;
      }
    }
    for (std::size_t end; (end = buffer.find("\r\n")) != std::string::npos;) {
      lines.push_back(buffer.substr(0, end + 2));
      buffer.erase(0, end + 2);
    }
    if (buffer.size() > limit) {
      limit_events.push_back(static_cast<long>(buffer.size()));
      buffer.clear();
    }
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  static axg::TLineServer* server = [] {
    auto* s = new axg::TLineServer();  // never listens
    // The cutting rules alone: every line of a chunk in the one turn that reads it.
    s->LinesPerSlice = 0;
    s->LinesPerTurn = 0;
    s->MaxLineRate = 0;
    return s;
  }();
  axg::MessageLoop& loop = axg::MessageLoop::Current();

  Model model;
  model.edit = (data[0] & 1) == 0;
  model.limit = (data[0] & 2) ? 16 : 160;

  std::vector<std::u16string> lines;
  std::vector<long> limit_events;
  server->OnClientConnect = [&](axg::TObject*, axg::TLineConnection* c, std::uint16_t) {
    c->LineMode = true;
    c->LineEdit = model.edit;
    c->LineLimit = static_cast<long>(model.limit);
    c->OnDataAvailable = [&lines](axg::TObject* s, std::uint16_t) {
      lines.push_back(static_cast<axg::TLineConnection*>(s)->ReceiveStr());
    };
    c->OnLineLimitExceeded = [&limit_events](axg::TObject*, long n, bool& clear) {
      limit_events.push_back(n);
      if (!clear) __builtin_trap();  // preset to true
    };
  };

  axg::fuzz::LocalPair pair;
  server->AcceptOne(pair.ServerEnd(), {"192.0.2.10", 4001});
  if (server->ClientCount() != 1) __builtin_trap();
  pair.Drain();  // the greeting

  std::size_t at = 1;
  while (at < size) {
    std::size_t len = data[at++];
    if (len > size - at) len = size - at;
    std::string_view chunk(reinterpret_cast<const char*>(data) + at, len);
    at += len;
    if (chunk.empty()) continue;
    pair.Write(chunk);
    loop.RunPending();  // one read takes the whole chunk
    model.Feed(chunk);
    if (lines.size() != model.lines.size() || limit_events != model.limit_events) __builtin_trap();
  }
  for (std::size_t i = 0; i < lines.size(); ++i)
    if (lines[i] != axg::FromAnsi(model.lines[i])) __builtin_trap();

  // The device goes away: the connection ends and the server lets go of it.
  pair.CloseDevice();
  for (int turn = 0; turn < 8 && server->ClientCount() > 0; ++turn) loop.RunPending();
  if (server->ClientCount() != 0) __builtin_trap();
  server->OnClientConnect = nullptr;
  return 0;
}
