#include "log/log.h"

#include <windows.h>

#include "files/file_id.h"
#include "files/native_win32.h"
#include "files/system.h"

namespace relauncher {

LogFile::~LogFile() {
  if (file_ != none) {  // silent or not, the handle is ours to close
    (void)CloseHandle(reinterpret_cast<HANDLE>(file_));  // nothing to do if it fails
  }
}

namespace {

// Writers lock one byte far beyond any real end of the file: the lock serialises the
// appends without ever covering data that a reader might want.
constexpr DWORD lock_offset_high = 0x40000000;
// A writer holds the lock only for one append; a lock still taken after this long is
// held by something else (a stuck process, a share that lost it), and the line is
// dropped rather than the hand-over held up.
constexpr DWORD lock_bound_ms = 1000;

HANDLE open_for_append(const std::u16string& path, DWORD access) {
  // No FILE_WRITE_DATA: every write goes to the end of the file. No security
  // attributes: children must not inherit the handle.
  return CreateFileW(reinterpret_cast<const wchar_t*>(path.c_str()), access,
                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                     FILE_ATTRIBUTE_NORMAL, nullptr);
}

enum class LockResult { locked, unsupported, busy };

LockResult lock_for_append(HANDLE file) {
  const ULONGLONG until = GetTickCount64() + lock_bound_ms;
  for (DWORD pause = 1;; pause = pause < 16 ? pause * 2 : pause) {
    OVERLAPPED range{};
    range.OffsetHigh = lock_offset_high;
    if (LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &range)) {
      return LockResult::locked;
    }
    const DWORD error = GetLastError();
    if (error != ERROR_LOCK_VIOLATION && error != ERROR_IO_PENDING) {
      return LockResult::unsupported;
    }
    if (GetTickCount64() >= until) {
      return LockResult::busy;
    }
    Sleep(pause);
  }
}

void unlock_after_append(HANDLE file) {
  OVERLAPPED range{};
  range.OffsetHigh = lock_offset_high;
  (void)UnlockFileEx(file, 0, 1, 0, &range);  // closing the handle releases it anyway
}

}  // namespace

LogFile open_log(const std::optional<std::u16string>& path,
                 const std::vector<std::u16string>& run_files) {
  if (!path || path->empty() || is_same_file_as_one_of(*path, run_files)) {
    return LogFile();
  }
  // Windows grants byte-range locks only on handles that may read or write data, so
  // the log asks to read as well; where only appending is allowed, it is written
  // unlocked rather than not at all.
  HANDLE file = open_for_append(*path, FILE_APPEND_DATA | FILE_READ_DATA);
  if (file == INVALID_HANDLE_VALUE && GetLastError() == ERROR_ACCESS_DENIED) {
    file = open_for_append(*path, FILE_APPEND_DATA);
  }
  // Only a disk file is a log: a console or a pipe is no record, and a pipe's write
  // may block.
  if (file != INVALID_HANDLE_VALUE && GetFileType(file) != FILE_TYPE_DISK) {
    (void)CloseHandle(file);  // nothing can be done if it fails
    return LogFile();
  }
  // INVALID_HANDLE_VALUE is -1: no log.
  return LogFile(reinterpret_cast<std::intptr_t>(file));
}

void write_log(const LogFile& log, const std::string& event, const std::string& details) {
  if (!log.is_open()) {
    return;
  }
  SYSTEMTIME now;
  GetSystemTime(&now);
  const LogTime time{now.wYear,   now.wMonth,  now.wDay,         now.wHour,
                     now.wMinute, now.wSecond, now.wMilliseconds};
  const std::string line = format_log_line(time, GetCurrentProcessId(), event, details);
  // Appends from several processes are not kept whole by every file system (nor by
  // Wine, nor by network shares): each one is made under an exclusive lock.
  HANDLE file = reinterpret_cast<HANDLE>(log.file());
  const LockResult lock = lock_for_append(file);
  if (lock == LockResult::busy) {
    log.go_silent();
    return;
  }
  DWORD written = 0;
  // A full disk or a vanished share must not change the hand-over.
  (void)WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
  if (lock == LockResult::locked) {
    unlock_after_append(file);
  }
}

}  // namespace relauncher
