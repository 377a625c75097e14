#pragma once

// Small pieces that the Linux process files share: what /proc tells of a process.

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "process/process.h"

namespace relauncher {

// What /proc/<pid>/stat tells of a process: whether it has ended (a zombie, or dead),
// its parent and its start time in clock ticks since boot. Absent when it is gone.
struct ProcessState {
  bool ended = false;
  std::int64_t parent = 0;
  std::uint64_t start = 0;
};
std::optional<ProcessState> process_state(std::int64_t pid);

// Whether the process that had this start time has ended: gone, a zombie, or another
// process under the id (another start time). How a process is followed without a pidfd.
bool ended_since(std::int64_t pid, std::uint64_t start);

// The id of every process: the numeric entries of /proc.
std::vector<std::int64_t> process_ids();

// A process's executable, read from /proc/<pid>/exe. An executable replaced or deleted
// since it was started reads as "<path> (deleted)": the path is given without that
// suffix, since updaters replace files and the process still runs from that folder.
struct ExecutableRead {
  std::string path;
  int error = 0;  // readlink's errno: ENOENT for a kernel thread or one gone, EACCES...
};
ExecutableRead executable_of(std::int64_t pid);

// The real user of a process (the first Uid: field of /proc/<pid>/status).
std::optional<uid_t> real_user_of(std::int64_t pid);

// Opens the process's pidfd, through syscall so that a C library without the wrapper
// will do. -1 with errno set when it cannot be had.
int open_pidfd(std::int64_t pid);

// True once the pidfd is readable, that is once the process has ended; waits `ms` at
// most (-1: as long as it takes).
bool pidfd_ended(int pidfd, int ms);

// The tool's parent when it runs the tool's own executable and started before it: a
// relauncher that started this one. Such a process is never waited for nor ended.
std::optional<std::int64_t> tool_that_started_this_one();

// Makes the tool a child subreaper, so that what the program starts comes back to it
// when its parent ends. 0, or the errno of the failure.
int become_subreaper();

// Once the program has ended: waits until no descendant of the tool is left but the
// application's own (see ProgramSettings), reaping those that come back to it.
TreeWait wait_for_rest_of_tree(const ProgramSettings& settings);

// One argument as a POSIX shell reads it back: bare when it holds only characters no
// shell treats specially, else in single quotes, each ' written as '\''.
std::string shell_quoted(const std::string& argument);

}  // namespace relauncher
