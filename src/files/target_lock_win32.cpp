// The target's lock on Windows: the file opened for writing with no write sharing, and
// deleted when its last handle closes, whatever ends the run. Another run reads the
// holder's pid from it.

#include <windows.h>

#include <string>

#include "files/native_win32.h"
#include "files/target_lock.h"

namespace relauncher {

namespace {

std::uint32_t holder_of(const std::u16string& path) {
  HANDLE file = CreateFileW(as_wide(path), GENERIC_READ,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    return 0;
  }
  char text[16] = {};
  DWORD got = 0;
  (void)ReadFile(file, text, sizeof text - 1, &got, nullptr);  // no pid: the line says 0
  (void)CloseHandle(file);
  return static_cast<std::uint32_t>(std::strtoul(text, nullptr, 10));
}

}  // namespace

LockAttempt try_target_lock(const SystemText& path) {
  LockAttempt attempt;
  // Not inheritable: neither the program nor the relaunch holds it.
  HANDLE file =
      CreateFileW(as_wide(path), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                  OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    attempt.busy = error == ERROR_SHARING_VIOLATION;
    attempt.error = attempt.busy ? 0 : error;
    attempt.holder = attempt.busy ? holder_of(path) : 0;
    return attempt;
  }
  const std::string pid = std::to_string(GetCurrentProcessId());
  DWORD put = 0;
  (void)SetEndOfFile(file);  // only for a waiting run's log line: the lock is the handle
  (void)WriteFile(file, pid.data(), static_cast<DWORD>(pid.size()), &put, nullptr);
  attempt.lock = {reinterpret_cast<std::intptr_t>(file), path};
  return attempt;
}

void release_target_lock(TargetLock& lock) {
  if (lock.handle == -1) {
    return;
  }
  (void)CloseHandle(reinterpret_cast<HANDLE>(lock.handle));  // the file goes with it
  lock.handle = -1;
}

}  // namespace relauncher
