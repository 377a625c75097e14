#include "files/system.h"

#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "files/files_posix_internal.h"

namespace relauncher {

std::uint64_t steady_milliseconds() {
  struct timespec now {};
  (void)clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::uint64_t>(now.tv_sec) * 1000 +
         static_cast<std::uint64_t>(now.tv_nsec) / 1000000;
}

bool write_all(int fd, const void* data, std::size_t size) {
  const auto* bytes = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t put = write(fd, bytes, size);
    if (put < 0 && errno == EINTR) {
      continue;
    }
    if (put <= 0) {
      return false;
    }
    bytes += put;
    size -= static_cast<std::size_t>(put);
  }
  return true;
}

void pause_milliseconds(std::uint32_t ms) {
  struct timespec left = {static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

std::string system_message(std::uint32_t error) {
  return std::strerror(static_cast<int>(error));
}

}  // namespace relauncher
