/* A test seam for --replace, loaded into relauncher with LD_PRELOAD by the tests only. It
 * counts relauncher's own calls of every libc entry point that changes or flushes files,
 * and, as the environment asks:
 *   RELAUNCHER_TEST_FAIL_CALL=N      the Nth such call fails once (EIO), doing nothing;
 *   RELAUNCHER_TEST_REFUSE=<name>:<errno>
 *                                    every call of that entry point fails with that error,
 *                                    as a file system that lacks what it does would;
 *   RELAUNCHER_TEST_END_AFTER_CALL=N relauncher is ended with SIGKILL right after the Nth,
 *                                    as a power cut or a kill would;
 *   RELAUNCHER_TEST_END_AFTER_WRITING=<text>
 *                                    relauncher is ended right after it writes the text (a
 *                                    log line, say);
 *   RELAUNCHER_TEST_CALL_LOG=<file>  each call is written there: its number, its name and
 *                                    the path it names (or the folder a descriptor holds).
 * It takes itself out of the environment at once, so that nothing relauncher starts loads
 * it. The list of entry points is `seam_calls`; the tests check it against the code. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

const char* const seam_calls[] = {
    "renameat2", "rename",  "renameat", "link",     "linkat",    "unlink",    "unlinkat",
    "rmdir",     "mkdir",   "mkdirat",  "open",     "open64",    "openat",    "openat64",
    "write",     "pwrite",  "pwrite64", "ftruncate", "fsync",    "fdatasync", "syncfs",
    "chmod",     "fchmod",  "fchmodat", "utimensat", "futimens", "flock",     "symlink",
    "symlinkat", NULL};

static long fail_at = 0, end_after = 0, calls = 0;
static char call_log[4096], end_text[256], refused[64];
static int refused_error = 0;
static int text_written = 0;

__attribute__((constructor)) static void take_settings(void) {
  const char* fail = getenv("RELAUNCHER_TEST_FAIL_CALL");
  const char* end = getenv("RELAUNCHER_TEST_END_AFTER_CALL");
  const char* log = getenv("RELAUNCHER_TEST_CALL_LOG");
  const char* text = getenv("RELAUNCHER_TEST_END_AFTER_WRITING");
  const char* refuse = getenv("RELAUNCHER_TEST_REFUSE");
  const char* colon = refuse ? strchr(refuse, ':') : NULL;
  if (colon != NULL && (size_t)(colon - refuse) < sizeof refused) {
    memcpy(refused, refuse, (size_t)(colon - refuse));
    refused_error = atoi(colon + 1);
  }
  unsetenv("RELAUNCHER_TEST_REFUSE");
  snprintf(end_text, sizeof end_text, "%s", text ? text : "");
  unsetenv("RELAUNCHER_TEST_END_AFTER_WRITING");
  fail_at = fail ? atol(fail) : 0;
  end_after = end ? atol(end) : 0;
  snprintf(call_log, sizeof call_log, "%s", log ? log : "");
  unsetenv("LD_PRELOAD");
  unsetenv("RELAUNCHER_TEST_FAIL_CALL");
  unsetenv("RELAUNCHER_TEST_END_AFTER_CALL");
  unsetenv("RELAUNCHER_TEST_CALL_LOG");
}

static void *real(const char* name) {
  return dlsym(RTLD_NEXT, name);
}

/* Writes the call to the call log through the raw system calls, never counted itself. */
static void record(const char* name, const char* path, int fd) {
  if (call_log[0] == '\0') {
    return;
  }
  char line[8192], held[4096] = "";
  if (path == NULL && fd >= 0) {
    char link[64];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const ssize_t length = readlink(link, held, sizeof held - 1);
    held[length > 0 ? length : 0] = '\0';
  }
  const int length = snprintf(line, sizeof line, "%ld %s %s\n", calls, name, path ? path : held);
  int (*real_open)(const char*, int, ...) = real("open");
  ssize_t (*real_write)(int, const void*, size_t) = real("write");
  const int out = real_open(call_log, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (out >= 0) {
    (void)!real_write(out, line, (size_t)length);
    close(out);
  }
}

/* Counts a call; true when it is the one to fail. */
static int counted(const char* name, const char* path, int fd) {
  ++calls;
  record(name, path, fd);
  if (calls == fail_at) {
    errno = EIO;
    return 1;
  }
  if (refused_error != 0 && strcmp(name, refused) == 0) {
    errno = refused_error;
    return 1;
  }
  return 0;
}

static long after(long result) {
  if ((end_after != 0 && calls >= end_after) || text_written) {
    kill(getpid(), SIGKILL);
  }
  return result;
}

#define PATH_CALL(name, path, fd, type, args, ...)               \
  do {                                                           \
    if (counted(#name, path, fd)) {                              \
      return (type)-1;                                           \
    }                                                            \
    type (*next) args = (type (*) args)real(#name);              \
    return (type)after((long)next(__VA_ARGS__));                 \
  } while (0)

int renameat2(int a, const char* b, int c, const char* d, unsigned e) {
  PATH_CALL(renameat2, b, a, int, (int, const char*, int, const char*, unsigned), a, b, c, d, e);
}
int rename(const char* a, const char* b) { PATH_CALL(rename, a, -1, int, (const char*, const char*), a, b); }
int renameat(int a, const char* b, int c, const char* d) {
  PATH_CALL(renameat, b, a, int, (int, const char*, int, const char*), a, b, c, d);
}
int link(const char* a, const char* b) { PATH_CALL(link, b, -1, int, (const char*, const char*), a, b); }
int linkat(int a, const char* b, int c, const char* d, int e) {
  PATH_CALL(linkat, d, c, int, (int, const char*, int, const char*, int), a, b, c, d, e);
}
int unlink(const char* a) { PATH_CALL(unlink, a, -1, int, (const char*), a); }
int unlinkat(int a, const char* b, int c) { PATH_CALL(unlinkat, b, a, int, (int, const char*, int), a, b, c); }
int rmdir(const char* a) { PATH_CALL(rmdir, a, -1, int, (const char*), a); }
int mkdir(const char* a, mode_t b) { PATH_CALL(mkdir, a, -1, int, (const char*, mode_t), a, b); }
int mkdirat(int a, const char* b, mode_t c) { PATH_CALL(mkdirat, b, a, int, (int, const char*, mode_t), a, b, c); }
ssize_t write(int a, const void* b, size_t c) {
  if (end_text[0] != '\0' && text_written == 0 && memmem(b, c, end_text, strlen(end_text)) != NULL) {
    text_written = 1;
  }
  PATH_CALL(write, NULL, a, ssize_t, (int, const void*, size_t), a, b, c);
}
ssize_t pwrite(int a, const void* b, size_t c, off_t d) {
  PATH_CALL(pwrite, NULL, a, ssize_t, (int, const void*, size_t, off_t), a, b, c, d);
}
ssize_t pwrite64(int a, const void* b, size_t c, off_t d) {
  PATH_CALL(pwrite64, NULL, a, ssize_t, (int, const void*, size_t, off_t), a, b, c, d);
}
int ftruncate(int a, off_t b) { PATH_CALL(ftruncate, NULL, a, int, (int, off_t), a, b); }
int fsync(int a) { PATH_CALL(fsync, NULL, a, int, (int), a); }
int fdatasync(int a) { PATH_CALL(fdatasync, NULL, a, int, (int), a); }
int syncfs(int a) { PATH_CALL(syncfs, NULL, a, int, (int), a); }
int chmod(const char* a, mode_t b) { PATH_CALL(chmod, a, -1, int, (const char*, mode_t), a, b); }
int fchmod(int a, mode_t b) { PATH_CALL(fchmod, NULL, a, int, (int, mode_t), a, b); }
int fchmodat(int a, const char* b, mode_t c, int d) {
  PATH_CALL(fchmodat, b, a, int, (int, const char*, mode_t, int), a, b, c, d);
}
int utimensat(int a, const char* b, const struct timespec c[2], int d) {
  PATH_CALL(utimensat, b, a, int, (int, const char*, const struct timespec*, int), a, b, c, d);
}
int futimens(int a, const struct timespec b[2]) {
  PATH_CALL(futimens, NULL, a, int, (int, const struct timespec*), a, b);
}
int flock(int a, int b) { PATH_CALL(flock, NULL, a, int, (int, int), a, b); }
int symlink(const char* a, const char* b) { PATH_CALL(symlink, b, -1, int, (const char*, const char*), a, b); }
int symlinkat(const char* a, int b, const char* c) {
  PATH_CALL(symlinkat, c, b, int, (const char*, int, const char*), a, b, c);
}

/* Opens count only when they may write or create: reading changes nothing. */
static int opens_for_change(int flags) {
  return (flags & (O_WRONLY | O_RDWR | O_CREAT | O_TRUNC)) != 0;
}

static int open_counted(const char* name, int at, const char* path, int flags, mode_t mode) {
  if (opens_for_change(flags) && counted(name, path, -1)) {
    return -1;
  }
  int (*next)(int, const char*, int, ...) = (int (*)(int, const char*, int, ...))real("openat");
  const int result = next(at, path, flags, mode);
  return opens_for_change(flags) ? (int)after(result) : result;
}

static mode_t mode_of(int flags, va_list args) {
  return (flags & (O_CREAT | O_TMPFILE)) != 0 ? (mode_t)va_arg(args, int) : 0;
}

/* The mode, present only with O_CREAT or O_TMPFILE, follows the flags. */
#define OPEN_CALL(name, at, path, flags)            \
  do {                                              \
    va_list args;                                   \
    va_start(args, flags);                          \
    const mode_t mode = mode_of(flags, args);       \
    va_end(args);                                   \
    return open_counted(#name, at, path, flags, mode); \
  } while (0)

int open(const char* path, int flags, ...) { OPEN_CALL(open, AT_FDCWD, path, flags); }
int open64(const char* path, int flags, ...) { OPEN_CALL(open64, AT_FDCWD, path, flags); }
int openat(int at, const char* path, int flags, ...) { OPEN_CALL(openat, at, path, flags); }
int openat64(int at, const char* path, int flags, ...) { OPEN_CALL(openat64, at, path, flags); }
