#pragma once

// What sets one build of the tool apart from another: the windowless twin, and the
// system it runs on.

#include <string>

#include "driver/options.h"

namespace relauncher {

// True in relauncherw.exe, the windowless twin: the one thing that sets the two
// builds of the same sources apart. Read from the running image's own subsystem, so
// that it always agrees with how the executable was linked.
bool is_windowless_build();

// Why an otherwise usable command line cannot be carried out on this system (an option
// it has no way to honour), or nothing.
std::string unusable_on_this_system(const LaunchOptions& options);

}  // namespace relauncher
