// The installation's single-byte code page on Windows: the system's ANSI code
// page, as the host itself uses it.
#include <windows.h>

#include <climits>

#include "platform/text.h"

namespace axg {

std::string ToAnsi(std::u16string_view text) {
  if (text.empty()) return {};
  const auto* src = reinterpret_cast<const wchar_t*>(text.data());
  const int len = static_cast<int>(text.size() > INT_MAX ? INT_MAX : text.size());
  // No best-fit substitutes: a character the code page lacks becomes '?', never a
  // look-alike that would put different bytes on the wire.
  const DWORD flags = WC_NO_BEST_FIT_CHARS;
  BOOL used_default = FALSE;
  const int n = WideCharToMultiByte(CP_ACP, flags, src, len, nullptr, 0, "?", &used_default);
  std::string out(static_cast<std::size_t>(n > 0 ? n : 0), '\0');
  if (n > 0) WideCharToMultiByte(CP_ACP, flags, src, len, out.data(), n, "?", &used_default);
  return out;
}

std::u16string FromAnsi(std::string_view bytes) {
  if (bytes.empty()) return {};
  const int len = static_cast<int>(bytes.size() > INT_MAX ? INT_MAX : bytes.size());
  const int n = MultiByteToWideChar(CP_ACP, 0, bytes.data(), len, nullptr, 0);
  std::u16string out(static_cast<std::size_t>(n > 0 ? n : 0), u'\0');
  if (n > 0) MultiByteToWideChar(CP_ACP, 0, bytes.data(), len, reinterpret_cast<wchar_t*>(out.data()), n);
  return out;
}

}  // namespace axg
