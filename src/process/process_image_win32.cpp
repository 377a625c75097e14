#include <windows.h>

#include "process/folder_path.h"
#include "process/folder_wait.h"
#include "process/process_win32_internal.h"

namespace relauncher {

namespace {

std::u16string without_long_prefix(const std::u16string& path) {
  if (path.compare(0, 8, u"\\\\?\\UNC\\") == 0) {
    return u"\\" + path.substr(7);
  }
  if (path.compare(0, 4, u"\\\\?\\") == 0) {
    return path.substr(4);
  }
  return path;
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

}  // namespace

std::u16string comparable_form(const std::u16string& full_path) {
  std::u16string path = without_long_prefix(full_path);
  while (!path.empty() && path.back() == u'\\') {
    path.pop_back();
  }
  return upper_case(path);
}

std::optional<std::u16string> canonical_path(const std::u16string& path) {
  if (path.empty()) {
    return std::nullopt;
  }
  std::optional<std::u16string> full = read_sized([&](wchar_t* buffer, DWORD capacity) {
    return GetFullPathNameW(as_wide(path), capacity, buffer, nullptr);
  });
  if (!full) {
    return std::nullopt;
  }
  // "C:\PROGRA~1\App" and "C:\Program Files\App" are one folder.
  if (std::optional<std::u16string> long_form = read_sized([&](wchar_t* buffer, DWORD capacity) {
        return GetLongPathNameW(as_wide(*full), buffer, capacity);
      })) {
    full = long_form;
  }
  return comparable_form(*full);
}

std::vector<std::u16string> system_folders() {
  std::vector<std::u16string> found = {
      read_sized([](wchar_t* buffer, DWORD capacity) {
        return GetSystemWindowsDirectoryW(buffer, capacity);
      }).value_or(std::u16string()),
      read_sized([](wchar_t* buffer, DWORD capacity) {
        return GetWindowsDirectoryW(buffer, capacity);
      }).value_or(std::u16string()),
      read_sized([](wchar_t* buffer, DWORD capacity) {
        return GetTempPathW(capacity, buffer);
      }).value_or(std::u16string()),
      environment_value(L"ProgramFiles"),
      environment_value(L"ProgramFiles(x86)"),
      environment_value(L"ProgramW6432"),
      environment_value(L"USERPROFILE"),
  };
  std::vector<std::u16string> folders;
  for (const std::u16string& folder : found) {
    if (std::optional<std::u16string> canonical = canonical_path(folder)) {
      folders.push_back(*canonical);
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

}  // namespace relauncher
