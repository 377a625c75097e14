#pragma once

// Helpers for tests that drive real processes: the built tool, and copies of the
// probe program that stand in for installers and applications.

#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace test {

// The directory holding the test executable, relauncher.exe and probe.exe.
std::wstring build_dir();
std::wstring tool_path();
std::wstring twin_path();  // relauncherw.exe, the windowless twin

std::string to_utf8(const std::wstring& text);
std::wstring from_utf8(const std::string& text);
inline std::u16string to_u16(const std::wstring& text) {
  return std::u16string(text.begin(), text.end());
}

// A fresh directory under the temporary folder, removed with its files at the end.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::wstring& path() const { return path_; }
  std::wstring file(const std::wstring& name) const { return path_ + L"\\" + name; }

 private:
  std::wstring path_;
};

// A hand-over's files in a fresh folder: the installer setup.exe beside the application's
// folder app\, which holds app.exe and helper.exe (copies of the probe), and a log's path.
struct AppLayout {
  AppLayout();
  TempDir dir;
  std::wstring setup, app, helper, log;
};

// The digest as Windows computes it (bcrypt), in upper case: either case is a digest.
std::string sha256_of(const std::string& bytes);
std::string sha256_of_file(const std::wstring& file);

// The whole file, or nothing when it cannot be opened; write_file replaces it.
std::optional<std::string> read_file(const std::wstring& path);
void write_file(const std::wstring& path, const std::string& bytes);
// Reads the file once it exists; nothing if it has not appeared within `ms`.
std::optional<std::string> wait_for_file(const std::wstring& path, int ms);
// The log as it grows: relauncher holds it open for appending. Empty until it exists.
std::string read_growing(const std::wstring& path);
// True once the log holds `text`, within `ms`: what relauncher has told, and no sooner.
bool wait_for_text(const std::wstring& path, const std::string& text, int ms = 10000);

// The names of the files (not folders) in `dir`, in the order the system lists them.
std::vector<std::wstring> files_in(const TempDir& dir);

// Copies a file of the build directory into `dir` under `name` and returns the copy's
// full path; copy_probe copies probe.exe.
std::wstring copy_from_build(const TempDir& dir, const std::wstring& built, const std::wstring& name);
std::wstring copy_probe(const TempDir& dir, const std::wstring& name);

// What a probe wrote about itself (see probe.cpp); absent until it has started.
struct ProbeRecord {
  DWORD pid = 0;
  std::int64_t start = 0;
  bool console = false;
  std::vector<DWORD> console_processes;  // sharing its console, itself included
  bool new_group = false;                // started in a new process group
  bool in_job = false;                   // runs in a job object
  std::string show;                      // "<STARTF_USESHOWWINDOW set>,<wShowWindow>"
  std::string handle;                    // the file PROBE_<stem>_HANDLE names in it, if any
  std::string outcome;                   // RELAUNCHER_OUTCOME, or "unset"
  std::string outcome_exit_code;         // RELAUNCHER_EXIT_CODE, or "unset"
  std::string job_copy;                  // RELAUNCHER_JOB_COPY, or "unset"
  std::wstring command_line;
};
std::optional<ProbeRecord> probe_started(const std::wstring& probe);
// Removes what these probes wrote, so that a table's next row starts clean.
void forget_records(const std::vector<std::wstring>& probes);
std::optional<std::int64_t> probe_ended(const std::wstring& probe);

// Makes `relative` (and the folders on its way) under `dir`; returns its full path.
std::wstring make_folder(const TempDir& dir, const std::wstring& relative);

// Starts a copy of the probe that sleeps `sleep_ms` and exits with `exit_code`; the
// caller closes the handle.
HANDLE start_probe(const std::wstring& probe, unsigned sleep_ms, unsigned exit_code = 0);

// The exit code that a copy of the probe started from now on exits with.
void set_probe_exit(const std::wstring& probe, unsigned exit_code);

// Waits for a process started with `start`, closes its handle and returns its exit code.
DWORD finish(HANDLE process);

// A path in double quotes, as it goes on a command line.
inline std::wstring quoted(const std::wstring& path) {
  return L"\"" + path + L"\"";
}

// The probe's record once it has started; a detached probe may start a moment after
// the tool has exited, so it is given `ms` to show up before it counts as never started.
std::optional<ProbeRecord> wait_until_started(const std::wstring& probe, int ms = 1500);

// Blocks until the process has ended (or the id is already gone).
void wait_for_pid(DWORD pid);

inline bool still_running(HANDLE process) {
  return WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
}

// CreateProcessW, tried once more when Wine fails it with ERROR_INTERNAL_ERROR (1359).
bool create_process(const wchar_t* application, std::wstring& command_line, SECURITY_ATTRIBUTES* security,
                    BOOL inherit, DWORD flags, STARTUPINFOW& startup, PROCESS_INFORMATION& info);

// Starts a program and returns its handle; the caller closes it. `security` guards the
// new process, when given.
HANDLE start(const std::wstring& application, const std::wstring& command_line, DWORD flags = 0,
             SECURITY_ATTRIBUTES* security = nullptr);

struct ToolRun {
  DWORD pid = 0;
  DWORD exit_code = 0;
  std::string error_output;  // bytes written to stderr
  std::string output;        // bytes written to stdout
};

// Runs relauncher.exe with `command_line` (which begins with its argv[0] text) and
// waits for it. The real path goes in lpApplicationName, so argv[0] can be anything.
// With `own_console` the tool gets a console of its own (with no window, as an
// updater would start it), which its ordinary children share and a detached child
// does not; its output is then not captured.
// `exe` is relauncher.exe unless given.
ToolRun run_tool(const std::wstring& command_line, bool own_console = false, const std::wstring& exe = tool_path());

// `"<exe>" <arguments>`: the usual way to call the tool.
ToolRun run_tool_with(const std::wstring& arguments, bool own_console = false, const std::wstring& exe = tool_path());

// Handle values the process holds now, counted one by one: under Wine
// GetProcessHandleCount always reports 0.
int count_open_handles();

}  // namespace test
