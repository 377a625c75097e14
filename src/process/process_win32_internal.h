#pragma once

// Small pieces that the Windows process files share: the plain start, the elevated
// start and the composition of what they start.

#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>

#include "process/folder_path.h"
#include "process/process.h"

namespace relauncher {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "UTF-16 text is passed as wchar_t");

inline const wchar_t* as_wide(const std::u16string& text) {
  return reinterpret_cast<const wchar_t*>(text.c_str());
}

// Text from a call that fills a buffer: `fill(buffer, capacity)` returns the length
// written, or the capacity needed when that is more than it had, or 0 on failure (the
// error left in GetLastError). The buffer grows until the text fits.
template <typename Fill>
std::optional<std::u16string> read_sized(Fill fill) {
  std::u16string text(MAX_PATH, u'\0');
  for (int attempt = 0; attempt < 8; ++attempt) {
    const DWORD length =
        fill(reinterpret_cast<wchar_t*>(&text[0]), static_cast<DWORD>(text.size()));
    if (length == 0) {
      return std::nullopt;
    }
    if (length < text.size()) {
      text.resize(length);
      return text;
    }
    text.assign(length + 1, u'\0');
  }
  return std::nullopt;
}

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

// The folders that a wait must never cover (canonical): the Windows folder with all it
// holds; the Program Files and common files folders, ProgramData, the public and the
// user's profile, the roaming and local application data (with LocalLow and the local
// Programs folder) and the temporary folder, themselves.
ProtectedFolders protected_folders();

// A full path as canonical_path gives it, without touching the file system: for the
// images of running processes, which Windows reports full and long already.
std::u16string comparable_form(const std::u16string& full_path);

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

// What tells one file from another whatever the names that lead to it.
struct FileId {
  DWORD volume, index_high, index_low;
  bool operator==(const FileId& other) const {
    return volume == other.volume && index_high == other.index_high &&
           index_low == other.index_low;
  }
};
std::optional<FileId> file_id(HANDLE file);
// Opened with no access asked for and shared every way: only the identity is read.
std::optional<FileId> file_id(const std::u16string& path);

// Whether the process was started from the very file that `held` (a HeldFile's handle)
// holds: its image path names that file.
bool runs_held_file(HANDLE process, std::intptr_t held);

// The id of the process that started this one, when that is an older process with the
// tool's own executable: the first tool, when this one is the copy it started to leave
// its caller's job. A newer parent only took a freed id.
std::optional<DWORD> tool_that_started_this_one();

}  // namespace relauncher
