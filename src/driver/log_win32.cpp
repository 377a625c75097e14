#include "driver/log.h"

#include <windows.h>

#include "process/command_line.h"
#include "process/folder_path.h"
#include "process/process_win32_internal.h"

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

bool is_one_of(const std::u16string& path, const std::vector<std::u16string>& others) {
  const std::optional<FileId> id = file_id(path);
  if (!id) {
    return false;
  }
  for (const std::u16string& other : others) {
    if (file_id(other) == id) {
      return true;
    }
  }
  return false;
}

}  // namespace

LogFile open_log(const std::optional<std::u16string>& path,
                 const std::vector<std::u16string>& run_files) {
  if (!path || path->empty() || is_one_of(*path, run_files)) {
    return LogFile();
  }
  // Windows grants byte-range locks only on handles that may read or write data, so
  // the log asks to read as well; where only appending is allowed, it is written
  // unlocked rather than not at all.
  HANDLE file = open_for_append(*path, FILE_APPEND_DATA | FILE_READ_DATA);
  if (file == INVALID_HANDLE_VALUE && GetLastError() == ERROR_ACCESS_DENIED) {
    file = open_for_append(*path, FILE_APPEND_DATA);
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

std::u16string tool_command_line() {
  const wchar_t* line = GetCommandLineW();
  return std::u16string(line, line + lstrlenW(line));
}

std::u16string current_folder() {
  std::u16string folder(MAX_PATH, u'\0');
  DWORD length = GetCurrentDirectoryW(static_cast<DWORD>(folder.size()),
                                      reinterpret_cast<wchar_t*>(&folder[0]));
  if (length >= folder.size()) {
    folder.resize(length);
    length = GetCurrentDirectoryW(length, reinterpret_cast<wchar_t*>(&folder[0]));
  }
  folder.resize(length < folder.size() ? length : 0);
  return folder;
}

std::uint64_t steady_milliseconds() {
  // std::chrono's steady clock reads the same counter but links in about 11 KB of the
  // threads library's clock code.
  LARGE_INTEGER counter, frequency;
  (void)QueryPerformanceCounter(&counter);
  (void)QueryPerformanceFrequency(&frequency);
  return static_cast<std::uint64_t>(counter.QuadPart) * 1000 /
         static_cast<std::uint64_t>(frequency.QuadPart);
}

std::string system_message(std::uint32_t error) {
  wchar_t* text = nullptr;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::u16string message(text, text + length);
  (void)LocalFree(text);
  const std::size_t end = message.find_last_not_of(u" \r\n");
  return wide_to_utf8(end == std::u16string::npos ? u"" : message.substr(0, end + 1));
}

}  // namespace relauncher
