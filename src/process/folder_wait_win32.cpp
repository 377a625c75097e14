#include <windows.h>
// After <windows.h>, which it needs.
#include <winternl.h>

#include <algorithm>

#include "files/folder_path.h"
#include "process/folder_wait.h"
#include "process/process.h"
#include "process/process_win32_internal.h"

namespace relauncher {

namespace {

// A process started meanwhile from the folder (a helper restarting) shows up at the
// next look, so looks never lie further apart than this.
constexpr DWORD look_again_after_ms = 1000;
// How long the processes that the tool ended get to be gone.
constexpr DWORD gone_after_ending_ms = 5000;
constexpr UINT ended_exit_code = 1;

// A process the wait has opened, kept open from one look to the next: while the
// handle is held its id cannot go to another process, so a look opens only ids it has
// not met yet, and never the same process twice.
struct Held {
  HANDLE handle;     // the very handle whose image was checked
  bool in_folders;   // runs from one of the folders, and is waited for
  std::u16string comparable_image;  // with in_folders: to tell whether it may be ended
  FolderProcess process;
};

// Ids seen over the whole wait, each counted once.
struct Tally {
  std::vector<DWORD> found;
  std::vector<DWORD> unreadable;
};

void count_once(std::vector<DWORD>& ids, DWORD pid) {
  if (std::find(ids.begin(), ids.end(), pid) == ids.end()) {
    ids.push_back(pid);
  }
}

bool holds(const std::vector<Held>& held, DWORD pid) {
  return std::any_of(held.begin(), held.end(),
                     [pid](const Held& entry) { return entry.process.pid == pid; });
}

// The ids of every process, in one system call: a third of what a Toolhelp snapshot
// costs, and the wait reads it once a second.
std::vector<DWORD> list_process_ids() {
  std::vector<DWORD> ids;
  std::vector<unsigned char> buffer(256 * 1024);
  for (int attempt = 0; attempt < 8; ++attempt) {
    ULONG needed = 0;
    const NTSTATUS status = NtQuerySystemInformation(
        SystemProcessInformation, buffer.data(), static_cast<ULONG>(buffer.size()), &needed);
    if (status == static_cast<NTSTATUS>(0xC0000004L)) {  // STATUS_INFO_LENGTH_MISMATCH
      buffer.resize(std::max<std::size_t>(buffer.size() * 2, needed + 64 * 1024));
      continue;
    }
    if (status < 0) {
      return ids;
    }
    for (std::size_t offset = 0;;) {
      const auto* entry = reinterpret_cast<const SYSTEM_PROCESS_INFORMATION*>(&buffer[offset]);
      ids.push_back(static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(entry->UniqueProcessId)));
      if (entry->NextEntryOffset == 0) {
        return ids;
      }
      offset += entry->NextEntryOffset;
    }
  }
  return ids;
}

// The tool, and the copy of the tool that started it (a tool that left its caller's
// job waits for its copy): both may well run from the very folder waited for.
std::vector<DWORD> tool_ids() {
  std::vector<DWORD> ids = {GetCurrentProcessId()};
  if (const std::optional<DWORD> starter = tool_that_started_this_one()) {
    ids.push_back(*starter);
  }
  return ids;
}

// Forgets what has ended: a process of the folders once its handle is signalled, any
// other once its id has left the list (it can have gone to no one else meanwhile).
void drop_ended(std::vector<Held>& held, const std::vector<DWORD>& ids) {
  const auto ended = [&ids](const Held& entry) {
    const bool gone = entry.in_folders
                          ? WaitForSingleObject(entry.handle, 0) != WAIT_TIMEOUT
                          : std::find(ids.begin(), ids.end(), entry.process.pid) == ids.end();
    if (gone) {
      (void)CloseHandle(entry.handle);  // nothing can be done if it fails
    }
    return gone;
  };
  held.erase(std::remove_if(held.begin(), held.end(), ended), held.end());
}

// Opens the processes that `ids` holds and the wait has not met yet, and keeps them.
void meet_new(std::vector<Held>& held, const std::vector<DWORD>& ids,
              const FolderWaitSettings& settings, const std::vector<DWORD>& skipped,
              Tally& tally) {
  for (const DWORD pid : ids) {
    if (pid == 0 || holds(held, pid) ||
        std::find(skipped.begin(), skipped.end(), pid) != skipped.end()) {
      continue;
    }
    HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    // An id that no longer opens (ERROR_INVALID_PARAMETER) has simply ended since the list.
    if (process == nullptr) {
      if (GetLastError() != ERROR_INVALID_PARAMETER) {
        count_once(tally.unreadable, pid);
      }
      continue;
    }
    const std::optional<std::u16string> image = process_image(process);
    const std::u16string comparable = image ? comparable_form(*image) : std::u16string();
    const bool in_folders = image && is_waited_for(settings, comparable);
    if (!image) {
      count_once(tally.unreadable, pid);
    } else if (in_folders) {
      count_once(tally.found, pid);
    }
    FolderProcess found{pid, in_folders ? *image : std::u16string(),
                        FolderProcess::Fate::running, 0};
    held.push_back({process, in_folders, in_folders ? comparable : std::u16string(), found});
  }
}

std::vector<HANDLE> folder_handles(const std::vector<Held>& held) {
  std::vector<HANDLE> handles;
  for (const Held& entry : held) {
    if (entry.in_folders) {
      handles.push_back(entry.handle);
    }
  }
  return handles;
}

// Returns once every one of `handles` is signalled, or after `ms`. One wait takes 64
// handles at most, so they are waited for a block at a time: the wait on the last
// block still running returns the moment the last process ends, however many there are.
void wait_for_all(const std::vector<HANDLE>& handles, DWORD ms) {
  const ULONGLONG until = GetTickCount64() + ms;
  for (std::size_t first = 0; first < handles.size(); first += MAXIMUM_WAIT_OBJECTS) {
    const DWORD count =
        static_cast<DWORD>(std::min<std::size_t>(handles.size() - first, MAXIMUM_WAIT_OBJECTS));
    const ULONGLONG now = GetTickCount64();
    const DWORD left = now < until ? static_cast<DWORD>(until - now) : 0;
    if (WaitForMultipleObjects(count, &handles[first], TRUE, left) == WAIT_TIMEOUT) {
      return;
    }
  }
}

bool in_own_session(DWORD pid) {
  DWORD own = 0, theirs = 0;
  return ProcessIdToSessionId(GetCurrentProcessId(), &own) && ProcessIdToSessionId(pid, &theirs) &&
         own == theirs;
}

// Ends one process of the folders. Its id cannot have gone to another process while
// the wait holds its handle, so opening it again by id for the right to end it opens
// the very process whose image was checked.
void end_one(Held& entry) {
  FolderProcess& process = entry.process;
  HANDLE terminate = OpenProcess(PROCESS_TERMINATE, FALSE, process.pid);
  if (terminate == nullptr || !TerminateProcess(terminate, ended_exit_code)) {
    process.fate = FolderProcess::Fate::not_ended;
    process.error = GetLastError();
  } else {
    process.fate = FolderProcess::Fate::ended;
  }
  if (terminate != nullptr) {
    (void)CloseHandle(terminate);  // nothing can be done if it fails
  }
}

// Time has run out: ends what may be ended, then gives it a little while to be gone.
// True when nothing of the folders is left running.
bool end_left_behind(std::vector<Held>& running, const FolderWaitSettings& settings) {
  bool all_ended = true;
  for (Held& entry : running) {
    FolderProcess& process = entry.process;
    if (static_cast<std::int64_t>(process.pid) == settings.spared_pid ||
        !may_be_ended(settings, entry.comparable_image)) {
      all_ended = false;
    } else if (!in_own_session(process.pid)) {
      process.fate = FolderProcess::Fate::other_session;
      all_ended = false;
    } else {
      end_one(entry);
      all_ended = all_ended && process.fate == FolderProcess::Fate::ended;
    }
  }
  const ULONGLONG until = GetTickCount64() + gone_after_ending_ms;
  for (Held& entry : running) {
    if (entry.process.fate != FolderProcess::Fate::ended) {
      continue;
    }
    const ULONGLONG now = GetTickCount64();
    const DWORD left = now < until ? static_cast<DWORD>(until - now) : 0;
    if (WaitForSingleObject(entry.handle, left) == WAIT_TIMEOUT) {
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
  const std::vector<DWORD> skipped = tool_ids();
  const ULONGLONG started = GetTickCount64();
  std::vector<Held> held;
  for (;;) {
    const std::vector<DWORD> ids = list_process_ids();
    drop_ended(held, ids);
    meet_new(held, ids, settings, skipped, tally);
    const std::vector<HANDLE> running = folder_handles(held);
    if (running.empty()) {
      break;
    }
    DWORD bound = look_again_after_ms;
    if (settings.timeout_ms) {
      const ULONGLONG waited = GetTickCount64() - started;
      if (waited >= *settings.timeout_ms) {
        std::vector<Held> left;
        std::copy_if(held.begin(), held.end(), std::back_inserter(left),
                     [](const Held& entry) { return entry.in_folders; });
        report.outcome = settings.end_left_behind && end_left_behind(left, settings)
                             ? FolderWaitOutcome::ended
                             : FolderWaitOutcome::gave_up;
        for (const Held& entry : left) {
          report.left.push_back(entry.process);
        }
        break;
      }
      bound = std::min<DWORD>(bound, static_cast<DWORD>(*settings.timeout_ms - waited));
    }
    wait_for_all(running, bound);
  }
  for (const Held& entry : held) {
    (void)CloseHandle(entry.handle);  // nothing can be done if it fails
  }
  report.processes = tally.found.size();
  report.unreadable = tally.unreadable.size();
  return report;
}

}  // namespace relauncher
