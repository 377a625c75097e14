#pragma once

// The command line, read: the --log path before anything else, then the options, each
// only when the arguments carry exactly what the caller gave.

#include <optional>
#include <string>
#include <vector>

#include "driver/options.h"
#include "log/log.h"

namespace relauncher {

// The --log path, unless the C runtime altered it on its way to `args`: a lone surrogate
// comes through as U+FFFD, and would name a file the caller never gave. Where the
// arguments cannot be matched up with the command line, no log either.
std::optional<SystemText> log_path(const std::vector<std::string>& args);

// Whether the arguments carry exactly what the caller gave: on Windows the C runtime
// writes what the argument code page lacks as another character; on Linux the bytes are
// the caller's own, always.
bool arguments_read_exactly();

// The options, with the --wait-folder values resolved, or nothing when the command line
// is unusable; the log says why.
std::optional<LaunchOptions> read_options(const std::vector<std::string>& args, const LogFile& log);

}  // namespace relauncher
