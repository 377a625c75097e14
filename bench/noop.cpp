// One bare process start: does nothing, or sleeps for the milliseconds given.
#include <windows.h>

#include <cstdlib>

int main(int argc, char** argv) {
  if (argc > 1) {
    Sleep(static_cast<DWORD>(std::strtoul(argv[1], nullptr, 10)));
  }
  return 0;
}
