// The limit: a waiter that does nothing but wait on the process handle and start
// the program (and wait for it, as relauncher does).
//   minimal_waiter.exe <pid> <command line of the program>
#include <cwchar>

#include "shared.h"

int main() {
  wchar_t* pid = bench::skip_tokens(GetCommandLineW(), 1);
  HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(std::wcstoul(pid, nullptr, 10)));
  if (process != nullptr) {
    WaitForSingleObject(process, INFINITE);
    CloseHandle(process);
  }
  return bench::run_and_wait(bench::skip_tokens(pid, 1));
}
