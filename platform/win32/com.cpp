// What a server module needs to know about itself and its process on Windows.
// Creating objects goes through the system's own COM runtime (ole32), so only the
// helpers of platform/com.h are made here.
#include "platform/com.h"

#include <shellapi.h>
#include <windows.h>

#include <algorithm>

#include "platform/error.h"
#include "platform/win32/win32_util.h"

namespace axg {
namespace {

// The last failed load of this thread. A plain array: thread_local objects with
// destructors are not safe in mingw's threads.
constexpr std::size_t kLoadErrorMax = 512;
thread_local char16_t t_load_error[kLoadErrorMax];

void SetLoadError(const std::u16string& text) {
  const std::size_t n = std::min(text.size(), kLoadErrorMax - 1);
  std::copy_n(text.data(), n, t_load_error);
  t_load_error[n] = u'\0';
}

}  // namespace

std::u16string ComLoadError() { return std::u16string(t_load_error); }

std::u16string ModulePath(const void* address_in_module) {
  HMODULE module = nullptr;
  // Without an address the call would name the executable.
  if (!address_in_module ||
      !GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                          static_cast<LPCWSTR>(address_in_module), &module))
    return {};
  // Long paths do not fit MAX_PATH; grow until the name is not cut short.
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = GetModuleFileNameW(module, path.data(), static_cast<DWORD>(path.size()));
    if (n == 0) return {};
    if (n < path.size()) return win32::U16(path.c_str(), n);
    if (path.size() >= 32768) return {};
    path.resize(path.size() * 2);
  }
}

std::u16string ShortPath(std::u16string_view path) {
  std::u16string full(path);
  if (full.find(u' ') == std::u16string::npos) return full;
  const DWORD need = GetShortPathNameW(win32::W(full), nullptr, 0);
  if (need == 0) return full;  // no short names on this volume: keep the path
  std::wstring out(need, L'\0');
  const DWORD n = GetShortPathNameW(win32::W(full), out.data(), need);
  if (n == 0 || n >= need) return full;
  return win32::U16(out.c_str(), n);
}

std::vector<std::u16string> ProcessArguments() {
  std::vector<std::u16string> args;
  int count = 0;
  LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &count);
  if (!argv) return args;
  for (int i = 1; i < count; ++i) args.push_back(win32::U16(argv[i]));
  LocalFree(argv);
  return args;
}

DynamicLibrary::DynamicLibrary(std::u16string_view path) {
  const std::u16string file(path);
  HMODULE h = LoadLibraryExW(win32::W(file), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
  if (!h) {
    const std::u16string why = u"Cannot load " + file + u": " + win32::SystemErrorText(GetLastError());
    SetLoadError(why);
    throw Error(why);
  }
  handle_ = h;
}

DynamicLibrary::~DynamicLibrary() {
  if (handle_) FreeLibrary(static_cast<HMODULE>(handle_));
}

DynamicLibrary::DynamicLibrary(DynamicLibrary&& other) noexcept : handle_(other.handle_) {
  other.handle_ = nullptr;
}

DynamicLibrary& DynamicLibrary::operator=(DynamicLibrary&& other) noexcept {
  if (this != &other) {
    if (handle_) FreeLibrary(static_cast<HMODULE>(handle_));
    handle_ = other.handle_;
    other.handle_ = nullptr;
  }
  return *this;
}

void* DynamicLibrary::Symbol(const char* name) const {
  if (!handle_) return nullptr;
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(handle_), name));
}

}  // namespace axg
