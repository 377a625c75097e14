#include "support.h"

#include <bcrypt.h>

#include <cstdlib>
#include <map>
#include <stdexcept>
#include <vector>

namespace test {

std::string sha256_of(const std::string& bytes) {
  BCRYPT_ALG_HANDLE algorithm = nullptr;
  unsigned char digest[32] = {};
  if (BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0) != 0) {
    return "";
  }
  const NTSTATUS status = BCryptHash(algorithm, nullptr, 0, reinterpret_cast<PUCHAR>(const_cast<char*>(bytes.data())),
                                     static_cast<ULONG>(bytes.size()), digest, sizeof(digest));
  BCryptCloseAlgorithmProvider(algorithm, 0);
  std::string hex;
  for (const unsigned char byte : digest) {
    hex += "0123456789ABCDEF"[byte >> 4];
    hex += "0123456789ABCDEF"[byte & 15];
  }
  return status == 0 ? hex : "";
}

std::string sha256_of_file(const std::wstring& file) {
  return sha256_of(read_file(file).value_or(""));
}

std::wstring build_dir() {
  std::wstring path(32768, L'\0');
  path.resize(GetModuleFileNameW(nullptr, &path[0], static_cast<DWORD>(path.size())));
  return path.substr(0, path.find_last_of(L"\\/"));
}

std::wstring tool_path() {
  return build_dir() + L"\\relauncher.exe";
}

std::wstring twin_path() {
  return build_dir() + L"\\relauncherw.exe";
}

std::string to_utf8(const std::wstring& text) {
  if (text.empty()) {
    return {};
  }
  const int length = static_cast<int>(text.size());
  const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), length, &out[0], size, nullptr, nullptr);
  return out;
}

std::wstring from_utf8(const std::string& text) {
  if (text.empty()) {
    return {};
  }
  const int length = static_cast<int>(text.size());
  const int size = MultiByteToWideChar(CP_UTF8, 0, text.data(), length, nullptr, 0);
  std::wstring out(static_cast<std::size_t>(size), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), length, &out[0], size);
  return out;
}

namespace {

void remove_tree(const std::wstring& path) {
  WIN32_FIND_DATAW entry;
  HANDLE search = FindFirstFileW((path + L"\\*").c_str(), &entry);
  for (bool more = search != INVALID_HANDLE_VALUE; more; more = FindNextFileW(search, &entry)) {
    const std::wstring name = entry.cFileName;
    if (name == L"." || name == L"..") {
      continue;
    }
    if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      remove_tree(path + L"\\" + name);
    } else {
      DeleteFileW((path + L"\\" + name).c_str());
    }
  }
  if (search != INVALID_HANDLE_VALUE) {
    FindClose(search);
  }
  RemoveDirectoryW(path.c_str());
}

}  // namespace

TempDir::TempDir() {
  static unsigned counter = 0;
  wchar_t base[MAX_PATH + 1];
  GetTempPathW(MAX_PATH + 1, base);
  // The pid and a counter alone repeat across runs, and a folder left by a failed run
  // must not fail an unrelated test: the clock makes the name new, and a name that is
  // taken all the same is skipped.
  for (int attempt = 0; attempt < 100; ++attempt) {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    path_ = std::wstring(base) + L"relauncher-test-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
            std::to_wstring(++counter) + L"-" + std::to_wstring(now.QuadPart);
    if (CreateDirectoryW(path_.c_str(), nullptr)) {
      return;
    }
  }
  throw std::runtime_error("cannot create a temporary directory");
}

TempDir::~TempDir() {
  remove_tree(path_);
}

std::vector<std::wstring> files_in(const TempDir& dir) {
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW entry;
  HANDLE search = FindFirstFileW(dir.file(L"*").c_str(), &entry);
  for (bool more = search != INVALID_HANDLE_VALUE; more; more = FindNextFileW(search, &entry)) {
    if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
      names.push_back(entry.cFileName);
    }
  }
  if (search != INVALID_HANDLE_VALUE) {
    FindClose(search);
  }
  return names;
}

std::wstring copy_from_build(const TempDir& dir, const std::wstring& built, const std::wstring& name) {
  const std::wstring copy = dir.file(name);
  if (!CopyFileW((build_dir() + L"\\" + built).c_str(), copy.c_str(), FALSE)) {
    throw std::runtime_error("cannot copy " + to_utf8(built));
  }
  return copy;
}

std::wstring make_folder(const TempDir& dir, const std::wstring& relative) {
  for (std::size_t at = relative.find(L'\\'); at != std::wstring::npos; at = relative.find(L'\\', at + 1)) {
    CreateDirectoryW(dir.file(relative.substr(0, at)).c_str(), nullptr);
  }
  CreateDirectoryW(dir.file(relative).c_str(), nullptr);
  return dir.file(relative);
}

AppLayout::AppLayout() {
  make_folder(dir, L"app");
  setup = copy_probe(dir, L"setup.exe");
  app = copy_probe(dir, L"app\\app.exe");
  helper = copy_probe(dir, L"app\\helper.exe");
  log = dir.file(L"relauncher.log");
}

std::wstring copy_probe(const TempDir& dir, const std::wstring& name) {
  return copy_from_build(dir, L"probe.exe", name);
}

std::optional<std::string> read_file(const std::wstring& path) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    return std::nullopt;
  }
  std::string text;
  char chunk[4096];
  DWORD got = 0;
  while (ReadFile(file, chunk, sizeof(chunk), &got, nullptr) && got > 0) {
    text.append(chunk, got);
  }
  CloseHandle(file);
  return text;
}

void write_file(const std::wstring& path, const std::string& bytes) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  DWORD written = 0;
  if (file == INVALID_HANDLE_VALUE || !WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr)) {
    throw std::runtime_error("cannot write " + to_utf8(path));
  }
  CloseHandle(file);
}

std::string read_growing(const std::wstring& path) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, 0, nullptr);
  std::string text;
  char chunk[4096];
  DWORD got = 0;
  while (file != INVALID_HANDLE_VALUE && ReadFile(file, chunk, sizeof(chunk), &got, nullptr) && got > 0) {
    text.append(chunk, got);
  }
  if (file != INVALID_HANDLE_VALUE) {
    CloseHandle(file);
  }
  return text;
}

bool wait_for_text(const std::wstring& path, const std::string& text, int ms) {
  for (int waited = 0;; waited += 20) {
    if (read_growing(path).find(text) != std::string::npos) {
      return true;
    }
    if (waited >= ms) {
      return false;
    }
    Sleep(20);
  }
}

std::optional<std::string> wait_for_file(const std::wstring& path, int ms) {
  for (int waited = 0;; waited += 50) {
    if (auto text = read_file(path)) {
      return text;
    }
    if (waited >= ms) {
      return std::nullopt;
    }
    Sleep(50);
  }
}

namespace {

// "key=value\n" lines; the last key's value runs to the end of the text.
std::map<std::string, std::string> parse_record(const std::string& text, const std::string& last) {
  std::map<std::string, std::string> fields;
  std::size_t at = 0;
  while (at < text.size()) {
    const std::size_t equals = text.find('=', at);
    if (equals == std::string::npos) {
      break;
    }
    const std::string key = text.substr(at, equals - at);
    const std::size_t end = key == last ? text.size() : text.find('\n', equals);
    fields[key] = text.substr(equals + 1, (end == std::string::npos ? text.size() : end) - equals - 1);
    at = end == std::string::npos ? text.size() : end + 1;
  }
  return fields;
}

}  // namespace

std::optional<ProbeRecord> probe_started(const std::wstring& probe) {
  const std::optional<std::string> text = read_file(probe + L".started");
  if (!text) {
    return std::nullopt;
  }
  std::map<std::string, std::string> fields = parse_record(*text, "command_line");
  ProbeRecord record;
  record.pid = static_cast<DWORD>(std::strtoul(fields["pid"].c_str(), nullptr, 10));
  record.start = std::strtoll(fields["start"].c_str(), nullptr, 10);
  record.console = fields["console"] == "1";
  for (const char* at = fields["console_processes"].c_str(); *at != '\0';) {
    char* end = nullptr;
    record.console_processes.push_back(static_cast<DWORD>(std::strtoul(at, &end, 10)));
    at = *end == ',' ? end + 1 : end;
  }
  record.new_group = fields["new_group"] == "1";
  record.in_job = fields["in_job"] == "1";
  record.show = fields["show"];
  record.handle = fields["handle"];
  record.outcome = fields["outcome"];
  record.outcome_exit_code = fields["outcome_exit_code"];
  record.job_copy = fields["job_copy"];
  record.command_line = from_utf8(fields["command_line"]);
  return record;
}

void forget_records(const std::vector<std::wstring>& probes) {
  for (const std::wstring& probe : probes) {
    DeleteFileW((probe + L".started").c_str());
    DeleteFileW((probe + L".ended").c_str());
  }
}

std::optional<std::int64_t> probe_ended(const std::wstring& probe) {
  const std::optional<std::string> text = read_file(probe + L".ended");
  if (!text) {
    return std::nullopt;
  }
  return std::strtoll(parse_record(*text, "end")["end"].c_str(), nullptr, 10);
}

std::optional<ProbeRecord> wait_until_started(const std::wstring& probe, int ms) {
  return wait_for_file(probe + L".started", ms) ? probe_started(probe) : std::nullopt;
}

void wait_for_pid(DWORD pid) {
  HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, pid);
  if (process != nullptr) {
    WaitForSingleObject(process, INFINITE);
    CloseHandle(process);
  }
}

bool create_process(const wchar_t* application, std::wstring& command_line, SECURITY_ATTRIBUTES* security,
                    BOOL inherit, DWORD flags, STARTUPINFOW& startup, PROCESS_INFORMATION& info) {
  // Under load Wine now and then fails a start with ERROR_INTERNAL_ERROR: once more, so
  // that the test script's own retry is left for real faults. The tool never retries.
  for (int attempt = 0;; ++attempt) {
    std::wstring buffer = command_line;
    if (CreateProcessW(application, &buffer[0], security, nullptr, inherit, flags, nullptr, nullptr, &startup, &info)) {
      return true;
    }
    if (GetLastError() != ERROR_INTERNAL_ERROR || attempt == 1) {
      return false;
    }
    Sleep(100);
  }
}

HANDLE start(const std::wstring& application, const std::wstring& command_line, DWORD flags,
             SECURITY_ATTRIBUTES* security) {
  std::wstring buffer = command_line;
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION info{};
  if (!create_process(application.empty() ? nullptr : application.c_str(), buffer, security, FALSE, flags, startup,
                      info)) {
    throw std::runtime_error("CreateProcessW failed: " + std::to_string(GetLastError()));
  }
  CloseHandle(info.hThread);
  return info.hProcess;
}

namespace {

std::wstring stem_of(const std::wstring& path) {
  const std::wstring name = path.substr(path.find_last_of(L"\\/") + 1);
  return name.substr(0, name.rfind(L'.'));
}

}  // namespace

void set_probe_exit(const std::wstring& probe, unsigned exit_code) {
  SetEnvironmentVariableW((L"PROBE_" + stem_of(probe) + L"_EXIT").c_str(), std::to_wstring(exit_code).c_str());
}

HANDLE start_probe(const std::wstring& probe, unsigned sleep_ms, unsigned exit_code) {
  SetEnvironmentVariableW((L"PROBE_" + stem_of(probe) + L"_SLEEP_MS").c_str(), std::to_wstring(sleep_ms).c_str());
  set_probe_exit(probe, exit_code);
  return start(probe, quoted(probe));
}

DWORD finish(HANDLE process) {
  DWORD exit_code = 0;
  WaitForSingleObject(process, INFINITE);
  GetExitCodeProcess(process, &exit_code);
  CloseHandle(process);
  return exit_code;
}

namespace {

std::string drain(HANDLE pipe) {
  std::string bytes;
  DWORD available = 0;
  // Only what is already there: a grandchild may hold the pipe's write end open.
  while (PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr) && available > 0) {
    std::string chunk(available, '\0');
    DWORD got = 0;
    if (!ReadFile(pipe, &chunk[0], available, &got, nullptr)) {
      break;
    }
    bytes.append(chunk, 0, got);
  }
  return bytes;
}

}  // namespace

ToolRun run_tool(const std::wstring& command_line, bool own_console, const std::wstring& exe) {
  SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE out_read = nullptr, out_write = nullptr, err_read = nullptr, err_write = nullptr;
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  if (!own_console) {
    CreatePipe(&out_read, &out_write, &inheritable, 1 << 16);
    CreatePipe(&err_read, &err_write, &inheritable, 1 << 16);
    SetHandleInformation(out_read, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(err_read, HANDLE_FLAG_INHERIT, 0);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = nullptr;
    startup.hStdOutput = out_write;
    startup.hStdError = err_write;
  }
  std::wstring buffer = command_line;
  PROCESS_INFORMATION info{};
  if (!create_process(exe.c_str(), buffer, nullptr, own_console ? FALSE : TRUE, own_console ? CREATE_NO_WINDOW : 0,
                      startup, info)) {
    throw std::runtime_error("cannot start " + to_utf8(exe) + ": " + std::to_string(GetLastError()));
  }
  ToolRun run;
  run.pid = info.dwProcessId;
  WaitForSingleObject(info.hProcess, INFINITE);
  GetExitCodeProcess(info.hProcess, &run.exit_code);
  CloseHandle(info.hProcess);
  CloseHandle(info.hThread);
  if (!own_console) {
    CloseHandle(out_write);
    CloseHandle(err_write);
    run.output = drain(out_read);
    run.error_output = drain(err_read);
    CloseHandle(out_read);
    CloseHandle(err_read);
  }
  return run;
}

ToolRun run_tool_with(const std::wstring& arguments, bool own_console, const std::wstring& exe) {
  return run_tool(L"\"" + exe + L"\" " + arguments, own_console, exe);
}

int count_open_handles() {
  int count = 0;
  // Handle values are handed out lowest free slot first, so a leak shows up low; each
  // probe is a round trip to the wineserver, so the scan stays short.
  for (std::uintptr_t value = 4; value <= 0x2000; value += 4) {
    DWORD flags = 0;
    if (GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags)) {
      ++count;
    }
  }
  return count;
}

}  // namespace test
