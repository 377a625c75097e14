#pragma once

// Putting a new version of an application in place of the old one (--replace, --with),
// in steps whose order is the safety: the new version is brought beside the target
// first, the old one is moved aside (never deleted) as the new one moves in, and the
// backup is removed only once the new version stands and has been accepted. Each
// operation returns what it did and why it failed; the caller decides and logs.

#include <cstdint>
#include <string>

#include "files/system_text.h"

namespace relauncher {

enum class PathKind { missing, file, folder, link, other };

// What stands at `path`, a final symbolic link (or junction) not followed.
PathKind path_kind(const SystemText& path);

// One step on the file system. Windows waits out a passing lock (a scanner, an indexer
// or a thumbnail handle: a sharing violation or access denied) by trying again every
// 250 ms for up to 30 s; Linux fails at once.
struct FileStep {
  std::uint32_t error = 0;  // the system's error code; 0: done
  std::uint32_t tries = 1;
  std::uint32_t waited_out = 0;  // the passing lock's error, when it was tried again
  bool ok() const {
    return error == 0;
  }
};

// The target and the names relauncher gives its own siblings of it.
struct SwapNames {
  SystemText target;
  SystemText with;
  SystemText new_sibling;   // <target>.relauncher-new: the new version, beside the target
  SystemText old_sibling;   // <target>.relauncher-old: the old version, the backup
  SystemText done_sibling;  // <target>.relauncher-done: a backup being deleted
};
SwapNames swap_names(const SystemText& target, const SystemText& with);

// The system's steps (one file per system).
FileStep rename_path(const SystemText& from, const SystemText& to);
// Renames a file over an existing one, which is never missing meanwhile.
FileStep replace_file(const SystemText& from, const SystemText& to);
// Swaps two existing paths in one step; `unsupported` where the file system cannot.
FileStep exchange_paths(const SystemText& one, const SystemText& other, bool& unsupported);
FileStep link_file(const SystemText& existing, const SystemText& link);
// Copies a file or a folder (files, sub-folders, symbolic links as links, modification
// times, the executable bit or attributes), each file flushed; the top takes `top_like`'s
// mode or attributes where that exists. What was written is removed when it fails.
FileStep copy_tree(const SystemText& from, const SystemText& to, const SystemText& top_like);
// A verified file brought to `to` from what holds it: on Linux written from the sealed
// copy (flushed, with `top_like`'s mode); on Windows renamed through the handle that
// holds it, so that what lands is what was verified.
FileStep copy_held_file(std::intptr_t held, const SystemText& to, const SystemText& top_like);
// Deletes a file or a folder with everything in it, never following a link out of it.
FileStep remove_tree(const SystemText& path);
// Makes and removes an entry beside the target: a refusal shows before any wait.
FileStep check_parent_writable(const SystemText& target);
// Whether two paths stand in the same folder, their folders' links resolved.
bool in_same_folder(const SystemText& one, const SystemText& other);
// The folder a path stands in, and whether it exists.
SystemText parent_of(const SystemText& path);
bool set_current_folder(const SystemText& folder);

// Whether an error is a passing lock worth waiting out (Windows: 32 and 5).
bool is_passing_lock(std::uint32_t error);

// What put_in_place did: enough to undo it.
struct Swap {
  enum class How { exchange, renamed, copied };
  How how = How::renamed;
  bool had_target = false;  // the old version is now the backup
  bool with_moved = false;  // the new version was renamed from --with (not copied)
  bool done = false;
  FileStep failure;              // why not, when not done
  std::string failed_step;       // which step failed
  bool undone = true;            // after a failure: everything moved was moved back
  std::uint32_t tries = 1;       // the most tries a step took
  std::uint32_t waited_out = 0;  // the passing lock's error it took them for
};

// Brings the new version beside the target (renamed when it stands in the target's own
// folder and `held` is -1, copied otherwise, or written from `held`), then puts it in
// place with the old version as the backup. On a failure whatever was moved is moved
// back, and a copy removed.
Swap put_in_place(const SwapNames& names, std::intptr_t held = -1);

// After a put_in_place that was done: the old version back at the target, and the new
// one back at --with (or, when it was copied, deleted). `failed_step` empty when done.
struct RollBack {
  FileStep failure;
  std::string failed_step;
  bool ok() const {
    return failed_step.empty();
  }
};
RollBack roll_back(const SwapNames& names, const Swap& swap);

// What an earlier run cut short left beside the target, put right before anything else.
struct Leftovers {
  bool restored = false;        // the target was missing and its backup was renamed back
  bool backup_removed = false;  // a backup beside a target that stands was removed
  bool siblings_removed = false;
  FileStep failure;
};
Leftovers clear_leftovers(const SwapNames& names);

// Removes the backup: renamed first (a deletion cut short is never taken for a backup),
// then deleted.
FileStep remove_backup(const SwapNames& names);

}  // namespace relauncher
