#pragma once

// Small pieces that the Windows process files share: the plain start, the elevated
// start and the composition of what they start.

#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>

#include "files/native_win32.h"
#include "process/process.h"

namespace relauncher {

// Waits for a started process and reads its exit code, bit for bit. An unknown outcome
// must not read as success: a failed wait or exit-code query gives -1, never 0, which
// would start the relaunch. The handle stays the caller's to close.
inline std::int32_t wait_for_exit_code(HANDLE process) {
  DWORD exit_code = 0;
  const bool known = WaitForSingleObject(process, INFINITE) == WAIT_OBJECT_0 &&
                     GetExitCodeProcess(process, &exit_code) != 0;
  return known ? static_cast<std::int32_t>(exit_code) : -1;
}

// Puts a process that was created suspended into a job of its own, resumes it, and
// waits until every process in the job has ended. When the job cannot be had, the
// process is resumed all the same and only the error comes back: the caller then
// waits for the program alone. `resume_error` is set when the thread could not be
// resumed at all.
TreeWait resume_and_wait_for_tree(HANDLE process, HANDLE thread, const ProgramSettings& settings,
                                  DWORD& resume_error);

// 100 ns units since 1601; absent when the process's times cannot be read.
inline std::optional<std::uint64_t> creation_time(HANDLE process) {
  FILETIME created, exited, kernel, user;
  if (!GetProcessTimes(process, &created, &exited, &kernel, &user)) {
    return std::nullopt;
  }
  return (std::uint64_t{created.dwHighDateTime} << 32) | created.dwLowDateTime;
}

// The full path of a process's executable, through a handle with at least
// PROCESS_QUERY_LIMITED_INFORMATION; absent when it cannot be read.
std::optional<std::u16string> process_image(HANDLE process);

// A hidden top-level window, served by a thread of its own, that hears the session end
// (WM_QUERYENDSESSION, WM_ENDSESSION): `ended` is set once `on_end` has run. Null
// handles where no window can be had (no user32, no desktop): then nothing is heard.
struct SessionWindow {
  HANDLE thread = nullptr;
  HANDLE ended = nullptr;
  struct Served* served = nullptr;
};
SessionWindow open_session_window(const SessionEnd& session);
// True when the session end was heard (even as the watch ended for another reason).
bool close_session_window(SessionWindow& window);

// Whether the process was started from the very file that `held` (a HeldFile's handle)
// holds: its image path names that file.
bool runs_held_file(HANDLE process, std::intptr_t held);

// The id of the process that started this one, when that is an older process with the
// tool's own executable: the first tool, when this one is the copy it started to leave
// its caller's job. A newer parent only took a freed id.
std::optional<DWORD> tool_that_started_this_one();

}  // namespace relauncher
