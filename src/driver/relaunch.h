#pragma once

// Whether the application is started again at the end, and what it is told.

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "driver/options.h"
#include "log/log.h"

namespace relauncher {

// rolled_back: a new version put in place by --replace failed its --trial, and the old
// version is back.
enum class UpdateOutcome { succeeded, failed, not_started, rolled_back };

// How the hand-over ended, as far as the relaunch is concerned.
enum class ProgramEnd {
  exited,               // the program ran, and its exit code is known
  not_started,          // it could not be started: nothing was installed
  not_waited_for,       // an elevated start gave no process: it may still be installing
  application_running,  // the --wait-pid process outlived the wait: it is still there
  folders_not_free,     // it ended, but a process from its folders outlived the wait
};

struct RelaunchDecision {
  std::optional<UpdateOutcome> outcome;  // relaunch, telling it this; absent: no relaunch
  std::string skipped;                   // why not, when there is none
};

// 0, or one of the --success-code values.
bool counts_as_success(const LaunchOptions& options, std::int32_t exit_code);

// `running` is an instance of the application that the program itself started and
// that still runs: relaunching would make a second one.
RelaunchDecision decide_relaunch(const LaunchOptions& options, ProgramEnd end,
                                 std::int32_t exit_code,
                                 std::optional<std::uint32_t> running = std::nullopt);

// What the relaunched application finds in its environment: RELAUNCHER_OUTCOME and,
// when the program ran, RELAUNCHER_EXIT_CODE as the unsigned decimal of its 32 bits.
// Nothing unless --relaunch-on-failure or --success-code asked for it.
std::vector<std::pair<std::string, std::string>> outcome_environment(const LaunchOptions& options,
                                                                     UpdateOutcome outcome,
                                                                     std::int32_t exit_code);

// The names outcome_environment sets: removed from the tool's own environment at its
// start, so that a value left by an earlier update reaches nothing it starts.
extern const char* const outcome_variables[2];

// The program started after a successful run: the relaunch path, and the arguments
// given by --relaunch-arg (none without it).
struct RelaunchCommand {
  std::string program;
  std::vector<std::string> arguments;
};

// The relaunch path back in narrow form, in the file system's code page. Throws
// std::system_error when the code page cannot represent it exactly.
RelaunchCommand make_relaunch_command(const SystemText& relaunch_app,
                                      const std::vector<std::string>& arguments = {});

// What became of a relaunch: with `watch` (a --trial), the relaunch stays the tool's
// child and its handle comes back (see launch_watched); -1 otherwise. A start that failed
// gives its error.
struct Relaunched {
  std::intptr_t handle = -1;
  std::uint32_t start_error = 0;
};

// Decides, relaunches (detached, or watched) when due, and logs what it did.
Relaunched relaunch_if_due(const LaunchOptions& options, ProgramEnd end, std::int32_t exit_code,
                           std::optional<std::uint32_t> running, const LogFile& log,
                           bool watch = false);

// The old version relaunched after a failed trial, told `rolled-back` and the new
// version's exit code (none when it could not even start), whatever the other options say.
void relaunch_rolled_back(const LaunchOptions& options, std::optional<std::int32_t> exit_code,
                          const LogFile& log);

}  // namespace relauncher
