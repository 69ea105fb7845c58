// ax_gate-regsvr [/u] MODULE
// Registers (or with /u unregisters) an in-process server module by calling its
// own DllRegisterServer (DllUnregisterServer), as regsvr32 does on Windows. The
// module reads the per-user switches from this process's command line, so
// "ax_gate-regsvr MODULE /REGSERVERPERUSER" registers for the current user only.
#include <cstdio>
#include <string>
#include <vector>

#include "platform/com.h"
#include "platform/error.h"
#include "platform/ole.h"
#include "platform/registry.h"
#include "platform/text.h"
#include "platform/tool_text.h"

namespace {

// To standard output with status 0 when asked for, else to standard error with 2.
int Usage(bool asked = false) {
  std::fprintf(asked ? stdout : stderr,
               "usage: ax_gate-regsvr [/u] MODULE [/REGSERVERPERUSER | /UNREGSERVERPERUSER]\n"
               "  registers MODULE (e.g. %s) through its DllRegisterServer,\n"
               "  or with /u unregisters it through its DllUnregisterServer.\n"
               "  %s\n",
               axg::ThisSystemTexts().module_file, axg::ThisSystemTexts().registry_where);
  return asked ? 0 : 2;
}

std::string Hex(HRESULT hr) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%08X", static_cast<unsigned>(hr));
  return buf;
}

}  // namespace

int main(int argc, char** argv) {
  bool unregister = false;
  std::u16string module;
  for (int i = 1; i < argc; ++i) {
    const std::vector<std::u16string> arg{axg::FromUtf8(argv[i])};
    if (axg::HasSwitch(arg, u"u")) {
      unregister = true;
    } else if (axg::HasSwitch(arg, u"REGSERVERPERUSER") ||
               axg::HasSwitch(arg, u"UNREGSERVERPERUSER")) {
      // Read by the module itself.
    } else if (axg::HasSwitch(arg, u"h") || axg::HasSwitch(arg, u"help") || axg::HasSwitch(arg, u"?") ||
               arg[0] == u"--help") {
      return Usage(true);
    } else if (!module.empty() || arg[0].empty() || arg[0][0] == u'-') {
      // A module's name never starts with "-": an unknown option.
      return Usage();
    } else {
      module = arg[0];
    }
  }
  if (module.empty()) return Usage();

  const char* entry = unregister ? "DllUnregisterServer" : "DllRegisterServer";
  const std::string name = axg::ToUtf8(module);
  try {
    axg::DynamicLibrary library(module);
    using EntryPoint = HRESULT(STDAPICALLTYPE*)();
    auto call = library.Find<EntryPoint>(entry);
    if (call == nullptr) {
      std::fprintf(stderr, "ax_gate-regsvr: %s has no entry point %s\n", name.c_str(), entry);
      return 1;
    }
    const HRESULT hr = call();
    if (FAILED(hr)) {
      std::fprintf(stderr, "ax_gate-regsvr: %s in %s failed: %s\n", entry, name.c_str(),
                   Hex(hr).c_str());
      return 1;
    }
    const std::string registry = axg::ToUtf8(axg::RegistryFilePath());
    std::printf("%s in %s succeeded%s%s\n", entry, name.c_str(),
                registry.empty() ? "" : "; registry file ", registry.c_str());
    return 0;
  } catch (const axg::Error& e) {
    std::fprintf(stderr, "ax_gate-regsvr: cannot load %s: %s\n", name.c_str(), e.what());
    return 1;
  }
}
