#include "platform/environment.h"

#include "platform/win32/win32_util.h"

namespace axg {

std::optional<std::u16string> GetEnvironmentText(std::u16string_view name) {
  const std::u16string key(name);
  std::u16string value(256, u'\0');
  for (int attempt = 0; attempt < 4; ++attempt) {
    SetLastError(ERROR_SUCCESS);
    DWORD n = GetEnvironmentVariableW(win32::W(key), reinterpret_cast<wchar_t*>(value.data()),
                                      static_cast<DWORD>(value.size()));
    if (n == 0) {
      if (GetLastError() == ERROR_ENVVAR_NOT_FOUND) return std::nullopt;
      return std::u16string();
    }
    if (n < value.size()) {
      value.resize(n);
      return value;
    }
    value.assign(n + 1, u'\0');  // too small: n is the size it needs
  }
  return std::nullopt;
}

bool SetEnvironmentText(std::u16string_view name, std::u16string_view value) {
  const std::u16string key(name), text(value);
  return SetEnvironmentVariableW(win32::W(key), win32::W(text)) != 0;
}

bool LoadLibraryForGood(std::u16string_view path) {
  // Its own folder is searched for the libraries it needs, as for a module
  // loaded by full path from another program's folder.
  return LoadLibraryExW(win32::W(std::u16string(path)), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH) != nullptr;
}

}  // namespace axg
