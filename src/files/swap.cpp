#include "files/swap.h"

#include <algorithm>

#include "files/swap_internal.h"
#include "files/system.h"

namespace relauncher {

namespace {

// Keeps the first failure of a sequence, and the most tries any step took.
struct Steps {
  FileStep failure;
  std::string failed_step;
  std::uint32_t tries = 1;
  std::uint32_t waited_out = 0;
  std::uint64_t missing_ms = 0;
  bool exchanged = false;  // one step exchanged two names
  bool run(const char* name, const FileStep& step) {
    if (step.tries > tries) {
      tries = step.tries;
      waited_out = step.waited_out;
    }
    if (!step.ok() && failed_step.empty()) {
      failure = step;
      failed_step = name;
    }
    return step.ok();
  }
};

// A swap's steps come in two calls (bring_beside, move_in): the most tries of either.
void take_steps(const Steps& steps, Swap& swap) {
  swap.failure = steps.failure;
  swap.failed_step = steps.failed_step;
  if (steps.tries > swap.tries) {
    swap.tries = steps.tries;
    swap.waited_out = steps.waited_out;
  }
  swap.missing_ms = std::max(swap.missing_ms, steps.missing_ms);
}

bool begins_with(const SystemText& text, const SystemText& start) {
  return text.compare(0, start.size(), start) == 0;
}

SystemText sibling(const SystemText& target, const char* kind) {
  return target + to_system_text_ascii(".relauncher-") + to_system_text_ascii(kind);
}

// The first of `paths` that holds `version`, or empty.
SystemText where_is(Holds version, const std::vector<SystemText>& paths, const VersionIds& ids) {
  for (const SystemText& path : paths) {
    if (holds_at(path, ids) == version) {
      return path;
    }
  }
  return {};
}

std::vector<SystemText> beside_and_with(const SwapNames& names) {
  return {names.target,        names.old_sibling,  names.new_sibling,
          names.ready_sibling, names.done_sibling, names.with};
}

// A version renamed: through `held` when relauncher holds it (a verified file), by its
// path otherwise.
FileStep rename_version(std::intptr_t held, const SystemText& from, const SystemText& to,
                        bool replace = false) {
  if (held != -1) {
    return rename_held(held, to, replace);
  }
  return replace ? replace_file(from, to) : rename_path(from, to);
}

// The target back from `aside` after the version meant for it could not move in: every
// lock waited out, since nothing else can bring it back. How long it was missing is kept
// when that took more than one try.
bool bring_target_back(const SwapNames& names, const SystemText& aside, std::uint64_t missing_since,
                       Steps& steps) {
  const FileStep back = rename_path(aside, names.target);
  if (back.tries > 1) {
    steps.missing_ms = std::max(steps.missing_ms, steady_milliseconds() - missing_since);
  }
  return back.ok();
}

// Two renames where no exchange is had: `in` replaces the target, which goes to `aside`.
// `in` is first renamed to the ready name while the target still stands, so that a
// passing lock on what was just brought beside (a scanner) is waited out then. The target
// is missing only between the two renames that follow, the second tried once: when it
// fails, what went aside comes back at once and both are tried again, within one bound.
bool rename_twice(const SwapNames& names, std::intptr_t held, const SystemText& in,
                  const SystemText& aside, Steps& steps, bool& undone) {
  const bool made_ready = in != names.ready_sibling;  // a roll-back may find it there already
  if (made_ready &&
      !steps.run("make the other version ready", rename_version(held, in, names.ready_sibling))) {
    return false;
  }
  const std::uint64_t until = steady_milliseconds() + rename_retry_bound_ms;
  for (;;) {
    if (!steps.run("move the version at the target aside", rename_path(names.target, aside))) {
      break;
    }
    const std::uint64_t missing_since = steady_milliseconds();
    const FileStep moved_in = held != -1 ? rename_held(held, names.target, false)
                                         : rename_path(names.ready_sibling, names.target, false);
    if (moved_in.ok()) {
      return true;
    }
    if (!bring_target_back(names, aside, missing_since, steps)) {
      (void)steps.run("move the other version in", moved_in);
      undone = false;
      return false;
    }
    if (!is_passing_lock(moved_in.error) || steady_milliseconds() >= until) {
      (void)steps.run("move the other version in", moved_in);
      break;
    }
    ++steps.tries;
    steps.waited_out = moved_in.error;
    pause_milliseconds(retry_every_ms);
  }
  undone = !made_ready || rename_version(held, names.ready_sibling, in).ok();
  return false;
}

// Puts `in` at the target, the version there going to `aside`: one exchange for a folder,
// a hard link and a rename over it for a file (never missing), two renames otherwise.
// After an exchange the version moved aside stands at `in`; it is renamed to `aside` only
// when `name_aside` (a backup must have the backup's name; a roll-back's new version is
// put back from wherever it stands). `held`: the handle `in` is moved through, or -1.
bool replace_target(const SwapNames& names, std::intptr_t held, const SystemText& in,
                    const SystemText& aside, bool folder, bool name_aside, Steps& steps,
                    bool& undone) {
  if (folder) {
    bool unsupported = false;
    const FileStep exchanged = exchange_paths(names.target, in, unsupported);
    if (unsupported) {
      return rename_twice(names, held, in, aside, steps, undone);
    }
    if (!steps.run("exchange the versions", exchanged)) {
      return false;
    }
    steps.exchanged = true;
    if (!name_aside || steps.run("name the version moved aside", rename_path(in, aside))) {
      return true;
    }
    // Each version back where it stood before the exchange.
    undone = exchange_paths(names.target, in, unsupported).ok();
    return false;
  }
  const FileStep linked = link_file(names.target, aside);
  if (linked.error == hard_links_unsupported()) {
    return rename_twice(names, held, in, aside, steps, undone);  // no hard links on this volume
  }
  if (!steps.run("keep the file at the target", linked)) {
    return false;
  }
  if (steps.run("move the other file in", rename_version(held, in, names.target, true))) {
    return true;
  }
  undone = remove_tree(aside).ok();  // only a second name of the file that still stands
  return false;
}

// The new version, from `from`, back at --with when that is free; a copy is deleted while
// --with stands; anything else is kept under a unique name, and so is a version that
// cannot go back to --with when `keep_when_stuck` (otherwise it stays where it is, and the
// journal has the next run try again).
RollBack put_new_version_back(const SwapNames& names, std::intptr_t held, const SystemText& from,
                              bool with_moved, bool keep_when_stuck) {
  RollBack back;
  Steps steps;
  const bool with_free = path_kind(names.with) == PathKind::missing;
  if (!with_moved && !with_free) {
    // The same version stands at --with: a copy that cannot be deleted is set aside.
    const Removal removal = remove_or_set_aside(names, from);
    if (removal.blocks()) {
      back.failure = removal.failure;
      back.failed_step = "delete the copy";
    }
    return back;
  }
  if (with_free &&
      (steps.run("put the new version back at --with", rename_version(held, from, names.with)) ||
       !keep_when_stuck)) {
    back.failure = steps.failure;
    back.failed_step = steps.failed_step;
    return back;
  }
  back.kept_at = unique_sibling(names.target, "new");
  const FileStep kept = rename_version(held, from, back.kept_at);
  if (!kept.ok()) {
    back.kept_at.clear();
    back.failure = kept;
    back.failed_step = "keep the new version aside";
  }
  return back;
}

}  // namespace

SwapNames swap_names(const SystemText& target, const SystemText& with) {
  return {target,
          with,
          sibling(target, "new"),
          sibling(target, "ready"),
          sibling(target, "old"),
          sibling(target, "done"),
          sibling(target, "journal"),
          sibling(target, "lock")};
}

bool is_relauncher_sibling(const SystemText& target, const SystemText& path) {
  return begins_with(path, sibling(target, ""));
}

SystemText longest_sibling(const SystemText& target) {
  return sibling(target, "journal-4294967295-4294967295.tmp");
}

SystemText unique_sibling(const SystemText& target, const char* kind) {
  const std::string stem = "-" + std::to_string(own_process_id()) + "-";
  for (std::uint32_t n = 1;; ++n) {
    const SystemText name = sibling(target, (kind + stem + std::to_string(n)).c_str());
    if (path_kind(name) == PathKind::missing) {
      return name;
    }
  }
}

FileStep with_retries(const std::function<std::uint32_t()>& attempt, std::uint64_t bound_ms) {
  const std::uint64_t until = steady_milliseconds() + bound_ms;
  FileStep step;
  for (;; ++step.tries) {
    step.error = attempt();
    if (step.error == 0 || !is_passing_lock(step.error) || steady_milliseconds() >= until) {
      return step;
    }
    step.waited_out = step.error;
    pause_milliseconds(retry_every_ms);
  }
}

Holds holds_at(const SystemText& path, const VersionIds& ids) {
  const std::optional<FileId> id = file_id(path);
  if (!id) {
    return Holds::nothing;
  }
  return id == ids.old_version   ? Holds::old_version
         : id == ids.new_version ? Holds::new_version
                                 : Holds::other;
}

std::string where_versions_stand(const SwapNames& names, const VersionIds& ids) {
  const auto at = [&](Holds version) {
    const SystemText path = where_is(version, beside_and_with(names), ids);
    return path.empty() ? std::string("nowhere beside the target")
                        : "at \"" + log_text(path) + "\"";
  };
  return "the old version " + (ids.old_version ? at(Holds::old_version) : "(none)") +
         ", the new version " + at(Holds::new_version);
}

Swap plan_swap(const SwapNames& names, std::intptr_t held) {
  Swap swap;
  const PathKind target = path_kind(names.target);
  swap.had_target = target != PathKind::missing;
  swap.folder = target == PathKind::folder ||
                (target == PathKind::missing && path_kind(names.with) == PathKind::folder);
  swap.ids.old_version = swap.had_target ? file_id(names.target) : std::nullopt;
  // A run ended during the rename finds the new version by its identity, wherever it is.
  if (held != -1 && held_file_is_moved(held, names.target)) {
    swap.with_moved = true;
    swap.ids.new_version = file_id_of(held);
  } else if (held == -1 && in_same_folder(names.with, names.target)) {
    swap.with_moved = true;
    swap.ids.new_version = file_id(names.with);
  }
  return swap;
}

void bring_beside(const SwapNames& names, std::intptr_t held, Swap& swap, const EarlyWork& early) {
  Steps steps;
  if (held != -1) {
    const bool moved = held_file_is_moved(held, names.target);
    swap.how = moved ? Swap::How::renamed : Swap::How::copied;
    swap.beside = steps.run("bring the verified file beside the target",
                            moved ? rename_held(held, names.new_sibling, false)
                                  : copy_held_file(held, names.new_sibling, names.target));
    swap.with_moved = swap.beside && moved;
    swap.held = moved ? held : -1;
  } else if (in_same_folder(names.with, names.target)) {
    // What the updater unpacked may not be on the disk yet: it is, before anything moves.
    swap.beside = (early.flushed ||
                   steps.run("put the new version on the disk", flush_version(names.with))) &&
                  steps.run("move the new version beside the target",
                            rename_path(names.with, names.new_sibling));
    swap.with_moved = swap.beside;
  } else {
    swap.how = Swap::How::copied;
    swap.beside = steps.run(
        "copy the new version beside the target",
        early.copied ? *early.copied : copy_tree(names.with, names.new_sibling, names.target));
  }
  if (swap.beside) {
    swap.ids.new_version = file_id(names.new_sibling);
  }
  take_steps(steps, swap);
}

void move_in(const SwapNames& names, Swap& swap) {
  Steps steps;
  bool undone = true;
  if (!swap.had_target) {
    swap.done = steps.run("move the new version in",
                          rename_version(swap.held, names.new_sibling, names.target));
  } else {
    swap.done = replace_target(names, swap.held, names.new_sibling, names.old_sibling, swap.folder,
                               true, steps, undone);
    if (swap.done && steps.exchanged && swap.how == Swap::How::renamed) {
      swap.how = Swap::How::exchange;
    }
  }
  take_steps(steps, swap);
  if (swap.done) {
    return;
  }
  // Nothing stands half done: the new version leaves the target's folder again.
  swap.undone =
      undone &&
      put_new_version_back(names, swap.held, names.new_sibling, swap.with_moved, false).ok();
}

RollBack roll_back(const SwapNames& names, const Swap& swap, bool keep_when_stuck) {
  RollBack back;
  Steps steps;
  bool undone = true;
  const Holds at_target = holds_at(names.target, swap.ids);
  const SystemText old_at = where_is(
      Holds::old_version, {names.old_sibling, names.new_sibling, names.ready_sibling}, swap.ids);
  if (at_target == Holds::new_version && !swap.ids.old_version) {
    (void)steps.run("move the new version out", rename_path(names.target, names.new_sibling));
  } else if (at_target == Holds::new_version && !old_at.empty()) {
    const SystemText aside = old_at == names.old_sibling ? names.new_sibling : names.old_sibling;
    (void)replace_target(names, -1, old_at, aside, swap.folder, false, steps, undone);
  } else if (at_target == Holds::nothing && !old_at.empty()) {
    (void)steps.run("move the old version back", rename_path(old_at, names.target));
  } else if (at_target != Holds::old_version &&
             !(at_target == Holds::nothing && !swap.ids.old_version)) {
    // Neither version where it could be: nothing is moved, and the log says where they are.
    FileStep nowhere;
    nowhere.error = 2;  // "not found", in both systems' numbering
    (void)steps.run("find the old version", nowhere);
  }
  back.failure = steps.failure;
  back.failed_step = steps.failed_step;
  if (!back.ok()) {
    return back;
  }
  const SystemText new_at = where_is(
      Holds::new_version,
      {names.new_sibling, names.ready_sibling, names.old_sibling, names.done_sibling}, swap.ids);
  if (!new_at.empty()) {
    back = put_new_version_back(names, -1, new_at, swap.with_moved, keep_when_stuck);
  }
  back.old_stands = true;
  return back;
}

Removal remove_or_set_aside(const SwapNames& names, const SystemText& path) {
  Removal removal;
  removal.failure = remove_tree(path);
  if (removal.failure.ok()) {
    return removal;
  }
  // Already under a unique name: it stays there, as it is, until a run can delete it.
  if (begins_with(path, sibling(names.target, "done-"))) {
    removal.kept_at = path;
    return removal;
  }
  const SystemText aside = unique_sibling(names.target, "done");
  if (rename_path(path, aside).ok()) {
    removal.kept_at = aside;
  }
  return removal;
}

Leftovers clear_leftovers(const SwapNames& names) {
  Leftovers left;
  const bool backup = path_kind(names.old_sibling) != PathKind::missing;
  if (backup && path_kind(names.target) == PathKind::missing) {
    left.failure = rename_path(names.old_sibling, names.target);
    left.restored = left.failure.ok();
    if (!left.restored) {
      left.blocked = names.old_sibling;
      return left;
    }
  }
  for (const SystemText& path : relauncher_siblings(names.target)) {
    // The lock and the journal are the running update's; kept versions are the user's.
    if (path == names.lock || path == names.journal ||
        begins_with(path, sibling(names.target, "new-")) ||
        begins_with(path, sibling(names.target, "journal-"))) {
      continue;
    }
    const Removal removal = remove_or_set_aside(names, path);
    if (removal.blocks()) {
      left.failure = removal.failure;
      left.blocked = path;
      return left;
    }
    if (!removal.failure.ok()) {
      left.kept.emplace_back(removal.kept_at, removal.failure);
    } else if (path == names.old_sibling) {
      left.backup_removed = true;  // the version at the target is the one that started this update
    } else {
      left.siblings_removed = true;
    }
  }
  return left;
}

Removal remove_backup(const SwapNames& names) {
  Removal removal;
  // The renames that made the new version stand are on the disk before the old one goes.
  removal.failure = flush_folder(parent_of(names.target));
  if (!removal.failure.ok()) {
    removal.kept_at = names.old_sibling;
    return removal;
  }
  removal.failure = rename_path(names.old_sibling, names.done_sibling);
  if (!removal.failure.ok()) {
    removal.kept_at = names.old_sibling;
    return removal;
  }
  return remove_or_set_aside(names, names.done_sibling);
}

}  // namespace relauncher
