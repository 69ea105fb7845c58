// LIBS: axg_connector
// The command text parser and the frame text helpers that SendCommand builds on.
#include <cstddef>
#include <cstdint>
#include <string>

#include "UConnector/FrameText.h"
#include "platform/text.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::u16string text = axg::FromAnsi(std::string(reinterpret_cast<const char*>(data), size));
  const axg::TCommandText cmd = axg::ParseCommandText(text);
  if (cmd.code.size() > 2 || cmd.device.size() > 4) __builtin_trap();
  for (const auto& line : cmd.lines) {
    if (!line.empty() && (line.front() <= 0x20 || line.back() <= 0x20)) __builtin_trap();
    const std::u16string centred = axg::CenterStr(line, 20);
    if (centred.size() < 20 && centred.size() != line.size()) __builtin_trap();
    if (axg::CRC8Str(centred).size() != 2) __builtin_trap();
  }
  return 0;
}
