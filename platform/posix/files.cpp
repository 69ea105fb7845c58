#include "platform/files.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/text.h"

namespace axg {

std::optional<std::uint64_t> FileSize(std::u16string_view path) {
  struct stat st {};
  if (::stat(ToUtf8(path).c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  return static_cast<std::uint64_t>(st.st_size);
}

bool FileExists(std::u16string_view path) {
  struct stat st {};
  return ::stat(ToUtf8(path).c_str(), &st) == 0;
}

bool RemoveFile(std::u16string_view path) { return std::remove(ToUtf8(path).c_str()) == 0 || errno == ENOENT; }

bool RenameFile(std::u16string_view from, std::u16string_view to, std::u16string* error) {
  if (std::rename(ToUtf8(from).c_str(), ToUtf8(to).c_str()) == 0) return true;
  if (error) *error = FromUtf8(std::strerror(errno));
  return false;
}

}  // namespace axg
