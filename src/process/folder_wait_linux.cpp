// The folder wait on Linux: processes are found by their executable (/proc/<pid>/exe),
// held by pidfds from one look to the next and, when asked, signalled through them.

#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>

#include "files/folder_path.h"
#include "files/system.h"
#include "process/folder_wait.h"
#include "process/process.h"
#include "process/process_linux_internal.h"

namespace relauncher {

namespace {

// A process started meanwhile from the folder (a helper restarting) shows up at the
// next look, so looks never lie further apart than this.
constexpr std::uint64_t look_again_after_ms = 1000;
// Without pidfds, each process found is looked at this often.
constexpr int poll_interval_ms = 100;
// SIGTERM first, so that a process can save and quit; SIGKILL to what still runs after
// this; then this much more for it to be gone.
constexpr std::uint64_t grace_after_term_ms = 3000;
constexpr std::uint64_t gone_after_kill_ms = 2000;

// A process of the folders, held from one look to the next. The pidfd keeps its id
// from going to another process unnoticed; without pidfds, the start time does.
struct Held {
  int pidfd;  // -1 in the polling fallback
  std::uint64_t start;
  FolderProcess process;
};

struct Tally {
  std::vector<std::int64_t> found;
  std::vector<std::int64_t> unreadable;
};

void count_once(std::vector<std::int64_t>& ids, std::int64_t pid) {
  if (std::find(ids.begin(), ids.end(), pid) == ids.end()) {
    ids.push_back(pid);
  }
}

bool has_ended(const Held& entry) {
  if (entry.pidfd >= 0) {
    return pidfd_ended(entry.pidfd, 0);
  }
  return ended_since(entry.process.pid, entry.start);
}

void drop_ended(std::vector<Held>& held) {
  const auto ended = [](const Held& entry) {
    const bool gone = has_ended(entry);
    if (gone && entry.pidfd >= 0) {
      (void)close(entry.pidfd);
    }
    return gone;
  };
  held.erase(std::remove_if(held.begin(), held.end(), ended), held.end());
}

bool holds(const std::vector<Held>& held, std::int64_t pid) {
  return std::any_of(held.begin(), held.end(), [pid](const Held& entry) {
    return static_cast<std::int64_t>(entry.process.pid) == pid;
  });
}

// Holds the processes of the folders that the wait has not met yet. A process is held
// only once its executable, read again after its pidfd was opened, still lies in the
// folders: the id cannot have gone to another process in between unnoticed.
void meet_new(std::vector<Held>& held, const FolderWaitSettings& settings,
              const std::vector<std::int64_t>& skipped, int& pidfd_error, Tally& tally) {
  for (const std::int64_t pid : process_ids()) {
    if (holds(held, pid) || std::find(skipped.begin(), skipped.end(), pid) != skipped.end()) {
      continue;
    }
    const ExecutableRead image = executable_of(pid);
    if (image.error == EACCES || image.error == EPERM) {
      count_once(tally.unreadable, pid);
    }
    if (image.error != 0 || !is_waited_for(settings, image.path)) {
      continue;  // ENOENT: a kernel thread or a process exiting, neither counted
    }
    int pidfd = -1;
    if (pidfd_error == 0) {
      pidfd = open_pidfd(pid);
      if (pidfd < 0 && errno == ESRCH) {
        continue;
      }
      pidfd_error = pidfd < 0 ? errno : 0;  // from here on, every process is polled
    }
    const std::optional<ProcessState> state = process_state(pid);
    const Held entry{
        pidfd,
        state ? state->start : 0,
        {static_cast<std::uint32_t>(pid), image.path, FolderProcess::Fate::running, 0}};
    if (!state || executable_of(pid).path != image.path || has_ended(entry)) {
      if (pidfd >= 0) {
        (void)close(pidfd);
      }
      continue;
    }
    count_once(tally.found, pid);
    held.push_back(entry);
  }
}

// Returns once every one of `held` has ended, or after `ms`: one poll on all their
// pidfds, an end while others still run only dropping that one from the poll. Without
// pidfds, each is looked at every 100 ms.
void wait_for_all(const std::vector<Held>& held, std::uint64_t ms) {
  const std::uint64_t until = steady_milliseconds() + ms;
  std::vector<const Held*> running;
  for (const Held& entry : held) {
    running.push_back(&entry);
  }
  const bool polled = std::any_of(held.begin(), held.end(),
                                  [](const Held& entry) { return entry.pidfd < 0; });
  while (!running.empty()) {
    const std::uint64_t now = steady_milliseconds();
    if (now >= until) {
      return;
    }
    const int left = static_cast<int>(until - now);
    if (polled) {
      pause_milliseconds(static_cast<std::uint32_t>(std::min(left, poll_interval_ms)));
      running.erase(std::remove_if(running.begin(), running.end(),
                                   [](const Held* entry) { return has_ended(*entry); }),
                    running.end());
      continue;
    }
    std::vector<struct pollfd> watched;
    for (const Held* entry : running) {
      watched.push_back({entry->pidfd, POLLIN, 0});
    }
    if (poll(watched.data(), watched.size(), left) <= 0) {
      continue;
    }
    // The poll itself tells which have ended: nothing else is asked of the system until
    // the last one has, or the look's second has passed.
    std::vector<const Held*> still;
    for (std::size_t i = 0; i < watched.size(); ++i) {
      if (watched[i].revents == 0) {
        still.push_back(running[i]);
      }
    }
    running.swap(still);
  }
}

bool send_signal(const Held& entry, int signal) {
  return syscall(SYS_pidfd_send_signal, entry.pidfd, signal, nullptr, 0) == 0 ||
         errno == ESRCH;  // gone already
}

// Time has run out: SIGTERM to what may be ended, SIGKILL to what still runs 3 s
// later, then 2 s more for it to be gone. True when nothing of the folders is left.
bool end_left_behind(std::vector<Held>& left, const FolderWaitSettings& settings) {
  bool all_ended = true;
  std::vector<Held> signalled;
  for (Held& entry : left) {
    FolderProcess& process = entry.process;
    if (static_cast<std::int64_t>(process.pid) == settings.spared_pid || entry.pidfd < 0 ||
        !may_be_ended(settings, process.image)) {
      all_ended = false;
    } else if (real_user_of(process.pid) != getuid()) {
      process.fate = FolderProcess::Fate::other_user;
      all_ended = false;
    } else if (!send_signal(entry, SIGTERM)) {
      process.fate = FolderProcess::Fate::not_ended;
      process.error = static_cast<std::uint32_t>(errno);
      all_ended = false;
    } else {
      process.fate = FolderProcess::Fate::ended;
      signalled.push_back(entry);
    }
  }
  wait_for_all(signalled, grace_after_term_ms);
  for (const Held& entry : signalled) {
    if (!has_ended(entry)) {
      (void)send_signal(entry, SIGKILL);
    }
  }
  wait_for_all(signalled, gone_after_kill_ms);
  for (Held& entry : left) {
    if (entry.process.fate == FolderProcess::Fate::ended && !has_ended(entry)) {
      entry.process.fate = FolderProcess::Fate::still_running;
      all_ended = false;
    }
  }
  return all_ended;
}

}  // namespace

FolderWaitReport wait_for_folders(const FolderWaitSettings& settings) {
  FolderWaitReport report;
  Tally tally;
  std::vector<std::int64_t> skipped = {getpid()};
  if (const std::optional<std::int64_t> starter = tool_that_started_this_one()) {
    skipped.push_back(*starter);
  }
  int pidfd_error = 0;
  const std::uint64_t started = steady_milliseconds();
  std::vector<Held> held;
  for (;;) {
    drop_ended(held);
    meet_new(held, settings, skipped, pidfd_error, tally);
    if (held.empty()) {
      break;
    }
    std::uint64_t bound = look_again_after_ms;
    if (settings.timeout_ms) {
      const std::uint64_t waited = steady_milliseconds() - started;
      if (waited >= *settings.timeout_ms) {
        // Without pidfds nothing is ended: a signal by id could reach another process.
        const bool may_end = settings.end_left_behind && pidfd_error == 0;
        report.outcome = may_end && end_left_behind(held, settings)
                             ? FolderWaitOutcome::ended
                             : FolderWaitOutcome::gave_up;
        for (const Held& entry : held) {
          report.left.push_back(entry.process);
        }
        break;
      }
      bound = std::min<std::uint64_t>(bound, *settings.timeout_ms - waited);
    }
    wait_for_all(held, bound);
  }
  for (const Held& entry : held) {
    if (entry.pidfd >= 0) {
      (void)close(entry.pidfd);
    }
  }
  report.processes = tally.found.size();
  report.unreadable = tally.unreadable.size();
  report.no_pidfd_error = static_cast<std::uint32_t>(pidfd_error);
  return report;
}

}  // namespace relauncher
