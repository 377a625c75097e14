#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>

#include "process/folder_wait.h"

namespace relauncher {

// The folder wait is not on this system yet: the command line is refused with
// --wait-folder, --end-folder-processes or --wait-tree before any of these is asked
// for (see unusable_on_this_system). What is here is what the path rules need.

std::optional<SystemText> canonical_path(const SystemText& path) {
  if (path.empty() || !path_fits_system(path)) {
    return std::nullopt;
  }
  char resolved[PATH_MAX];
  if (realpath(path.c_str(), resolved) == nullptr) {
    return std::nullopt;
  }
  return SystemText(resolved);
}

bool folder_too_broad(const SystemText& folder) {
  return folder.empty() || folder == "/";
}

bool folder_holds(const SystemText& folder, const SystemText& path) {
  const bool root = folder == "/";
  return !folder.empty() && path.size() > folder.size() &&
         path.compare(0, folder.size(), folder) == 0 && (root || path[folder.size()] == '/');
}

bool path_fits_system(const SystemText& path) {
  if (path.size() >= PATH_MAX) {
    return false;
  }
  std::size_t component = 0;
  for (const char byte : path) {
    component = byte == '/' ? 0 : component + 1;
    if (component > NAME_MAX) {
      return false;
    }
  }
  return true;
}

bool folder_exists(const SystemText& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

FolderWaitReport wait_for_folders(const FolderWaitSettings&) {
  FolderWaitReport report;
  report.outcome = FolderWaitOutcome::gave_up;  // never reached: see above
  return report;
}

}  // namespace relauncher
