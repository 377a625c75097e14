#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "files/files_posix_internal.h"
#include "files/system.h"

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

std::string system_message(std::uint32_t error) { return std::strerror(static_cast<int>(error)); }

std::uint32_t own_process_id() { return static_cast<std::uint32_t>(getpid()); }

std::uint64_t own_start_time() {
  std::ifstream file("/proc/self/stat");
  std::string stat((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  // The command name may hold blanks and ')': the fields are counted after the last ')'.
  const std::size_t end = stat.rfind(')');
  if (end == std::string::npos) {
    return 0;
  }
  std::istringstream fields(stat.substr(end + 1));
  std::string field;
  for (int number = 3; number <= 22 && (fields >> field); ++number) {
  }
  return std::strtoull(field.c_str(), nullptr, 10);
}

}  // namespace relauncher
