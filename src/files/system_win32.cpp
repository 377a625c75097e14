#include <windows.h>

#include "files/system.h"
#include "files/system_text.h"

namespace relauncher {

std::uint64_t steady_milliseconds() {
  // std::chrono's steady clock reads the same counter but links in about 11 KB of the
  // threads library's clock code.
  LARGE_INTEGER counter, frequency;
  (void)QueryPerformanceCounter(&counter);
  (void)QueryPerformanceFrequency(&frequency);
  return static_cast<std::uint64_t>(counter.QuadPart) * 1000 /
         static_cast<std::uint64_t>(frequency.QuadPart);
}

void pause_milliseconds(std::uint32_t ms) { Sleep(ms); }

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

std::uint32_t own_process_id() { return GetCurrentProcessId(); }

std::uint64_t own_start_time() {
  FILETIME created, exited, kernel, user;
  if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user)) {
    return 0;
  }
  return (static_cast<std::uint64_t>(created.dwHighDateTime) << 32) | created.dwLowDateTime;
}

}  // namespace relauncher
