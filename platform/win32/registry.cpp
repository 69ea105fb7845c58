// The system registry: keys with their default value and named text values,
// below HKEY_CLASSES_ROOT, HKEY_CURRENT_USER\Software\Classes or
// HKEY_CURRENT_USER\Software.
#include "platform/registry.h"

#include <windows.h>

#include "platform/text.h"
#include "platform/win32/win32_util.h"

namespace axg {
namespace {

// A key below a root: names separated by single backslashes, none empty, no
// control characters (the same rule as the registry file of the other build).
bool ValidKey(std::u16string_view key) {
  if (key.empty() || key.front() == u'\\' || key.back() == u'\\') return false;
  for (std::size_t i = 0; i < key.size(); ++i) {
    if (key[i] < 0x20) return false;
    if (key[i] == u'\\' && i + 1 < key.size() && key[i + 1] == u'\\') return false;
  }
  return true;
}

// The root handle and the key's path below it.
HKEY Resolve(RegRoot root, std::u16string_view key, std::u16string* path) {
  if (root == RegRoot::CurrentUserClasses || root == RegRoot::CurrentUserSoftware) {
    *path = root == RegRoot::CurrentUserClasses ? u"Software\\Classes\\" : u"Software\\";
    *path += key;
    return HKEY_CURRENT_USER;
  }
  *path = std::u16string(key);
  return HKEY_CLASSES_ROOT;
}

// The text with its %VARIABLE% references replaced (a REG_EXPAND_SZ value, as
// regedit and "reg add /t REG_EXPAND_SZ" store "%TEMP%\\trace.jsonl"); as it is
// when the system cannot expand it.
std::u16string Expanded(const std::u16string& text) {
  const std::wstring wide(text.begin(), text.end());
  for (DWORD size = static_cast<DWORD>(wide.size()) + 1, attempt = 0; attempt < 4; ++attempt) {
    std::wstring out(size, L'\0');
    const DWORD need = ExpandEnvironmentStringsW(wide.c_str(), out.data(), size);
    if (need == 0) break;
    if (need <= size) {
      out.resize(need - 1);  // without the terminating NUL
      return std::u16string(out.begin(), out.end());
    }
    size = need;
  }
  return text;
}

}  // namespace

bool RegSetDefaultValue(RegRoot root, std::u16string_view key, std::u16string_view value) {
  return RegSetStringValue(root, key, u"", value);
}

bool RegSetStringValue(RegRoot root, std::u16string_view key, std::u16string_view name,
                       std::u16string_view value) {
  if (!ValidKey(key)) return false;
  const std::u16string value_name(name);
  std::u16string path;
  const HKEY base = Resolve(root, key, &path);
  HKEY h = nullptr;
  if (RegCreateKeyExW(base, win32::W(path), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_SET_VALUE, nullptr, &h,
                      nullptr) != ERROR_SUCCESS)
    return false;
  const std::u16string data(value);  // with its terminating zero, as REG_SZ wants
  const wchar_t* wname = value_name.empty() ? nullptr : win32::W(value_name);
  const LSTATUS rc = RegSetValueExW(h, wname, 0, REG_SZ, reinterpret_cast<const BYTE*>(data.c_str()),
                                    static_cast<DWORD>((data.size() + 1) * sizeof(char16_t)));
  RegCloseKey(h);
  return rc == ERROR_SUCCESS;
}

std::optional<std::u16string> RegGetDefaultValue(RegRoot root, std::u16string_view key) {
  return RegGetStringValue(root, key, u"");
}

std::optional<std::u16string> RegGetStringValue(RegRoot root, std::u16string_view key,
                                                std::u16string_view name) {
  if (!ValidKey(key)) return std::nullopt;
  const std::u16string value_name(name);
  const wchar_t* wname = value_name.empty() ? nullptr : win32::W(value_name);
  std::u16string path;
  const HKEY base = Resolve(root, key, &path);
  HKEY h = nullptr;
  if (RegOpenKeyExW(base, win32::W(path), 0, KEY_QUERY_VALUE, &h) != ERROR_SUCCESS) return std::nullopt;
  std::optional<std::u16string> result;
  DWORD type = 0, bytes = 0;
  LSTATUS rc = RegQueryValueExW(h, wname, nullptr, &type, nullptr, &bytes);
  if (rc == ERROR_SUCCESS && type == REG_DWORD) {
    // A number set as a DWORD (reg add ... /t REG_DWORD) reads as its decimal text.
    DWORD number = 0, size = sizeof number;
    if (RegQueryValueExW(h, wname, nullptr, &type, reinterpret_cast<BYTE*>(&number), &size) == ERROR_SUCCESS &&
        type == REG_DWORD)
      result = IntToStr(number);
    RegCloseKey(h);
    return result;
  }
  // The value may grow between the two calls; ask again with the new size.
  for (int attempt = 0; attempt < 4 && rc == ERROR_SUCCESS; ++attempt) {
    if (type != REG_SZ && type != REG_EXPAND_SZ) break;
    std::u16string text(bytes / sizeof(char16_t) + 1, u'\0');
    DWORD got = static_cast<DWORD>(text.size() * sizeof(char16_t));
    rc = RegQueryValueExW(h, wname, nullptr, &type, reinterpret_cast<BYTE*>(text.data()), &got);
    if (rc == ERROR_MORE_DATA) {
      bytes = got;
      rc = ERROR_SUCCESS;
      continue;
    }
    if (rc != ERROR_SUCCESS) break;
    text.resize(got / sizeof(char16_t));
    while (!text.empty() && text.back() == u'\0') text.pop_back();
    if (type == REG_EXPAND_SZ) text = Expanded(text);
    result = std::move(text);
    break;
  }
  RegCloseKey(h);
  return result;
}

bool RegRemoveKey(RegRoot root, std::u16string_view key) {
  if (!ValidKey(key)) return false;
  std::u16string path;
  const HKEY base = Resolve(root, key, &path);
  // RegDeleteKeyW refuses a key that still has subkeys, as promised.
  return RegDeleteKeyW(base, win32::W(path)) == ERROR_SUCCESS;
}

bool RegKeyExists(RegRoot root, std::u16string_view key) {
  if (!ValidKey(key)) return false;
  std::u16string path;
  const HKEY base = Resolve(root, key, &path);
  HKEY h = nullptr;
  if (RegOpenKeyExW(base, win32::W(path), 0, KEY_READ, &h) != ERROR_SUCCESS) return false;
  RegCloseKey(h);
  return true;
}

std::u16string RegistryFilePath() { return {}; }

}  // namespace axg
