#pragma once

// The log room: the log file's mechanics (the line, opening, the lock, appending), for
// both systems; what each event says is the driver's.
//
// The opt-in hand-over log: one line per event, appended whole, so that a failed
// update on a user's machine can be explained after the fact. Lines read
//   <UTC time> <tool pid> <event> <details>
// with the time as YYYY-MM-DDTHH:MM:SS.mmmZ, in UTF-8, ending in CRLF. A log that
// cannot be opened or written is silently no log: it never changes what the tool does.

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "files/system_text.h"

namespace relauncher {

struct LogTime {
  int year, month, day, hour, minute, second, millisecond;
};

// True for a character that ends a line, or moves or hides text, in some reader: the
// C0 and C1 controls, DEL, the line and paragraph separators and the bidirectional
// controls. Text that reaches a line of ours (the log, the usage line) must not hold one.
bool is_line_breaking_or_hiding(char32_t point);

// True when UTF-8 text is well-formed and holds no such character.
bool is_plain_utf8(const std::string& text);

// The whole line, CRLF included. Control characters in `details` (a line break in an
// argument, say) are written as <0xNN>, and the other characters above as <U+XXXX>, so
// that every event stays on one line and shows what it holds.
std::string format_log_line(const LogTime& time, std::uint32_t pid, const std::string& event,
                            const std::string& details, const char* line_end = "\r\n");

// An open log file, or none. Closes its file when it goes.
class LogFile {
 public:
  // The system's own kind of open file: a HANDLE on Windows, a descriptor on Linux.
  // -1 is none on both (INVALID_HANDLE_VALUE, and no descriptor).
  static constexpr std::intptr_t none = -1;
  LogFile() = default;
  explicit LogFile(std::intptr_t file) : file_(file) {}
  ~LogFile();
  LogFile(LogFile&& other) noexcept : file_(other.file_), silent_(other.silent_.load()) {
    other.file_ = none;
  }
  LogFile(const LogFile&) = delete;
  LogFile& operator=(const LogFile&) = delete;
  LogFile& operator=(LogFile&&) = delete;
  // None once the log has gone silent (see write_log).
  std::intptr_t file() const {
    return silent_ ? none : file_;
  }
  bool is_open() const {
    return file() != none;
  }
  // A log whose lock could not be had once stays silent for the rest of the run: the
  // lock is held by something that does not let go, and every further line would wait
  // its second too.
  void go_silent() const {
    silent_ = true;
  }

 private:
  std::intptr_t file_ = none;
  // Atomic: the --sha256 files' hashing thread writes its lines too.
  mutable std::atomic<bool> silent_{false};
};

// Opens the file for appending, creating it if missing, shared with other readers
// and writers and deletable while open, and not inherited by children. No path, or
// a file that cannot be opened, gives no log; nor does one of `run_files` (the same
// file, whatever its name says, by its volume and index): lines appended to a program
// would break it.
LogFile open_log(const std::optional<SystemText>& path,
                 const std::vector<SystemText>& run_files = {});

// Appends one line, stamped with the current UTC time and the tool's pid, in a
// single write. Does nothing without a log; a failed write is ignored. A line dropped
// for want of the lock silences the log for the rest of the run.
void write_log(const LogFile& log, const std::string& event, const std::string& details);

// Describing an event costs a little (a system message, a conversion): only done
// when there is a log to write it to.
template <typename Describe>
void log_event(const LogFile& log, const char* event, Describe describe) {
  if (log.is_open()) {
    write_log(log, event, describe());
  }
}

}  // namespace relauncher
