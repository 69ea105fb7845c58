#pragma once
// The system registry as the module's self-registration, COM object creation and
// the add-in's own settings need it: keys with an unnamed default value and named
// values of text, below one of three roots.
// Keys are paths of names separated by "\" and compared without regard to
// letter case. On Windows this is the real registry; elsewhere a file stands in
// for it (path from AX_GATE_REGISTRY, else $XDG_CONFIG_HOME/ax_gate/registry or
// ~/.config/ax_gate/registry), rewritten as a whole through a temporary file, so
// a reader never sees half an update.
#include <optional>
#include <string>
#include <string_view>

#include "platform/export.h"

namespace axg {

enum class RegRoot {
  ClassesRoot,         // HKEY_CLASSES_ROOT
  CurrentUserClasses,  // HKEY_CURRENT_USER\Software\Classes
  CurrentUserSoftware,  // HKEY_CURRENT_USER\Software (the add-in's own settings)
};

// Creates the key and any missing key above it, then sets its default value.
// False if the key is malformed (empty, or with an empty name between
// backslashes) or the registry cannot be written.
AXG_PLATFORM_API bool RegSetDefaultValue(RegRoot root, std::u16string_view key,
                                         std::u16string_view value);

// The key's default value; nothing if the key or its default value is absent,
// or the registry cannot be read.
AXG_PLATFORM_API std::optional<std::u16string> RegGetDefaultValue(RegRoot root,
                                                                   std::u16string_view key);

// Deletes one key. False, and nothing changes, if the key is absent, still has
// subkeys, or the registry cannot be written.
AXG_PLATFORM_API bool RegRemoveKey(RegRoot root, std::u16string_view key);

// A named text value of a key (the empty name is the default value): setting
// creates the key and any missing key above it; reading gives nothing if the key
// or the value is absent or not text. Value names compare without letter case.
// On Windows an expandable value (REG_EXPAND_SZ) reads with its %VARIABLE%
// references expanded, and a REG_DWORD as its decimal text.
AXG_PLATFORM_API bool RegSetStringValue(RegRoot root, std::u16string_view key,
                                        std::u16string_view name, std::u16string_view value);
AXG_PLATFORM_API std::optional<std::u16string> RegGetStringValue(RegRoot root,
                                                                  std::u16string_view key,
                                                                  std::u16string_view name);

AXG_PLATFORM_API bool RegKeyExists(RegRoot root, std::u16string_view key);

// The file that stands in for the registry (empty where the real one is used).
AXG_PLATFORM_API std::u16string RegistryFilePath();

}  // namespace axg
