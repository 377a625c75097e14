#pragma once

// Which processes run from a folder: the rules on path text, kept apart from the calls
// that list processes so that they compile and can be tested anywhere. Every path here
// is canonical (see canonical_path): full, with backslashes, no trailing separator and
// no "." or ".." left, and upper-cased as Windows compares file names. Two such paths
// name the same place exactly when their text is equal.

#include <string>
#include <vector>

namespace relauncher {

// True when `path` lies inside `folder`, at any depth: "C:\APP" holds "C:\APP\X.EXE"
// and "C:\APP\SUB\Y.EXE", never "C:\APPLE\X.EXE" nor "C:\APP" itself.
bool path_is_inside(const std::u16string& folder, const std::u16string& path);

// True for a folder too broad to wait for, let alone end what runs from it: a drive or
// share root, or one of `system_folders` (the Windows folder, Program Files, the user's
// profile, the temporary folder) or a folder that holds one of them.
bool folder_is_too_broad(const std::u16string& folder,
                         const std::vector<std::u16string>& system_folders);

// True when `path` lies inside one of `folders`.
bool path_is_in_any(const std::vector<std::u16string>& folders, const std::u16string& path);

}  // namespace relauncher
