#include "platform/win32/win32_util.h"

#include "platform/text.h"

namespace axg::win32 {

HMODULE ThisModule() {
  static const HMODULE module = [] {
    HMODULE h = nullptr;
    // Any address inside this module names it; the reference count is left alone so
    // that the module can still be unloaded.
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCWSTR>(&ThisModule), &h);
    return h;
  }();
  return module;
}

std::u16string SystemMessage(DWORD code) {
  wchar_t* buffer = nullptr;
  const DWORD n = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
      0, reinterpret_cast<LPWSTR>(&buffer), 0, nullptr);
  std::u16string text = n && buffer ? U16(buffer, n) : std::u16string();
  if (buffer) LocalFree(buffer);
  while (!text.empty() && (text.back() == u'\r' || text.back() == u'\n' || text.back() == u' ' ||
                           text.back() == u'.'))
    text.pop_back();
  return text;
}

std::u16string SystemErrorText(DWORD code) {
  std::u16string text = SystemMessage(code);
  return text.empty() ? u"Error " + IntToStr(code) : text;
}

}  // namespace axg::win32
