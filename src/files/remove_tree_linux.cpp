// Deleting a version on Linux by descriptors: every entry is reached from its folder's
// descriptor, never by a path, so a link swapped in meanwhile is never followed, and paths
// of any depth are deleted. One folder is open at a time (the way back up is "..",
// checked against the device and inode seen on the way down). A file system mounted
// inside the version is neither entered nor removed: it is left, with what holds it.

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <set>
#include <string>
#include <vector>

#include "files/swap.h"

namespace relauncher {

namespace {

struct Level {
  std::string name;  // in the folder above; empty at the top
  dev_t device = 0;
  ino_t inode = 0;
  std::set<std::string> kept;  // entries that stay: the folder cannot go either
};

struct Deletion {
  std::vector<Level> levels;
  std::uint64_t mount_id = 0;  // the top's, where the kernel tells it
  bool mount_known = false;
  std::uint32_t error = 0;
  std::string failed;  // relative to the top
};

std::string relative_path(const Deletion& deletion, const std::string& name) {
  std::string path;
  for (std::size_t i = 1; i < deletion.levels.size(); ++i) {
    path += deletion.levels[i].name + "/";
  }
  return path + name;
}

void keep(Deletion& deletion, const std::string& name, std::uint32_t error) {
  deletion.levels.back().kept.insert(name);
  if (deletion.error == 0) {
    deletion.error = error;
    deletion.failed = relative_path(deletion, name);
  }
}

// Whether a folder entry is another file system: another device, a mount's root (a bind
// mount of the same device), or another mount id.
bool is_mount(const Deletion& deletion, int folder, const std::string& name, dev_t device) {
  if (device != deletion.levels.front().device) {
    return true;
  }
  struct statx info {};
  if (statx(folder, name.c_str(), AT_SYMLINK_NOFOLLOW, STATX_MNT_ID, &info) != 0) {
    return false;
  }
  if ((info.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) != 0 &&
      (info.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0) {
    return true;
  }
  return deletion.mount_known && (info.stx_mask & STATX_MNT_ID) != 0 &&
         info.stx_mnt_id != deletion.mount_id;
}

int open_folder(int at, const char* name) {
  return openat(at, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

// Opens the sub-folder `name` of `folder` to go down into it, making it writable by its
// owner first (a read-only folder's entries could not be removed). -1 when it is kept.
int enter(Deletion& deletion, int folder, const std::string& name) {
  (void)fchmodat(folder, name.c_str(), 0700, AT_SYMLINK_NOFOLLOW);  // not ours: the open tells
  const int inner = open_folder(folder, name.c_str());
  struct stat info {};
  const std::uint32_t error = inner < 0 || fstat(inner, &info) != 0
                                  ? static_cast<std::uint32_t>(errno)
                              // A file system mounted there since the look is not entered.
                              : info.st_dev != deletion.levels.front().device ? EBUSY
                                                                              : 0;
  if (error != 0) {
    keep(deletion, name, error);
    if (inner >= 0) {
      (void)close(inner);
    }
    return -1;
  }
  deletion.levels.push_back({name, info.st_dev, info.st_ino, {}});
  return inner;
}

// Deletes the files of `folder` and returns the name of a sub-folder to go down into, or
// empty when only kept entries are left.
std::string clear_files(Deletion& deletion, int folder) {
  const int listing_fd = open_folder(folder, ".");
  DIR* listing = listing_fd < 0 ? nullptr : fdopendir(listing_fd);
  if (listing == nullptr) {
    keep(deletion, ".", static_cast<std::uint32_t>(errno));
    if (listing_fd >= 0) {
      (void)close(listing_fd);
    }
    return {};
  }
  std::string down;
  while (const dirent* entry = readdir(listing)) {
    const std::string name = entry->d_name;
    if (name == "." || name == ".." || deletion.levels.back().kept.count(name) != 0) {
      continue;
    }
    struct stat info {};
    if (fstatat(folder, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
      keep(deletion, name, static_cast<std::uint32_t>(errno));
    } else if (!S_ISDIR(info.st_mode)) {
      if (unlinkat(folder, name.c_str(), 0) != 0) {  // a link is removed, never followed
        keep(deletion, name, static_cast<std::uint32_t>(errno));
      }
    } else if (is_mount(deletion, folder, name, info.st_dev)) {
      keep(deletion, name, EBUSY);
    } else {
      down = name;
      break;
    }
  }
  (void)closedir(listing);
  return down;
}

// Goes back up from an emptied (or kept) folder, removing it unless something in it was
// kept. The parent reached through ".." must be the one left on the way down.
int leave(Deletion& deletion, int folder) {
  const Level done = deletion.levels.back();
  const int parent = open_folder(folder, "..");
  (void)close(folder);
  deletion.levels.pop_back();
  struct stat info {};
  if (parent < 0 || fstat(parent, &info) != 0 || info.st_dev != deletion.levels.back().device ||
      info.st_ino != deletion.levels.back().inode) {
    if (parent >= 0) {
      (void)close(parent);
    }
    if (deletion.error == 0) {
      deletion.error = ESTALE;  // moved while it was being deleted: stop where it stands
      deletion.failed = relative_path(deletion, done.name);
    }
    return -1;
  }
  if (!done.kept.empty()) {
    deletion.levels.back().kept.insert(done.name);
  } else if (unlinkat(parent, done.name.c_str(), AT_REMOVEDIR) != 0) {
    keep(deletion, done.name, static_cast<std::uint32_t>(errno));
  }
  return parent;
}

std::uint32_t remove_folder(const std::string& path, Deletion& deletion) {
  (void)fchmodat(AT_FDCWD, path.c_str(), 0700, AT_SYMLINK_NOFOLLOW);
  int folder = open_folder(AT_FDCWD, path.c_str());
  struct stat top {};
  if (folder < 0 || fstat(folder, &top) != 0) {
    return static_cast<std::uint32_t>(errno);
  }
  deletion.levels.push_back({"", top.st_dev, top.st_ino, {}});
  struct statx info {};
  if (statx(folder, "", AT_EMPTY_PATH, STATX_MNT_ID, &info) == 0 &&
      (info.stx_mask & STATX_MNT_ID) != 0) {
    deletion.mount_known = true;
    deletion.mount_id = info.stx_mnt_id;
  }
  while (folder >= 0) {
    const std::string down = clear_files(deletion, folder);
    if (!down.empty()) {
      const int inner = enter(deletion, folder, down);
      if (inner >= 0) {
        (void)close(folder);
        folder = inner;
      }
      continue;
    }
    if (deletion.levels.size() == 1) {
      (void)close(folder);
      break;
    }
    folder = leave(deletion, folder);
  }
  if (deletion.levels.size() == 1 && deletion.levels.front().kept.empty() && deletion.error == 0 &&
      rmdir(path.c_str()) != 0) {
    return static_cast<std::uint32_t>(errno);
  }
  return deletion.error;
}

}  // namespace

FileStep remove_tree(const SystemText& path) {
  FileStep step;
  struct stat info {};
  if (lstat(path.c_str(), &info) != 0) {
    step.error = errno == ENOENT ? 0 : static_cast<std::uint32_t>(errno);
    return step;
  }
  if (!S_ISDIR(info.st_mode)) {
    step.error = unlink(path.c_str()) == 0 ? 0 : static_cast<std::uint32_t>(errno);
    return step;
  }
  Deletion deletion;
  step.error = remove_folder(path, deletion);
  step.entry = deletion.failed;
  return step;
}

}  // namespace relauncher
