// The application that ends: it waits until the benchmark lets it go (after the
// waiter has opened it), then records its last moment and exits.
#include "shared.h"

int main() {
  bench::SharedTimes* times = bench::open_shared_times();
  HANDLE go = OpenEventW(SYNCHRONIZE, FALSE, bench::go_event_name);
  if (times == nullptr || go == nullptr) {
    return 1;
  }
  WaitForSingleObject(go, INFINITE);
  times->victim_exit = bench::now();
  ExitProcess(0);
}
