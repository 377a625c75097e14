// Started by the waiter under test: records the moment it runs and exits.
#include "shared.h"

int main() {
  const LONGLONG started = bench::now();
  if (bench::SharedTimes* times = bench::open_shared_times()) {
    times->marker_start = started;
    times->marker_pid = GetCurrentProcessId();
  }
  return 0;
}
