#include "platform/tool_text.h"

namespace axg {

const SystemTexts& ThisSystemTexts() {
  static const SystemTexts texts{
      "build/bin/ax_gate.so",
      "Registrations go to the registry file $AX_GATE_REGISTRY, else\n"
      "  $XDG_CONFIG_HOME/ax_gate/registry or ~/.config/ax_gate/registry.",
      "ax_gate-regsvr build/bin/ax_gate.so (AX_GATE_REGISTRY selects the registry file)",
      "/dev/ttyUSB0",
  };
  return texts;
}

std::vector<std::string> ExpandWildcards(const std::vector<std::string>& args) { return args; }

void ConsoleOutputInUtf8() {}

}  // namespace axg
