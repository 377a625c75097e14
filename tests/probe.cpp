// Stands in for the installer, the application that is relaunched and the process
// that is waited for. It records what it saw to files beside itself, never to
// stdout: under Wine a child writes into its parent's pipe.
//
//   <exe>.started  pid, start time (QueryPerformanceCounter), whether it has a
//                  console, the processes sharing that console, whether it was
//                  started in a new process group, whether it runs in a job, the
//                  show state it was given (STARTUPINFO's dwFlags,wShowWindow), the
//                  path of the file that the handle value in PROBE_<stem>_HANDLE
//                  names in it (empty when none), and its GetCommandLineW() as
//                  UTF-8, in that order
//   <exe>.ended    the time just before it exits
//
// It reads PROBE_<stem>_SLEEP_MS and PROBE_<stem>_EXIT (decimal or 0x-hex; or, one per
// start, PROBE_<stem>_EXITS, see exit_code_of_this_start) from the
// environment, <stem> being its own file name without the extension, so that one
// test can give the installer and the application different instructions; and
// PROBE_<stem>_START, a program that it starts (and does not wait for) before it sleeps,
// with PROBE_<stem>_START_FLAGS as the creation flags and PROBE_<stem>_START_ARGS after
// the program's quoted path on its command line. Its record also holds the update's
// outcome as relauncher tells it (RELAUNCHER_OUTCOME and RELAUNCHER_EXIT_CODE) and the
// mark of relauncher's job copy (RELAUNCHER_JOB_COPY), each "unset" when absent.

#include <windows.h>
#include <winternl.h>

#include <cstdint>
#include <cstdlib>
#include <cwchar>
#include <string>

namespace {

std::wstring module_path() {
  std::wstring path(32768, L'\0');
  path.resize(GetModuleFileNameW(nullptr, &path[0], static_cast<DWORD>(path.size())));
  return path;
}

std::wstring stem_of(const std::wstring& path) {
  const std::size_t slash = path.find_last_of(L"\\/");
  std::wstring name = slash == std::wstring::npos ? path : path.substr(slash + 1);
  const std::size_t dot = name.rfind(L'.');
  return dot == std::wstring::npos ? name : name.substr(0, dot);
}

unsigned long setting(const std::wstring& stem, const wchar_t* key, unsigned long fallback) {
  const std::wstring name = L"PROBE_" + stem + L"_" + key;
  wchar_t value[64];
  const DWORD length = GetEnvironmentVariableW(name.c_str(), value, 64);
  if (length == 0 || length >= 64) {
    return fallback;
  }
  return std::wcstoul(value, nullptr, 0);
}

std::string to_utf8(const wchar_t* text) {
  const int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(size > 0 ? size : 1), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, -1, &out[0], size, nullptr, nullptr);
  out.resize(out.size() - 1);
  return out;
}

long long now() {
  LARGE_INTEGER counter;
  QueryPerformanceCounter(&counter);
  return counter.QuadPart;
}

bool has_console() {
  HANDLE console = CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE,
                               FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  if (console == INVALID_HANDLE_VALUE) {
    return false;
  }
  CloseHandle(console);
  return true;
}

// The ids of the processes attached to our console, "," separated; empty without one.
std::string console_processes() {
  DWORD ids[64];
  const DWORD count = GetConsoleProcessList(ids, 64);
  std::string list;
  for (DWORD i = 0; i < count && i < 64; ++i) {
    list += (i == 0 ? "" : ",") + std::to_string(ids[i]);
  }
  return list;
}

// A process started with CREATE_NEW_PROCESS_GROUP begins with Ctrl+C ignored, which
// Windows records in the ConsoleFlags of its process parameters (the word after the
// console handle, the first of the reserved pointers).
bool in_new_process_group() {
  PROCESS_BASIC_INFORMATION basic{};
  if (NtQueryInformationProcess(GetCurrentProcess(), ProcessBasicInformation, &basic, sizeof(basic), nullptr) != 0) {
    return false;
  }
  const auto* parameters = basic.PebBaseAddress->ProcessParameters;
  return (reinterpret_cast<std::uintptr_t>(parameters->Reserved2[1]) & 1) != 0;
}

std::string show_state() {
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  GetStartupInfoW(&startup);
  return std::to_string(startup.dwFlags & STARTF_USESHOWWINDOW) + "," + std::to_string(startup.wShowWindow);
}

// The file a handle value names in this process: how a test sees whether one of its
// own handles was inherited this far.
std::string file_of_handle(const std::wstring& stem) {
  const unsigned long value = setting(stem, L"HANDLE", 0);
  wchar_t path[1024];
  const DWORD length = value == 0 ? 0 : GetFinalPathNameByHandleW(reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(value)),
                                                                   path, 1024, 0);
  return length == 0 || length >= 1024 ? std::string() : to_utf8(path);
}

std::string variable(const wchar_t* name) {
  wchar_t value[256];
  const DWORD length = GetEnvironmentVariableW(name, value, 256);
  return length == 0 && GetLastError() == ERROR_ENVVAR_NOT_FOUND ? "unset" : to_utf8(value);
}

void start_requested(const std::wstring& stem) {
  wchar_t program[1024];
  const std::wstring name = L"PROBE_" + stem + L"_START";
  const DWORD length = GetEnvironmentVariableW(name.c_str(), program, 1024);
  if (length == 0 || length >= 1024) {
    return;
  }
  wchar_t arguments[32768];
  const std::wstring arguments_name = name + L"_ARGS";
  const DWORD arguments_length = GetEnvironmentVariableW(arguments_name.c_str(), arguments, 32768);
  std::wstring command_line = L"\"" + std::wstring(program) + L"\"";
  if (arguments_length != 0 && arguments_length < 32768) {
    command_line += L" " + std::wstring(arguments);
  }
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION info{};
  if (!CreateProcessW(program, &command_line[0], nullptr, nullptr, FALSE, setting(stem, L"START_FLAGS", 0), nullptr,
                      nullptr, &startup, &info)) {
    ExitProcess(0xBAD);
  }
  CloseHandle(info.hThread);
  CloseHandle(info.hProcess);
}

bool in_job() {
  BOOL in = FALSE;
  return IsProcessInJob(GetCurrentProcess(), nullptr, &in) && in;
}

// Written under a temporary name and renamed, so that a reader never sees half a record.
void write_record(const std::wstring& path, const std::string& text) {
  const std::wstring partial = path + L".partial";
  HANDLE file = CreateFileW(partial.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    ExitProcess(0xDEAD);
  }
  DWORD written = 0;
  WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  CloseHandle(file);
  MoveFileExW(partial.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING);
}

// PROBE_<stem>_EXITS ("1618,1618,0") gives each start its own exit code, counted in
// <exe>.count, the last one repeating; otherwise PROBE_<stem>_EXIT.
unsigned long exit_code_of_this_start(const std::wstring& self, const std::wstring& stem) {
  wchar_t exits[256];
  const std::wstring name = L"PROBE_" + stem + L"_EXITS";
  const DWORD length = GetEnvironmentVariableW(name.c_str(), exits, 256);
  if (length == 0 || length >= 256) {
    return setting(stem, L"EXIT", 0);
  }
  const std::wstring count_file = self + L".count";
  unsigned long count = 0;
  HANDLE file = CreateFileW(count_file.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file != INVALID_HANDLE_VALUE) {
    char text[32] = {};
    DWORD read = 0;
    ReadFile(file, text, sizeof(text) - 1, &read, nullptr);
    CloseHandle(file);
    count = std::strtoul(text, nullptr, 10);
  }
  write_record(count_file, std::to_string(count + 1));
  std::wstring list(exits, length);
  for (unsigned long i = 0; i < count && list.find(L',') != std::wstring::npos; ++i) {
    list = list.substr(list.find(L',') + 1);
  }
  return std::wcstoul(list.c_str(), nullptr, 0);
}

}  // namespace

int main() {
  const long long started = now();
  const std::wstring self = module_path();
  const std::wstring stem = stem_of(self);
  write_record(self + L".started", "pid=" + std::to_string(GetCurrentProcessId()) +
                                       "\nstart=" + std::to_string(started) +
                                       "\nconsole=" + (has_console() ? "1" : "0") +
                                       "\nconsole_processes=" + console_processes() +
                                       "\nnew_group=" + (in_new_process_group() ? "1" : "0") +
                                       "\nin_job=" + (in_job() ? "1" : "0") +
                                       "\nshow=" + show_state() +
                                       "\nhandle=" + file_of_handle(stem) +
                                       "\noutcome=" + variable(L"RELAUNCHER_OUTCOME") +
                                       "\noutcome_exit_code=" + variable(L"RELAUNCHER_EXIT_CODE") +
                                       "\njob_copy=" + variable(L"RELAUNCHER_JOB_COPY") +
                                       "\ncommand_line=" + to_utf8(GetCommandLineW()));
  start_requested(stem);
  Sleep(setting(stem, L"SLEEP_MS", 0));
  const unsigned long exit_code = exit_code_of_this_start(self, stem);
  write_record(self + L".ended", "end=" + std::to_string(now()));
  ExitProcess(static_cast<UINT>(exit_code));
}
