#pragma once

// Small pieces that the Linux process files share.

#include <cstdint>
#include <optional>
#include <string>

namespace relauncher {

// What /proc/<pid>/stat tells of a process: whether it has ended (a zombie, or dead)
// and its start time in clock ticks since boot. Absent when the process is gone.
struct ProcessState {
  bool ended = false;
  std::uint64_t start = 0;
};
std::optional<ProcessState> process_state(std::int64_t pid);

// One argument as a POSIX shell reads it back: bare when it holds only characters no
// shell treats specially, else in single quotes, each ' written as '\''.
std::string shell_quoted(const std::string& argument);

}  // namespace relauncher
