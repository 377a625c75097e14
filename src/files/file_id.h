#pragma once

// What tells one file from another whatever the names that lead to it: the volume and
// the file's index on it (Windows' volume serial number and file index, Linux's device
// and inode).

#include <cstdint>
#include <optional>
#include <vector>

#include "files/system_text.h"

namespace relauncher {

struct FileId {
  std::uint64_t volume = 0;
  std::uint64_t index = 0;
  bool operator==(const FileId& other) const {
    return volume == other.volume && index == other.index;
  }
  bool operator!=(const FileId& other) const {
    return !(*this == other);
  }
};

// The identity of what `path` names, links followed; absent when nothing is there or
// it cannot be read. Only the identity is read: nothing is opened for its data.
std::optional<FileId> file_id(const SystemText& path);

// The identity of an open file: a HANDLE on Windows, a descriptor on Linux.
std::optional<FileId> file_id_of(std::intptr_t file);

// Whether `path` names the very file that one of `others` names.
bool is_same_file_as_one_of(const SystemText& path, const std::vector<SystemText>& others);

}  // namespace relauncher
