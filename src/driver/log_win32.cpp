#include "driver/log.h"

#include <windows.h>

#include "process/command_line.h"

namespace relauncher {

LogFile::~LogFile() {
  if (handle_ != nullptr) {
    (void)CloseHandle(handle_);  // nothing can be done about a failed close
  }
}

LogFile open_log(const std::optional<std::u16string>& path) {
  if (!path || path->empty()) {
    return LogFile();
  }
  // FILE_APPEND_DATA alone: every write goes to the end of the file, whole, even with
  // other tools appending to it at the same time. No security attributes: children
  // must not inherit the handle.
  HANDLE file = CreateFileW(reinterpret_cast<const wchar_t*>(path->c_str()), FILE_APPEND_DATA,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  return LogFile(file == INVALID_HANDLE_VALUE ? nullptr : file);
}

void write_log(const LogFile& log, const std::string& event, const std::string& details) {
  if (log.handle() == nullptr) {
    return;
  }
  SYSTEMTIME now;
  GetSystemTime(&now);
  const LogTime time{now.wYear,   now.wMonth,  now.wDay,         now.wHour,
                     now.wMinute, now.wSecond, now.wMilliseconds};
  const std::string line = format_log_line(time, GetCurrentProcessId(), event, details);
  DWORD written = 0;
  // A full disk or a vanished share must not change the hand-over.
  (void)WriteFile(log.handle(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
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
