#pragma once

// Putting a new version of an application in place of the old one (--replace, --with),
// in steps whose order is the safety: the new version is brought beside the target
// first and flushed to the disk, the old one is moved aside (never deleted) as the new one
// moves in, and the backup is removed only once the new version stands, on the disk too,
// and has been accepted. Each step knows its undo; every version relauncher moves is
// known by its file identity, so that where each one stands can always be told. Each
// operation returns what it did and why it failed; the caller decides and logs.

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "files/file_id.h"
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
  SystemText entry;              // a copy or a deletion: the entry that failed, relative
  bool ok() const { return error == 0; }
};

// The target and the names relauncher gives its own siblings of it.
struct SwapNames {
  SystemText target;
  SystemText with;
  SystemText new_sibling;  // <target>.relauncher-new: the new version, beside the target
  // <target>.relauncher-ready: the version about to take the target's place by two
  // renames, moved there while the target still stands (a passing lock on it is waited out
  // then, not while the target is missing).
  SystemText ready_sibling;
  SystemText old_sibling;   // <target>.relauncher-old: the old version, the backup
  SystemText done_sibling;  // <target>.relauncher-done: a backup being deleted
  SystemText journal;       // <target>.relauncher-journal: what the running update did
  SystemText lock;          // <target>.relauncher-lock: held by the run that swaps
};
SwapNames swap_names(const SystemText& target, const SystemText& with);

// The longest name relauncher may give a sibling of `target` (a kept leftover's).
SystemText longest_sibling(const SystemText& target);

// `<target>.relauncher-<kind>-<pid>-<n>`, a name nothing stands at yet: for what must be
// kept aside rather than deleted or taken for one of the fixed siblings.
SystemText unique_sibling(const SystemText& target, const char* kind);

// Whether `path` is named like one of relauncher's siblings of the target.
bool is_relauncher_sibling(const SystemText& target, const SystemText& path);

// Every entry beside the target whose name begins with the target's own and
// ".relauncher-": relauncher's siblings, fixed and unique.
std::vector<SystemText> relauncher_siblings(const SystemText& target);

// The system's steps (one file per system). On Linux each rename, exchange and link
// flushes the folder it changed before it returns. Windows uses "\\?\" paths for every
// one of them, so that any name and depth it allows is reached as it is.
// `wait_out_locks` false: tried once, for a step whose retries the caller makes itself.
FileStep rename_path(const SystemText& from, const SystemText& to, bool wait_out_locks = true);
// Renames a file over an existing one, which is never missing meanwhile.
FileStep replace_file(const SystemText& from, const SystemText& to);
// Swaps two existing paths in one step; `unsupported` where the file system cannot.
FileStep exchange_paths(const SystemText& one, const SystemText& other, bool& unsupported);
FileStep link_file(const SystemText& existing, const SystemText& link);
// Copies a file or a folder (files, sub-folders, symbolic links as links, modification
// times, the executable bit or attributes), each file and folder flushed; the top takes
// `top_like`'s mode or attributes where that exists. What was written is removed when
// it fails or `stop` is set, and the entry that failed is named. Windows waits out a
// passing lock on each file it reads.
FileStep copy_tree(const SystemText& from, const SystemText& to, const SystemText& top_like,
                   const std::atomic<bool>* stop = nullptr);
// A verified file written to `to` from what holds it (flushed, with `top_like`'s mode or
// attributes), so that what lands is what was verified: on Linux from the sealed copy, on
// Windows from the held file itself when it stands on another volume.
FileStep copy_held_file(std::intptr_t held, const SystemText& to, const SystemText& top_like);
// Windows: the held file renamed through the handle that holds it (`replace`: over an
// existing file), so that no one can put another file in its place meanwhile, and
// relauncher's own rename by path, which the hold refuses, is not needed.
FileStep rename_held(std::intptr_t held, const SystemText& to, bool replace);
// Deletes a file or a folder with everything in it, never following a link out of it
// and never entering a file system mounted inside it (such an entry is left, and named).
FileStep remove_tree(const SystemText& path);
// Makes and removes an entry beside the target (`probe`): a refusal shows before any
// wait.
FileStep check_parent_writable(const SystemText& probe);
// Puts a renamed version's data on the disk (Linux: its file system synced). Windows
// writes its renames through instead.
FileStep flush_version(const SystemText& path);
// Puts a folder's entries (the names renamed in or out of it) on the disk.
FileStep flush_folder(const SystemText& folder);
// A small file written whole, flushed, then renamed over `path` (which never holds half a
// text): the journal's way.
FileStep write_file_atomically(const SystemText& path, const std::string& bytes);
std::optional<std::string> read_small_file(const SystemText& path);
// Whether two paths stand in the same folder, their folders' links resolved.
bool in_same_folder(const SystemText& one, const SystemText& other);
// The folder a path stands in, and whether it exists.
SystemText parent_of(const SystemText& path);
bool set_current_folder(const SystemText& folder);

// Whether an error is a passing lock worth waiting out (Windows: 32 and 5).
bool is_passing_lock(std::uint32_t error);

// Which version a path holds, told by file identity.
enum class Holds { nothing, old_version, new_version, other };

// The two versions' identities: the old one's read before anything moves, the new one's
// once it stands beside the target.
struct VersionIds {
  std::optional<FileId> old_version;
  std::optional<FileId> new_version;
};
Holds holds_at(const SystemText& path, const VersionIds& ids);

// Where each version stands now, in words for the log: `the old version at "...", the
// new version at "..."` (or `nowhere`).
std::string where_versions_stand(const SwapNames& names, const VersionIds& ids);

// What the swap did: enough to undo it, and to journal it.
struct Swap {
  enum class How { exchange, renamed, copied };
  How how = How::renamed;
  bool folder = false;
  bool had_target = false;  // the old version is now the backup
  bool with_moved = false;  // the new version was renamed from --with (not copied)
  bool beside = false;      // the new version stands whole at <target>.relauncher-new
  bool done = false;        // the new version stands at the target
  VersionIds ids;
  // The verified file relauncher holds and moves (through this handle) while it is the
  // new version; -1 otherwise.
  std::intptr_t held = -1;
  FileStep failure;              // why not, when not done
  std::string failed_step;       // which step failed
  bool undone = true;            // after a failure: everything moved was moved back
  std::uint32_t tries = 1;       // the most tries a step took
  std::uint32_t waited_out = 0;  // the passing lock's error it took them for
  // Between two renames, the longest the target was missing when a lock held its version
  // aside; 0 when it was back at once.
  std::uint64_t missing_ms = 0;
};

// What stands before anything moves: the kinds and the old version's identity, and where
// the new version will be renamed from, its identity (a copy's is known once made).
Swap plan_swap(const SwapNames& names, std::intptr_t held);

// What was done for the swap while relauncher waited.
struct EarlyWork {
  std::optional<FileStep> copied;  // a copy made beside the target: its outcome
  bool flushed = false;            // the new version, to be renamed, was put on the disk
};

// Brings the new version beside the target (renamed when it stands in the target's own
// folder and `held` is -1, copied otherwise, or written from `held`) and puts its data on
// the disk, unless `early` did either already. On a failure nothing of it stays beside
// the target.
void bring_beside(const SwapNames& names, std::intptr_t held, Swap& swap,
                  const EarlyWork& early = {});

// The new version, beside the target, takes its place; the old one becomes the backup.
// On a failure each step done is undone in reverse order; when an undo fails too,
// `undone` is false and nothing is deleted.
void move_in(const SwapNames& names, Swap& swap);

// After a move_in that was done: the old version back at the target, and the new one back
// at --with (or, when it was copied, deleted). When --with is taken meanwhile the new
// version is kept at `kept_at`; so it is when it cannot be put back and `keep_when_stuck`
// (the last try: an earlier run's journal). `failed_step` empty when all of it was done; when only
// the new version could not be put back, `old_stands` and the new version stays beside
// the target, where the journal finds it.
struct RollBack {
  FileStep failure;
  std::string failed_step;
  bool old_stands = false;
  SystemText kept_at;  // where the new version was kept when --with was not free
  bool ok() const { return failed_step.empty(); }
};
RollBack roll_back(const SwapNames& names, const Swap& swap, bool keep_when_stuck = false);

// What an earlier run without a journal left beside the target, put right before
// anything else: a backup beside a missing target renamed back, a backup beside a target
// that stands removed, the other siblings removed. What cannot be removed is renamed to
// a unique name and kept; only when even that fails is the update blocked.
struct Leftovers {
  bool restored = false;        // the target was missing and its backup was renamed back
  bool backup_removed = false;  // a backup beside a target that stands was removed
  bool siblings_removed = false;
  std::vector<std::pair<SystemText, FileStep>> kept;  // kept aside: the name, and why
  FileStep failure;                                   // what blocks the update
  SystemText blocked;                                 // the entry that blocks it
};
Leftovers clear_leftovers(const SwapNames& names);

// Removes a leftover; when it cannot be deleted it is renamed to a unique name (kept).
struct Removal {
  FileStep failure;    // why it could not be deleted
  SystemText kept_at;  // where it was kept, or empty when deleted or not even renamed
  bool blocks() const { return !failure.ok() && kept_at.empty(); }
};
Removal remove_or_set_aside(const SwapNames& names, const SystemText& path);

// Removes the backup once the folder holding the target is on the disk: renamed first
// (a deletion cut short is never taken for a backup), then deleted.
Removal remove_backup(const SwapNames& names);

}  // namespace relauncher
