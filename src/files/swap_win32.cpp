// The swap's steps on Windows: renames that wait out passing locks (a scanner, an
// indexer, a thumbnail handle), hard links for a file's backup, and a copy through
// CopyFileW. Windows has no exchange of two names: a folder target is missing for the
// instant between two renames.

#include <windows.h>

#include <string>
#include <vector>

#include "files/native_win32.h"
#include "files/paths.h"
#include "files/swap.h"
#include "files/swap_internal.h"

namespace relauncher {

namespace {

std::uint32_t last_error_unless(BOOL done) { return done ? 0 : GetLastError(); }

FileStep retried(const std::function<BOOL()>& call,
                 std::uint64_t bound_ms = rename_retry_bound_ms) {
  return with_retries([&] { return last_error_unless(call()); }, bound_ms);
}

std::uint32_t flush_file(const std::u16string& path) {
  HANDLE file = CreateFileW(as_wide(path), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    return GetLastError();
  }
  const std::uint32_t error = last_error_unless(FlushFileBuffers(file));
  (void)CloseHandle(file);  // nothing can be done if it fails
  return error;
}

std::uint32_t copy_entry(const std::u16string& from, const std::u16string& to);

std::uint32_t copy_folder(const std::u16string& from, const std::u16string& to) {
  if (!CreateDirectoryW(as_wide(to), nullptr)) {
    return GetLastError();
  }
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW(as_wide(from + u"\\*"), &found);
  if (search == INVALID_HANDLE_VALUE) {
    return GetLastError();
  }
  std::uint32_t error = 0;
  do {
    const std::u16string name(reinterpret_cast<const char16_t*>(found.cFileName));
    if (name != u"." && name != u"..") {
      error = copy_entry(from + u"\\" + name, to + u"\\" + name);
    }
  } while (error == 0 && FindNextFileW(search, &found));
  (void)FindClose(search);
  if (error == 0) {
    (void)SetFileAttributesW(as_wide(to), GetFileAttributesW(as_wide(from)));  // a courtesy
  }
  return error;
}

std::uint32_t copy_entry(const std::u16string& from, const std::u16string& to) {
  const DWORD attributes = GetFileAttributesW(as_wide(from));
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    return GetLastError();
  }
  // A junction or symbolic link inside a version could lead anywhere: not copied.
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    return ERROR_NOT_SUPPORTED;
  }
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return copy_folder(from, to);
  }
  // CopyFileW keeps the attributes and the times; the copy is on the disk before any rename.
  if (!CopyFileW(as_wide(from), as_wide(to), TRUE)) {
    return GetLastError();
  }
  return flush_file(to);
}

std::uint32_t remove_entry(const std::u16string& path) {
  const DWORD attributes = GetFileAttributesW(as_wide(path));
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? 0 : error;
  }
  (void)SetFileAttributesW(as_wide(path), attributes & ~FILE_ATTRIBUTE_READONLY);
  // A link is removed itself, never followed.
  const bool folder = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  if (folder && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(as_wide(path + u"\\*"), &found);
    std::vector<std::u16string> names;
    while (search != INVALID_HANDLE_VALUE) {
      const std::u16string name(reinterpret_cast<const char16_t*>(found.cFileName));
      if (name != u"." && name != u"..") {
        names.push_back(name);
      }
      if (!FindNextFileW(search, &found)) {
        break;
      }
    }
    if (search != INVALID_HANDLE_VALUE) {
      (void)FindClose(search);
    }
    for (const std::u16string& name : names) {
      if (const std::uint32_t error = remove_entry(path + u"\\" + name)) {
        return error;
      }
    }
  }
  return with_retries(
             [&] {
               return last_error_unless(folder ? RemoveDirectoryW(as_wide(path))
                                               : DeleteFileW(as_wide(path)));
             },
             remove_retry_bound_ms)
      .error;
}

}  // namespace

PathKind path_kind(const SystemText& path) {
  const DWORD attributes =
      path.empty() ? INVALID_FILE_ATTRIBUTES : GetFileAttributesW(as_wide(path));
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    return PathKind::missing;
  }
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    return PathKind::link;
  }
  return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? PathKind::folder : PathKind::file;
}

bool held_file_is_moved() { return true; }

bool is_passing_lock(std::uint32_t error) {
  return error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED;
}

std::uint32_t hard_links_unsupported() {
  return ERROR_INVALID_FUNCTION;  // what a file system without hard links answers
}

SystemText to_system_text_ascii(const char* text) {
  return std::u16string(text, text + std::char_traits<char>::length(text));
}

SystemText system_text_from_utf8(const std::string& text) { return utf8_to_wide(text); }

// Each rename is on the disk before it returns.
FileStep rename_path(const SystemText& from, const SystemText& to) {
  return retried([&] { return MoveFileExW(as_wide(from), as_wide(to), MOVEFILE_WRITE_THROUGH); });
}

FileStep replace_file(const SystemText& from, const SystemText& to) {
  return retried([&] {
    return MoveFileExW(as_wide(from), as_wide(to),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
  });
}

FileStep exchange_paths(const SystemText&, const SystemText&, bool& unsupported) {
  unsupported = true;
  FileStep step;
  step.error = ERROR_NOT_SUPPORTED;
  return step;
}

FileStep link_file(const SystemText& existing, const SystemText& link) {
  return retried([&] { return CreateHardLinkW(as_wide(link), as_wide(existing), nullptr); });
}

FileStep copy_tree(const SystemText& from, const SystemText& to, const SystemText& top_like) {
  FileStep step;
  step.error = copy_entry(from, to);
  const DWORD top = GetFileAttributesW(as_wide(top_like));
  if (step.ok() && top != INVALID_FILE_ATTRIBUTES) {
    (void)SetFileAttributesW(as_wide(to), top);  // the old version's attributes: a courtesy
  }
  if (!step.ok()) {
    (void)remove_entry(to);  // what the copy wrote goes with it
  }
  return step;
}

FileStep copy_held_file(std::intptr_t held, const SystemText& to, const SystemText&) {
  // Renamed through the handle that holds it: no one could write, move or delete the
  // file since it was verified, and the bytes that land are the verified ones.
  const std::size_t bytes = sizeof(FILE_RENAME_INFO) + to.size() * sizeof(wchar_t);
  std::vector<unsigned char> buffer(bytes, 0);
  auto* info = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
  info->ReplaceIfExists = FALSE;
  info->RootDirectory = nullptr;
  info->FileNameLength = static_cast<DWORD>(to.size() * sizeof(wchar_t));
  std::copy(to.begin(), to.end(), reinterpret_cast<char16_t*>(info->FileName));
  return retried([&] {
    return SetFileInformationByHandle(reinterpret_cast<HANDLE>(held), FileRenameInfo, info,
                                      static_cast<DWORD>(bytes));
  });
}

FileStep remove_tree(const SystemText& path) {
  FileStep step;
  step.error = remove_entry(path);
  return step;
}

FileStep check_parent_writable(const SystemText& probe) {
  HANDLE file = CreateFileW(as_wide(probe), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                            FILE_ATTRIBUTE_NORMAL | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  FileStep step;
  if (file == INVALID_HANDLE_VALUE) {
    step.error = GetLastError();
    return step;
  }
  (void)CloseHandle(file);  // deleted on close
  return step;
}

FileStep flush_version(const SystemText&) {
  return {};  // its renames are written through; its files are as the updater left them
}

FileStep flush_folder(const SystemText& folder) {
  HANDLE handle = CreateFileW(as_wide(folder), GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle != INVALID_HANDLE_VALUE) {
    // Where the file system flushes no folder, the written-through renames must do.
    (void)FlushFileBuffers(handle);
    (void)CloseHandle(handle);
  }
  return {};
}

FileStep write_file_atomically(const SystemText& path, const std::string& bytes) {
  const std::u16string temporary = path + u".tmp";
  HANDLE file = CreateFileW(as_wide(temporary), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  FileStep step;
  if (file == INVALID_HANDLE_VALUE) {
    step.error = GetLastError();
    return step;
  }
  DWORD put = 0;
  const BOOL written =
      WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &put, nullptr) &&
      put == bytes.size() && FlushFileBuffers(file);
  step.error = last_error_unless(written);
  (void)CloseHandle(file);  // nothing can be done if it fails
  if (!step.ok()) {
    (void)DeleteFileW(as_wide(temporary));
    return step;
  }
  return replace_file(temporary, path);
}

std::optional<std::string> read_small_file(const SystemText& path) {
  HANDLE file = CreateFileW(as_wide(path), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    return std::nullopt;
  }
  std::string text(1 << 16, '\0');
  DWORD got = 0;
  const BOOL read = ReadFile(file, &text[0], static_cast<DWORD>(text.size()), &got, nullptr);
  (void)CloseHandle(file);
  if (!read) {
    return std::nullopt;
  }
  text.resize(got);
  return text;
}

std::vector<SystemText> relauncher_siblings(const SystemText& target) {
  const std::size_t slash = target.find_last_of(u"\\/");
  const std::u16string prefix = target.substr(slash + 1) + u".relauncher-";
  std::vector<SystemText> found;
  WIN32_FIND_DATAW entry;
  HANDLE search = FindFirstFileW(as_wide(target + u".relauncher-*"), &entry);
  if (search == INVALID_HANDLE_VALUE) {
    return found;
  }
  do {
    const std::u16string name(reinterpret_cast<const char16_t*>(entry.cFileName));
    // The target's own spelling, whatever the case on the disk: the siblings are then
    // compared with relauncher's own names as they are.
    if (comparable_form(name.substr(0, prefix.size())) == comparable_form(prefix)) {
      found.push_back(target + u".relauncher-" + name.substr(prefix.size()));
    }
  } while (FindNextFileW(search, &entry));
  (void)FindClose(search);
  return found;
}

SystemText parent_of(const SystemText& path) {
  const std::size_t slash = path.find_last_of(u"\\/");
  if (slash == std::u16string::npos) {
    return u".";
  }
  // "C:\\app"'s folder is "C:\\", the root: "C:" alone would be the current folder there.
  return path.substr(0, slash == 2 && path[1] == u':' ? 3 : slash);
}

bool in_same_folder(const SystemText& one, const SystemText& other) {
  const std::optional<SystemText> first = canonical_path(parent_of(one));
  const std::optional<SystemText> second = canonical_path(parent_of(other));
  return first && second && *first == *second;
}

bool set_current_folder(const SystemText& folder) {
  return SetCurrentDirectoryW(as_wide(folder)) != 0;
}

}  // namespace relauncher
