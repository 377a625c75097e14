#include "files/folder_path.h"

namespace relauncher {

namespace {

bool is_separator(char16_t unit) {
  return unit == u'\\' || unit == u'/';
}

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

// "X:" followed by the end or a separator.
bool is_drive_path(const std::u16string& path) {
  const char16_t letter = path.empty() ? u'\0' : static_cast<char16_t>(path[0] | 0x20);
  return path.size() >= 2 && letter >= u'a' && letter <= u'z' && path[1] == u':' &&
         (path.size() == 2 || is_separator(path[2]));
}

// The text after `prefix` when `path` begins with it, separators of either kind alike
// and letters of any case.
std::optional<std::u16string> after_prefix(const std::u16string& path, const char16_t* prefix) {
  std::size_t i = 0;
  for (; prefix[i] != u'\0'; ++i) {
    const char16_t unit = i < path.size() ? path[i] : u'\0';
    const bool same = prefix[i] == u'\\' ? is_separator(unit)
                                         : (unit | 0x20) == (prefix[i] | 0x20) && unit != u'\0';
    if (!same) {
      return std::nullopt;
    }
  }
  return path.substr(i);
}

}  // namespace

bool path_fits_windows(const std::u16string& path) {
  if (path.size() > longest_path) {
    return false;
  }
  std::size_t component = 0;
  for (const char16_t unit : path) {
    component = is_separator(unit) ? 0 : component + 1;
    if (component > longest_path_component) {
      return false;
    }
  }
  return true;
}

std::optional<std::u16string> without_device_prefix(const std::u16string& path) {
  for (const char16_t* prefix : {u"\\\\.\\UNC\\", u"\\\\?\\UNC\\"}) {
    if (const std::optional<std::u16string> rest = after_prefix(path, prefix)) {
      // A share path needs a server and a share name.
      const std::size_t server_end = rest->find_first_of(u"\\/");
      const bool names_share = server_end != 0 && server_end != std::u16string::npos &&
                               server_end + 1 < rest->size() &&
                               !is_separator((*rest)[server_end + 1]);
      return names_share ? std::optional<std::u16string>(u"\\\\" + *rest) : std::nullopt;
    }
  }
  for (const char16_t* prefix : {u"\\\\.\\", u"\\\\?\\"}) {
    if (const std::optional<std::u16string> rest = after_prefix(path, prefix)) {
      // "\\.\C:" is the drive itself, its root: "C:" alone would be the current
      // folder on that drive.
      if (rest->size() == 2 && is_drive_path(*rest)) {
        return *rest + u"\\";
      }
      return is_drive_path(*rest) ? rest : std::nullopt;
    }
  }
  return path;
}

bool path_is_inside(const std::u16string& folder, const std::u16string& path) {
  return !folder.empty() && path.size() > folder.size() && path[folder.size()] == u'\\' &&
         path.compare(0, folder.size(), folder) == 0;
}

bool folder_is_too_broad(const std::u16string& folder, const ProtectedFolders& protected_folders) {
  if (is_root(folder)) {
    return true;
  }
  for (const std::u16string& tree : protected_folders.with_contents) {
    if (!tree.empty() &&
        (folder == tree || path_is_inside(folder, tree) || path_is_inside(tree, folder))) {
      return true;
    }
  }
  for (const std::u16string& system : protected_folders.themselves) {
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

bool path_is_inside(const std::string& folder, const std::string& path) {
  const bool root = folder == "/";
  return !folder.empty() && path.size() > folder.size() &&
         path.compare(0, folder.size(), folder) == 0 && (root || path[folder.size()] == '/');
}

bool path_is_in_any(const std::vector<std::string>& folders, const std::string& path) {
  for (const std::string& folder : folders) {
    if (path_is_inside(folder, path)) {
      return true;
    }
  }
  return false;
}

bool folder_is_too_broad(const std::string& folder,
                         const PosixProtectedFolders& protected_folders) {
  if (folder.empty() || folder == "/") {
    return true;
  }
  const auto is_or_holds = [&folder](const std::string& system) {
    return !system.empty() && (folder == system || path_is_inside(folder, system));
  };
  for (const std::string& system : protected_folders.themselves) {
    if (is_or_holds(system)) {
      return true;
    }
  }
  for (const std::string& tree : protected_folders.with_contents) {
    if (is_or_holds(tree)) {
      return true;
    }
    if (path_is_inside(tree, folder) && !path_is_in_any(protected_folders.open_inside, folder)) {
      return true;
    }
  }
  return false;
}

std::string lexically_absolute(const std::string& path, const std::string& current) {
  const std::string full = !path.empty() && path[0] == '/' ? path : current + "/" + path;
  std::vector<std::string> names;
  for (std::size_t start = 0; start < full.size();) {
    std::size_t end = full.find('/', start);
    end = end == std::string::npos ? full.size() : end;
    const std::string name = full.substr(start, end - start);
    if (name == "..") {
      if (!names.empty()) {
        names.pop_back();
      }
    } else if (!name.empty() && name != ".") {
      names.push_back(name);
    }
    start = end + 1;
  }
  std::string absolute;
  for (const std::string& name : names) {
    absolute += "/" + name;
  }
  return absolute.empty() ? "/" : absolute;
}

}  // namespace relauncher
