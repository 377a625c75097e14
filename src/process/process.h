#pragma once

// The process room: processes only, for both systems; it may use files/ below it.
//
// The tool's work on processes: wait for one, run the program and wait for it, start
// the relaunch application detached. Each operation reports what happened as its
// result and writes nothing anywhere; the caller decides what to tell.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "files/system_text.h"
namespace relauncher {

enum class WaitOutcome {
  ended,           // the process was open and has ended
  timed_out,       // still running when the wait's bound ran out; left running
  not_opened,      // already gone, or not ours to open; `error` says which
  started_after,   // newer than the tool, so not the application: its id was reused
  own_process,     // the tool's own id: waiting would never end
  beyond_32_bits,  // no process can have such an id
  beyond_maximum,  // above the highest id the system hands out (Linux's pid_max)
  not_positive,    // 0 or negative: nothing to wait for
};

struct WaitReport {
  WaitOutcome outcome = WaitOutcome::not_positive;
  std::uint32_t error = 0;  // OpenProcess's error when not_opened
  // The process's executable (canonical), read before the wait; empty when it was not
  // waited for or could not be read.
  SystemText image;
  // Linux: waited for by reading its state every 100 ms, because no pidfd could be had
  // (`error` says why); the outcome is the same, only later by up to the interval.
  bool polled = false;
};

// What a start did: the exact text given to CreateProcessW, and the started process's
// id or why nothing was started.
struct StartReport {
  SystemText application;   // lpApplicationName (cmd.exe for a batch file); empty otherwise
  SystemText command_line;  // lpCommandLine, when one was composed
  std::string refusal;      // why a batch file's text was refused
  std::error_code error;    // system category; 0 when the process started
  std::uint32_t pid = 0;
};

// The program's second start, through the consent prompt, after the first one failed
// for want of administrator rights.
struct ElevatedRun {
  SystemText file;           // ShellExecuteExW's lpFile: the program, or cmd.exe
  SystemText parameters;     // its lpParameters: the rest of the command line
  std::error_code error;     // system category; ERROR_CANCELLED (1223): declined
  bool has_process = false;  // false after a start that gave no process to wait for
  std::uint32_t pid = 0;
  std::int32_t exit_code = -1;  // bit for bit; -1 when it did not run
};

// A process of the program's tree, by id and executable path (empty when unreadable).
struct TreeMember {
  std::uint32_t pid = 0;
  SystemText image;
};

// What a wait for the program's whole tree of processes came to.
struct TreeWait {
  bool whole_tree = false;  // the program and every process it started have ended, but
                            // for the application's own (see ProgramSettings)
  // Why only the program was waited for: the error that kept it out of a job, or 0
  // for an elevated start, which is never put in one.
  std::uint32_t error = 0;
  // An instance of the relaunch application that the program started and that was
  // still running when the wait ended: the installer has started the application.
  std::optional<std::uint32_t> application_pid;
};

struct RunReport {
  StartReport start;
  std::optional<ElevatedRun> elevated;  // present when the start was tried again elevated
  std::optional<TreeWait> tree;         // present when the tree was to be waited for
  std::int32_t exit_code = -1;          // bit for bit; -1 also when it did not start
  // On Linux, the signal that ended the program (its exit code is then 128 + it, as
  // shells report it); 0 when it exited.
  int signal = 0;
};

// The exit code as the tool's caller will read it: all 32 bits on Windows, the low 8 on
// Linux (where -1 reads as 255).
std::int32_t exit_code_as_seen(std::int32_t exit_code);

// The signal's name ("SIGTERM"), or "" for a number the system does not name.
std::string signal_name(int signal);

// Whether the program ran (directly or elevated), so that its exit code is its own.
inline bool program_ran(const RunReport& report) {
  return !report.start.error || (report.elevated && report.elevated->has_process);
}

// How the program is started, beyond what the command line says.
struct ProgramSettings {
  // CREATE_NO_WINDOW: a console program gets a console of its own with no window. Both
  // Windows builds: the twin has no console, and the console build has left its caller's.
  bool no_window = false;
  // Standard input, output and error NUL (the console build: the caller's console is
  // not the program's, and nobody types into a console without a window).
  bool null_standard_handles = false;
  // When Windows refuses the start for want of administrator rights, start the program
  // again through the consent prompt. Only the program: the relaunch never is.
  bool elevate = false;
  // The arguments go onto the program's command line as given, unquoted, for programs
  // that do not read their line by the C runtime's rules (installers). Never a batch
  // file's: cmd.exe would act on the raw text.
  bool verbatim = false;
  // Wait until the program and every process it starts have ended: it runs in a job
  // of its own, which kills nothing when the tool ends.
  bool wait_tree = false;
  // With wait_tree, what belongs to the application rather than to the installer, as
  // canonical paths: once the program has ended, a process of the tree whose image is
  // the relaunch application, or lies in one of these folders, is no longer waited for.
  SystemText application_image;
  std::vector<SystemText> application_folders;
  // With wait_tree, told once, as soon as the program has ended while others of its
  // tree still run, which ones they are, so that a long wait can be explained as it lasts.
  std::function<void(const std::vector<TreeMember>&)> on_program_ended;
  // The program's file as relauncher holds it after verifying it (see HeldFile), when the
  // program is one of the --sha256 files: on Windows the program starts suspended and
  // runs only if the file it was started from is that very file; on Linux it runs from
  // the held copy itself. -1: not held.
  std::intptr_t verified_program = -1;
  // With verified_program, the verified file's own path: on Linux, where the program runs
  // from the held copy, it finds that path in RELAUNCHER_VERIFIED_PATH (a script's $0
  // names the copy).
  SystemText verified_program_path;
  // For tests alone, never set from the command line or the environment: the first
  // start fails as Windows fails it for want of elevation, which Wine never does, so
  // that the elevated path can be run for real.
  bool first_start_needs_elevation = false;
};

// ERROR_ELEVATION_REQUIRED, which the mingw-w64 headers lack.
constexpr int elevation_required_error = 740;

// The second, elevated start is tried exactly when it was allowed and Windows refused
// the first for want of elevation.
inline bool should_elevate(const std::error_code& start_error, const ProgramSettings& settings) {
  return settings.elevate &&
         start_error == std::error_code(elevation_required_error, std::system_category());
}

// Blocks until the process with this id has ended, or for `timeout_s` seconds at most
// when that is not 0. Returns at once when there is nothing to wait for: an id of 0
// or less, one above the 32-bit range Windows uses, the tool's own id, a process that
// cannot be opened (already gone, or not ours), or one created after the tool, which
// cannot be the application that started it.
WaitReport wait_for_process(std::int64_t pid, std::uint32_t timeout_s = 0);

// The decision behind `started_after`: only a process provably newer than the tool is
// skipped. Creation times in 100 ns units; absent when they could not be read.
inline bool started_after_tool(std::optional<std::uint64_t> process_created,
                               std::optional<std::uint64_t> tool_created) {
  return process_created && tool_created && *process_created > *tool_created;
}

// Starts the program with its arguments and waits for it. The exit code is -1 when it
// could not be started or its outcome could not be read.
RunReport run_and_wait(const std::string& program, const std::vector<std::string>& arguments,
                       const ProgramSettings& settings = {});

// Starts the program through ShellExecuteExW's "runas" verb (the consent prompt, shown
// normally, no error dialogs of its own) and waits for it. Loads shell32 and ole32
// from the system folder only, and only when called. `verbatim` as in ProgramSettings.
ElevatedRun run_elevated(const std::string& program, const std::vector<std::string>& arguments,
                         bool verbatim = false);

// Starts the application detached, in its own process group, without waiting. The
// report's error is 0 or the Windows error code of the failed start.
StartReport launch_detached(const std::string& application,
                            const std::vector<std::string>& arguments);

// A relaunch watched through a trial: started detached from the caller as
// launch_detached starts it (a new session on Linux, a new process group on Windows) but
// kept as the tool's own child, so that its exit code can be read. `handle` is its
// process handle on Windows, its pid on Linux; -1 when it did not start.
struct WatchedStart {
  StartReport start;
  std::intptr_t handle = -1;
};
WatchedStart launch_watched(const std::string& application,
                            const std::vector<std::string>& arguments);

// How a watched process's first `ms` went.
struct WatchEnd {
  bool ended = false;           // it ended within them
  std::int32_t exit_code = 0;   // then: its code (Linux: 128 + N for a signal)
  bool crashed = false;         // then: by a crash or a signal
  bool session_ending = false;  // the tool was told that the session ends (SIGTERM, SIGHUP)
};
// What the tool does when it is told that the session ends (a logoff, a shutdown; on
// Linux SIGTERM or SIGHUP) during a watch: `on_end` runs before the watch returns, and on
// Windows before the system may end the tool (from the window that hears it, a hidden
// top-level one, since a console program that left its console hears it no other way).
// `hold_shutdown`: Windows asks the system to wait instead.
struct SessionEnd {
  bool hold_shutdown = false;
  std::function<void()> on_end;
};
WatchEnd watch_for(std::intptr_t handle, std::uint32_t ms, const SessionEnd& session = {});

// Lets go of a watched process: it runs on, no longer the tool's concern.
void release_watched(std::intptr_t handle);

// The file that starting `program` would run, found as Windows finds it (".exe" added
// to a name without an extension); the name itself when nothing is found.
SystemText program_file(const std::string& program);

// The tool's own executable.
SystemText tool_executable();

// Puts what the tool inherited about its own process in order, before anything else
// runs. Linux: every descriptor above 2 closed but `named_descriptors` (those the command
// line names as /dev/fd/<n>), the signal mask emptied, SIGHUP, SIGINT, SIGTERM and SIGQUIT
// ignored until the caller's session is left (own_signals_after_leaving), SIGCHLD at its
// default (a caller that ignored it would have the kernel
// reap the program and lose its exit code), SIGPIPE ignored (a usage line written into a
// closed pipe still ends in exit 2), descriptors 0 to 2 open (on /dev/null where closed,
// so that no file the tool opens becomes a stream of the program), and no inherited
// RELAUNCHER_VERIFIED_PATH. Windows: nothing.
void settle_own_process(const std::vector<int>& named_descriptors);
// Once the caller's session is left: SIGHUP, SIGINT, SIGTERM and SIGQUIT at their
// defaults again. Windows: nothing.
void own_signals_after_leaving();

// The command line the tool was started with, as the system holds it (Linux's arguments
// each quoted as a shell would read them back).
SystemText tool_command_line();

// Sets a variable of the tool's own environment, or removes it when there is no value;
// every process the tool starts afterwards inherits the change. Name and value in UTF-8.
void set_own_environment(const std::string& name, const std::optional<std::string>& value);

}  // namespace relauncher
