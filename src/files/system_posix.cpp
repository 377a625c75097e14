#include "files/system.h"

#include <time.h>

#include <cerrno>
#include <cstring>

namespace relauncher {

std::uint64_t steady_milliseconds() {
  struct timespec now {};
  (void)clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::uint64_t>(now.tv_sec) * 1000 +
         static_cast<std::uint64_t>(now.tv_nsec) / 1000000;
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
