// Leaving the caller's session on Linux. A tool left in it dies with it: the terminal's
// hang-up when the application's terminal closes, a launcher's signal to the
// application's process group. What still ends a process with its caller is a service:
// systemd stops every process of the service's control group, and a new session does not
// leave the group.

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "process/job_escape.h"
#include "process/process_linux_internal.h"

extern char** environ;

namespace relauncher {

bool leave_caller_console() { return false; }

namespace {

constexpr char copy_mark[] = "RELAUNCHER_JOB_COPY";

bool runs_in_service() {
  std::ifstream file("/proc/self/cgroup", std::ios::binary);
  const std::string cgroup((std::istreambuf_iterator<char>(file)),
                           std::istreambuf_iterator<char>());
  return cgroup_is_service(cgroup);
}

// The copy: the tool's own executable with its own arguments, current folder, streams
// and environment, marked with this process's id, in a session of its own. -1 with
// errno set when it cannot start.
pid_t start_copy() {
  std::ifstream file("/proc/self/cmdline", std::ios::binary);
  std::string raw((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  std::vector<char*> argv;
  for (std::size_t at = 0; at < raw.size(); at = raw.find('\0', at) + 1) {
    argv.push_back(&raw[at]);
  }
  argv.push_back(nullptr);
  posix_spawnattr_t attributes;
  (void)posix_spawnattr_init(&attributes);
  (void)posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);
  // For the copy alone (removed below): it names this process, which the copy checks.
  (void)setenv(copy_mark, std::to_string(getpid()).c_str(), 1);
  pid_t pid = -1;
  const int error = argv.size() > 1 ? posix_spawn(&pid, "/proc/self/exe", nullptr, &attributes,
                                                  argv.data(), environ)
                                    : ENOENT;
  (void)unsetenv(copy_mark);
  (void)posix_spawnattr_destroy(&attributes);
  errno = error;
  return error == 0 ? pid : -1;
}

// The copy's exit code, as a shell reports it (128 + a signal); -1 when it cannot be read.
std::int32_t wait_for_copy(pid_t copy) {
  int status = 0;
  pid_t waited = 0;
  do {
    waited = waitpid(copy, &status, 0);
  } while (waited < 0 && errno == EINTR);
  if (waited < 0) {
    return -1;
  }
  return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
}

}  // namespace

bool take_copy_mark() {
  const char* value = std::getenv(copy_mark);
  const std::string mark = value != nullptr ? value : "";
  (void)unsetenv(copy_mark);
  if (mark.empty()) {
    return false;
  }
  const std::optional<std::int64_t> starter = tool_that_started_this_one();
  return starter && std::to_string(*starter) == mark;
}

bool in_job_that_may_end_it() {
  return false;  // the copy starts in a session of its own
}

JobEscape leave_job_if_needed(
    const std::function<void(std::uint32_t copy_pid, bool session)>& started) {
  JobEscape escape;
  escape.in_service = runs_in_service();
  if (getsid(0) == getpid()) {
    return escape;  // it leads a session of its own already (started detached)
  }
  if (setsid() >= 0) {
    escape.outcome = JobEscape::Outcome::left_session;
    return escape;
  }
  if (errno != EPERM) {
    escape.outcome = JobEscape::Outcome::refused;
    escape.error = static_cast<std::uint32_t>(errno);
    return escape;
  }
  // It leads its process group (a shell with job control made it one), which setsid
  // refuses: a copy, which leads nothing, starts in a session of its own instead.
  const pid_t copy = start_copy();
  if (copy < 0) {
    escape.outcome = JobEscape::Outcome::refused;
    escape.error = static_cast<std::uint32_t>(errno);
    return escape;
  }
  started(static_cast<std::uint32_t>(copy), true);
  escape.outcome = JobEscape::Outcome::left;
  escape.copy_pid = static_cast<std::uint32_t>(copy);
  escape.exit_code = wait_for_copy(copy);
  return escape;
}

}  // namespace relauncher
