/* A test seam for --replace, loaded into relauncher with LD_PRELOAD by the tests only: it
 * lets relauncher make its first RELAUNCHER_TEST_END_AFTER renames or links of the swap, then
 * ends it with SIGKILL right after the last of them, as a power cut would. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

static int steps_done = 0;

static void count_step(void) {
  const char* limit = getenv("RELAUNCHER_TEST_END_AFTER");
  if (limit != NULL && ++steps_done >= atoi(limit)) {
    kill(getpid(), SIGKILL);
  }
}

int renameat2(int olddirfd, const char* oldpath, int newdirfd, const char* newpath, unsigned flags) {
  int (*real)(int, const char*, int, const char*, unsigned) =
      (int (*)(int, const char*, int, const char*, unsigned))dlsym(RTLD_NEXT, "renameat2");
  const int result = real(olddirfd, oldpath, newdirfd, newpath, flags);
  if (result == 0) {
    count_step();
  }
  return result;
}

int link(const char* oldpath, const char* newpath) {
  int (*real)(const char*, const char*) = (int (*)(const char*, const char*))dlsym(RTLD_NEXT, "link");
  const int result = real(oldpath, newpath);
  if (result == 0) {
    count_step();
  }
  return result;
}

int rename(const char* oldpath, const char* newpath) {
  int (*real)(const char*, const char*) = (int (*)(const char*, const char*))dlsym(RTLD_NEXT, "rename");
  const int result = real(oldpath, newpath);
  if (result == 0) {
    count_step();
  }
  return result;
}
