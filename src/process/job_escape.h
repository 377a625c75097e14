#pragma once

// Leaving the caller's job. A caller that runs in a job which ends its processes when
// closed (Node.js puts every child that is not detached in one) would take relauncher,
// the installer and even the relaunched application down with it when it exits; so
// relauncher starts a copy of itself outside that job and lets the copy do the work.
// Linux's counterpart is the caller's session: a terminal that closes, or a signal to
// the caller's process group, would end relauncher and the installer with it.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace relauncher {

// JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE.
constexpr std::uint32_t kill_on_job_close = 0x2000;

// Whether a tool in a job should try to leave it: when the job's limits say it ends its
// processes on close, and when they cannot be read or read as none (Wine reports none
// for every job; on Windows such a job does not allow leaving either, so the attempt
// fails there and changes nothing). A job read as sparing its processes is left alone.
inline bool should_leave_job(bool in_job, std::optional<std::uint32_t> limit_flags) {
  return in_job && (!limit_flags || *limit_flags == 0 || (*limit_flags & kill_on_job_close) != 0);
}

// Linux: whether the tool runs in a systemd service's control group, whose processes all
// end when the service stops (starting a new session does not leave it): a line of
// /proc/self/cgroup ("<id>:<controllers>:<path>") whose path ends in ".service".
inline bool cgroup_is_service(const std::string& cgroup_text) {
  const std::string suffix = ".service";
  for (std::size_t start = 0; start < cgroup_text.size();) {
    std::size_t end = cgroup_text.find('\n', start);
    end = end == std::string::npos ? cgroup_text.size() : end;
    const std::string line = cgroup_text.substr(start, end - start);
    const std::size_t first = line.find(':');
    const std::size_t second = first == std::string::npos ? first : line.find(':', first + 1);
    if (second != std::string::npos && line.size() - second - 1 > suffix.size() &&
        line.compare(line.size() - suffix.size(), suffix.size(), suffix) == 0) {
      return true;
    }
    start = end + 1;
  }
  return false;
}

struct JobEscape {
  enum class Outcome {
    stays,         // in no job, or in one that spares its processes: nothing to do
    left,          // a copy outside the job did the hand-over; `exit_code` is the copy's
    refused,       // leaving was refused (or the copy could not start); `error` says why
    left_session,  // Linux: this process left its caller's session itself
  };
  Outcome outcome = Outcome::stays;
  // Linux: run by a service, which ends what it started when it stops.
  bool in_service = false;
  std::uint32_t error = 0;
  // With refused: the job's limits read as none (or could not be read), so whether it
  // would end its processes is not known.
  bool limits_unknown = false;
  std::uint32_t copy_pid = 0;
  std::int32_t exit_code = -1;
};

// Reads (and removes from the tool's environment) the mark that a copy started by
// leave_job_if_needed carries, so that neither the program nor the relaunch inherits it.
// True only when the mark names the process that started this one and that process runs
// the tool's own executable: a mark inherited from anywhere else (a caller's environment)
// is ignored, so that nobody outside can switch the escape off.
bool take_copy_mark();

// For the copy: whether it still runs in a job that may end its processes, as happens
// when a job around the caller's does not allow leaving.
bool in_job_that_may_end_it();

// Windows: when should_leave_job says so, starts a copy of the tool (same executable,
// command line, current folder, environment and standard handles, nothing else
// inherited) with CREATE_BREAKAWAY_FROM_JOB and without a console, marked, tells `started` its id (the caller
// may end this process at any moment from then on), and waits for it.
// Linux: leaves the caller's session (setsid); where the tool leads its process group,
// which cannot leave, a marked copy started in a session of its own does the hand-over
// as on Windows, and `started` is told so (`session` true).
JobEscape leave_job_if_needed(
    const std::function<void(std::uint32_t copy_pid, bool session)>& started);

// Windows: leaves the console the caller shares with the tool, so that none of its events
// (Ctrl+C, Ctrl+Break, its window closing, its end) reaches the hand-over; true when there
// was a caller's one to leave. Linux has none to leave: the caller's session is left instead.
bool leave_caller_console();

}  // namespace relauncher
