#pragma once

// Which processes run from a folder: the rules on path text, kept apart from the calls
// that list processes so that they compile and can be tested anywhere. Every path here
// is canonical (see canonical_path): full, with backslashes, no trailing separator and
// no "." or ".." left, and upper-cased as Windows compares file names. Two such paths
// name the same place exactly when their text is equal.

#include <optional>
#include <string>
#include <vector>

namespace relauncher {

// Windows holds no path with a component longer than 255 characters or longer than
// 32,767 in all; such text must be refused before any system call reads it.
constexpr std::size_t longest_path_component = 255;
constexpr std::size_t longest_path = 32767;
bool path_fits_windows(const std::u16string& path);

// A path given in a device form ("\\.\C:\app", "\\?\C:\app", "\\.\UNC\server\share")
// written as the drive or share path it names ("C:\app", "\\server\share"); any other
// path as it is. Absent for a device path that names no folder on a drive or share
// ("\\.\PhysicalDrive0", "\\?\Volume{...}\"): nothing runs from such a place.
std::optional<std::u16string> without_device_prefix(const std::u16string& path);

// True when `path` lies inside `folder`, at any depth: "C:\APP" holds "C:\APP\X.EXE"
// and "C:\APP\SUB\Y.EXE", never "C:\APPLE\X.EXE" nor "C:\APP" itself.
bool path_is_inside(const std::u16string& folder, const std::u16string& path);

// The folders that a wait must never cover, canonical.
struct ProtectedFolders {
  // Refused with everything inside them: the Windows folder.
  std::vector<std::u16string> with_contents;
  // Refused themselves (Program Files, the profile, the temporary folder...), while an
  // application's own folder inside one stays usable.
  std::vector<std::u16string> themselves;
};

// True for a folder too broad to wait for, let alone end what runs from it: a drive or
// share root, a protected folder, one that holds a protected folder, or one inside a
// folder protected with its contents.
bool folder_is_too_broad(const std::u16string& folder, const ProtectedFolders& protected_folders);

// True when `path` lies inside one of `folders`.
bool path_is_in_any(const std::vector<std::u16string>& folders, const std::u16string& path);

// The same rules for Linux paths: absolute, "/"-separated, no trailing "/", no "." or
// ".." left and symbolic links resolved. Names compare byte for byte, since Linux's
// are case-sensitive: "/opt/App" holds "/opt/App/x", never "/opt/app/x" nor "/opt/Apple".
bool path_is_inside(const std::string& folder, const std::string& path);
bool path_is_in_any(const std::vector<std::string>& folders, const std::string& path);

struct PosixProtectedFolders {
  // Refused with everything inside them ("/usr", "/etc", "/proc"...)...
  std::vector<std::string> with_contents;
  // ...except a folder below one of these ("/usr/lib/<name>"), an application's own.
  std::vector<std::string> open_inside;
  // Refused themselves ("/opt", "/home", the home folder, "/tmp"...), while an
  // application's own folder inside one stays usable.
  std::vector<std::string> themselves;
};

// True for "/", a protected folder, one that holds a protected folder, and one inside a
// folder protected with its contents but not below one of its open folders.
bool folder_is_too_broad(const std::string& folder, const PosixProtectedFolders& protected_folders);

// The path made absolute against `current` with "." and ".." resolved and repeated or
// trailing "/" dropped, by its text alone (".." above "/" stays at "/").
std::string lexically_absolute(const std::string& path, const std::string& current);

}  // namespace relauncher
