#pragma once
// What the tools tell their users where the two systems differ: the module's
// name, where registrations are kept, a serial port's name; and file arguments
// with wildcards, which a Windows program expands itself.
#include <string>
#include <vector>

#include "platform/export.h"

namespace axg {

struct SystemTexts {
  const char* module_file;     // the module as a user names it to ax_gate-regsvr
  const char* registry_where;  // where a registration goes, one sentence
  const char* register_hint;   // how to register the module, one command
  const char* serial_example;  // a serial port's name
};

AXG_PLATFORM_API const SystemTexts& ThisSystemTexts();

// Each argument with "*" or "?" in its last part replaced by the files it names,
// in name order, where the command shell leaves that to the program (Windows);
// an argument that names no file stays as it is, so that the program can say so.
// Elsewhere the shell has done it and the arguments come back unchanged.
AXG_PLATFORM_API std::vector<std::string> ExpandWildcards(const std::vector<std::string>& args);

// The tools write UTF-8 (Russian text among it): a Windows console is told to
// show it as such rather than in its OEM code page. Elsewhere nothing to do.
AXG_PLATFORM_API void ConsoleOutputInUtf8();

}  // namespace axg
