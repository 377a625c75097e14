// The limit for a Linux hand-over: wait for a process on its pidfd, then start the
// program, and nothing else.
//   minimal_waiter_linux <pid> <program> [args...]
#include <poll.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

extern char** environ;

int main(int argc, char** argv) {
  if (argc < 3) {
    return 2;
  }
  const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, std::atoi(argv[1]), 0));
  if (pidfd >= 0) {
    struct pollfd watched = {pidfd, POLLIN, 0};
    poll(&watched, 1, -1);
  }
  pid_t child = 0;
  if (posix_spawn(&child, argv[2], nullptr, nullptr, argv + 2, environ) != 0) {
    return 255;
  }
  int status = 0;
  waitpid(child, &status, 0);
  return WEXITSTATUS(status);
}
