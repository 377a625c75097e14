#pragma once

namespace relauncher {

// True in relauncherw.exe, the windowless twin: the one thing that sets the two
// builds of the same sources apart. Read from the running image's own subsystem, so
// that it always agrees with how the executable was linked.
bool is_windowless_build();

}  // namespace relauncher
