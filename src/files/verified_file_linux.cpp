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

// Copies `size` bytes from `from` to the end of `to` inside the kernel; false when it
// cannot (the copy is then made by reading and writing).
bool copy_in_kernel(int from, int to, std::uint64_t size) {
  for (std::uint64_t left = size; left > 0;) {
    const ssize_t sent = sendfile(
        to, from, nullptr, static_cast<std::size_t>(std::min<std::uint64_t>(left, 1u << 30)));
    if (sent < 0 && errno == EINTR) {
      continue;
    }
    if (sent <= 0) {
      return false;
    }
    left -= static_cast<std::uint64_t>(sent);
  }
  return true;
}

bool hash_mapped(int copy, std::uint64_t size, Sha256& hash) {
  if (size == 0) {
    return true;
  }
  void* bytes = mmap(nullptr, size, PROT_READ, MAP_SHARED | MAP_POPULATE, copy, 0);
  if (bytes == MAP_FAILED) {
    return false;
  }
  sha256_add(hash, bytes, size);
  (void)munmap(bytes, size);
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

}  // namespace

HeldFile open_held_file(const SystemText& path, bool) {
  HeldFile held;
  off_t size = 0;
  const int file = open_regular(path, held, size);
  held.source = file;
  held.size = static_cast<std::uint64_t>(size);
  return held;
}

void hash_held_file(HeldFile& held) {
  const int file = static_cast<int>(held.source);
  if (file < 0) {
    return;
  }
  held.source = -1;
  // The copy is what is hashed and what runs: a write into the file, or another file
  // moved over its name, after this reaches neither.
  const int copy = memfd_create("relauncher-verified", MFD_CLOEXEC | MFD_ALLOW_SEALING);
  if (copy < 0) {
    held.error = static_cast<std::uint32_t>(errno);
    (void)close(file);
    return;
  }
  Sha256 hash = sha256_start(Sha256Compression::fastest);
  // The kernel copies into the sealed copy, and what is hashed is the copy itself, read
  // where it lies: what runs is exactly what was hashed, and no byte crosses into the
  // tool twice.
  if (copy_in_kernel(file, copy, held.size) && hash_mapped(copy, held.size, hash)) {
    (void)close(file);
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
    const ssize_t got = read(file, buffer.data(), want);
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got < 0 || (got > 0 && !write_all(copy, buffer.data(), static_cast<std::size_t>(got)))) {
      held.error = static_cast<std::uint32_t>(errno);
      break;
    }
    if (got == 0) {
      break;
    }
    sha256_add(hash, buffer.data(), static_cast<std::size_t>(got));
    left -= got;
  }
  (void)close(file);
  seal_or_fail(copy, hash, held);
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
