// The program a waiter starts: writes its first moment (CLOCK_MONOTONIC, ns) to the
// file it is given, then exits.
#include <time.h>

#include <cstdio>

int main(int argc, char** argv) {
  struct timespec now {};
  clock_gettime(CLOCK_MONOTONIC, &now);
  if (argc < 2) {
    return 2;
  }
  if (std::FILE* out = std::fopen(argv[1], "w")) {
    std::fprintf(out, "%lld\n", static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec);
    std::fclose(out);
  }
  return 0;
}
