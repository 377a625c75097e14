#include <windows.h>
// After <windows.h>, which it needs.
#include <winternl.h>

#include "files/file_id.h"
#include "process/process_win32_internal.h"

namespace relauncher {

std::optional<std::u16string> process_image(HANDLE process) {
  return read_sized([&](wchar_t* buffer, DWORD capacity) -> DWORD {
    DWORD length = capacity;
    if (QueryFullProcessImageNameW(process, 0, buffer, &length)) {
      return length;
    }
    // Too small a buffer fails without saying how much is needed: ask for more.
    return GetLastError() == ERROR_INSUFFICIENT_BUFFER ? capacity * 2 : 0;
  });
}

std::optional<DWORD> tool_that_started_this_one() {
  PROCESS_BASIC_INFORMATION basic{};
  if (NtQueryInformationProcess(GetCurrentProcess(), ProcessBasicInformation, &basic,
                                sizeof(basic), nullptr) < 0) {
    return std::nullopt;
  }
  const auto parent_pid = static_cast<DWORD>(basic.InheritedFromUniqueProcessId);
  HANDLE parent = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, parent_pid);
  if (parent == nullptr) {
    return std::nullopt;
  }
  const std::optional<std::u16string> image = process_image(parent);
  const std::optional<std::u16string> own_image = process_image(GetCurrentProcess());
  const bool tool = image && own_image && comparable_form(*image) == comparable_form(*own_image) &&
                    !started_after_tool(creation_time(parent), creation_time(GetCurrentProcess()));
  (void)CloseHandle(parent);  // nothing can be done if it fails
  return tool ? std::optional<DWORD>(parent_pid) : std::nullopt;
}

// Whether the process was started from the very file that `held` holds: its image
// path names that file.
bool runs_held_file(HANDLE process, std::intptr_t held) {
  const std::optional<std::u16string> image = process_image(process);
  const std::optional<FileId> started = image ? file_id(*image) : std::nullopt;
  return started && started == file_id_of(held);
}

std::u16string tool_executable() {
  return read_sized([](wchar_t* buffer, DWORD capacity) {
           const DWORD length = GetModuleFileNameW(nullptr, buffer, capacity);
           // A path cut short fills the buffer exactly: ask for more.
           return length == capacity ? capacity * 2 : length;
         })
      .value_or(std::u16string());
}

}  // namespace relauncher
