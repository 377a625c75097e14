#pragma once

// The first step of a hand-over: the application's process, and then every process
// running from its folders, must have ended before the program starts.

#include <optional>
#include <string>
#include <vector>

#include "driver/log.h"
#include "driver/options.h"

namespace relauncher {

enum class ApplicationWait {
  ended,             // nothing of the application runs any more: go on
  still_running,     // the --wait-pid process outlived --wait-timeout
  folders_not_free,  // it ended, but some process from its folders outlived the timeout
};

// The --wait-folder values as canonical paths, or nothing when one is unusable: a path
// Windows cannot resolve, or a folder so broad that unrelated programs run from it. The
// log says which, and a folder that does not exist (nothing can run from it).
std::optional<std::vector<std::u16string>> resolve_wait_folders(
    const std::vector<std::u16string>& folders, const LogFile& log);

// Waits for the --wait-pid process, then for its folders (already resolved), both
// within one --wait-timeout; logs each wait.
ApplicationWait wait_for_application(const LaunchOptions& options, const LogFile& log);

}  // namespace relauncher
