#pragma once

// The ground floor: paths and files for both systems (their text, their identity, the
// rules on folders, digests and held files). It includes no other room.
//
// This header: paths as the file system reads them back, and the folders too broad to
// be an application's own.

#include <optional>
#include <string>

#include "files/system_text.h"

namespace relauncher {

// The path as the file system reads it back: made full against the current folder, "."
// and ".." and "/" resolved, and as far as it exists opened and read back, so that short
// names, junctions, subst drives and "\\.\" or "\\localhost\C$" forms all give the one
// path they reach; without a trailing separator or "\\?\" prefix, upper-cased as the
// file system compares names. Absent for text Windows cannot hold as a path (see
// path_fits_windows), and for a device path that names no place on a drive or share.
std::optional<SystemText> canonical_path(const SystemText& path);

// The folder that holds a --replace or --with, made absolute for the names the swap
// makes and the log shows: on Linux with its links resolved, as canonical_path gives it;
// on Windows as the user spelled it (made full, its case and short names kept, "\"
// only), since canonical_path's upper case is for comparing. Absent where canonical_path
// is.
std::optional<SystemText> absolute_folder(const SystemText& folder);

// True for a folder (canonical) too broad to wait for, let alone end what runs from it:
// a drive or share root; the Windows folder, anything inside it or anything holding it;
// and the Program Files and common files folders, ProgramData, the public and the
// user's profile, the roaming and local application data (with LocalLow and the local
// Programs folder) and the temporary folder, or a folder holding one of them.
bool folder_too_broad(const SystemText& folder);
// What folder_too_broad refuses, and what path_fits_system does, for the log.
extern const char too_broad_explained[];
extern const char path_limits_explained[];

// Whether `path` lies inside `folder`, both canonical, at any depth.
bool folder_holds(const SystemText& folder, const SystemText& path);

// False for text the system cannot hold as a path (on Windows, a component longer than
// 255 characters or a path longer than 32,767), which must never reach a system call.
bool path_fits_system(const SystemText& path);

bool folder_exists(const SystemText& path);

// The folder the tool runs in; empty when it cannot be read.
SystemText current_folder();

}  // namespace relauncher
