#include <windows.h>
// After <windows.h>, which it needs.
#include <winternl.h>

#include "process/folder_path.h"
#include "process/folder_wait.h"
#include "process/process_win32_internal.h"

namespace relauncher {

namespace {

// "\\?\C:\app", as Windows reports some paths, is "C:\app".
std::u16string without_long_prefix(const std::u16string& path) {
  return without_device_prefix(path).value_or(path);
}

// The file system compares names by their simple upper-case forms, whatever the
// user's language: the invariant locale's mapping.
std::u16string upper_case(const std::u16string& text) {
  std::u16string upper(text.size(), u'\0');
  const int length = LCMapStringEx(
      LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, as_wide(text), static_cast<int>(text.size()),
      reinterpret_cast<wchar_t*>(&upper[0]), static_cast<int>(upper.size()), nullptr, nullptr, 0);
  return length == static_cast<int>(text.size()) ? upper : text;
}

std::u16string environment_value(const wchar_t* name) {
  return read_sized([&](wchar_t* buffer, DWORD capacity) {
           return GetEnvironmentVariableW(name, buffer, capacity);
         })
      .value_or(std::u16string());
}

std::optional<std::u16string> full_path_name(const std::u16string& path) {
  return read_sized([&](wchar_t* buffer, DWORD capacity) {
    return GetFullPathNameW(as_wide(path), capacity, buffer, nullptr);
  });
}

// The path of what `path` reaches as the file system reads it back: junctions, subst
// drives, "\\localhost\C$" and short names all come out as the one path they lead to.
// Absent when nothing is there.
std::optional<std::u16string> final_path(const std::u16string& path) {
  // No access asked for: only the name is read. Backup semantics let a folder open.
  HANDLE file =
      CreateFileW(as_wide(path), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    return std::nullopt;
  }
  std::optional<std::u16string> final = read_sized([&](wchar_t* buffer, DWORD capacity) {
    return GetFinalPathNameByHandleW(file, buffer, capacity,
                                     FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
  });
  (void)CloseHandle(file);  // nothing can be done if it fails
  return final;
}

std::u16string without_trailing_separators(std::u16string path) {
  while (!path.empty() && path.back() == u'\\') {
    path.pop_back();
  }
  return path;
}

// The deepest part of a full path that exists, read back through the file system, with
// the rest (which does not exist yet) kept as text. Never above the drive or the share:
// "C:" alone would be the current folder on drive C.
std::u16string through_file_system(const std::u16string& full) {
  const std::u16string head = without_trailing_separators(full);
  const bool drive = head.size() >= 2 && head[1] == u':';
  const std::size_t share_end = head.find(u'\\', head.find(u'\\', 2) + 1);
  const std::size_t root =
      drive ? 2 : (share_end == std::u16string::npos ? head.size() : share_end);
  for (std::size_t cut = head.size(); cut != std::u16string::npos && cut >= root;
       cut = head.find_last_of(u'\\', cut - 1)) {
    const std::u16string part = head.substr(0, cut) + (cut == root ? u"\\" : u"");
    if (const std::optional<std::u16string> final = final_path(part)) {
      return without_trailing_separators(without_long_prefix(*final)) + head.substr(cut);
    }
  }
  return full;
}

}  // namespace

std::u16string comparable_form(const std::u16string& full_path) {
  std::u16string path = without_long_prefix(full_path);
  while (!path.empty() && path.back() == u'\\') {
    path.pop_back();
  }
  return upper_case(path);
}

std::optional<std::u16string> canonical_path(const std::u16string& path) {
  // Text Windows cannot hold is never handed to a system call (some overrun their
  // buffers on it).
  if (path.empty() || !path_fits_windows(path)) {
    return std::nullopt;
  }
  // "\\.\C:\app" is "C:\app": every rule below compares drive and share paths.
  const std::optional<std::u16string> plain = without_device_prefix(path);
  if (!plain) {
    return std::nullopt;
  }
  const std::optional<std::u16string> full = full_path_name(*plain);
  if (!full || !without_device_prefix(*full) || !path_fits_windows(*full)) {
    return std::nullopt;
  }
  return comparable_form(through_file_system(*full));
}

ProtectedFolders protected_folders() {
  const std::u16string local = environment_value(L"LOCALAPPDATA");
  const std::u16string local_parent = local.substr(0, local.find_last_of(u'\\') + 1);
  const std::u16string windows_folders[] = {
      read_sized([](wchar_t* buffer, DWORD capacity) {
        return GetSystemWindowsDirectoryW(buffer, capacity);
      }).value_or(std::u16string()),
      read_sized([](wchar_t* buffer, DWORD capacity) {
        return GetWindowsDirectoryW(buffer, capacity);
      }).value_or(std::u16string()),
  };
  // Where installers put many applications, and where any application keeps its data.
  const std::u16string shared_folders[] = {
      read_sized([](wchar_t* buffer, DWORD capacity) {
        return GetTempPathW(capacity, buffer);
      }).value_or(std::u16string()),
      environment_value(L"ProgramFiles"),
      environment_value(L"ProgramFiles(x86)"),
      environment_value(L"ProgramW6432"),
      environment_value(L"CommonProgramFiles"),
      environment_value(L"CommonProgramFiles(x86)"),
      environment_value(L"CommonProgramW6432"),
      environment_value(L"ProgramData"),
      environment_value(L"PUBLIC"),
      environment_value(L"USERPROFILE"),
      environment_value(L"APPDATA"),
      local,
      local.empty() ? local : local + u"\\Programs",
      local_parent.empty() ? local_parent : local_parent + u"LocalLow",
  };
  ProtectedFolders folders;
  for (const std::u16string& folder : windows_folders) {
    if (std::optional<std::u16string> canonical = canonical_path(folder)) {
      folders.with_contents.push_back(*canonical);
    }
  }
  for (const std::u16string& folder : shared_folders) {
    if (std::optional<std::u16string> canonical = canonical_path(folder)) {
      folders.themselves.push_back(*canonical);
    }
  }
  return folders;
}

bool folder_exists(const std::u16string& path) {
  const DWORD attributes = GetFileAttributesW(as_wide(path));
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

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

std::u16string tool_executable() {
  return read_sized([](wchar_t* buffer, DWORD capacity) {
           const DWORD length = GetModuleFileNameW(nullptr, buffer, capacity);
           // A path cut short fills the buffer exactly: ask for more.
           return length == capacity ? capacity * 2 : length;
         })
      .value_or(std::u16string());
}

bool folder_too_broad(const SystemText& folder) {
  return folder_is_too_broad(folder, protected_folders());
}

bool folder_holds(const SystemText& folder, const SystemText& path) {
  return path_is_inside(folder, path);
}

bool path_fits_system(const SystemText& path) {
  return path_fits_windows(path);
}

std::optional<FileId> file_id(HANDLE file) {
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(file, &info)) {
    return std::nullopt;
  }
  return FileId{info.dwVolumeSerialNumber, info.nFileIndexHigh, info.nFileIndexLow};
}

std::optional<FileId> file_id(const std::u16string& path) {
  if (path.empty() || !path_fits_windows(path)) {
    return std::nullopt;
  }
  HANDLE file = CreateFileW(as_wide(path), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    return std::nullopt;
  }
  const std::optional<FileId> id = file_id(file);
  (void)CloseHandle(file);  // nothing can be done if it fails
  return id;
}

}  // namespace relauncher
