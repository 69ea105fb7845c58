// Command-line switches, matched the same way in both builds.
#include "platform/com.h"

namespace axg {

bool HasSwitch(const std::vector<std::u16string>& arguments, std::u16string_view name) {
  auto upper = [](char16_t c) {
    return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - 0x20) : c;
  };
  for (std::u16string_view arg : arguments) {
    if (!arg.empty() && (arg.front() == u'/' || arg.front() == u'-')) arg.remove_prefix(1);
    if (arg.size() != name.size() || arg.empty()) continue;
    bool same = true;
    for (std::size_t i = 0; same && i < arg.size(); ++i) same = upper(arg[i]) == upper(name[i]);
    if (same) return true;
  }
  return false;
}

bool ProcessHasSwitch(std::u16string_view name) { return HasSwitch(ProcessArguments(), name); }

}  // namespace axg
