#pragma once

// The tool's work on processes: wait for one, run the program and wait for it, start
// the relaunch application detached. Each operation reports what happened as its
// result and writes nothing anywhere; the caller decides what to tell.

#include <cstdint>
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

struct RunReport {
  StartReport start;
  std::int32_t exit_code = -1;  // bit for bit; -1 also when it did not start
};

// How the program is started, beyond what the command line says.
struct ProgramSettings {
  // CREATE_NO_WINDOW: a console program gets a console of its own with no window,
  // instead of sharing the tool's. For the windowless twin, which has no console.
  bool no_window = false;
};

// Blocks until the process with this id has ended. Returns at once when there is
// nothing to wait for: an id of 0 or less, one above the 32-bit range Windows uses,
// the tool's own id, or a process that cannot be opened (already gone, or not ours).
WaitReport wait_for_process(std::int64_t pid);

// Starts the program with its arguments and waits for it. The exit code is -1 when it
// could not be started or its outcome could not be read.
RunReport run_and_wait(const std::string& program, const std::vector<std::string>& arguments,
                       const ProgramSettings& settings = {});

// Starts the application detached, in its own process group, without waiting. The
// report's error is 0 or the Windows error code of the failed start.
StartReport launch_detached(const std::string& application, const std::vector<std::string>& arguments);

}  // namespace relauncher
