// The swap's steps on Windows: renames that wait out passing locks (a scanner, an
// indexer, a thumbnail handle), hard links for a file's backup, and a copy that writes
// each file itself. Every path is handed to the system as a "\\?\" path, made full once,
// so that names Windows allows but plain paths cannot reach (a trailing dot or space, a
// device name such as CON) and any depth are copied, renamed and deleted as they are.
// Windows has no exchange of two names: a folder target is missing for the instant
// between two renames.

#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

#include "files/native_win32.h"
#include "files/paths.h"
#include "files/swap.h"
#include "files/swap_internal.h"

namespace relauncher {

namespace {

constexpr DWORD share_all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// What a copy keeps of a file's attributes; the rest (compression, encryption, sparse)
// is the volume's business.
constexpr DWORD copied_attributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                                    FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                                    FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

std::uint32_t last_error_unless(BOOL done) { return done ? 0 : GetLastError(); }

FileStep retried(const std::function<BOOL()>& call,
                 std::uint64_t bound_ms = rename_retry_bound_ms) {
  return with_retries([&] { return last_error_unless(call()); }, bound_ms);
}

bool starts_with(const std::u16string& text, const char16_t* start) {
  return text.compare(0, std::char_traits<char16_t>::length(start), start) == 0;
}

// The path as the system takes it without any change: full, "\" only, "\\?\" or
// "\\?\UNC\" before it. Only a path relauncher made or was given goes through
// GetFullPathNameW (which would drop a trailing dot); names read from a folder are
// appended to the result as they are.
std::u16string extended(const std::u16string& path) {
  if (starts_with(path, u"\\\\?\\")) {
    return path;
  }
  const std::u16string plain = without_device_prefix(path).value_or(path);
  std::u16string full = read_sized([&](wchar_t* buffer, DWORD capacity) {
                          return GetFullPathNameW(as_wide(plain), capacity, buffer, nullptr);
                        }).value_or(plain);
  std::replace(full.begin(), full.end(), u'/', u'\\');
  return starts_with(full, u"\\\\") ? u"\\\\?\\UNC\\" + full.substr(2) : u"\\\\?\\" + full;
}

struct Extended {
  explicit Extended(const std::u16string& path) : text(extended(path)) {}
  const wchar_t* operator*() const { return as_wide(text); }
  std::u16string text;
};

// Each name in a folder, "." and ".." left out, with its attributes.
struct Entry {
  std::u16string name;
  DWORD attributes;
};
std::optional<std::vector<Entry>> entries_of(const std::u16string& folder) {
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileExW(as_wide(folder + u"\\*"), FindExInfoBasic, &found,
                                   FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH);
  if (search == INVALID_HANDLE_VALUE) {
    return std::nullopt;
  }
  std::vector<Entry> entries;
  do {
    const std::u16string name(reinterpret_cast<const char16_t*>(found.cFileName));
    if (name != u"." && name != u"..") {
      entries.push_back({name, found.dwFileAttributes});
    }
  } while (FindNextFileW(search, &found));
  const DWORD error = GetLastError();
  (void)FindClose(search);
  if (error != ERROR_NO_MORE_FILES) {
    SetLastError(error);
    return std::nullopt;
  }
  return entries;
}

// A copy in progress: its tops (extended), the entry that failed, and the longest wait
// for a passing lock on a file it read.
struct Copy {
  std::u16string from, to;
  const std::atomic<bool>* stop;
  FileStep step;
  std::vector<char> buffer = std::vector<char>(1 << 20);
  bool fail(std::uint32_t error, const std::u16string& relative) {
    step.error = error;
    step.entry = relative.empty() ? u"." : relative.substr(1);
    return false;
  }
};

// Writes what `source` holds into the new file `to`: its data, times and attributes,
// flushed through the handle that wrote it. Read-only, hidden and system are set once it
// is closed, since a read-only file could not be written or flushed.
std::uint32_t write_copy(HANDLE source, const std::u16string& to, std::vector<char>& buffer) {
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(source, &info)) {
    return GetLastError();
  }
  HANDLE target = CreateFileW(as_wide(to), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (target == INVALID_HANDLE_VALUE) {
    return GetLastError();
  }
  std::uint32_t error = 0;
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(source, buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr)) {
      error = GetLastError();
      break;
    }
    if (got == 0) {
      break;
    }
    DWORD put = 0;
    if (!WriteFile(target, buffer.data(), got, &put, nullptr) || put != got) {
      error = GetLastError();
      break;
    }
  }
  if (error == 0) {
    error = last_error_unless(
        SetFileTime(target, &info.ftCreationTime, &info.ftLastAccessTime, &info.ftLastWriteTime) &&
        FlushFileBuffers(target));
  }
  (void)CloseHandle(target);  // flushed already: nothing is lost if it fails
  const DWORD attributes = info.dwFileAttributes & copied_attributes;
  if (error == 0 && attributes != 0) {
    error = last_error_unless(SetFileAttributesW(as_wide(to), attributes));
  }
  if (error != 0) {
    (void)SetFileAttributesW(as_wide(to), FILE_ATTRIBUTE_NORMAL);
    (void)DeleteFileW(as_wide(to));
  }
  return error;
}

bool copy_entry(Copy& copy, const std::u16string& relative, DWORD attributes);

bool copy_file(Copy& copy, const std::u16string& relative) {
  HANDLE source = INVALID_HANDLE_VALUE;
  // A scanner or an indexer reading a file of the new version is waited out, as a rename
  // waits.
  const FileStep opened = with_retries(
      [&] {
        source = CreateFileW(as_wide(copy.from + relative), GENERIC_READ, FILE_SHARE_READ, nullptr,
                             OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
        return source == INVALID_HANDLE_VALUE ? GetLastError() : 0;
      },
      rename_retry_bound_ms);
  keep_most_tries(copy.step, opened);
  if (!opened.ok()) {
    return copy.fail(opened.error, relative);
  }
  const std::uint32_t error = write_copy(source, copy.to + relative, copy.buffer);
  (void)CloseHandle(source);
  return error == 0 || copy.fail(error, relative);
}

bool copy_folder(Copy& copy, const std::u16string& relative) {
  const std::u16string to = copy.to + relative;
  if (!CreateDirectoryW(as_wide(to), nullptr)) {
    return copy.fail(GetLastError(), relative);
  }
  const std::optional<std::vector<Entry>> entries = entries_of(copy.from + relative);
  if (!entries) {
    return copy.fail(GetLastError(), relative);
  }
  for (const Entry& entry : *entries) {
    if (copy.stop != nullptr && copy.stop->load()) {
      return copy.fail(ERROR_OPERATION_ABORTED, relative);
    }
    if (!copy_entry(copy, relative + u"\\" + entry.name, entry.attributes)) {
      return false;
    }
  }
  const DWORD attributes = GetFileAttributesW(as_wide(copy.from + relative));
  if (attributes != INVALID_FILE_ATTRIBUTES) {
    (void)SetFileAttributesW(as_wide(to), attributes);  // a courtesy
  }
  return true;
}

bool copy_entry(Copy& copy, const std::u16string& relative, DWORD attributes) {
  // A junction or symbolic link inside a version could lead anywhere: not copied.
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    return copy.fail(ERROR_NOT_SUPPORTED, relative);
  }
  return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? copy_folder(copy, relative)
                                                      : copy_file(copy, relative);
}

// Opens an entry itself, never what a junction or link leads to.
HANDLE open_entry_itself(const std::u16string& path, DWORD access) {
  return CreateFileW(as_wide(path), access, share_all, nullptr, OPEN_EXISTING,
                     FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}

// Deletes one entry (a file, an empty folder, or a link itself) through a handle opened
// on it, its read-only attribute cleared first (which Windows would refuse to delete).
std::uint32_t delete_entry(const std::u16string& path, DWORD attributes) {
  if ((attributes & FILE_ATTRIBUTE_READONLY) != 0) {
    const DWORD writable = attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY);
    (void)SetFileAttributesW(as_wide(path), writable == 0 ? FILE_ATTRIBUTE_NORMAL : writable);
  }
  HANDLE entry = open_entry_itself(path, DELETE);
  if (entry == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? 0 : error;
  }
  FILE_DISPOSITION_INFO disposition{};
  disposition.DeleteFile = TRUE;
  const std::uint32_t error = last_error_unless(
      SetFileInformationByHandle(entry, FileDispositionInfo, &disposition, sizeof disposition));
  (void)CloseHandle(entry);  // the deletion happens here
  return error;
}

// Deletes a file or a folder with all it holds (extended path); a link is deleted itself,
// never entered. Each deletion waits out passing locks for `bound_ms`.
FileStep remove_entry(const std::u16string& path, const std::u16string& relative,
                      std::uint64_t bound_ms) {
  FileStep step;
  const DWORD attributes = GetFileAttributesW(as_wide(path));
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD error = GetLastError();
    step.error = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? 0 : error;
    step.entry = relative;
    return step;
  }
  const bool folder = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
                      (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
  if (folder) {
    const std::optional<std::vector<Entry>> entries = entries_of(path);
    for (const Entry& entry : entries.value_or(std::vector<Entry>())) {
      const FileStep removed =
          remove_entry(path + u"\\" + entry.name,
                       relative.empty() ? entry.name : relative + u"\\" + entry.name, bound_ms);
      keep_most_tries(step, removed);
      if (!removed.ok()) {
        step.error = removed.error;
        step.entry = removed.entry;
        return step;
      }
    }
  }
  const FileStep removed = with_retries([&] { return delete_entry(path, attributes); }, bound_ms);
  keep_most_tries(step, removed);
  step.error = removed.error;
  step.entry = removed.ok() ? std::u16string() : (relative.empty() ? u"." : relative);
  return step;
}

FileStep rename_once(const std::u16string& from, const std::u16string& to, DWORD flags) {
  FileStep step;
  step.error = last_error_unless(
      MoveFileExW(*Extended(from), *Extended(to), flags | MOVEFILE_WRITE_THROUGH));
  return step;
}

// The volume a path stands on, by its serial number.
std::optional<DWORD> volume_of(HANDLE file) {
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(file, &info)) {
    return std::nullopt;
  }
  return info.dwVolumeSerialNumber;
}

// Walks a version, calling `visit` on each file (extended path) in it.
void each_file(const std::u16string& path, DWORD attributes,
               const std::function<void(const std::u16string&)>& visit) {
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    return;
  }
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    visit(path);
    return;
  }
  for (const Entry& entry : entries_of(path).value_or(std::vector<Entry>())) {
    each_file(path + u"\\" + entry.name, entry.attributes, visit);
  }
}

}  // namespace

PathKind path_kind(const SystemText& path) {
  const DWORD attributes =
      path.empty() ? INVALID_FILE_ATTRIBUTES : GetFileAttributesW(*Extended(path));
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    return PathKind::missing;
  }
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    return PathKind::link;
  }
  return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? PathKind::folder : PathKind::file;
}

bool held_file_is_moved(std::intptr_t held, const SystemText& target) {
  // Renamed only within its volume; from another, written from the handle.
  const std::optional<DWORD> file = volume_of(reinterpret_cast<HANDLE>(held));
  HANDLE folder = CreateFileW(*Extended(parent_of(target)), 0, share_all, nullptr, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (folder == INVALID_HANDLE_VALUE) {
    return true;  // the rename says why the folder cannot be reached
  }
  const std::optional<DWORD> beside = volume_of(folder);
  (void)CloseHandle(folder);
  return file && beside && *file == *beside;
}

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
FileStep rename_path(const SystemText& from, const SystemText& to, bool wait_out_locks) {
  if (!wait_out_locks) {
    return rename_once(from, to, 0);
  }
  return with_retries([&] { return rename_once(from, to, 0).error; }, rename_retry_bound_ms);
}

FileStep replace_file(const SystemText& from, const SystemText& to) {
  // Windows refuses to replace a read-only file. Its attributes are cleared through a
  // handle that stays open, and given back through it to the file, which from then on
  // is the backup (its other name).
  HANDLE old_file = INVALID_HANDLE_VALUE;
  FILE_BASIC_INFO basic{};
  const DWORD attributes = GetFileAttributesW(*Extended(to));
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0) {
    old_file = open_entry_itself(Extended(to).text, FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES);
  }
  if (old_file != INVALID_HANDLE_VALUE &&
      GetFileInformationByHandleEx(old_file, FileBasicInfo, &basic, sizeof basic)) {
    FILE_BASIC_INFO writable = basic;
    writable.FileAttributes &= ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY);
    writable.FileAttributes =
        writable.FileAttributes == 0 ? FILE_ATTRIBUTE_NORMAL : writable.FileAttributes;
    (void)SetFileInformationByHandle(old_file, FileBasicInfo, &writable, sizeof writable);
  }
  const FileStep step =
      with_retries([&] { return rename_once(from, to, MOVEFILE_REPLACE_EXISTING).error; },
                   rename_retry_bound_ms);
  if (old_file != INVALID_HANDLE_VALUE) {
    (void)SetFileInformationByHandle(old_file, FileBasicInfo, &basic, sizeof basic);
    (void)CloseHandle(old_file);
  }
  return step;
}

FileStep exchange_paths(const SystemText&, const SystemText&, bool& unsupported) {
  unsupported = true;
  FileStep step;
  step.error = ERROR_NOT_SUPPORTED;
  return step;
}

FileStep link_file(const SystemText& existing, const SystemText& link) {
  const Extended from(existing);
  const Extended name(link);
  return retried([&] { return CreateHardLinkW(*name, *from, nullptr); });
}

FileStep copy_tree(const SystemText& from, const SystemText& to, const SystemText& top_like,
                   const std::atomic<bool>* stop) {
  Copy copy{Extended(from).text, Extended(to).text, stop, {}};
  const DWORD attributes = GetFileAttributesW(as_wide(copy.from));
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    (void)copy.fail(GetLastError(), {});
  } else if (copy_entry(copy, {}, attributes)) {
    const DWORD top = GetFileAttributesW(*Extended(top_like));
    if (top != INVALID_FILE_ATTRIBUTES) {
      (void)SetFileAttributesW(as_wide(copy.to), top);  // the old version's: a courtesy
    }
  }
  if (!copy.step.ok()) {
    (void)remove_entry(copy.to, {}, remove_retry_bound_ms);  // what the copy wrote goes with it
  }
  return copy.step;
}

FileStep copy_held_file(std::intptr_t held, const SystemText& to, const SystemText& top_like) {
  HANDLE file = reinterpret_cast<HANDLE>(held);
  const Extended path(to);
  std::vector<char> buffer(1 << 20);
  LARGE_INTEGER start{};
  FileStep step;
  step.error = last_error_unless(SetFilePointerEx(file, start, nullptr, FILE_BEGIN));
  if (step.ok()) {
    step.error = write_copy(file, path.text, buffer);
  }
  const DWORD top = GetFileAttributesW(*Extended(top_like));
  if (step.ok() && top != INVALID_FILE_ATTRIBUTES) {
    (void)SetFileAttributesW(*path, top);  // the old version's: a courtesy
  }
  return step;
}

FileStep rename_held(std::intptr_t held, const SystemText& to, bool replace) {
  const std::u16string name = Extended(to).text;
  const std::size_t bytes = sizeof(FILE_RENAME_INFO) + name.size() * sizeof(wchar_t);
  std::vector<unsigned char> buffer(bytes, 0);
  auto* info = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
  info->ReplaceIfExists = replace ? TRUE : FALSE;
  info->RootDirectory = nullptr;
  info->FileNameLength = static_cast<DWORD>(name.size() * sizeof(wchar_t));
  std::copy(name.begin(), name.end(), reinterpret_cast<char16_t*>(info->FileName));
  HANDLE file = reinterpret_cast<HANDLE>(held);
  const FileStep step = retried([&] {
    return SetFileInformationByHandle(file, FileRenameInfo, info, static_cast<DWORD>(bytes));
  });
  if (step.ok()) {
    (void)flush_folder(parent_of(to));  // as a rename written through would be
  }
  return step;
}

FileStep remove_tree(const SystemText& path) {
  return remove_entry(Extended(path).text, {}, remove_retry_bound_ms);
}

FileStep check_parent_writable(const SystemText& probe) {
  HANDLE file = CreateFileW(*Extended(probe), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                            FILE_ATTRIBUTE_NORMAL | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  FileStep step;
  if (file == INVALID_HANDLE_VALUE) {
    step.error = GetLastError();
    return step;
  }
  (void)CloseHandle(file);  // deleted on close
  return step;
}

FileStep flush_version(const SystemText& path) {
  // Each file the updater wrote and may not have flushed, before the renames let the old
  // version go. Best effort: a read-only or held file cannot be opened for writing, and
  // was on the disk long before.
  const Extended top(path);
  each_file(top.text, GetFileAttributesW(*top), [](const std::u16string& file) {
    HANDLE handle = CreateFileW(as_wide(file), GENERIC_WRITE, share_all, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle != INVALID_HANDLE_VALUE) {
      (void)FlushFileBuffers(handle);
      (void)CloseHandle(handle);
    }
  });
  return {};
}

FileStep flush_folder(const SystemText& folder) {
  HANDLE handle = CreateFileW(*Extended(folder), GENERIC_WRITE, share_all, nullptr, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle != INVALID_HANDLE_VALUE) {
    // Where the file system flushes no folder, the written-through renames must do.
    (void)FlushFileBuffers(handle);
    (void)CloseHandle(handle);
  }
  return {};
}

FileStep write_file_atomically(const SystemText& path, const std::string& bytes) {
  const std::u16string temporary = path + u".tmp";
  const Extended at(temporary);
  HANDLE file =
      CreateFileW(*at, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
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
    (void)DeleteFileW(*at);
    return step;
  }
  return replace_file(temporary, path);
}

std::optional<std::string> read_small_file(const SystemText& path) {
  HANDLE file = CreateFileW(*Extended(path), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
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
  HANDLE search = FindFirstFileW(*Extended(target + u".relauncher-*"), &entry);
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
