// The program's whole tree on Linux. The tool makes itself a child subreaper before it
// starts the program, so that whatever the program starts, however it detaches (a
// double fork, setsid), comes back to the tool as its child when its parent ends: the
// tree is then every descendant of the tool, which only the tool can reap.

#include <poll.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <map>

#include "files/folder_path.h"
#include "files/system.h"
#include "process/process.h"
#include "process/process_linux_internal.h"

namespace relauncher {

namespace {

// A process started meanwhile (an installer's next step) is found at the next look.
constexpr int look_again_after_ms = 1000;
constexpr std::uint32_t poll_interval_ms = 100;

// The descendants of the tool still running, by one look at every process's parent.
std::vector<TreeMember> descendants() {
  std::map<std::int64_t, std::vector<std::int64_t>> children;
  for (const std::int64_t pid : process_ids()) {
    const std::optional<ProcessState> state = process_state(pid);
    if (state && !state->ended) {
      children[state->parent].push_back(pid);
    }
  }
  std::vector<TreeMember> tree;
  std::vector<std::int64_t> parents = {getpid()};
  while (!parents.empty()) {
    const std::int64_t parent = parents.back();
    parents.pop_back();
    for (const std::int64_t child : children[parent]) {
      tree.push_back({static_cast<std::uint32_t>(child), executable_of(child).path});
      parents.push_back(child);
    }
  }
  return tree;
}

// Orphans that came back to the tool and have ended are its to reap. Only those that
// are zombies already: a wait on any child would never block on a running one.
void reap_ended_children() {
  int status = 0;
  while (waitpid(-1, &status, WNOHANG) > 0) {
  }
}

bool belongs_to_application(const TreeMember& member, const ProgramSettings& settings) {
  return !member.image.empty() &&
         (member.image == settings.application_image ||
          path_is_in_any(settings.application_folders, member.image));
}

// Returns once one of the processes has ended, or after a second at most.
void wait_for_an_end(const std::vector<TreeMember>& waited) {
  std::vector<struct pollfd> watched;
  for (const TreeMember& member : waited) {
    const int pidfd = open_pidfd(member.pid);
    if (pidfd >= 0) {
      watched.push_back({pidfd, POLLIN, 0});
    }
  }
  if (watched.size() == waited.size()) {
    (void)poll(watched.data(), watched.size(), look_again_after_ms);
  } else {
    pause_milliseconds(poll_interval_ms);  // no pidfds here: look again soon
  }
  for (const struct pollfd& entry : watched) {
    (void)close(entry.fd);
  }
}

}  // namespace

int become_subreaper() {
  return prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) == 0 ? 0 : errno;
}

TreeWait wait_for_rest_of_tree(const ProgramSettings& settings) {
  TreeWait tree;
  tree.whole_tree = true;
  bool told = false;
  for (;;) {
    reap_ended_children();
    const std::vector<TreeMember> members = descendants();
    std::vector<TreeMember> waited;
    std::copy_if(
        members.begin(), members.end(), std::back_inserter(waited),
        [&](const TreeMember& member) { return !belongs_to_application(member, settings); });
    if (waited.empty()) {
      for (const TreeMember& member : members) {
        if (!settings.application_image.empty() && member.image == settings.application_image) {
          tree.application_pid = member.pid;
          break;
        }
      }
      return tree;
    }
    if (!told && settings.on_program_ended) {
      settings.on_program_ended(waited);
    }
    told = true;
    wait_for_an_end(waited);
  }
}

}  // namespace relauncher
