// The target's lock on Linux: flock on a file opened close-on-exec. Its last holder
// removes the file, so a run that took the lock on a file already removed (it opened it
// just before) sees that its inode is no longer the path's and tries again.

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include "files/target_lock.h"

namespace relauncher {

namespace {

std::uint32_t holder_of(int fd) {
  char text[16] = {};
  const ssize_t got = pread(fd, text, sizeof text - 1, 0);
  return got > 0 ? static_cast<std::uint32_t>(std::strtoul(text, nullptr, 10)) : 0;
}

bool still_at_path(int fd, const std::string& path) {
  struct stat held {};
  struct stat named {};
  return fstat(fd, &held) == 0 && lstat(path.c_str(), &named) == 0 && held.st_dev == named.st_dev &&
         held.st_ino == named.st_ino;
}

}  // namespace

LockAttempt try_target_lock(const SystemText& path) {
  LockAttempt attempt;
  for (;;) {
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
      attempt.error = static_cast<std::uint32_t>(errno);
      return attempt;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
      const int error = errno;
      attempt.busy = error == EWOULDBLOCK;
      attempt.error = attempt.busy ? 0 : static_cast<std::uint32_t>(error);
      attempt.holder = attempt.busy ? holder_of(fd) : 0;
      (void)close(fd);
      return attempt;
    }
    if (!still_at_path(fd, path)) {
      (void)close(fd);  // its holder removed it as we took it: the next one is the path's
      continue;
    }
    const std::string pid = std::to_string(getpid());
    // Only for the waiting run's log line: the lock itself is the flock.
    const bool told = ftruncate(fd, 0) == 0 && pwrite(fd, pid.data(), pid.size(), 0) >= 0;
    (void)told;
    attempt.lock = {fd, path};
    return attempt;
  }
}

void release_target_lock(TargetLock& lock) {
  if (lock.handle == -1) {
    return;
  }
  // Removed while still held: a run that opens it now finds it gone once it holds it.
  (void)unlink(lock.path.c_str());
  (void)close(static_cast<int>(lock.handle));
  lock.handle = -1;
}

}  // namespace relauncher
