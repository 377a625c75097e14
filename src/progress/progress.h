#pragma once

// The progress room: the window, for both systems; it may use files/ below it.
//
// A small window that tells the user an update is being installed, so that a silent
// installer does not look like a crash. It knows nothing of processes or options: the
// run starts it with its text and stops it, and it runs on a thread of its own, so that
// a window that is slow to paint, or hung, never delays the waits or the relaunch.

#include <cstdint>
#include <string>

#include "files/system_text.h"
namespace relauncher {

struct ProgressSettings {
  SystemText text;            // one line, and the title
  std::uint32_t delay_ms = 1000;  // a quick install shows nothing
  SystemText icon_source;     // an executable whose icon the window shows; may be empty
  bool hold_shutdown = false;     // hold off a logoff or shutdown while the window is up
  // For tests alone, never set from the command line or the environment: the window's
  // thread stops answering once the window is shown, as a hung window would.
  bool stall_for_tests = false;
};

enum class ProgressOutcome {
  not_needed,  // stopped before the delay had passed
  shown,       // shown `after_ms` after the start
  not_shown,   // no window could be made (no interactive desktop); `error` says why
  no_window_here,  // the system has no such window (Linux): the hand-over goes on without
};

struct ProgressReport {
  ProgressOutcome outcome = ProgressOutcome::not_needed;
  std::uint64_t after_ms = 0;
  std::uint32_t error = 0;
  // False when the window's thread had not ended half a second after the stop (a hung
  // window): it is left to itself, and ends with the tool.
  bool answered_close = true;
};

// The running window's state, owned by start_progress and stop_progress alone.
struct ProgressWindow {
  void* state = nullptr;
};

// The text as the window shows it: up to its first line break.
SystemText progress_line(const SystemText& text);

// Reads the icon (so that no file the installer replaces stays open) and starts the
// window's thread, which shows the window once `delay_ms` have passed.
ProgressWindow start_progress(const ProgressSettings& settings);

// Closes the window (or keeps it from ever showing) and waits for its thread for half a
// second at most. Does nothing for a window that was never started.
ProgressReport stop_progress(ProgressWindow& window);

}  // namespace relauncher
