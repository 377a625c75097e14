#include <windows.h>

#include <string>
#include <vector>

#include "process/job_escape.h"
#include "process/process_win32_internal.h"

namespace relauncher {

namespace {

static_assert(JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE == kill_on_job_close, "job limit flag");

constexpr wchar_t copy_mark[] = L"RELAUNCHER_JOB_COPY";

// A process id as the mark carries it. Written out by hand: the wide-character
// formatting of the C++ library would bring some 34 KB of printf code into the tool.
std::u16string decimal(DWORD value) {
  std::u16string digits;
  do {
    digits.insert(digits.begin(), static_cast<char16_t>(u'0' + value % 10));
    value /= 10;
  } while (value != 0);
  return digits;
}

// The limits of the job the tool runs in; absent when they cannot be read.
std::optional<std::uint32_t> own_job_limits() {
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
  if (!QueryInformationJobObject(nullptr, JobObjectExtendedLimitInformation, &limits,
                                 sizeof(limits), nullptr)) {
    return std::nullopt;
  }
  return limits.BasicLimitInformation.LimitFlags;
}

// The tool's standard handles, as inheritable duplicates: the copy gets these and no
// other handle. Those that cannot be duplicated (none, or a console's) are left out.
std::vector<HANDLE> inheritable_standard_handles(STARTUPINFOW& startup) {
  std::vector<HANDLE> handles;
  HANDLE* slots[] = {&startup.hStdInput, &startup.hStdOutput, &startup.hStdError};
  const DWORD kinds[] = {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE};
  for (int i = 0; i < 3; ++i) {
    HANDLE handle = GetStdHandle(kinds[i]);
    HANDLE copy = nullptr;
    if (handle != nullptr && handle != INVALID_HANDLE_VALUE &&
        DuplicateHandle(GetCurrentProcess(), handle, GetCurrentProcess(), &copy, 0, TRUE,
                        DUPLICATE_SAME_ACCESS)) {
      *slots[i] = copy;
      handles.push_back(copy);
    }
  }
  return handles;
}

// The copy's start; its process handle, or null with the error in GetLastError.
HANDLE start_copy(DWORD& pid) {
  std::vector<wchar_t> path(32768);
  if (GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size())) == 0) {
    return nullptr;
  }
  // The buffer must be writable: CreateProcessW may modify the command line it is given.
  const wchar_t* own_line = GetCommandLineW();
  std::vector<wchar_t> command_line(own_line, own_line + lstrlenW(own_line) + 1);
  STARTUPINFOEXW startup{};
  startup.StartupInfo.cb = sizeof(startup);
  const std::vector<HANDLE> handles = inheritable_standard_handles(startup.StartupInfo);
  SIZE_T size = 0;
  (void)InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
  std::vector<char> attributes(size);
  startup.lpAttributeList = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(attributes.data());
  const bool listed =
      !handles.empty() && InitializeProcThreadAttributeList(startup.lpAttributeList, 1, 0, &size) &&
      UpdateProcThreadAttribute(startup.lpAttributeList, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST,
                                const_cast<HANDLE*>(handles.data()),
                                handles.size() * sizeof(HANDLE), nullptr, nullptr);
  if (listed) {
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
  }
  PROCESS_INFORMATION info{};
  // For the copy alone (removed below): it names this process, which the copy checks.
  (void)SetEnvironmentVariableW(copy_mark, as_wide(decimal(GetCurrentProcessId())));
  const BOOL started =
      CreateProcessW(path.data(), command_line.data(), nullptr, nullptr, listed ? TRUE : FALSE,
                     CREATE_BREAKAWAY_FROM_JOB | DETACHED_PROCESS | EXTENDED_STARTUPINFO_PRESENT,
                     nullptr, nullptr, &startup.StartupInfo, &info);
  const DWORD error = GetLastError();
  (void)SetEnvironmentVariableW(copy_mark, nullptr);
  if (listed) {
    DeleteProcThreadAttributeList(startup.lpAttributeList);
  }
  for (HANDLE handle : handles) {
    (void)CloseHandle(handle);  // the copy has its own by now; nothing to do if it fails
  }
  if (!started) {
    SetLastError(error);
    return nullptr;
  }
  (void)CloseHandle(info.hThread);
  pid = info.dwProcessId;
  return info.hProcess;
}

}  // namespace

bool leave_caller_console() {
  // A console no other process is attached to is the tool's own (made for it, without a
  // window, by a caller that had none to share): left all the same, but it was nobody's.
  DWORD attached[2];
  const DWORD count = GetConsoleProcessList(attached, 2);
  return FreeConsole() != 0 && count > 1;
}

bool take_copy_mark() {
  wchar_t value[16];
  const DWORD length = GetEnvironmentVariableW(copy_mark, value, 16);
  (void)SetEnvironmentVariableW(copy_mark, nullptr);
  if (length == 0 || length >= 16) {
    return false;
  }
  const std::optional<DWORD> starter = tool_that_started_this_one();
  return starter && decimal(*starter) == std::u16string(value, value + length);
}

bool in_job_that_may_end_it() {
  BOOL in_job = FALSE;
  return IsProcessInJob(GetCurrentProcess(), nullptr, &in_job) &&
         should_leave_job(in_job != FALSE, own_job_limits());
}

JobEscape leave_job_if_needed(
    const std::function<void(std::uint32_t copy_pid, bool session)>& started) {
  if (!in_job_that_may_end_it()) {
    return {};
  }
  JobEscape escape;
  DWORD pid = 0;
  HANDLE copy = start_copy(pid);
  if (copy == nullptr) {
    escape.outcome = JobEscape::Outcome::refused;
    escape.error = GetLastError();
    const std::optional<std::uint32_t> limits = own_job_limits();
    escape.limits_unknown = !limits || *limits == 0;
    return escape;
  }
  escape.outcome = JobEscape::Outcome::left;
  escape.copy_pid = pid;
  started(pid, false);
  escape.exit_code = wait_for_exit_code(copy);
  (void)CloseHandle(copy);  // nothing can be done if it fails
  return escape;
}

}  // namespace relauncher
