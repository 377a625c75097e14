#pragma once

// The tool's work on processes: wait for one, run the program and wait for it, start
// the relaunch application detached. Each operation reports what happened as its
// result and writes nothing anywhere; the caller decides what to tell.

#include <cstdint>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

namespace relauncher {

enum class WaitOutcome {
  ended,           // the process was open and has ended
  not_opened,      // already gone, or not ours to open; `error` says which
  own_process,     // the tool's own id: waiting would never end
  beyond_32_bits,  // no process can have such an id
  not_positive,    // 0 or negative: nothing to wait for
};

struct WaitReport {
  WaitOutcome outcome = WaitOutcome::not_positive;
  std::uint32_t error = 0;  // OpenProcess's error when not_opened
};

// What a start did: the exact text given to CreateProcessW, and the started process's
// id or why nothing was started.
struct StartReport {
  std::u16string application;   // lpApplicationName (cmd.exe for a batch file); empty otherwise
  std::u16string command_line;  // lpCommandLine, when one was composed
  std::string refusal;          // why a batch file's text was refused
  std::error_code error;        // system category; 0 when the process started
  std::uint32_t pid = 0;
};

// The program's second start, through the consent prompt, after the first one failed
// for want of administrator rights.
struct ElevatedRun {
  std::u16string file;        // ShellExecuteExW's lpFile: the program, or cmd.exe
  std::u16string parameters;  // its lpParameters: the rest of the command line
  std::error_code error;      // system category; ERROR_CANCELLED (1223): declined
  bool has_process = false;   // false after a start that gave no process to wait for
  std::uint32_t pid = 0;
  std::int32_t exit_code = -1;  // bit for bit; -1 when it did not run
};

struct RunReport {
  StartReport start;
  std::optional<ElevatedRun> elevated;  // present when the start was tried again elevated
  std::int32_t exit_code = -1;          // bit for bit; -1 also when it did not start
};

// Whether the program ran (directly or elevated), so that its exit code is its own.
inline bool program_ran(const RunReport& report) {
  return !report.start.error || (report.elevated && report.elevated->has_process);
}

// How the program is started, beyond what the command line says.
struct ProgramSettings {
  // CREATE_NO_WINDOW: a console program gets a console of its own with no window,
  // instead of sharing the tool's. For the windowless twin, which has no console.
  bool no_window = false;
  // When Windows refuses the start for want of administrator rights, start the program
  // again through the consent prompt. Only the program: the relaunch never is.
  bool elevate = false;
};

// ERROR_ELEVATION_REQUIRED, which the mingw-w64 headers lack.
constexpr int elevation_required_error = 740;

// The second, elevated start is tried exactly when it was allowed and Windows refused
// the first for want of elevation.
inline bool should_elevate(const std::error_code& start_error, const ProgramSettings& settings) {
  return settings.elevate &&
         start_error == std::error_code(elevation_required_error, std::system_category());
}

// Blocks until the process with this id has ended. Returns at once when there is
// nothing to wait for: an id of 0 or less, one above the 32-bit range Windows uses,
// the tool's own id, or a process that cannot be opened (already gone, or not ours).
WaitReport wait_for_process(std::int64_t pid);

// Starts the program with its arguments and waits for it. The exit code is -1 when it
// could not be started or its outcome could not be read.
RunReport run_and_wait(const std::string& program, const std::vector<std::string>& arguments,
                       const ProgramSettings& settings = {});

// Starts the program through ShellExecuteExW's "runas" verb (the consent prompt, shown
// normally, no error dialogs of its own) and waits for it. Loads shell32 and ole32
// from the system folder only, and only when called.
ElevatedRun run_elevated(const std::string& program, const std::vector<std::string>& arguments);

// Starts the application detached, in its own process group, without waiting. The
// report's error is 0 or the Windows error code of the failed start.
StartReport launch_detached(const std::string& application,
                            const std::vector<std::string>& arguments);

}  // namespace relauncher
