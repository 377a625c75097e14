#include "files/file_id.h"

#include <sys/stat.h>

#include "files/paths.h"

namespace relauncher {

namespace {

FileId id_of(const struct stat& info) {
  return FileId{static_cast<std::uint64_t>(info.st_dev), static_cast<std::uint64_t>(info.st_ino)};
}

}  // namespace

std::optional<FileId> file_id_of(std::intptr_t file) {
  struct stat info {};
  if (fstat(static_cast<int>(file), &info) != 0) {
    return std::nullopt;
  }
  return id_of(info);
}

std::optional<FileId> file_id(const std::string& path) {
  struct stat info {};
  if (path.empty() || !path_fits_system(path) || stat(path.c_str(), &info) != 0) {
    return std::nullopt;
  }
  return id_of(info);
}

}  // namespace relauncher
