#pragma once

#include <cstdint>
#include <string>
#include <system_error>
#include <vector>

namespace relauncher {

// Blocks until the process with this id has ended. Returns at once when there is
// nothing to wait for: an id of 0 or less, one above the 32-bit range Windows uses,
// the tool's own id, or a process that cannot be opened (already gone, or not ours).
void wait_for_process(std::int64_t pid);

// Starts the program with its arguments, waits for it and returns its exit code bit
// for bit. -1 when it could not be started or its outcome could not be read.
std::int32_t run_and_wait(const std::string& program, const std::vector<std::string>& arguments);

// Starts the application detached, in its own process group, without waiting.
// Returns 0 or the Windows error code of the failed start, in the system category.
std::error_code launch_detached(const std::string& application,
                                const std::vector<std::string>& arguments);

}  // namespace relauncher
