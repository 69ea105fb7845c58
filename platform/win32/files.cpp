#include "platform/files.h"

#include "platform/win32/win32_util.h"

namespace axg {
namespace {

bool Attributes(std::u16string_view path, WIN32_FILE_ATTRIBUTE_DATA* data) {
  return GetFileAttributesExW(win32::W(std::u16string(path)), GetFileExInfoStandard, data) != 0;
}

}  // namespace

std::optional<std::uint64_t> FileSize(std::u16string_view path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!Attributes(path, &data) || (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) return std::nullopt;
  return (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

bool FileExists(std::u16string_view path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  return Attributes(path, &data);
}

bool RemoveFile(std::u16string_view path) {
  return DeleteFileW(win32::W(std::u16string(path))) != 0 || !FileExists(path);
}

bool RenameFile(std::u16string_view from, std::u16string_view to, std::u16string* error) {
  if (MoveFileExW(win32::W(std::u16string(from)), win32::W(std::u16string(to)), MOVEFILE_REPLACE_EXISTING))
    return true;
  if (error) *error = win32::SystemErrorText(GetLastError());
  return false;
}

}  // namespace axg
