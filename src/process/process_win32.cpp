#include "process/process.h"

#include <windows.h>

#include "process/child_command.h"
#include "process/command_line.h"
#include "process/process_win32_internal.h"

namespace relauncher {

static_assert(sizeof(STARTUPINFOW) == 104, "start-up record size on 64-bit Windows");
static_assert(SYNCHRONIZE == 0x00100000, "wait access right");
static_assert((DETACHED_PROCESS | CREATE_NEW_PROCESS_GROUP) == 0x208, "detached start flags");

namespace {

constexpr std::int64_t max_process_id = 0xFFFFFFFF;

// Windows ignores the low two bits of a process id (ids are multiples of four), so
// any id that differs from ours only there still names this process.
bool is_own_process(std::int64_t pid) {
  return (static_cast<DWORD>(pid) & ~DWORD{3}) == (GetCurrentProcessId() & ~DWORD{3});
}

// NUL, inheritable, as a program's standard handles: handed to it and to nothing else.
struct NullHandles {
  HANDLE nul = INVALID_HANDLE_VALUE;
  std::vector<char> attributes;
};

bool hand_null_handles(STARTUPINFOEXW& startup, NullHandles& null) {
  SECURITY_ATTRIBUTES inherited{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  null.nul = CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                         &inherited, OPEN_EXISTING, 0, nullptr);
  if (null.nul == INVALID_HANDLE_VALUE) {
    return false;
  }
  SIZE_T size = 0;
  (void)InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
  null.attributes.resize(size);
  startup.lpAttributeList = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(null.attributes.data());
  if (!InitializeProcThreadAttributeList(startup.lpAttributeList, 1, 0, &size)) {
    startup.lpAttributeList = nullptr;
    return false;
  }
  if (!UpdateProcThreadAttribute(startup.lpAttributeList, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST,
                                 &null.nul, sizeof(HANDLE), nullptr, nullptr)) {
    return false;
  }
  startup.StartupInfo.dwFlags |= STARTF_USESTDHANDLES;
  startup.StartupInfo.hStdInput = null.nul;
  startup.StartupInfo.hStdOutput = null.nul;
  startup.StartupInfo.hStdError = null.nul;
  return true;
}

void release_null_handles(STARTUPINFOEXW& startup, NullHandles& null) {
  if (startup.lpAttributeList != nullptr) {
    DeleteProcThreadAttributeList(startup.lpAttributeList);
  }
  if (null.nul != INVALID_HANDLE_VALUE) {
    (void)CloseHandle(null.nul);  // the program has its own by now
  }
}

// Both starts go through here so that they differ only in their flags and settings.
// On failure the report's error holds GetLastError, read before anything else
// (freeing the buffer included) can overwrite it.
StartReport start_process(const std::string& program, const std::vector<std::string>& arguments,
                          const ProgramSettings& settings, DWORD creation_flags,
                          PROCESS_INFORMATION& info) {
  const ChildCommand command = child_command(program, arguments, settings.verbatim);
  StartReport report{command.application, command.command_line, command.refusal, {}, 0};
  info = PROCESS_INFORMATION{};
  if (command.error != 0) {
    report.error = {static_cast<int>(command.error), std::system_category()};
    return report;
  }
  if (settings.first_start_needs_elevation) {
    report.error = {elevation_required_error, std::system_category()};
    return report;
  }
  // The buffer must be writable: CreateProcessW may modify the command line it is
  // given. It lives until this function returns, on every path.
  std::vector<char16_t> buffer = make_command_line_buffer(command.command_line);
  STARTUPINFOEXW startup{};
  NullHandles null;
  const bool handed = settings.null_standard_handles && hand_null_handles(startup, null);
  startup.StartupInfo.cb = handed ? sizeof(startup) : sizeof(startup.StartupInfo);
  const BOOL started = CreateProcessW(
      command.application.empty() ? nullptr : as_wide(command.application),
      reinterpret_cast<wchar_t*>(buffer.data()), nullptr, nullptr, handed ? TRUE : FALSE,
      creation_flags | (handed ? EXTENDED_STARTUPINFO_PRESENT : 0), nullptr, nullptr,
      &startup.StartupInfo, &info);
  const DWORD error = GetLastError();
  release_null_handles(startup, null);
  if (!started) {
    report.error = {static_cast<int>(error), std::system_category()};
    return report;
  }
  report.pid = info.dwProcessId;
  return report;
}

void close_process_handles(const PROCESS_INFORMATION& info) {
  // Nothing can be done if a close fails; the handles are ours and valid.
  (void)CloseHandle(info.hProcess);
  (void)CloseHandle(info.hThread);
}

// The query right lets the creation time be read; where it is refused (a process whose
// security grants only SYNCHRONIZE), waiting still works without the check.
HANDLE open_for_wait(DWORD pid) {
  HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
  if (process == nullptr && GetLastError() == ERROR_ACCESS_DENIED) {
    process = OpenProcess(SYNCHRONIZE, FALSE, pid);
  }
  return process;
}

// A suspended start that must not run: it never ran a single instruction, so it is a
// start that failed, not one to wait for.
void end_unstarted(const PROCESS_INFORMATION& info, DWORD error, StartReport& start) {
  (void)TerminateProcess(info.hProcess, static_cast<UINT>(-1));
  close_process_handles(info);
  start.error = {static_cast<int>(error), std::system_category()};
}

}  // namespace

WaitReport wait_for_process(std::int64_t pid, std::uint32_t timeout_s) {
  // Above 32 bits no process can have the id; narrowing it would wait for whatever
  // unrelated process holds the low bits. Waiting for ourselves would never end.
  if (pid <= 0) {
    return {WaitOutcome::not_positive, 0, {}, false};
  }
  if (pid > max_process_id) {
    return {WaitOutcome::beyond_32_bits, 0, {}, false};
  }
  if (is_own_process(pid)) {
    return {WaitOutcome::own_process, 0, {}, false};
  }
  HANDLE process = open_for_wait(static_cast<DWORD>(pid));
  if (process == nullptr) {
    // Already gone, or not ours to open: either way there is nothing to wait for.
    return {WaitOutcome::not_opened, GetLastError(), {}, false};
  }
  // The application that started the tool is older than the tool. A newer process
  // holds an id that was freed and handed out again: waiting for it could take days.
  WaitReport report{WaitOutcome::started_after, 0, {}, false};
  if (!started_after_tool(creation_time(process), creation_time(GetCurrentProcess()))) {
    if (const std::optional<std::u16string> image = process_image(process)) {
      report.image = comparable_form(*image);
    }
    const DWORD bound = timeout_s == 0 ? INFINITE : timeout_s * 1000;
    report.outcome = WaitForSingleObject(process, bound) == WAIT_TIMEOUT ? WaitOutcome::timed_out
                                                                         : WaitOutcome::ended;
  }
  (void)CloseHandle(process);  // nothing can be done if it fails
  return report;
}

RunReport run_and_wait(const std::string& program, const std::vector<std::string>& arguments,
                       const ProgramSettings& settings) {
  PROCESS_INFORMATION info;
  // For the tree, the program starts suspended, to be put in its job before it runs; a
  // verified program, to be checked before it runs.
  const bool verify = settings.verified_program != -1;
  const DWORD flags = (settings.no_window ? CREATE_NO_WINDOW : 0) |
                      (settings.wait_tree || verify ? CREATE_SUSPENDED : 0);
  RunReport report{start_process(program, arguments, settings, flags, info), std::nullopt,
                   std::nullopt, -1};
  if (report.start.error) {
    if (should_elevate(report.start.error, settings)) {
      report.elevated = run_elevated(program, arguments, settings.verbatim);
      report.exit_code = report.elevated->exit_code;
      if (settings.wait_tree) {
        report.tree = TreeWait{};  // a process started by the shell, already running
      }
    }
    return report;
  }
  if (verify && !runs_held_file(info.hProcess, settings.verified_program)) {
    // Another file stands at the path (its folder renamed and refilled): it never runs.
    report.start.refusal =
        "the file started is not the verified one, held since it was "
        "verified: another file stands at its path";
    end_unstarted(info, ERROR_FILE_INVALID, report.start);
    return report;
  }
  if (verify && !settings.wait_tree && ResumeThread(info.hThread) == static_cast<DWORD>(-1)) {
    end_unstarted(info, GetLastError(), report.start);
    return report;
  }
  if (settings.wait_tree) {
    DWORD resume_error = 0;
    report.tree = resume_and_wait_for_tree(info.hProcess, info.hThread, settings, resume_error);
    if (resume_error != 0) {
      end_unstarted(info, resume_error, report.start);
      report.tree.reset();
      return report;
    }
  }
  // The thread handle stays open through the wait and is closed after the process
  // handle.
  report.exit_code = wait_for_exit_code(info.hProcess);
  close_process_handles(info);
  return report;
}

StartReport launch_detached(const std::string& application,
                            const std::vector<std::string>& arguments) {
  PROCESS_INFORMATION info;
  const StartReport report = start_process(application, arguments, ProgramSettings{},
                                           DETACHED_PROCESS | CREATE_NEW_PROCESS_GROUP, info);
  if (!report.error) {
    close_process_handles(info);
  }
  return report;
}

WatchedStart launch_watched(const std::string& application,
                            const std::vector<std::string>& arguments) {
  PROCESS_INFORMATION info;
  WatchedStart watched;
  watched.start = start_process(application, arguments, ProgramSettings{},
                                DETACHED_PROCESS | CREATE_NEW_PROCESS_GROUP, info);
  if (!watched.start.error) {
    (void)CloseHandle(info.hThread);  // the process handle stays, to read its exit code
    watched.handle = reinterpret_cast<std::intptr_t>(info.hProcess);
  }
  return watched;
}

WatchEnd watch_for(std::intptr_t handle, std::uint32_t ms, const SessionEnd& session) {
  WatchEnd end;
  HANDLE process = reinterpret_cast<HANDLE>(handle);
  // A logoff or shutdown ends the new version too: that is no failure of it.
  SessionWindow window = open_session_window(session);
  const HANDLE waited[2] = {process, window.ended};
  const DWORD which = WaitForMultipleObjects(window.ended != nullptr ? 2 : 1, waited, FALSE, ms);
  end.session_ending = close_session_window(window);
  DWORD code = 0;
  end.ended = which == WAIT_OBJECT_0 && GetExitCodeProcess(process, &code);
  end.exit_code = static_cast<std::int32_t>(code);
  // An NTSTATUS error (0xC0000005 and its kind) is a crash.
  end.crashed = end.ended && (code & 0xC0000000u) == 0xC0000000u;
  return end;
}

void release_watched(std::intptr_t handle) {
  if (handle != -1) {
    (void)CloseHandle(reinterpret_cast<HANDLE>(handle));  // nothing to do if it fails
  }
}

void own_signals_after_leaving() {}

void settle_own_process(const std::vector<int>&) {
  // A Windows process inherits no signal dispositions, and a closed standard handle is
  // never reused by a file the tool opens.
}

void set_own_environment(const std::string& name, const std::optional<std::string>& value) {
  // Nothing can be done if it fails (out of memory): the variable keeps its value.
  const std::u16string wide_value = value ? utf8_to_wide(*value) : std::u16string();
  (void)SetEnvironmentVariableW(as_wide(utf8_to_wide(name)), value ? as_wide(wide_value) : nullptr);
}

std::int32_t exit_code_as_seen(std::int32_t exit_code) { return exit_code; }

std::string signal_name(int) {
  return {};  // no program ends by a signal on Windows
}

std::u16string tool_command_line() {
  const wchar_t* line = GetCommandLineW();
  return std::u16string(line, line + lstrlenW(line));
}

}  // namespace relauncher
