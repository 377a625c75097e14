#include "files/swap.h"

#include "files/swap_internal.h"
#include "files/system.h"

namespace relauncher {

namespace {

// How often a passing lock is tried again.
constexpr std::uint32_t retry_every_ms = 250;

// Keeps the first failure of a sequence, and the most tries any step took.
struct Steps {
  FileStep failure;
  std::string failed_step;
  std::uint32_t tries = 1;
  std::uint32_t waited_out = 0;
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

// Moves a copied or renamed new version away again: back to --with, or deleted.
FileStep put_new_version_back(const SwapNames& names, const SystemText& from, bool with_moved) {
  return with_moved ? rename_path(from, names.with) : remove_tree(from);
}

bool bring_beside(const SwapNames& names, std::intptr_t held, Swap& swap, Steps& steps) {
  if (held != -1) {
    const bool moved = held_file_is_moved();
    swap.how = moved ? Swap::How::renamed : Swap::How::copied;
    const bool brought = steps.run("bring the verified file beside the target",
                                   copy_held_file(held, names.new_sibling, names.target));
    swap.with_moved = brought && moved;
    return brought;
  }
  if (in_same_folder(names.with, names.target)) {
    swap.with_moved = steps.run("move the new version beside the target",
                                rename_path(names.with, names.new_sibling));
    return swap.with_moved;
  }
  swap.how = Swap::How::copied;
  return steps.run("copy the new version beside the target",
                   copy_tree(names.with, names.new_sibling, names.target));
}

// The new version, beside the target, takes its place; the old one becomes the backup.
bool move_in(const SwapNames& names, bool folder, Swap& swap, Steps& steps) {
  if (!swap.had_target) {
    return steps.run("move the new version in", rename_path(names.new_sibling, names.target));
  }
  if (folder) {
    bool unsupported = false;
    const FileStep exchanged = exchange_paths(names.target, names.new_sibling, unsupported);
    if (!unsupported) {
      if (!steps.run("exchange the versions", exchanged)) {
        return false;
      }
      swap.how = swap.how == Swap::How::copied ? Swap::How::copied : Swap::How::exchange;
      // The new version stands; the old one is renamed to the backup's name.
      return steps.run("name the backup", rename_path(names.new_sibling, names.old_sibling));
    }
  } else if (steps.run("keep the old file as the backup",
                       link_file(names.target, names.old_sibling))) {
    // The target is never missing: the new file is renamed over it.
    return steps.run("move the new version in", replace_file(names.new_sibling, names.target));
  } else if (steps.failure.error != hard_links_unsupported()) {
    return false;
  } else {
    steps.failure = FileStep{};  // no hard links here: the two renames instead
    steps.failed_step.clear();
  }
  if (!steps.run("move the old version aside", rename_path(names.target, names.old_sibling))) {
    return false;
  }
  if (steps.run("move the new version in", rename_path(names.new_sibling, names.target))) {
    return true;
  }
  // The target must not stay missing: the old version goes back at once.
  (void)rename_path(names.old_sibling, names.target);
  return false;
}

}  // namespace

SwapNames swap_names(const SystemText& target, const SystemText& with) {
  const SystemText stem = target + to_system_text_ascii(".relauncher-");
  return {target, with, stem + to_system_text_ascii("new"), stem + to_system_text_ascii("old"),
          stem + to_system_text_ascii("done")};
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

Swap put_in_place(const SwapNames& names, std::intptr_t held) {
  Swap swap;
  Steps steps;
  const PathKind target = path_kind(names.target);
  swap.had_target = target != PathKind::missing;
  const bool folder = target == PathKind::folder ||
                      (target == PathKind::missing && path_kind(names.with) == PathKind::folder);
  if (bring_beside(names, held, swap, steps)) {
    swap.done = move_in(names, folder, swap, steps);
    if (!swap.done) {
      // Nothing stands half done: the new version leaves the target's folder again.
      swap.undone = put_new_version_back(names, names.new_sibling, swap.with_moved).ok();
    }
  }
  swap.failure = steps.failure;
  swap.failed_step = steps.failed_step;
  swap.tries = steps.tries;
  swap.waited_out = steps.waited_out;
  return swap;
}

RollBack roll_back(const SwapNames& names, const Swap& swap) {
  Steps steps;
  const bool folder = path_kind(names.target) == PathKind::folder;
  bool ok = true;
  if (!swap.had_target) {
    ok = steps.run("move the new version out", rename_path(names.target, names.new_sibling));
  } else if (!folder) {
    // The target is never missing: the new file keeps a name, the old one comes back over it.
    ok = steps.run("keep the new file", link_file(names.target, names.new_sibling)) &&
         steps.run("move the old version back", replace_file(names.old_sibling, names.target));
  } else {
    bool unsupported = false;
    const FileStep exchanged = exchange_paths(names.target, names.old_sibling, unsupported);
    if (unsupported) {
      ok = steps.run("move the new version out", rename_path(names.target, names.new_sibling)) &&
           steps.run("move the old version back", rename_path(names.old_sibling, names.target));
    } else {
      ok = steps.run("exchange the versions back", exchanged) &&
           steps.run("name the new version", rename_path(names.old_sibling, names.new_sibling));
    }
  }
  if (ok) {
    (void)steps.run("put the new version back",
                    put_new_version_back(names, names.new_sibling, swap.with_moved));
  }
  return {steps.failure, steps.failed_step};
}

Leftovers clear_leftovers(const SwapNames& names) {
  Leftovers left;
  Steps steps;
  const bool backup = path_kind(names.old_sibling) != PathKind::missing;
  if (backup && path_kind(names.target) == PathKind::missing) {
    left.restored = steps.run("restore the backup", rename_path(names.old_sibling, names.target));
  } else if (backup) {
    // The version at the target is the one that started this update.
    left.backup_removed = steps.run("remove an old backup", remove_tree(names.old_sibling));
  }
  for (const SystemText& sibling : {names.new_sibling, names.done_sibling}) {
    if (path_kind(sibling) != PathKind::missing) {
      const bool removed = steps.run("remove a leftover", remove_tree(sibling));
      left.siblings_removed = left.siblings_removed || removed;
    }
  }
  left.failure = steps.failure;
  return left;
}

FileStep remove_backup(const SwapNames& names) {
  const FileStep renamed = rename_path(names.old_sibling, names.done_sibling);
  return renamed.ok() ? remove_tree(names.done_sibling) : renamed;
}

}  // namespace relauncher
