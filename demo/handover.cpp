// A real hand-over, end to end: an application runs, relauncher is started with its
// process id, the application ends, the installer updates it, and relauncher starts
// the application again. Prints each step and relauncher's 32-bit exit code.

#include <windows.h>

#include <cstdio>
#include <string>

namespace {

std::wstring here() {
  wchar_t path[MAX_PATH];
  const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring dir(path, length);
  return dir.substr(0, dir.find_last_of(L'\\'));
}

HANDLE start(const std::wstring& command_line, DWORD flags, const wchar_t* folder = nullptr) {
  std::wstring buffer = command_line;
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION info{};
  if (!CreateProcessW(nullptr, &buffer[0], nullptr, nullptr, FALSE, flags, nullptr, folder, &startup,
                      &info)) {
    std::printf("cannot start %ls: error %lu\n", command_line.c_str(), GetLastError());
    std::exit(1);
  }
  CloseHandle(info.hThread);
  return info.hProcess;
}

std::string read_text(const std::wstring& path) {
  std::string text;
  if (std::FILE* file = _wfopen(path.c_str(), L"r")) {
    char chunk[512];
    for (std::size_t got; (got = std::fread(chunk, 1, sizeof(chunk), file)) > 0;) {
      text.append(chunk, got);
    }
    std::fclose(file);
  }
  return text;
}

}  // namespace

int main() {
  const std::wstring dir = here();
  const std::wstring stub = L"\"" + dir + L"\\stub.exe\"";
  wchar_t temp[MAX_PATH];
  GetTempPathW(MAX_PATH, temp);
  const std::wstring work = std::wstring(temp) + L"relauncher-handover-" + std::to_wstring(GetCurrentProcessId());
  CreateDirectoryW(work.c_str(), nullptr);
  SetEnvironmentVariableW(L"HANDOVER_DEMO_DIR", work.c_str());
  if (std::FILE* file = _wfopen((work + L"\\version.txt").c_str(), L"w")) {
    std::fputs("1.0\n", file);
    std::fclose(file);
  }

  std::printf("1. The application (version 1.0) runs and will be closed in 1.5 s.\n");
  HANDLE app = start(stub + L" --run-for 1500", 0);
  const DWORD app_pid = GetProcessId(app);
  CloseHandle(app);

  // As the README advises: a copy of relauncher in a folder of its own, which is also its
  // current folder, so that the installer could replace the application's folder.
  const std::wstring tool_copy = work + L"\\relauncher.exe";
  CopyFileW((dir + L"\\relauncher.exe").c_str(), tool_copy.c_str(), FALSE);
  const std::wstring log_file = work + L"\\relauncher.log";
  const std::wstring command = L"\"" + tool_copy + L"\" --log \"" + log_file + L"\" --wait-timeout 30 --wait-pid " +
                               std::to_wstring(app_pid) + L" --relaunch " + stub + L" --relaunch-arg --updated -- " +
                               stub + L" install 2.0";
  std::printf("2. The updater copies relauncher to a folder of its own, starts it there with CREATE_NO_WINDOW, and leaves:\n   %ls\n", command.c_str());
  HANDLE tool = start(command, CREATE_NO_WINDOW, work.c_str());
  WaitForSingleObject(tool, INFINITE);
  DWORD exit_code = 0;
  GetExitCodeProcess(tool, &exit_code);
  CloseHandle(tool);
  std::printf("3. relauncher exited with %ld (0x%08lX).\n", static_cast<long>(exit_code), exit_code);

  // The relaunched application is detached; give it a moment to report.
  for (int i = 0; i < 50 && read_text(work + L"\\handover.log").find("application 2.0 exits") == std::string::npos; ++i) {
    Sleep(100);
  }
  std::printf("4. What happened, in order (milliseconds since the first event):\n");
  const std::string log = read_text(work + L"\\handover.log");
  unsigned long first = 0;
  for (std::size_t at = 0; at < log.size();) {
    const std::size_t end = log.find('\n', at);
    const std::string line = log.substr(at, end - at);
    char* rest = nullptr;
    const unsigned long ticks = std::strtoul(line.c_str(), &rest, 10);
    first = first == 0 ? ticks : first;
    std::printf("   %6lu ms %s\n", ticks - first, rest);
    at = end == std::string::npos ? log.size() : end + 1;
  }
  std::printf("5. relauncher's own log (--log):\n");
  const std::string tool_log = read_text(log_file);
  for (std::size_t at = 0; at < tool_log.size();) {
    const std::size_t end = tool_log.find('\n', at);
    std::string line = tool_log.substr(at, end - at);
    if (!line.empty() && line.back() == '\r') {
      line.pop_back();
    }
    std::printf("   %s\n", line.c_str());
    at = end == std::string::npos ? tool_log.size() : end + 1;
  }
  const bool relaunched = log.find("application 2.0 runs") != std::string::npos;
  std::printf("6. %s\n", exit_code == 0 && relaunched ? "Hand-over complete: version 2.0 is running again."
                                                      : "Hand-over FAILED.");
  DeleteFileW((work + L"\\handover.log").c_str());
  DeleteFileW(log_file.c_str());
  DeleteFileW((work + L"\\version.txt").c_str());
  DeleteFileW(tool_copy.c_str());
  RemoveDirectoryW(work.c_str());
  return exit_code == 0 && relaunched ? 0 : 1;
}
