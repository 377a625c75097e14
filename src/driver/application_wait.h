#pragma once

// The first step of a hand-over: the application's process, and then every process
// running from its folders, must have ended before the program starts.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "driver/options.h"
#include "log/log.h"
#include "process/process.h"

namespace relauncher {

// The --wait-folder values as canonical paths, or nothing when one is unusable: a path
// Windows cannot hold or resolve, or a folder so broad that unrelated programs run from
// it. The log says which, and a folder that does not exist (nothing can run from it).
std::optional<std::vector<SystemText>> resolve_wait_folders(
    const std::vector<SystemText>& folders, const LogFile& log);

// The paths that the tool resolves through the file system, checked before any system
// call reads them: every --wait-folder, and the relaunch application where its path is
// compared with others (--wait-tree, --end-folder-processes). Logs the first path that the
// system cannot hold and returns false.
bool paths_fit_system(const LaunchOptions& options, const LogFile& log);

// Waits for the --wait-pid process and logs the wait; the report tells whether it
// outlived --wait-timeout, and its executable, read before the wait.
WaitReport wait_for_application_process(const LaunchOptions& options, const LogFile& log);

// Then waits for its folders (already resolved), within what is left of --wait-timeout
// since `began`; false when some process from them outlived it. Logs the wait.
// `application_image` is the --wait-pid process's executable (canonical, or empty):
// --end-folder-processes ends processes only in a folder that holds it or the
// relaunch application, never in one that merely lies near them.
bool wait_for_application_folders(const LaunchOptions& options,
                                  const SystemText& application_image, std::uint64_t began,
                                  const LogFile& log);

}  // namespace relauncher
