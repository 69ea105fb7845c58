#include "platform/tool_text.h"

#include <windows.h>

#include <algorithm>

namespace axg {

const SystemTexts& ThisSystemTexts() {
  static const SystemTexts texts{
      "ax_gate.dll",
      "Registrations go to the Windows registry: HKEY_CLASSES_ROOT, or with\n"
      "  /REGSERVERPERUSER to HKEY_CURRENT_USER\\Software\\Classes (no administrator needed).",
      "install.cmd as administrator, or ax_gate-regsvr.exe ax_gate.dll /REGSERVERPERUSER",
      "COM1",
  };
  return texts;
}

// The arguments are in the ANSI code page, as main() receives them and as the
// tools open files by name, so the narrow functions are used throughout.
void ConsoleOutputInUtf8() { SetConsoleOutputCP(CP_UTF8); }

std::vector<std::string> ExpandWildcards(const std::vector<std::string>& args) {
  std::vector<std::string> out;
  for (const std::string& arg : args) {
    const std::size_t cut = arg.find_last_of("\\/:");
    const std::string folder = cut == std::string::npos ? std::string() : arg.substr(0, cut + 1);
    if (arg.find_first_of("*?", folder.size()) == std::string::npos) {
      out.push_back(arg);
      continue;
    }
    std::vector<std::string> found;
    WIN32_FIND_DATAA data;
    HANDLE h = FindFirstFileA(arg.c_str(), &data);
    if (h != INVALID_HANDLE_VALUE) {
      do {
        if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) found.push_back(folder + data.cFileName);
      } while (FindNextFileA(h, &data));
      FindClose(h);
    }
    if (found.empty()) found.push_back(arg);
    std::sort(found.begin(), found.end());
    out.insert(out.end(), found.begin(), found.end());
  }
  return out;
}

}  // namespace axg
