#include "progress/progress.h"

namespace relauncher {

namespace {

// What a started window's state points to on a system that has no such window: the run
// starts and stops it as anywhere else, and the stop reports that none was shown.
char no_window_here;

}  // namespace

ProgressWindow start_progress(const ProgressSettings&) {
  return ProgressWindow{&no_window_here};
}

ProgressReport stop_progress(ProgressWindow& window) {
  ProgressReport report;
  if (window.state != nullptr) {
    report.outcome = ProgressOutcome::no_window_here;
    window.state = nullptr;
  }
  return report;
}

}  // namespace relauncher
