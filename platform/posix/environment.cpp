#include "platform/environment.h"

#include <dlfcn.h>

#include <cstdlib>

#include "platform/text.h"

namespace axg {

std::optional<std::u16string> GetEnvironmentText(std::u16string_view name) {
  const char* value = std::getenv(ToUtf8(name).c_str());
  if (!value) return std::nullopt;
  return FromUtf8(value);
}

bool SetEnvironmentText(std::u16string_view name, std::u16string_view value) {
  return ::setenv(ToUtf8(name).c_str(), ToUtf8(value).c_str(), 1) == 0;
}

bool LoadLibraryForGood(std::u16string_view path) {
  return ::dlopen(ToUtf8(path).c_str(), RTLD_NOW | RTLD_GLOBAL) != nullptr;
}

}  // namespace axg
