// The swap's steps on Linux: renameat2 for the exchange, hard links for a file's backup,
// each followed by a flush of the folders it changed, and a copy that keeps modes, times
// and symbolic links and flushes what it writes. No lock is passing here: an error is
// final.

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

#include "files/files_posix_internal.h"
#include "files/paths.h"
#include "files/swap.h"
#include "files/swap_internal.h"

namespace relauncher {

namespace {

std::uint32_t error_of(int result) { return result == 0 ? 0 : static_cast<std::uint32_t>(errno); }

FileStep once(int result) {
  FileStep step;
  step.error = error_of(result);
  return step;
}

std::uint32_t fsync_path(const std::string& path, int flags) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | flags);
  if (fd < 0) {
    return static_cast<std::uint32_t>(errno);
  }
  const std::uint32_t error = error_of(fsync(fd));
  (void)close(fd);
  return error;
}

// After a rename, exchange or link: the folders that changed, on the disk. The step itself
// has happened whatever the flush says; the backup's removal flushes again and heeds it.
FileStep flushed_after(int result, const std::string& one, const std::string& other) {
  const FileStep step = once(result);
  if (step.ok()) {
    (void)fsync_path(parent_of(one), O_DIRECTORY);
    if (parent_of(other) != parent_of(one)) {
      (void)fsync_path(parent_of(other), O_DIRECTORY);
    }
  }
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

// A copy in progress: where it comes from and goes to, and the entry that failed.
struct Copy {
  std::string from, to;
  std::string failed;             // relative to the top
  const std::atomic<bool>* stop;  // set when the copy is no longer wanted
};

std::uint32_t copy_entry(Copy& copy, const std::string& relative, const mode_t* top_mode);

std::uint32_t copy_folder(Copy& copy, const std::string& relative, mode_t mode) {
  const std::string to = copy.to + relative;
  if (mkdir(to.c_str(), 0700) != 0) {
    return static_cast<std::uint32_t>(errno);
  }
  DIR* folder = opendir((copy.from + relative).c_str());
  if (folder == nullptr) {
    return static_cast<std::uint32_t>(errno);
  }
  std::uint32_t error = 0;
  while (const dirent* entry = readdir(folder)) {
    const std::string name = entry->d_name;
    if (name == "." || name == "..") {
      continue;
    }
    error = copy.stop != nullptr && copy.stop->load()
                ? ECANCELED
                : copy_entry(copy, relative + "/" + name, nullptr);
    if (error != 0) {
      break;
    }
  }
  (void)closedir(folder);
  if (error != 0) {
    return error;
  }
  // Its own mode last: a folder without write permission would refuse its contents. Its
  // entries on the disk with the files they name.
  error = error_of(chmod(to.c_str(), mode & 07777));
  return error != 0 ? error : fsync_path(to, O_DIRECTORY);
}

std::uint32_t copy_entry(Copy& copy, const std::string& relative, const mode_t* top_mode) {
  const std::string from = copy.from + relative;
  const std::string to = copy.to + relative;
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
    error = copy_folder(copy, relative, mode);
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
  } else if (copy.failed.empty()) {
    copy.failed = relative.empty() ? std::string(".") : relative.substr(1);
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

bool held_file_is_moved(std::intptr_t, const SystemText&) {
  return false;  // written from the sealed copy: the file at --with stays
}

bool is_passing_lock(std::uint32_t) { return false; }

std::uint32_t hard_links_unsupported() {
  return EPERM;  // what link(2) gives on a file system without hard links
}

SystemText to_system_text_ascii(const char* text) { return text; }

SystemText system_text_from_utf8(const std::string& text) { return text; }

// Linux has no passing locks: every step is tried once.
FileStep rename_path(const SystemText& from, const SystemText& to, bool) {
  // RENAME_NOREPLACE: whatever stands at `to` is never overwritten. Where the file system
  // does not know the flag, a plain rename once nothing is seen there.
  const int result = renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE);
  if (result == 0 || errno != EINVAL) {
    return flushed_after(result, from, to);
  }
  if (path_kind(to) != PathKind::missing) {
    FileStep step;
    step.error = EEXIST;
    return step;
  }
  return flushed_after(rename(from.c_str(), to.c_str()), from, to);
}

FileStep replace_file(const SystemText& from, const SystemText& to) {
  return flushed_after(rename(from.c_str(), to.c_str()), from, to);
}

FileStep exchange_paths(const SystemText& one, const SystemText& other, bool& unsupported) {
  const int result = renameat2(AT_FDCWD, one.c_str(), AT_FDCWD, other.c_str(), RENAME_EXCHANGE);
  unsupported = result != 0 && (errno == EINVAL || errno == ENOSYS);
  return flushed_after(result, one, other);
}

FileStep link_file(const SystemText& existing, const SystemText& link_path) {
  return flushed_after(link(existing.c_str(), link_path.c_str()), existing, link_path);
}

FileStep copy_tree(const SystemText& from, const SystemText& to, const SystemText& top_like,
                   const std::atomic<bool>* stop) {
  mode_t top = 0;
  const bool like = mode_of(top_like, top);
  Copy copy{from, to, {}, stop};
  FileStep step;
  step.error = copy_entry(copy, "", like ? &top : nullptr);
  if (!step.ok()) {
    step.entry = copy.failed;
    (void)remove_tree(to);  // what the copy wrote goes with it
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
    (void)remove_tree(to);
  }
  return step;
}

FileStep rename_held(std::intptr_t, const SystemText&, bool) {
  FileStep step;
  step.error = EOPNOTSUPP;  // the sealed copy has no name to rename: it is written instead
  return step;
}

FileStep check_parent_writable(const SystemText& probe) {
  const int file = open(probe.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (file < 0) {
    return once(-1);
  }
  (void)close(file);
  return once(unlink(probe.c_str()));
}

FileStep flush_version(const SystemText& path) {
  // One call for the whole version: its file system synced, whatever it holds.
  const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    return once(-1);
  }
  const FileStep step = once(syncfs(fd));
  (void)close(fd);
  return step;
}

FileStep flush_folder(const SystemText& folder) {
  FileStep step;
  step.error = fsync_path(folder, O_DIRECTORY);
  return step;
}

FileStep write_file_atomically(const SystemText& path, const std::string& bytes) {
  const std::string temporary = path + ".tmp";
  // Made anew: whatever stands there (a link planted beside the target) is never followed.
  (void)unlink(temporary.c_str());
  const int out =
      open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (out < 0) {
    return once(-1);
  }
  const bool written = write_all(out, bytes.data(), bytes.size()) && fsync(out) == 0;
  const int error = errno;
  (void)close(out);
  if (!written) {
    (void)unlink(temporary.c_str());
    FileStep step;
    step.error = static_cast<std::uint32_t>(error);
    return step;
  }
  return flushed_after(rename(temporary.c_str(), path.c_str()), temporary, path);
}

std::optional<std::string> read_small_file(const SystemText& path) {
  const int in = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (in < 0) {
    return std::nullopt;
  }
  std::string text;
  char buffer[4096];
  ssize_t got = 0;
  while ((got = read(in, buffer, sizeof buffer)) > 0 && text.size() < (1 << 20)) {
    text.append(buffer, static_cast<std::size_t>(got));
  }
  (void)close(in);
  return got < 0 ? std::nullopt : std::optional<std::string>(text);
}

std::vector<SystemText> relauncher_siblings(const SystemText& target) {
  const std::string folder = parent_of(target);
  const std::string prefix = target.substr(target.find_last_of('/') + 1) + ".relauncher-";
  std::vector<SystemText> found;
  DIR* listing = opendir(folder.c_str());
  if (listing == nullptr) {
    return found;
  }
  while (const dirent* entry = readdir(listing)) {
    const std::string name = entry->d_name;
    if (name.compare(0, prefix.size(), prefix) == 0) {
      found.push_back(folder + (folder == "/" ? "" : "/") + name);
    }
  }
  (void)closedir(listing);
  return found;
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

bool set_current_folder(const SystemText& folder) { return chdir(folder.c_str()) == 0; }

}  // namespace relauncher
