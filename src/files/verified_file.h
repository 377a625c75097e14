#pragma once

// A file the updater verified, held from the moment relauncher hashes it until the
// program that uses it has ended, so that what runs is what was verified.

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>

#include "files/file_id.h"
#include "files/system_text.h"

namespace relauncher {

struct HeldFile {
  // Windows: the file itself, opened for reading and shared for reading only, so that
  // no one can write, rename, delete or replace it while it is held. Linux, which has no
  // sharing modes: a sealed copy in memory (a memfd), made while the file was hashed,
  // from which the program is run when it is the file. -1 when it could not be held.
  std::intptr_t handle = -1;
  std::string sha256;       // its digest, 64 lower-case hexadecimal digits
  std::uint32_t error = 0;  // why it could not be held (opened or read)
  // Held it could not be: a FIFO, a device or a folder, which may never end or never
  // answer. Only a regular file is hashed, and only up to the size it had when held.
  bool not_regular = false;
  // The file that was held (not its copy), whatever the name that led to it: a program
  // named by another of its names (a hard link) is this file too.
  std::optional<FileId> id;
  // Linux: the file itself, open from the hold until it has been copied and hashed.
  std::intptr_t source = -1;
  std::uint64_t size = 0;  // what it held when it was held: no more is read
  SystemText folder;       // Linux: where a large file's copy is made
  // Linux: a large file's copy was made in memory after all, since its folder refused one
  // of its own (this error).
  std::uint32_t copy_in_memory_error = 0;
};

// Holds the file without reading it yet: at once, before any wait. `may_move`: the file is
// the new version of a --replace, which Windows then moves through the handle (which
// needs delete access). On failure `handle` is -1 and `error` or `not_regular` says why.
HeldFile open_held_file(const SystemText& path, bool may_move = false);

// Reads what is held and hashes it (on Linux copying it into its sealed copy in the same
// pass), so that `sha256` is set; or `error`, and the file is let go. Set, `stop` ends the
// hash early (with the error the system gives a cancelled operation).
void hash_held_file(HeldFile& file, const std::atomic<bool>* stop = nullptr);

// Both at once.
HeldFile hold_file(const SystemText& path, bool may_move = false);

void release_file(HeldFile& file);

}  // namespace relauncher
