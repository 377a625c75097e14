// What hand-written updaters often do instead of waiting on the handle: ask every
// interval whether the process is still active.
//   polling_waiter.exe <interval ms> <pid> <command line of the program>
#include <cwchar>

#include "shared.h"

int main() {
  wchar_t* interval_text = bench::skip_tokens(GetCommandLineW(), 1);
  wchar_t* pid = bench::skip_tokens(interval_text, 1);
  const DWORD interval = static_cast<DWORD>(std::wcstoul(interval_text, nullptr, 10));
  HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE,
                               static_cast<DWORD>(std::wcstoul(pid, nullptr, 10)));
  DWORD status = STILL_ACTIVE;
  while (process != nullptr && GetExitCodeProcess(process, &status) && status == STILL_ACTIVE) {
    Sleep(interval);
  }
  return bench::run_and_wait(bench::skip_tokens(pid, 1));
}
