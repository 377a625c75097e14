#include <fcntl.h>
#include <sys/mman.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

#include "files/files_posix_internal.h"
#include "files/sha256.h"
#include "files/verified_file.h"

namespace relauncher {

namespace {

// Opens the file for reading without blocking (a FIFO would wait for a writer), and only
// when it is a regular file. -1 with `held` saying why.
int open_regular(const SystemText& path, HeldFile& held, off_t& size) {
  const int file = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  struct stat info {};
  if (file < 0 || fstat(file, &info) != 0) {
    held.error = static_cast<std::uint32_t>(errno);
  } else if (!S_ISREG(info.st_mode)) {
    held.not_regular = true;
  } else {
    held.id =
        FileId{static_cast<std::uint64_t>(info.st_dev), static_cast<std::uint64_t>(info.st_ino)};
    size = info.st_size;
    return file;
  }
  if (file >= 0) {
    (void)close(file);
  }
  return -1;
}

// Above this size the sealed copy is a file of its own on the disk, not memory.
constexpr std::uint64_t in_memory_bound = 64ull << 20;
// How much is copied or hashed between two looks at the stop.
constexpr std::uint64_t piece = 64ull << 20;

bool stopped(const std::atomic<bool>* stop) { return stop != nullptr && stop->load(); }

// Copies `size` bytes from `from` to the end of `to` inside the kernel; false when it
// cannot (the copy is then made by reading and writing) or is stopped.
bool copy_in_kernel(int from, int to, std::uint64_t size, const std::atomic<bool>* stop) {
  for (std::uint64_t left = size; left > 0 && !stopped(stop);) {
    const ssize_t sent =
        sendfile(to, from, nullptr, static_cast<std::size_t>(std::min(left, piece)));
    if (sent < 0 && errno == EINTR) {
      continue;
    }
    if (sent <= 0) {
      return false;
    }
    left -= static_cast<std::uint64_t>(sent);
  }
  return !stopped(stop);
}

// Hashes the copy where it lies, a window at a time: its memory never grows with its size.
bool hash_mapped(int copy, std::uint64_t size, Sha256& hash, const std::atomic<bool>* stop) {
  for (std::uint64_t at = 0; at < size; at += piece) {
    if (stopped(stop)) {
      return false;
    }
    const std::size_t length = static_cast<std::size_t>(std::min(size - at, piece));
    void* bytes =
        mmap(nullptr, length, PROT_READ, MAP_SHARED | MAP_POPULATE, copy, static_cast<off_t>(at));
    if (bytes == MAP_FAILED) {
      return false;
    }
    sha256_add(hash, bytes, length);
    (void)munmap(bytes, length);
  }
  return true;
}

// Seals the copy, so that it can no longer change, and records the digest; or the error.
void seal_or_fail(int copy, Sha256& hash, HeldFile& held) {
  if (held.error == 0 &&
      fcntl(copy, F_ADD_SEALS, F_SEAL_WRITE | F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_SEAL) != 0) {
    held.error = static_cast<std::uint32_t>(errno);
  }
  if (held.error != 0) {
    (void)close(copy);
    return;
  }
  held.handle = copy;
  held.sha256 = sha256_hex(hash);
}

// A large file's copy: a file of its own, without a name, in the file's folder (the same
// file system, which has room for it), readable by its owner alone (executable where the
// file is), written and flushed, then reopened read-only and the writable descriptor
// closed, since an ELF program cannot run while one is open. -1 with `error` when the
// folder refuses it; `held.error` when the copy itself fails.
int copy_on_disk(int file, HeldFile& held, std::uint32_t& error, const std::atomic<bool>* stop) {
  struct stat info {};
  const mode_t mode = fstat(file, &info) == 0 && (info.st_mode & S_IXUSR) != 0 ? 0500 : 0400;
  const int copy = open(held.folder.c_str(), O_TMPFILE | O_RDWR | O_EXCL | O_CLOEXEC, mode);
  if (copy < 0) {
    error = static_cast<std::uint32_t>(errno);
    return -1;
  }
  const bool copied = copy_in_kernel(file, copy, held.size, stop) && fsync(copy) == 0;
  const int read_only =
      copied ? open(("/proc/self/fd/" + std::to_string(copy)).c_str(), O_RDONLY | O_CLOEXEC) : -1;
  if (read_only < 0) {
    error = stopped(stop) ? ECANCELED : static_cast<std::uint32_t>(errno);
  }
  (void)close(copy);
  return read_only;
}

// The sealed copy in memory, written and hashed in one pass; `held.error` when it fails.
void copy_in_memory(int file, HeldFile& held, const std::atomic<bool>* stop) {
  const int copy = memfd_create("relauncher-verified", MFD_CLOEXEC | MFD_ALLOW_SEALING);
  if (copy < 0) {
    held.error = static_cast<std::uint32_t>(errno);
    return;
  }
  Sha256 hash = sha256_start(Sha256Compression::fastest);
  // The kernel copies into the sealed copy, and what is hashed is the copy itself, read
  // where it lies: what runs is exactly what was hashed, and no byte crosses into the
  // tool twice.
  if (copy_in_kernel(file, copy, held.size, stop) && hash_mapped(copy, held.size, hash, stop)) {
    seal_or_fail(copy, hash, held);
    return;
  }
  if (stopped(stop)) {
    held.error = ECANCELED;
    seal_or_fail(copy, hash, held);
    return;
  }
  (void)ftruncate(copy, 0);
  (void)lseek(file, 0, SEEK_SET);
  (void)lseek(copy, 0, SEEK_SET);
  hash = sha256_start(Sha256Compression::fastest);
  std::vector<unsigned char> buffer(1 << 20);
  // Up to the size it had when held: a file that a writer keeps growing is not followed.
  for (off_t left = static_cast<off_t>(held.size); left > 0;) {
    const auto want =
        static_cast<std::size_t>(std::min<off_t>(left, static_cast<off_t>(buffer.size())));
    const ssize_t got = stopped(stop) ? -1 : read(file, buffer.data(), want);
    if (got < 0 && errno == EINTR && !stopped(stop)) {
      continue;
    }
    if (got < 0 || (got > 0 && !write_all(copy, buffer.data(), static_cast<std::size_t>(got)))) {
      held.error = stopped(stop) ? ECANCELED : static_cast<std::uint32_t>(errno);
      break;
    }
    if (got == 0) {
      break;
    }
    sha256_add(hash, buffer.data(), static_cast<std::size_t>(got));
    left -= got;
  }
  seal_or_fail(copy, hash, held);
}

}  // namespace

HeldFile open_held_file(const SystemText& path, bool) {
  HeldFile held;
  off_t size = 0;
  const int file = open_regular(path, held, size);
  held.source = file;
  held.size = static_cast<std::uint64_t>(size);
  const std::size_t slash = path.rfind('/');
  held.folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  return held;
}

void hash_held_file(HeldFile& held, const std::atomic<bool>* stop) {
  const int file = static_cast<int>(held.source);
  if (file < 0) {
    return;
  }
  held.source = -1;
  // The copy is what is hashed and what runs: a write into the file, or another file
  // moved over its name, after this reaches neither.
  if (held.size > in_memory_bound) {
    std::uint32_t refused = 0;
    const int copy = copy_on_disk(file, held, refused, stop);
    Sha256 hash = sha256_start(Sha256Compression::fastest);
    if (copy >= 0 && hash_mapped(copy, held.size, hash, stop)) {
      (void)close(file);
      held.handle = copy;
      held.sha256 = sha256_hex(hash);
      return;
    }
    if (copy >= 0 || stopped(stop)) {
      held.error = stopped(stop) ? ECANCELED : static_cast<std::uint32_t>(errno);
      (void)close(file);
      if (copy >= 0) {
        (void)close(copy);
      }
      return;
    }
    held.copy_in_memory_error =
        refused;  // no O_TMPFILE there, or no room: memory, as for a small file
    (void)lseek(file, 0, SEEK_SET);
  }
  copy_in_memory(file, held, stop);
  (void)close(file);
}

HeldFile hold_file(const SystemText& path, bool may_move) {
  HeldFile held = open_held_file(path, may_move);
  hash_held_file(held);
  return held;
}

void release_file(HeldFile& file) {
  for (std::intptr_t* held : {&file.handle, &file.source}) {
    if (*held != -1) {
      (void)close(static_cast<int>(*held));
      *held = -1;
    }
  }
}

}  // namespace relauncher
