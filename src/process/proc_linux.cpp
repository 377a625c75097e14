// What /proc tells of processes, and the pidfds that hold them.

#include <dirent.h>
#include <poll.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iterator>

#include "process/process.h"
#include "process/process_linux_internal.h"

namespace relauncher {

namespace {

std::string read_whole(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

constexpr char deleted_suffix[] = " (deleted)";

}  // namespace

std::optional<ProcessState> process_state(std::int64_t pid) {
  const std::string stat = read_whole("/proc/" + std::to_string(pid) + "/stat");
  // The command name (field 2) may hold blanks and parentheses: the fields that follow
  // begin after its last ")".
  const std::size_t close = stat.rfind(')');
  if (close == std::string::npos || close + 2 >= stat.size()) {
    return std::nullopt;
  }
  ProcessState state;
  const char letter = stat[close + 2];
  state.ended = letter == 'Z' || letter == 'X';
  // Fields 3 (the state) to 22 (the start time), the parent being field 4.
  std::size_t at = close + 1;
  for (int field = 3; field <= 22; ++field) {
    at = stat.find_first_not_of(' ', at);
    if (at == std::string::npos) {
      return std::nullopt;
    }
    if (field == 4) {
      state.parent = std::atoll(stat.c_str() + at);
    }
    if (field == 22) {
      state.start = std::strtoull(stat.c_str() + at, nullptr, 10);
      return state;
    }
    at = stat.find(' ', at);
  }
  return std::nullopt;
}

bool ended_since(std::int64_t pid, std::uint64_t start) {
  const std::optional<ProcessState> state = process_state(pid);
  return !state || state->ended || state->start != start;
}

std::vector<std::int64_t> process_ids() {
  std::vector<std::int64_t> ids;
  DIR* proc = opendir("/proc");
  while (const dirent* entry = proc != nullptr ? readdir(proc) : nullptr) {
    char* end = nullptr;
    const long long id = std::strtoll(entry->d_name, &end, 10);
    if (id > 0 && *end == '\0') {
      ids.push_back(id);
    }
  }
  if (proc != nullptr) {
    (void)closedir(proc);
  }
  return ids;
}

ExecutableRead executable_of(std::int64_t pid) {
  ExecutableRead read;
  std::string path(4096, '\0');
  const ssize_t length =
      readlink(("/proc/" + std::to_string(pid) + "/exe").c_str(), &path[0], path.size());
  if (length < 0) {
    read.error = errno;
    return read;
  }
  path.resize(static_cast<std::size_t>(length));
  const std::size_t suffix = sizeof(deleted_suffix) - 1;
  if (path.size() > suffix && path.compare(path.size() - suffix, suffix, deleted_suffix) == 0) {
    path.resize(path.size() - suffix);
  }
  read.path = path;
  return read;
}

std::optional<uid_t> real_user_of(std::int64_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("Uid:", 0) == 0) {
      return static_cast<uid_t>(std::strtoul(line.c_str() + 4, nullptr, 10));
    }
  }
  return std::nullopt;
}

int open_pidfd(std::int64_t pid) {
  return static_cast<int>(syscall(SYS_pidfd_open, static_cast<pid_t>(pid), 0));
}

bool pidfd_ended(int pidfd, int ms) {
  struct pollfd watched = {pidfd, POLLIN, 0};
  for (;;) {
    const int ready = poll(&watched, 1, ms);
    if (ready >= 0) {
      return ready > 0;
    }
    if (errno != EINTR) {
      return true;  // a pidfd that cannot be polled says nothing more: do not wait on
    }
  }
}

std::optional<std::int64_t> tool_that_started_this_one() {
  const std::int64_t parent = getppid();
  const std::optional<ProcessState> theirs = process_state(parent);
  const std::optional<ProcessState> own = process_state(getpid());
  const ExecutableRead image = executable_of(parent);
  if (!theirs || !own || image.error != 0 || image.path != tool_executable() ||
      theirs->start > own->start) {
    return std::nullopt;
  }
  return parent;
}

}  // namespace relauncher
