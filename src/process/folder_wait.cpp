#include "process/folder_wait.h"

#include <algorithm>

#include "files/folder_path.h"

namespace relauncher {

namespace {

bool is_one_of(const std::vector<SystemText>& files, const SystemText& image) {
  return std::find(files.begin(), files.end(), image) != files.end();
}

}  // namespace

bool is_waited_for(const FolderWaitSettings& settings, const SystemText& image) {
  return path_is_in_any(settings.folders, image) || is_one_of(settings.files, image);
}

bool may_be_ended(const FolderWaitSettings& settings, const SystemText& image) {
  return path_is_in_any(settings.endable_folders, image) || is_one_of(settings.files, image);
}

}  // namespace relauncher
