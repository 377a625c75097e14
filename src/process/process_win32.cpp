#include "process/process.h"

#include <windows.h>

#include "process/command_line.h"

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

// Both starts go through here so that they differ only in their flags. On failure
// `error` holds GetLastError, read before anything else (freeing the buffer
// included) can overwrite it.
bool start_process(const std::string& program, const std::vector<std::string>& arguments,
                   DWORD creation_flags, PROCESS_INFORMATION& info, DWORD& error) {
  // The buffer must be writable: CreateProcessW may modify the command line it is
  // given. It lives until this function returns, on every path.
  std::vector<char16_t> buffer = make_command_line_buffer(build_command_line(program, arguments));
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  info = PROCESS_INFORMATION{};
  if (!CreateProcessW(nullptr, reinterpret_cast<wchar_t*>(buffer.data()), nullptr, nullptr, FALSE,
                      creation_flags, nullptr, nullptr, &startup, &info)) {
    error = GetLastError();
    return false;
  }
  return true;
}

void close_process_handles(const PROCESS_INFORMATION& info) {
  // Nothing can be done if a close fails; the handles are ours and valid.
  (void)CloseHandle(info.hProcess);
  (void)CloseHandle(info.hThread);
}

}  // namespace

void wait_for_process(std::int64_t pid) {
  // Above 32 bits no process can have the id; narrowing it would wait for whatever
  // unrelated process holds the low bits. Waiting for ourselves would never end.
  if (pid <= 0 || pid > max_process_id || is_own_process(pid)) {
    return;
  }
  HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(pid));
  if (process == nullptr) {
    return;  // Already gone, or not ours to open: either way there is nothing to wait for.
  }
  (void)WaitForSingleObject(process, INFINITE);
  (void)CloseHandle(process);
}

std::int32_t run_and_wait(const std::string& program, const std::vector<std::string>& arguments) {
  PROCESS_INFORMATION info;
  DWORD error = 0;
  if (!start_process(program, arguments, 0, info, error)) {
    return -1;
  }
  // The thread handle stays open through the wait and is closed after the process
  // handle. An unknown outcome must not read as success: a failed wait or exit-code
  // query gives -1, never 0, which would start the relaunch.
  DWORD exit_code = 0;
  const bool known = WaitForSingleObject(info.hProcess, INFINITE) == WAIT_OBJECT_0 &&
                     GetExitCodeProcess(info.hProcess, &exit_code) != 0;
  close_process_handles(info);
  return known ? static_cast<std::int32_t>(exit_code) : -1;
}

std::error_code launch_detached(const std::string& application,
                                const std::vector<std::string>& arguments) {
  PROCESS_INFORMATION info;
  DWORD error = 0;
  if (!start_process(application, arguments, DETACHED_PROCESS | CREATE_NEW_PROCESS_GROUP, info,
                     error)) {
    return {static_cast<int>(error), std::system_category()};
  }
  close_process_handles(info);
  return {0, std::system_category()};
}

}  // namespace relauncher
