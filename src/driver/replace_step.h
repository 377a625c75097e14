#pragma once

// --replace <target> --with <new> and --trial: the driver's part of putting a new version
// in place. Which lines are unusable, when each file step runs, what is waited for
// first, what the journal says at each step, and what the log says; the steps themselves
// are files/swap.h's.

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <thread>

#include "driver/options.h"
#include "files/journal.h"
#include "files/swap.h"
#include "files/target_lock.h"
#include "log/log.h"

namespace relauncher {

// A run's hold on its target: the lock, taken before anything beside the target is
// looked at and let go when the run ends, the journal of an earlier run that was never
// accepted, and this run's swap.
struct ReplaceRun {
  TargetLock lock;
  std::optional<Journal> unfinished;
  Swap swap;
  // The phase this run's journal beside the target says, once there is one.
  std::optional<JournalPhase> journaled;
  // A new version renamed in is put on the disk while relauncher waits (`flushed` once that
  // is done), so that the swap, which joins it, need not do it again.
  std::thread early_flush;
  bool flushed = false;
  // A new version from elsewhere is copied beside the target while relauncher waits
  // (nothing of the target's is touched by that): the swap only waits for the copy to
  // finish. A run that never swaps stops it and removes what it wrote.
  std::thread early_copy;
  std::atomic<bool> stop_copy{false};
  std::optional<FileStep> copied;
  SystemText copied_to;
  bool copy_taken = false;
  ReplaceRun() = default;
  ReplaceRun(const ReplaceRun&) = delete;
  ReplaceRun& operator=(const ReplaceRun&) = delete;
  ~ReplaceRun();
};

// Makes both paths absolute (the folders that hold them resolved, their own names kept)
// and checks the line against every rule of the swap; false, with the usage line logged,
// when it cannot be carried out. A folder target joins the waited folders, a file
// target the waited files.
bool read_replace_options(LaunchOptions& options, const std::optional<SystemText>& log_path,
                          const LogFile& log);

SwapNames replace_names(const LaunchOptions& options);

// Before the waits: the target's lock (waited for within --wait-timeout), an earlier run's
// journal read, what earlier runs left put right, and a check that the target's folder
// takes new entries. False (logged) when the update cannot be done.
bool prepare_replace(const LaunchOptions& options, ReplaceRun& run, const LogFile& log);

// After the waits and every --sha256 check: an earlier run's update that was never
// accepted undone, then the new version put in place (`held`: the --with file as
// relauncher holds it, when it was verified), journaled. Logged, done or not.
void swap_in_new_version(const LaunchOptions& options, std::intptr_t held, ReplaceRun& run,
                         const LogFile& log);

// The journal's phase, when this run keeps one; a write that fails is logged and the
// update goes on (the phase written last stays true by the steps' order).
void journal_phase(const LaunchOptions& options, ReplaceRun& run, JournalPhase phase,
                   const LogFile& log);

// The old version back, once the target is free: waited for as the application's folders
// are (at most `wait_ms` when given; what is left then is ended with
// --end-folder-processes). True when the old version stands again.
bool roll_back_update(const LaunchOptions& options, ReplaceRun& run, const std::string& why,
                      std::optional<std::uint32_t> wait_ms, const LogFile& log);

// After a successful update (and its trial): accepted in the journal, the backup deleted
// (or kept with a line), then the journal removed.
void accept_update(const LaunchOptions& options, ReplaceRun& run, const LogFile& log);

// Watches the relaunched new version for --trial seconds: when it ends within them with
// a code that is not a success, or by a crash, the old version is put back and
// relaunched, told rolled-back. Returns the exit code to end with: absent when the trial
// passed (the backup is then removed), -1 after a roll-back or one that failed.
std::optional<int> run_trial(const LaunchOptions& options, ReplaceRun& run,
                             std::intptr_t relaunched, const LogFile& log);

// A relaunch of the new version that could not start fails its trial: rolled back as a
// new version that failed, and the old one relaunched told rolled-back. Returns -1.
int fail_trial_start(const LaunchOptions& options, ReplaceRun& run, std::uint32_t error,
                     const LogFile& log);

}  // namespace relauncher
