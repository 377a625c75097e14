#include "files/file_id.h"

#include <windows.h>

#include "files/native_win32.h"

namespace relauncher {

std::optional<FileId> file_id_of(std::intptr_t file) {
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(reinterpret_cast<HANDLE>(file), &info)) {
    return std::nullopt;
  }
  return FileId{info.dwVolumeSerialNumber,
                (std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow};
}

std::optional<FileId> file_id(const std::u16string& path) {
  if (path.empty() || !path_fits_windows(path)) {
    return std::nullopt;
  }
  // No access asked for and shared every way; backup semantics let a folder open.
  HANDLE file =
      CreateFileW(as_wide(path), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    return std::nullopt;
  }
  const std::optional<FileId> id = file_id_of(reinterpret_cast<std::intptr_t>(file));
  (void)CloseHandle(file);  // nothing can be done if it fails
  return id;
}

}  // namespace relauncher
