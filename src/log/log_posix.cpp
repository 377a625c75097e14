#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>

#include "files/file_id.h"
#include "files/system.h"
#include "log/log.h"

namespace relauncher {

LogFile::~LogFile() {
  if (file_ != none) {                     // silent or not, the descriptor is ours to close
    (void)close(static_cast<int>(file_));  // nothing can be done about a failed close
  }
}

namespace {

// Writers lock one byte far beyond any real end of the file: the lock serialises the
// appends without ever covering data that a reader might want.
constexpr off_t lock_offset = off_t{1} << 62;
// A writer holds the lock only for one append; a lock still taken after this long is
// held by something else (a stuck process, a share that lost it), and the line is
// dropped rather than the hand-over held up.
constexpr std::uint64_t lock_bound_ms = 1000;

enum class LockResult { locked, unsupported, busy };

bool set_lock(int file, short type) {
  struct flock range {};
  range.l_type = type;
  range.l_whence = SEEK_SET;
  range.l_start = lock_offset;
  range.l_len = 1;
  return fcntl(file, F_SETLK, &range) == 0;
}

LockResult lock_for_append(int file) {
  const std::uint64_t until = steady_milliseconds() + lock_bound_ms;
  for (long pause_ms = 1;; pause_ms = pause_ms < 16 ? pause_ms * 2 : pause_ms) {
    if (set_lock(file, F_WRLCK)) {
      return LockResult::locked;
    }
    if (errno != EAGAIN && errno != EACCES && errno != EINTR) {
      return LockResult::unsupported;  // ENOLCK, a file system without locks
    }
    if (steady_milliseconds() >= until) {
      return LockResult::busy;
    }
    const struct timespec pause = {0, pause_ms * 1000000};
    (void)nanosleep(&pause, nullptr);
  }
}

}  // namespace

LogFile open_log(const std::optional<std::string>& path,
                 const std::vector<std::string>& run_files) {
  if (!path || path->empty() || is_same_file_as_one_of(*path, run_files)) {
    return LogFile();
  }
  // Close-on-exec: no program the tool starts inherits the log. Without blocking: a FIFO
  // with no reader would hold the tool in open for ever. Only a regular file is a log: a
  // FIFO, a terminal or a device (/dev/stderr) could block a write, or is no record.
  const int file =
      open(path->c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0666);
  struct stat info {};
  if (file >= 0 && (fstat(file, &info) != 0 || !S_ISREG(info.st_mode))) {
    (void)close(file);
    return LogFile();
  }
  return LogFile(file < 0 ? LogFile::none : file);
}

void write_log(const LogFile& log, const std::string& event, const std::string& details) {
  if (!log.is_open()) {
    return;
  }
  struct timespec now {};
  (void)clock_gettime(CLOCK_REALTIME, &now);
  struct tm utc {};
  (void)gmtime_r(&now.tv_sec, &utc);
  const LogTime time{utc.tm_year + 1900,
                     utc.tm_mon + 1,
                     utc.tm_mday,
                     utc.tm_hour,
                     utc.tm_min,
                     utc.tm_sec,
                     static_cast<int>(now.tv_nsec / 1000000)};
  const std::string line =
      format_log_line(time, static_cast<std::uint32_t>(getpid()), event, details, "\n");
  // O_APPEND keeps appends whole on a local disk, not on every network file system:
  // each one is made under an exclusive lock.
  const int file = static_cast<int>(log.file());
  const LockResult lock = lock_for_append(file);
  if (lock == LockResult::busy) {
    log.go_silent();
    return;
  }
  (void)write(file, line.data(), line.size());  // a failed write is no reason to stop
  if (lock == LockResult::locked) {
    (void)set_lock(file, F_UNLCK);
  }
}

}  // namespace relauncher
