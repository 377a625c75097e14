#include <windows.h>
// After <windows.h>, which it needs.
#include <tlhelp32.h>

#include <algorithm>

#include "process/folder_path.h"
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

struct Found {
  HANDLE handle;  // the very handle whose image was checked: never a second open by id
  FolderProcess process;
};

// Ids seen over all looks, each counted once.
struct Tally {
  std::vector<DWORD> found;
  std::vector<DWORD> unreadable;
};

void count_once(std::vector<DWORD>& ids, DWORD pid) {
  if (std::find(ids.begin(), ids.end(), pid) == ids.end()) {
    ids.push_back(pid);
  }
}

void close_all(std::vector<Found>& look) {
  for (const Found& found : look) {
    (void)CloseHandle(found.handle);  // nothing can be done if it fails
  }
  look.clear();
}

std::vector<PROCESSENTRY32W> list_processes() {
  std::vector<PROCESSENTRY32W> processes;
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) {
    return processes;
  }
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof(entry);
  for (BOOL more = Process32FirstW(snapshot, &entry); more;
       more = Process32NextW(snapshot, &entry)) {
    processes.push_back(entry);
  }
  (void)CloseHandle(snapshot);  // nothing can be done if it fails
  return processes;
}

std::optional<std::u16string> comparable_image(HANDLE process) {
  const std::optional<std::u16string> image = process_image(process);
  return image ? std::optional<std::u16string>(comparable_form(*image)) : std::nullopt;
}

// The tool, and the copy of the tool that started it (a tool that left its caller's
// job waits for its copy): both may well run from the very folder waited for.
std::vector<DWORD> tool_ids(const std::vector<PROCESSENTRY32W>& processes) {
  std::vector<DWORD> ids = {GetCurrentProcessId()};
  const auto self = std::find_if(
      processes.begin(), processes.end(),
      [](const PROCESSENTRY32W& entry) { return entry.th32ProcessID == GetCurrentProcessId(); });
  if (self == processes.end()) {
    return ids;
  }
  HANDLE parent = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, self->th32ParentProcessID);
  if (parent == nullptr) {
    return ids;
  }
  // An older process with the tool's own image: a newer one only took a freed id.
  const std::optional<std::u16string> image = comparable_image(parent);
  if (image && image == comparable_image(GetCurrentProcess()) &&
      !started_after_tool(creation_time(parent), creation_time(GetCurrentProcess()))) {
    ids.push_back(self->th32ParentProcessID);
  }
  (void)CloseHandle(parent);  // nothing can be done if it fails
  return ids;
}

HANDLE open_process(DWORD pid, bool to_end) {
  const DWORD rights = SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION;
  HANDLE process = OpenProcess(rights | (to_end ? PROCESS_TERMINATE : 0), FALSE, pid);
  if (process == nullptr && to_end && GetLastError() == ERROR_ACCESS_DENIED) {
    process = OpenProcess(rights, FALSE, pid);  // waited for all the same; cannot be ended
  }
  return process;
}

std::vector<Found> look(const FolderWaitSettings& settings, const std::vector<DWORD>& skipped,
                        Tally& tally) {
  std::vector<Found> running;
  for (const PROCESSENTRY32W& entry : list_processes()) {
    const DWORD pid = entry.th32ProcessID;
    if (pid == 0 || std::find(skipped.begin(), skipped.end(), pid) != skipped.end()) {
      continue;
    }
    HANDLE process = open_process(pid, settings.end_left_behind);
    // An id that no longer opens (ERROR_INVALID_PARAMETER) has simply ended since the list.
    const DWORD open_error = process == nullptr ? GetLastError() : 0;
    const std::optional<std::u16string> image = process ? process_image(process) : std::nullopt;
    if (!image || !path_is_in_any(settings.folders, comparable_form(*image))) {
      if (!image && open_error != ERROR_INVALID_PARAMETER) {
        count_once(tally.unreadable, pid);
      }
      if (process != nullptr) {
        (void)CloseHandle(process);  // nothing can be done if it fails
      }
      continue;
    }
    count_once(tally.found, pid);
    running.push_back({process, {pid, *image, FolderProcess::Fate::running, 0}});
  }
  return running;
}

// Returns when one of them ends or `ms` have passed. Past the first 64 (all that one
// wait takes), an end shows at the next look, a second later at most.
void wait_for_any(const std::vector<Found>& running, DWORD ms) {
  std::vector<HANDLE> handles;
  for (std::size_t i = 0; i < running.size() && i < MAXIMUM_WAIT_OBJECTS; ++i) {
    handles.push_back(running[i].handle);
  }
  (void)WaitForMultipleObjects(static_cast<DWORD>(handles.size()), handles.data(), FALSE, ms);
}

bool in_own_session(DWORD pid) {
  DWORD own = 0, theirs = 0;
  return ProcessIdToSessionId(GetCurrentProcessId(), &own) && ProcessIdToSessionId(pid, &theirs) &&
         own == theirs;
}

// Time has run out: ends what may be ended, then gives it a little while to be gone.
// True when nothing of the folders is left running.
bool end_left_behind(std::vector<Found>& running, const FolderWaitSettings& settings) {
  bool all_ended = true;
  for (Found& found : running) {
    FolderProcess& process = found.process;
    if (static_cast<std::int64_t>(process.pid) == settings.spared_pid) {
      all_ended = false;
    } else if (!in_own_session(process.pid)) {
      process.fate = FolderProcess::Fate::other_session;
      all_ended = false;
    } else if (!TerminateProcess(found.handle, ended_exit_code)) {
      process.fate = FolderProcess::Fate::not_ended;
      process.error = GetLastError();
      all_ended = false;
    } else {
      process.fate = FolderProcess::Fate::ended;
    }
  }
  const ULONGLONG until = GetTickCount64() + gone_after_ending_ms;
  for (Found& found : running) {
    if (found.process.fate != FolderProcess::Fate::ended) {
      continue;
    }
    const ULONGLONG now = GetTickCount64();
    const DWORD left = now < until ? static_cast<DWORD>(until - now) : 0;
    if (WaitForSingleObject(found.handle, left) == WAIT_TIMEOUT) {
      found.process.fate = FolderProcess::Fate::still_running;
      all_ended = false;
    }
  }
  return all_ended;
}

}  // namespace

FolderWaitReport wait_for_folders(const FolderWaitSettings& settings) {
  FolderWaitReport report;
  Tally tally;
  const std::vector<DWORD> skipped = tool_ids(list_processes());
  const ULONGLONG started = GetTickCount64();
  std::vector<Found> running;
  for (;;) {
    running = look(settings, skipped, tally);
    if (running.empty()) {
      break;
    }
    DWORD bound = look_again_after_ms;
    if (settings.timeout_ms) {
      const ULONGLONG waited = GetTickCount64() - started;
      if (waited >= *settings.timeout_ms) {
        report.outcome = settings.end_left_behind && end_left_behind(running, settings)
                             ? FolderWaitOutcome::ended
                             : FolderWaitOutcome::gave_up;
        break;
      }
      bound = std::min<DWORD>(bound, static_cast<DWORD>(*settings.timeout_ms - waited));
    }
    wait_for_any(running, bound);
    close_all(running);
  }
  for (const Found& found : running) {
    report.left.push_back(found.process);
  }
  close_all(running);
  report.processes = tally.found.size();
  report.unreadable = tally.unreadable.size();
  return report;
}

}  // namespace relauncher
