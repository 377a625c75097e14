#pragma once

// The first step of a hand-over: the application's process, and then every process
// running from its folders, must have ended before the program starts.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "driver/log.h"
#include "driver/options.h"

namespace relauncher {

// The --wait-folder values as canonical paths, or nothing when one is unusable: a path
// Windows cannot resolve, or a folder so broad that unrelated programs run from it. The
// log says which, and a folder that does not exist (nothing can run from it).
std::optional<std::vector<std::u16string>> resolve_wait_folders(
    const std::vector<std::u16string>& folders, const LogFile& log);

// Waits for the --wait-pid process; false when it outlived --wait-timeout. Logs the wait.
bool wait_for_application_process(const LaunchOptions& options, const LogFile& log);

// Then waits for its folders (already resolved), within what is left of --wait-timeout
// since `began`; false when some process from them outlived it. Logs the wait.
bool wait_for_application_folders(const LaunchOptions& options, std::uint64_t began,
                                  const LogFile& log);

}  // namespace relauncher
