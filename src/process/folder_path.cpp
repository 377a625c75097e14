#include "process/folder_path.h"

namespace relauncher {

namespace {

std::size_t count_components(const std::u16string& path) {
  std::size_t count = 0;
  bool in_component = false;
  for (const char16_t unit : path) {
    const bool separator = unit == u'\\';
    count += (!separator && !in_component) ? 1 : 0;
    in_component = !separator;
  }
  return count;
}

// "C:" or "\\SERVER\SHARE": a share's root is its name, so it counts two components.
bool is_root(const std::u16string& folder) {
  const bool share = folder.size() > 2 && folder[0] == u'\\' && folder[1] == u'\\';
  return count_components(folder) <= (share ? 2u : 1u);
}

}  // namespace

bool path_is_inside(const std::u16string& folder, const std::u16string& path) {
  return !folder.empty() && path.size() > folder.size() && path[folder.size()] == u'\\' &&
         path.compare(0, folder.size(), folder) == 0;
}

bool folder_is_too_broad(const std::u16string& folder,
                         const std::vector<std::u16string>& system_folders) {
  if (is_root(folder)) {
    return true;
  }
  for (const std::u16string& system : system_folders) {
    if (!system.empty() && (folder == system || path_is_inside(folder, system))) {
      return true;
    }
  }
  return false;
}

bool path_is_in_any(const std::vector<std::u16string>& folders, const std::u16string& path) {
  for (const std::u16string& folder : folders) {
    if (path_is_inside(folder, path)) {
      return true;
    }
  }
  return false;
}

}  // namespace relauncher
