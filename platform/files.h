#pragma once
// Files named by UTF-16 paths: what the trace needs to rotate its files. Through
// the system's own calls, so that the i686 build links none of the C runtime's
// file functions that carry a 32-bit time_t.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/export.h"

namespace axg {

// The size of a file; nothing if there is no such file or it cannot be read.
AXG_PLATFORM_API std::optional<std::uint64_t> FileSize(std::u16string_view path);
AXG_PLATFORM_API bool FileExists(std::u16string_view path);
// Deletes a file; false if it is still there (it may have been absent).
AXG_PLATFORM_API bool RemoveFile(std::u16string_view path);
// Renames a file, replacing `to` if it exists; on failure false and the system's
// reason in *error.
AXG_PLATFORM_API bool RenameFile(std::u16string_view from, std::u16string_view to, std::u16string* error);

}  // namespace axg
