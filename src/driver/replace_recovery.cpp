// What comes before a run's own swap: its turn on the target, and what earlier runs left
// beside it put right, by their journal where they left one, by the siblings' names
// otherwise.

#include "driver/log_events.h"
#include "driver/replace_internal.h"
#include "files/paths.h"
#include "files/system.h"
#include "process/folder_wait.h"

namespace relauncher {

namespace {

// How often a run waiting for the target's lock tries again.
constexpr std::uint32_t lock_retry_ms = 250;

FolderWaitSettings target_wait(const LaunchOptions& options, std::optional<std::uint32_t> wait_ms) {
  FolderWaitSettings settings;
  const SystemText target =
      canonical_path(*options.replace_target).value_or(*options.replace_target);
  if (path_kind(*options.replace_target) == PathKind::folder) {
    settings.folders = {target};
    settings.endable_folders = {target};
  } else {
    settings.files = {target};
  }
  settings.timeout_ms = wait_ms;
  settings.end_left_behind = options.end_folder_processes && wait_ms.has_value();
  return settings;
}

// The lock, waited for within --wait-timeout (without it, as long as it takes).
bool take_lock(const LaunchOptions& options, ReplaceRun& run, const LogFile& log) {
  const SwapNames names = replace_names(options);
  const std::uint64_t until = steady_milliseconds() + options.wait_timeout_s * 1000ull;
  std::optional<std::uint32_t> told;  // the holder the last wait line named
  for (;;) {
    const LockAttempt attempt = try_target_lock(names.lock);
    if (attempt.lock.handle != -1) {
      run.lock = attempt.lock;
      return true;
    }
    if (!attempt.busy) {
      log_event(log, "replace", [&] {
        return "not done: the lock " + quoted(names.lock) + " cannot be taken, " +
               describe_error(attempt.error);
      });
      return false;
    }
    if (told != attempt.holder) {
      told = attempt.holder;
      log_event(log, "wait", [&] {
        return "another run swaps " + quoted(names.target) +
               ": pid=" + std::to_string(attempt.holder);
      });
    }
    if (options.wait_timeout_s != 0 && steady_milliseconds() >= until) {
      log_event(log, "replace", [&] {
        return "not done: another run (pid=" + std::to_string(attempt.holder) + ") still swaps " +
               quoted(names.target);
      });
      return false;
    }
    pause_milliseconds(lock_retry_ms);
  }
}

// The journal an earlier run left: read only under the lock, so its writer has ended.
void read_journal(const LaunchOptions& options, ReplaceRun& run, const LogFile& log) {
  const SwapNames names = replace_names(options);
  if (path_kind(names.journal) == PathKind::missing) {
    return;
  }
  const std::optional<std::string> text = read_small_file(names.journal);
  const std::optional<Journal> journal = text ? parse_journal(*text) : std::nullopt;
  if (journal) {
    run.unfinished = journal;
    return;
  }
  // Never a reason to block an update: set aside, and the siblings' names decide.
  const SystemText aside = unique_sibling(names.target, "journal");
  const bool set_aside = rename_path(names.journal, aside).ok();
  log_event(log, "replace", [&] {
    return "journal unreadable: " + quoted(names.journal) +
           (set_aside ? " set aside as " + quoted(aside) : " left where it is");
  });
}

// An accepted update only lacks its backup's removal; any other was never accepted, and
// the old version comes back.
bool restore_journaled(const LaunchOptions& options, const Journal& journal, const LogFile& log) {
  const SwapNames names = swap_names(*options.replace_target, journal.with);
  if (journal.phase == JournalPhase::accepted) {
    if (path_kind(names.old_sibling) != PathKind::missing) {
      const Removal removed = remove_backup(names);
      log_retries(removed.failure.tries, removed.failure.waited_out, log);
      log_event(log, "replace", [&] {
        return removed.failure.ok()
                   ? "backup removed: the update of " + journal.date + " was accepted"
                   : "backup kept: " + describe_removal(removed);
      });
    }
    return true;
  }
  // This is the new version's second chance to go back to --with: kept aside otherwise,
  // so that nothing blocks the updates to come.
  const RollBack back = roll_back(names, journal.swap, true);
  if (!back.ok()) {  // the journal stays, and tells the next run
    log_event(log, "replace", [&] {
      return "not done: the update of " + journal.date + " was not accepted, and " +
             back.failed_step + " failed, " + describe_error(back.failure.error) +
             "; nothing was deleted: " + where_versions_stand(names, journal.swap.ids);
    });
    return false;
  }
  log_event(log, "replace", [&] {
    return "restored: the update of " + journal.date + " was not accepted" +
           (back.kept_at.empty() ? "" : "; its new version is kept at " + quoted(back.kept_at));
  });
  return true;
}

// Whether --with is one of the --sha256 files, by whatever name (as the verification tells).
bool is_verified(const LaunchOptions& options, const SystemText& with) {
  const std::optional<FileId> id = file_id(with);
  for (const VerifiedFile& verified : options.verified_files) {
    if (id && file_id(verified.file) == id) {
      return true;
    }
  }
  return false;
}

bool clear_left(const LaunchOptions& options, const LogFile& log) {
  const SwapNames names = replace_names(options);
  const Leftovers left = clear_leftovers(names);
  if (left.restored) {
    log_event(log, "replace", [&] {
      return "restored: " + quoted(names.target) + " from the backup an earlier run left";
    });
  }
  if (left.backup_removed) {
    log_event(log, "replace", [] { return std::string("backup removed: left by an earlier run"); });
  }
  if (left.siblings_removed) {
    log_event(log, "replace",
              [] { return std::string("leftovers removed: left by an earlier run"); });
  }
  for (const auto& kept : left.kept) {
    log_event(log, "replace", [&] {
      return "leftover kept: " + quoted(kept.first) + ": " + describe_error(kept.second.error) +
             (kept.second.entry.empty() ? "" : " at " + quoted(kept.second.entry));
    });
  }
  if (!left.blocked.empty()) {
    log_event(log, "replace", [&] {
      return "not done: " + quoted(left.blocked) + " can be neither removed nor set aside, " +
             describe_error(left.failure.error);
    });
    return false;
  }
  return true;
}

}  // namespace

std::string quoted(const SystemText& path) { return "\"" + log_text(path) + "\""; }

std::string describe_removal(const Removal& removal) {
  return describe_error(removal.failure.error) +
         (removal.failure.entry.empty() ? "" : " at " + quoted(removal.failure.entry)) +
         (removal.kept_at.empty() ? "" : ", kept as " + quoted(removal.kept_at));
}

bool prepare_replace(const LaunchOptions& options, ReplaceRun& run, const LogFile& log) {
  const SwapNames names = replace_names(options);
  if (path_kind(parent_of(names.target)) != PathKind::folder) {
    log_event(log, "replace", [&] {
      return "not done: the target's folder " + quoted(parent_of(names.target)) + " does not exist";
    });
    return false;
  }
  if (!take_lock(options, run, log)) {
    return false;
  }
  read_journal(options, run, log);
  // With a journal, what stands beside the target is put right once the target is free.
  if (!run.unfinished && !clear_left(options, log)) {
    return false;
  }
  const SystemText probe = unique_sibling(names.target, "check");
  const FileStep writable = check_parent_writable(probe);
  if (!writable.ok()) {
    log_event(log, "replace", [&] {
      return "not done: the target's folder takes no new entry (" + quoted(probe) + "), " +
             describe_error(writable.error);
    });
    return false;
  }
  if (path_kind(names.with) == PathKind::missing) {
    return true;
  }
  if (in_same_folder(names.with, names.target)) {
    run.early_flush =
        std::thread([&run, with = names.with] { run.flushed = flush_version(with).ok(); });
  } else if (!run.unfinished && !is_verified(options, names.with)) {
    // An earlier run's journal may name what stands beside the target, and a verified
    // file is copied from what holds it once its hash is in: neither is copied early.
    run.copied_to = names.new_sibling;
    run.early_copy = std::thread([&run, names] {
      run.copied = copy_tree(names.with, names.new_sibling, names.target, &run.stop_copy);
    });
  }
  return true;
}

bool restore_unfinished(const LaunchOptions& options, ReplaceRun& run, const LogFile& log) {
  if (!run.unfinished) {
    return true;
  }
  const Journal journal = *run.unfinished;
  run.unfinished.reset();
  if (!restore_journaled(options, journal, log) || !clear_left(options, log)) {
    return false;
  }
  (void)remove_tree(replace_names(options).journal);
  // What stands now may not be what the line was checked against.
  const SwapNames names = replace_names(options);
  const PathKind target = path_kind(names.target);
  const PathKind with = path_kind(names.with);
  if (target != PathKind::missing && with != PathKind::missing && target != with) {
    log_event(log, "replace",
              [] { return std::string("not done: a --replace and a --with of different kinds"); });
    return false;
  }
  return true;
}

bool wait_until_target_free(const LaunchOptions& options, std::optional<std::uint32_t> wait_ms,
                            const LogFile& log) {
  const FolderWaitReport waited = wait_for_folders(target_wait(options, wait_ms));
  std::size_t ended = 0;
  for (const FolderProcess& process : waited.left) {
    ended += process.fate == FolderProcess::Fate::ended ? 1 : 0;
  }
  if (waited.processes != 0) {
    log_event(log, "replace", [&] {
      return "waited: for " + std::to_string(waited.processes) + " process(es) running from " +
             quoted(*options.replace_target) + ", ended " + std::to_string(ended) + ", left " +
             std::to_string(waited.left.size() - ended);
    });
  }
  return waited.outcome != FolderWaitOutcome::gave_up;
}

}  // namespace relauncher
