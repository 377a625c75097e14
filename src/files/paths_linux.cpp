// Paths on Linux as the file system reads them back, and the folders too broad to wait
// for.

#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "files/folder_path.h"
#include "files/paths.h"

namespace relauncher {

namespace {

std::string environment(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

// The folders an application's own folder must never be or hold, resolved as the
// folder given is, so that "/sbin" on a merged system is "/usr/sbin".
PosixProtectedFolders protected_folders() {
  const auto resolved = [](const std::string& path) {
    return path.empty() ? path : canonical_path(path).value_or(path);
  };
  PosixProtectedFolders folders;
  for (const char* tree : {"/usr", "/etc", "/var", "/boot", "/snap", "/proc", "/sys", "/dev",
                           "/run", "/bin", "/sbin", "/lib", "/lib64"}) {
    folders.with_contents.push_back(resolved(tree));
  }
  for (const char* open : {"/usr/lib", "/usr/share", "/usr/local/lib", "/usr/local/share"}) {
    folders.open_inside.push_back(resolved(open));
  }
  const std::string home = environment("HOME");
  const auto below_home = [&home](const char* rest) {
    return home.empty() ? std::string() : home + rest;
  };
  for (const std::string& folder :
       {std::string("/opt"), std::string("/home"), std::string("/tmp"), home, environment("TMPDIR"),
        below_home("/.local/bin"), below_home("/.local/share/flatpak"), below_home("/.local/share"),
        below_home("/.config"), environment("XDG_DATA_HOME"), environment("XDG_CONFIG_HOME")}) {
    if (!folder.empty() && folder[0] == '/') {
      folders.themselves.push_back(resolved(folder));
    }
  }
  return folders;
}

}  // namespace

const char too_broad_explained[] =
    "\"/\", a system folder (/usr, /etc, /var...) or one inside it, /opt, /home, /tmp, the "
    "home folder or one of its shared folders, or one that holds such a folder";
const char path_limits_explained[] = "a component longer than 255 bytes or is longer than 4,095";

std::optional<SystemText> canonical_path(const SystemText& path) {
  if (path.empty() || !path_fits_system(path)) {
    return std::nullopt;
  }
  // The deepest part that exists is resolved by the file system (symbolic links
  // included, as /proc reports executables); the rest is kept as text.
  const std::string current = current_folder();
  const std::string current_or_root = current.empty() ? std::string("/") : current;
  const std::string absolute = lexically_absolute(path, current_or_root);
  for (std::size_t cut = absolute.size(); cut != std::string::npos && cut > 0;
       cut = absolute.rfind('/', cut - 1)) {
    char resolved[PATH_MAX];
    if (realpath(absolute.substr(0, cut).c_str(), resolved) != nullptr) {
      return lexically_absolute(std::string(resolved) + absolute.substr(cut), "/");
    }
  }
  return absolute;
}

std::optional<SystemText> absolute_folder(const SystemText& folder) {
  return canonical_path(folder);
}

bool folder_too_broad(const SystemText& folder) {
  return folder_is_too_broad(folder, protected_folders());
}

bool folder_holds(const SystemText& folder, const SystemText& path) {
  return path_is_inside(folder, path);
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

std::string current_folder() {
  std::string folder(256, '\0');
  while (getcwd(&folder[0], folder.size()) == nullptr) {
    if (errno != ERANGE) {
      return {};
    }
    folder.resize(folder.size() * 2);
  }
  folder.resize(std::strlen(folder.c_str()));
  return folder;
}

}  // namespace relauncher
