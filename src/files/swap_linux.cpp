// The swap's steps on Linux: renameat2 for the exchange, hard links for a file's backup,
// and a copy that keeps modes, times and symbolic links. No lock is passing here: an
// error is final.

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "files/paths.h"
#include "files/files_posix_internal.h"
#include "files/swap.h"
#include "files/swap_internal.h"

namespace relauncher {

namespace {

std::uint32_t error_of(int result) {
  return result == 0 ? 0 : static_cast<std::uint32_t>(errno);
}

FileStep once(int result) {
  FileStep step;
  step.error = error_of(result);
  return step;
}

// Copies what `from` holds into a new file `to` with `mode`, flushed. 0, or the errno.
std::uint32_t copy_bytes(int from, const std::string& to, mode_t mode) {
  const int out = open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode & 07777);
  if (out < 0) {
    return static_cast<std::uint32_t>(errno);
  }
  std::vector<char> buffer(1 << 16);
  std::uint32_t error = 0;
  for (;;) {
    const ssize_t got = read(from, buffer.data(), buffer.size());
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got < 0 || (got > 0 && !write_all(out, buffer.data(), static_cast<std::size_t>(got)))) {
      error = static_cast<std::uint32_t>(errno != 0 ? errno : EIO);
      break;
    }
    if (got == 0) {
      break;
    }
  }
  // The mode again, past the umask; then the data on the disk before any rename.
  if (error == 0 && (fchmod(out, mode & 07777) != 0 || fsync(out) != 0)) {
    error = static_cast<std::uint32_t>(errno);
  }
  (void)close(out);
  return error;
}

void keep_times(const std::string& path, const struct stat& info) {
  const struct timespec times[2] = {info.st_atim, info.st_mtim};
  (void)utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW);  // times are a courtesy
}

std::uint32_t copy_entry(const std::string& from, const std::string& to, const mode_t* top_mode);

std::uint32_t copy_folder(const std::string& from, const std::string& to, mode_t mode) {
  if (mkdir(to.c_str(), 0700) != 0) {
    return static_cast<std::uint32_t>(errno);
  }
  DIR* folder = opendir(from.c_str());
  if (folder == nullptr) {
    return static_cast<std::uint32_t>(errno);
  }
  std::uint32_t error = 0;
  while (const dirent* entry = readdir(folder)) {
    const std::string name = entry->d_name;
    if (name == "." || name == "..") {
      continue;
    }
    error = copy_entry(from + "/" + name, to + "/" + name, nullptr);
    if (error != 0) {
      break;
    }
  }
  (void)closedir(folder);
  // Its own mode last: a folder without write permission would refuse its contents.
  return error != 0 ? error : error_of(chmod(to.c_str(), mode & 07777));
}

std::uint32_t copy_entry(const std::string& from, const std::string& to, const mode_t* top_mode) {
  struct stat info {};
  if (lstat(from.c_str(), &info) != 0) {
    return static_cast<std::uint32_t>(errno);
  }
  const mode_t mode = top_mode != nullptr ? *top_mode : info.st_mode;
  std::uint32_t error = 0;
  if (S_ISLNK(info.st_mode)) {
    std::string target(PATH_MAX, '\0');
    const ssize_t length = readlink(from.c_str(), &target[0], target.size());
    target.resize(length > 0 ? static_cast<std::size_t>(length) : 0);
    error = length < 0 ? static_cast<std::uint32_t>(errno)
                       : error_of(symlink(target.c_str(), to.c_str()));
  } else if (S_ISDIR(info.st_mode)) {
    error = copy_folder(from, to, mode);
  } else if (S_ISREG(info.st_mode)) {
    const int in = open(from.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    error = in < 0 ? static_cast<std::uint32_t>(errno) : copy_bytes(in, to, mode);
    if (in >= 0) {
      (void)close(in);
    }
  } else {
    error = EINVAL;  // a FIFO or a device has no place in an application's version
  }
  if (error == 0) {
    keep_times(to, info);
  }
  return error;
}

// The old target's mode for the top of a copy, where there is one.
bool mode_of(const std::string& path, mode_t& mode) {
  struct stat info {};
  if (lstat(path.c_str(), &info) != 0) {
    return false;
  }
  mode = info.st_mode;
  return true;
}

std::uint32_t remove_entry(const std::string& path) {
  struct stat info {};
  if (lstat(path.c_str(), &info) != 0) {
    return errno == ENOENT ? 0 : static_cast<std::uint32_t>(errno);
  }
  if (!S_ISDIR(info.st_mode)) {
    return error_of(unlink(path.c_str()));  // a link is removed, never followed
  }
  (void)chmod(path.c_str(), 0700);  // a read-only folder's entries could not be removed
  DIR* folder = opendir(path.c_str());
  if (folder == nullptr) {
    return static_cast<std::uint32_t>(errno);
  }
  std::vector<std::string> names;
  while (const dirent* entry = readdir(folder)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") {
      names.push_back(name);
    }
  }
  (void)closedir(folder);
  for (const std::string& name : names) {
    if (const std::uint32_t error = remove_entry(path + "/" + name)) {
      return error;
    }
  }
  return error_of(rmdir(path.c_str()));
}

}  // namespace

PathKind path_kind(const SystemText& path) {
  struct stat info {};
  if (path.empty() || lstat(path.c_str(), &info) != 0) {
    return PathKind::missing;
  }
  if (S_ISLNK(info.st_mode)) {
    return PathKind::link;
  }
  return S_ISDIR(info.st_mode)   ? PathKind::folder
         : S_ISREG(info.st_mode) ? PathKind::file
                                 : PathKind::other;
}

bool held_file_is_moved() {
  return false;  // written from the sealed copy: the file at --with stays
}

bool is_passing_lock(std::uint32_t) {
  return false;
}

std::uint32_t hard_links_unsupported() {
  return EPERM;  // what link(2) gives on a file system without hard links
}

SystemText to_system_text_ascii(const char* text) {
  return text;
}

FileStep rename_path(const SystemText& from, const SystemText& to) {
  // RENAME_NOREPLACE: whatever stands at `to` is never overwritten. Where the file system
  // does not know the flag, a plain rename once nothing is seen there.
  const int result = renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE);
  if (result == 0 || errno != EINVAL) {
    return once(result);
  }
  if (path_kind(to) != PathKind::missing) {
    FileStep step;
    step.error = EEXIST;
    return step;
  }
  return once(rename(from.c_str(), to.c_str()));
}

FileStep replace_file(const SystemText& from, const SystemText& to) {
  return once(rename(from.c_str(), to.c_str()));
}

FileStep exchange_paths(const SystemText& one, const SystemText& other, bool& unsupported) {
  const int result = renameat2(AT_FDCWD, one.c_str(), AT_FDCWD, other.c_str(), RENAME_EXCHANGE);
  unsupported = result != 0 && (errno == EINVAL || errno == ENOSYS);
  return once(result);
}

FileStep link_file(const SystemText& existing, const SystemText& link_path) {
  return once(link(existing.c_str(), link_path.c_str()));
}

FileStep copy_tree(const SystemText& from, const SystemText& to, const SystemText& top_like) {
  mode_t top = 0;
  const bool like = mode_of(top_like, top);
  FileStep step;
  step.error = copy_entry(from, to, like ? &top : nullptr);
  if (!step.ok()) {
    (void)remove_entry(to);  // what the copy wrote goes with it
  }
  return step;
}

FileStep copy_held_file(std::intptr_t held, const SystemText& to, const SystemText& top_like) {
  mode_t mode = 0755;
  (void)mode_of(top_like, mode);
  FileStep step;
  step.error = lseek(static_cast<int>(held), 0, SEEK_SET) < 0
                   ? static_cast<std::uint32_t>(errno)
                   : copy_bytes(static_cast<int>(held), to, mode);
  if (!step.ok()) {
    (void)remove_entry(to);
  }
  return step;
}

FileStep remove_tree(const SystemText& path) {
  FileStep step;
  step.error = remove_entry(path);
  return step;
}

FileStep check_parent_writable(const SystemText& target) {
  const std::string probe = target + ".relauncher-check";
  const int file = open(probe.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (file < 0) {
    return once(-1);
  }
  (void)close(file);
  return once(unlink(probe.c_str()));
}

SystemText parent_of(const SystemText& path) {
  const std::size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? std::string(".")
         : slash == 0               ? std::string("/")
                                    : path.substr(0, slash);
}

bool in_same_folder(const SystemText& one, const SystemText& other) {
  const std::optional<SystemText> first = canonical_path(parent_of(one));
  const std::optional<SystemText> second = canonical_path(parent_of(other));
  return first && second && *first == *second;
}

bool set_current_folder(const SystemText& folder) {
  return chdir(folder.c_str()) == 0;
}

}  // namespace relauncher
