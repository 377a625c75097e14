// A command-line application that updates itself, for the console tests: it starts
// relauncher.exe on its own console, as such an application does, then treats that
// console as a user would. Run under a pseudo-terminal (`script`), which Wine makes the
// console of every console program started from it.
//
//   console_caller.exe <mode> <results> <marker> <relauncher command line...>
//
// "{pid}" in the command line becomes the caller's own pid (for --wait-pid). 1.5 s after
// relauncher's start the caller writes to <results> whether relauncher is still among
// its console's processes ("listed=0|1"), then, by <mode>:
//   ctrl-c      sends Ctrl+C to every process of the console, and quits
//   break       sends Ctrl+Break to relauncher's own group (started as a new one), and quits
//   ctrl-c-at   leaves a process on the console that sends Ctrl+C once <marker> exists
//               (what relauncher runs has started), and quits
//   ctrl-c-in   sends Ctrl+C itself once <marker> exists, and quits (relauncher must not
//               wait for the caller: Wine delivers no event from a process left behind)
// Each send writes "sent=<error>" (0 when sent). The caller ignores the events itself.

#include <windows.h>

#include <string>
#include <vector>

namespace {

void append(const std::wstring& file, const std::string& line) {
  HANDLE handle = CreateFileW(file.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_ALWAYS, 0, nullptr);
  DWORD written = 0;
  const std::string text = line + "\n";
  WriteFile(handle, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  CloseHandle(handle);
}

void send(const std::wstring& results, DWORD event, DWORD group) {
  const BOOL sent = GenerateConsoleCtrlEvent(event, group);
  append(results, "sent=" + std::to_string(sent ? 0 : GetLastError()));
}

HANDLE start(std::wstring command_line, DWORD flags) {
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION info{};
  if (!CreateProcessW(nullptr, &command_line[0], nullptr, nullptr, FALSE, flags, nullptr, nullptr, &startup,
                      &info)) {
    return nullptr;
  }
  CloseHandle(info.hThread);
  return info.hProcess;
}

// Until <marker> exists, or a minute has passed (the row then fails on what never ran).
void wait_for(const std::wstring& marker) {
  for (const ULONGLONG until = GetTickCount64() + 60000;
       GetFileAttributesW(marker.c_str()) == INVALID_FILE_ATTRIBUTES && GetTickCount64() < until;) {
    Sleep(20);
  }
}

bool listed_on_console(DWORD pid) {
  std::vector<DWORD> pids(64);
  const DWORD count = GetConsoleProcessList(pids.data(), static_cast<DWORD>(pids.size()));
  for (DWORD i = 0; i < count && i < pids.size(); ++i) {
    if (pids[i] == pid) {
      return true;
    }
  }
  return false;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 4) {
    return 2;
  }
  const std::wstring mode = argv[1], results = argv[2], marker = argv[3];
  if (mode == L"sender") {  // the process left on the console
    wait_for(marker);
    send(results, CTRL_C_EVENT, 0);
    return 0;
  }
  std::wstring command_line;
  for (int i = 4; i < argc; ++i) {
    std::wstring argument = argv[i];
    const std::size_t at = argument.find(L"{pid}");
    if (at != std::wstring::npos) {
      argument.replace(at, 5, std::to_wstring(GetCurrentProcessId()));
    }
    command_line += (i > 4 ? L" \"" : L"\"") + argument + L"\"";
  }
  HANDLE tool = start(command_line, mode == L"break" ? CREATE_NEW_PROCESS_GROUP : 0);
  if (tool == nullptr) {
    append(results, "not started");
    return 3;
  }
  // Only now: a process started after this inherits the ignoring, and relauncher must not.
  SetConsoleCtrlHandler(nullptr, TRUE);
  Sleep(1500);
  append(results, std::string("listed=") + (listed_on_console(GetProcessId(tool)) ? "1" : "0"));
  if (mode == L"ctrl-c") {
    send(results, CTRL_C_EVENT, 0);
  } else if (mode == L"break") {
    send(results, CTRL_BREAK_EVENT, GetProcessId(tool));
  } else if (mode == L"ctrl-c-in") {
    wait_for(marker);
    send(results, CTRL_C_EVENT, 0);
  } else if (mode == L"ctrl-c-at") {
    std::wstring self(32768, L'\0');
    self.resize(GetModuleFileNameW(nullptr, &self[0], static_cast<DWORD>(self.size())));
    CloseHandle(start(L"\"" + self + L"\" sender \"" + results + L"\" \"" + marker + L"\"", 0));
  }
  CloseHandle(tool);
  return 0;
}
