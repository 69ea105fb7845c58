#pragma once
// The process's environment variables as UTF-16 text, read and written the same
// way in both builds (on Windows, the process's own environment block).
#include <optional>
#include <string>
#include <string_view>

#include "platform/export.h"

namespace axg {

// The variable's value; nothing when it is not set.
AXG_PLATFORM_API std::optional<std::u16string> GetEnvironmentText(std::u16string_view name);
// Sets the variable (an empty value is kept as set-but-empty where the system
// allows it); false if the system refuses.
AXG_PLATFORM_API bool SetEnvironmentText(std::u16string_view name, std::u16string_view value);
// Loads a library into the process until it ends, as the other modules of a host
// process bring theirs in (ax_gate-host --load); false if it cannot be loaded.
AXG_PLATFORM_API bool LoadLibraryForGood(std::u16string_view path);

}  // namespace axg
