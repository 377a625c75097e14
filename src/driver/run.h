#pragma once

// The driver: the hand-over's story (read the options, wait, run the program, relaunch)
// told once for both systems with the rooms below it, and the wording of its log.

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "process/process.h"

namespace relauncher {

// For tests alone, never set from the command line or the environment.
struct TestSeams {
  bool stall_progress_window = false;  // the window's thread hangs once it has shown
  // Run in the test's own process, a copy of "the tool" would be the test program.
  bool stay_in_job = false;
};

// The name the tool calls itself in the usage line: the file name of argv[0], or
// "relauncher" when there is none or it cannot be converted.
std::string display_name(const std::optional<std::string>& argv0);

// The whole job: read the arguments (argv[1] onwards), wait, run the program,
// relaunch after a success. Returns the exit code: the program's, or 2 after the
// usage line has been written to `error_stream`. `settings` holds how the program is
// started beyond what the command line says (the twin's: with no console window of its
// own); the command line adds its own options to them.
int run(const std::vector<std::string>& args, const std::optional<std::string>& argv0,
        std::FILE* error_stream, const ProgramSettings& settings = {},
        const TestSeams& seams = {});

}  // namespace relauncher
