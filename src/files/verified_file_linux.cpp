#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "files/sha256.h"
#include "files/verified_file.h"

namespace relauncher {

namespace {

bool write_all(int fd, const unsigned char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t put = write(fd, data, size);
    if (put < 0 && errno == EINTR) {
      continue;
    }
    if (put <= 0) {
      return false;
    }
    data += put;
    size -= static_cast<std::size_t>(put);
  }
  return true;
}

}  // namespace

HeldFile hold_file(const SystemText& path) {
  HeldFile held;
  const int file = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  // The copy is what is hashed and what runs: a write into the file, or another file
  // moved over its name, after this reaches neither.
  const int copy =
      file < 0 ? -1 : memfd_create("relauncher-verified", MFD_CLOEXEC | MFD_ALLOW_SEALING);
  if (file < 0 || copy < 0) {
    held.error = static_cast<std::uint32_t>(errno);
    if (file >= 0) {
      (void)close(file);
    }
    return held;
  }
  Sha256 hash;
  std::vector<unsigned char> buffer(1 << 16);
  for (;;) {
    const ssize_t got = read(file, buffer.data(), buffer.size());
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
  }
  (void)close(file);
  if (held.error == 0 &&
      fcntl(copy, F_ADD_SEALS, F_SEAL_WRITE | F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_SEAL) != 0) {
    held.error = static_cast<std::uint32_t>(errno);
  }
  if (held.error != 0) {
    (void)close(copy);
    return held;
  }
  held.handle = copy;
  held.sha256 = sha256_hex(hash);
  return held;
}

void release_file(HeldFile& file) {
  if (file.handle != -1) {
    (void)close(static_cast<int>(file.handle));
    file.handle = -1;
  }
}

}  // namespace relauncher
