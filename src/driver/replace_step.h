#pragma once

// --replace <target> --with <new> and --trial: the driver's part of putting a new version
// in place. Which lines are unusable, when each file step runs, what is waited for
// first, and what the log says; the steps themselves are files/swap.h's.

#include <cstdint>
#include <optional>
#include <string>

#include "driver/options.h"
#include "files/swap.h"
#include "log/log.h"

namespace relauncher {

// Makes both paths absolute (the folders that hold them resolved, their own names kept)
// and checks the line against every rule of the swap; false, with the usage line logged,
// when it cannot be carried out. A folder target joins the waited folders, a file
// target the waited files.
bool read_replace_options(LaunchOptions& options, const std::optional<SystemText>& log_path,
                          const LogFile& log);

SwapNames replace_names(const LaunchOptions& options);

// Before the waits: what an earlier run left, put right, and a check that the target's
// folder takes new entries. False (logged) when the update cannot be done.
bool prepare_replace(const LaunchOptions& options, const LogFile& log);

// After the waits and every --sha256 check: the new version put in place (`held`: the
// --with file as relauncher holds it, when it was verified). Logged, done or not.
Swap swap_in_new_version(const LaunchOptions& options, std::intptr_t held, const LogFile& log);

// The old version back, once the target is free: waited for as the application's folders
// are (at most `wait_ms` when given; what is left then is ended with
// --end-folder-processes). True when the old version stands again.
bool roll_back_update(const LaunchOptions& options, const Swap& swap, const std::string& why,
                      std::optional<std::uint32_t> wait_ms, const LogFile& log);

// After a successful update (and its trial): the backup deleted, or kept with a line.
void remove_backup_logged(const LaunchOptions& options, const LogFile& log);

// Watches the relaunched new version for --trial seconds: when it ends within them with
// a code that is not a success, or by a crash, the old version is put back and
// relaunched, told rolled-back. Returns the exit code to end with: absent when the trial
// passed (the backup is then removed), -1 after a roll-back or one that failed.
std::optional<int> run_trial(const LaunchOptions& options, const Swap& swap,
                             std::intptr_t relaunched, const LogFile& log);

}  // namespace relauncher
