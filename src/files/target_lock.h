#pragma once

// Runs on one target take turns: the run that swaps holds `<target>.relauncher-lock`
// from its look at what earlier runs left to its end. Neither the program nor the
// relaunch inherits it, and the file goes with its last holder.

#include <cstdint>

#include "files/system_text.h"

namespace relauncher {

struct TargetLock {
  std::intptr_t handle = -1;  // a descriptor on Linux, a HANDLE on Windows; -1: not held
  SystemText path;
};

// One try: held, or held by another run (`busy`, with its pid when it could be read),
// or refused by the system (`error`).
struct LockAttempt {
  TargetLock lock;
  bool busy = false;
  std::uint32_t holder = 0;
  std::uint32_t error = 0;
};
LockAttempt try_target_lock(const SystemText& path);

// Lets go of it (and removes the file, which the next holder makes again).
void release_target_lock(TargetLock& lock);

}  // namespace relauncher
