// Paths on Windows as the file system reads them back, and the folders too broad to
// wait for.

#include <windows.h>

#include <algorithm>

#include "files/folder_path.h"
#include "files/native_win32.h"
#include "files/paths.h"

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
      CreateFileW(as_wide(path), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
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

const char too_broad_explained[] =
    "a drive root, a system folder, one inside the Windows folder or one that holds a system "
    "folder, or no path at all";
const char path_limits_explained[] =
    "a component longer than 255 characters or is longer than 32,767";

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

std::optional<std::u16string> absolute_folder(const std::u16string& folder) {
  if (!canonical_path(folder)) {
    return std::nullopt;
  }
  std::optional<std::u16string> full =
      full_path_name(without_device_prefix(folder).value_or(folder));
  if (!full) {
    return std::nullopt;
  }
  std::replace(full->begin(), full->end(), u'/', u'\\');
  // "E:\" keeps its separator: "E:" alone would be the current folder on drive E.
  const std::u16string trimmed = without_trailing_separators(*full);
  return trimmed.size() == 2 && trimmed[1] == u':' ? trimmed + u"\\" : trimmed;
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

bool folder_too_broad(const SystemText& folder) {
  return folder_is_too_broad(folder, protected_folders());
}

bool folder_holds(const SystemText& folder, const SystemText& path) {
  return path_is_inside(folder, path);
}

bool path_fits_system(const SystemText& path) { return path_fits_windows(path); }

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

}  // namespace relauncher
