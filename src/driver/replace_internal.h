#pragma once

// What the two halves of the driver's --replace share: the swap's story
// (replace_step.cpp) and what comes before it (replace_recovery.cpp: the lock, an earlier
// run's journal and leftovers, the wait for the target).

#include <cstdint>
#include <optional>
#include <string>

#include "driver/replace_step.h"

namespace relauncher {

std::string quoted(const SystemText& path);

// `error <code> (<message>)`, with the entry that failed and where it was kept.
std::string describe_removal(const Removal& removal);

// `replace retry error=<code> (<message>) tries=<n>` when a step waited out a passing lock.
void log_retries(std::uint32_t tries, std::uint32_t waited_out, const LogFile& log);

// An earlier run's update that was never accepted undone (the old version back, the new
// one back at its --with or kept), then what runs left beside the target cleared, and
// the kinds checked again. False (logged) when this run's update cannot go ahead.
bool restore_unfinished(const LaunchOptions& options, ReplaceRun& run, const LogFile& log);

// Waits until nothing runs from the target, within `wait_ms` when given (what is left
// then is ended with --end-folder-processes); logs what it waited for and ended.
bool wait_until_target_free(const LaunchOptions& options, std::optional<std::uint32_t> wait_ms,
                            const LogFile& log);

}  // namespace relauncher
