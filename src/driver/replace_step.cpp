#include "driver/replace_step.h"

#include <algorithm>

#include "driver/log_events.h"
#include "driver/path_text.h"
#include "driver/relaunch.h"
#include "driver/replace_internal.h"
#include "files/folder_path.h"
#include "files/paths.h"
#include "files/system.h"
#include "process/folder_wait.h"
#include "process/process.h"

namespace relauncher {

namespace {

// How long a failed trial's new version may take to let go of the target.
constexpr std::uint32_t trial_free_ms = 10000;

// The path made absolute with the folder that holds it resolved, its own name kept: a
// link given as the target stays visible as a link.
std::optional<SystemText> absolute_keeping_name(SystemText path) {
  const auto is_separator = [](SystemText::value_type c) { return c == '/' || c == '\\'; };
  while (path.size() > 1 && is_separator(path.back())) {
    path.pop_back();  // "App/" names App
  }
  const SystemText name = file_name_of(path);
  const std::optional<SystemText> folder = absolute_folder(parent_of(path));
  if (name.empty() || !folder || folder->empty() || !canonical_path(path)) {
    return std::nullopt;
  }
  // The name as given: canonical_path would follow a link, and on Windows change its case.
  const SystemText::value_type separator = folder->find('\\') != SystemText::npos ? '\\' : '/';
  return is_separator(folder->back()) ? *folder + name : *folder + separator + name;
}

// The target and --with as the caller wrote them, for the journal's reader.
SwapNames given_names(const LaunchOptions& options) {
  return swap_names(options.replace_target_given, options.replace_with_given);
}

bool same_or_inside(const SystemText& one, const SystemText& other) {
  return one == other || folder_holds(one, other) || folder_holds(other, one);
}

bool inside_either(const SystemText& path, const SystemText& target, const SystemText& with) {
  return path == target || folder_holds(target, path) || folder_holds(with, path);
}

// Why the line cannot be carried out, or nothing.
std::string unusable_reason(const LaunchOptions& options, const SystemText& target,
                            const SystemText& with, const std::optional<SystemText>& log_path) {
  const SwapNames names = swap_names(target, with);
  for (const SystemText& path : {target, with, longest_sibling(target)}) {
    if (!path_fits_system(path)) {
      return std::string("a path has ") + path_limits_explained + ": " + quoted(path);
    }
  }
  const PathKind target_kind = path_kind(target);
  const PathKind with_kind = path_kind(with);
  if (target_kind == PathKind::link) {
    return "a --replace that is a link";
  }
  // A link would be put in place itself, pointing wherever it points.
  if (with_kind == PathKind::link) {
    return "a --with that is a link";
  }
  const SystemText real_target = canonical_path(target).value_or(target);
  const SystemText real_with = canonical_path(with).value_or(with);
  if (same_or_inside(real_target, real_with)) {
    return "a --replace and a --with that are the same or inside one another";
  }
  if (target_kind != PathKind::missing && with_kind != PathKind::missing &&
      (target_kind == PathKind::folder) != (with_kind == PathKind::folder)) {
    return "a --replace and a --with of different kinds";
  }
  if (is_relauncher_sibling(target, with)) {
    return "a --with named like relauncher's own siblings of the target";
  }
  const bool renamed = in_same_folder(with, target);
  for (const SystemText& path : {real_target, renamed ? real_with : SystemText()}) {
    if (!path.empty() && folder_too_broad(path)) {
      return "--replace " + quoted(path) + " is not a folder of its own: " + too_broad_explained;
    }
  }
  const SystemText tool = canonical_path(tool_executable()).value_or(SystemText());
  if (!tool.empty() && inside_either(tool, real_target, real_with)) {
    return "relauncher runs from inside the --replace or --with folder";
  }
  const std::optional<SystemText> log = log_path ? canonical_path(*log_path) : std::nullopt;
  if (log && inside_either(*log, real_target, real_with)) {
    return "a --log inside --replace or --with";
  }
  for (const VerifiedFile& verified : options.verified_files) {
    if (folder_holds(real_with, verified.file)) {
      return "a --sha256 file inside a --with folder";
    }
  }
  return {};
}

}  // namespace

ReplaceRun::~ReplaceRun() {
  if (early_flush.joinable()) {
    early_flush.join();
  }
  if (early_copy.joinable()) {
    stop_copy = true;
    early_copy.join();
  }
  // A copy the swap never took (the wait gave up, the journal could not be written) goes:
  // a stopped one removed what it wrote itself.
  if (copied && copied->ok() && !copy_taken) {
    (void)remove_tree(copied_to);
  }
  release_target_lock(lock);
}

bool read_replace_options(LaunchOptions& options, const std::optional<SystemText>& log_path,
                          const LogFile& log) {
  if (!options.replace_target) {
    return true;
  }
  const std::optional<SystemText> target = absolute_keeping_name(*options.replace_target);
  const std::optional<SystemText> with = absolute_keeping_name(*options.replace_with);
  std::string reason;
  if (!target || !with) {
    const std::optional<SystemText> real = canonical_path(*options.replace_target);
    reason =
        !target && real && folder_too_broad(*real)
            ? "--replace " + quoted(*real) + " is not a folder of its own: " + too_broad_explained
            : std::string("a path has ") + path_limits_explained + ": " +
                  quoted(!target ? *options.replace_target : *options.replace_with);
  } else {
    reason = unusable_reason(options, *target, *with, log_path);
  }
  if (!reason.empty()) {
    log_event(log, "usage", [&] { return reason; });
    return false;
  }
  options.replace_target_given = *options.replace_target;
  options.replace_with_given = *options.replace_with;
  options.replace_target = *target;
  options.replace_with = *with;
  // What runs from the target is waited for as what runs from the application's folders.
  const SystemText real = canonical_path(*target).value_or(*target);
  const PathKind kind = path_kind(*target);
  if (kind == PathKind::folder &&
      std::find(options.wait_folders.begin(), options.wait_folders.end(), real) ==
          options.wait_folders.end()) {
    options.wait_folders.push_back(real);
    options.wait_folders_given.push_back(*target);
  } else if (kind == PathKind::file) {
    options.wait_files.push_back(real);
  }
  return true;
}

void log_retries(std::uint32_t tries, std::uint32_t waited_out, const LogFile& log) {
  if (tries > 1) {
    log_event(log, "replace", [&] {
      return "retry error=" + std::to_string(waited_out) + " (" + system_message(waited_out) +
             ") tries=" + std::to_string(tries);
    });
  }
}

SwapNames replace_names(const LaunchOptions& options) {
  return swap_names(*options.replace_target, *options.replace_with);
}

namespace {

// The phase written, unless the journal already says it.
FileStep write_phase(const LaunchOptions& options, ReplaceRun& run, JournalPhase phase) {
  if (run.journaled == phase) {
    return {};
  }
  const SwapNames names = replace_names(options);
  const FileStep written =
      write_journal(names, make_journal(names, given_names(options), run.swap, phase));
  if (written.ok()) {
    run.journaled = phase;
  }
  return written;
}

}  // namespace

void journal_phase(const LaunchOptions& options, ReplaceRun& run, JournalPhase phase,
                   const LogFile& log) {
  if (!run.journaled) {
    return;
  }
  const FileStep written = write_phase(options, run, phase);
  if (!written.ok()) {
    log_event(log, "replace", [&] {
      return std::string("journal not written: ") + phase_name(phase) + ", " +
             describe_error(written.error);
    });
  }
}

namespace {

// The journal goes once the update is settled either way: nothing is left to undo.
void settle_journal(const LaunchOptions& options, ReplaceRun& run) {
  if (run.journaled) {
    (void)remove_tree(replace_names(options).journal);  // a stale one is settled by the next run
    run.journaled.reset();
  }
}

// After a roll-back: where the new version went when not simply back at --with.
std::string new_version_fate(const SwapNames& names, const ReplaceRun& run, const RollBack& back) {
  if (!back.ok()) {
    return "; " + back.failed_step + " failed, " + describe_error(back.failure.error) + ": " +
           where_versions_stand(names, run.swap.ids);
  }
  return back.kept_at.empty()
             ? std::string()
             : "; --with was taken: the new version is kept at " + quoted(back.kept_at);
}

void log_swap_failure(const SwapNames& names, const Swap& swap, const LogFile& log) {
  log_event(log, "replace", [&] {
    const std::string entry = swap.failure.entry.empty() ? "" : ": " + quoted(swap.failure.entry);
    return "not done: " + swap.failed_step + " failed" + entry + ", " +
           describe_error(swap.failure.error) +
           (swap.undone ? "" : "; nothing was deleted: " + where_versions_stand(names, swap.ids));
  });
}

void log_swap_done(const SwapNames& names, const Swap& swap, std::uint64_t began,
                   const LogFile& log) {
  log_event(log, "replace", [&] {
    const char* how = swap.how == Swap::How::exchange ? "exchange"
                      : swap.how == Swap::How::copied ? "copied"
                                                      : "renamed";
    return "target=" + quoted(names.target) + " new=" + quoted(names.with) + " how=" + how +
           " after_ms=" + std::to_string(steady_milliseconds() - began);
  });
}

}  // namespace

void swap_in_new_version(const LaunchOptions& options, std::intptr_t held, ReplaceRun& run,
                         const LogFile& log) {
  const SwapNames names = replace_names(options);
  run.swap = Swap{};
  if (run.early_flush.joinable()) {
    run.early_flush.join();
  }
  // The copy made while relauncher waited, finished before the journal's first word.
  if (run.early_copy.joinable()) {
    run.early_copy.join();
  }
  if (!restore_unfinished(options, run, log)) {
    return;
  }
  if (held == -1 && path_kind(names.with) == PathKind::missing) {
    log_event(log, "replace",
              [&] { return "not done: --with " + quoted(names.with) + " does not exist"; });
    return;
  }
  // A current folder inside either version would follow it (Linux) or block its
  // rename (Windows): the program and the relaunch get the target's folder instead.
  const SystemText current = canonical_path(current_folder()).value_or(SystemText());
  const SystemText real_target = canonical_path(names.target).value_or(names.target);
  const SystemText real_with = canonical_path(names.with).value_or(names.with);
  if (!current.empty() && inside_either(current, real_target, real_with)) {
    (void)set_current_folder(parent_of(names.target));
  }
  const std::uint64_t began = steady_milliseconds();
  Swap& swap = run.swap;
  swap = plan_swap(names, held);
  // Nothing moves before the journal says what is about to.
  const FileStep journaled = write_phase(options, run, JournalPhase::bringing);
  if (!journaled.ok()) {
    log_event(log, "replace", [&] {
      return "not done: the journal " + quoted(names.journal) + " cannot be written, " +
             describe_error(journaled.error);
    });
    return;
  }
  run.copy_taken = true;  // from here on the swap keeps or removes it
  bring_beside(names, held, swap, {run.copied, run.flushed});
  if (swap.beside) {
    journal_phase(options, run, JournalPhase::beside, log);
    move_in(names, swap);
  }
  log_retries(swap.tries, swap.waited_out, log);
  if (swap.missing_ms != 0) {
    log_event(log, "replace", [&] {
      return "target missing for " + std::to_string(swap.missing_ms) +
             " ms: a lock held the version moved aside";
    });
  }
  if (!swap.done) {
    log_swap_failure(names, swap, log);
    if (swap.undone) {
      settle_journal(options, run);
    }
    return;
  }
  journal_phase(options, run, JournalPhase::swapped, log);
  log_swap_done(names, swap, began, log);
}

bool roll_back_update(const LaunchOptions& options, ReplaceRun& run, const std::string& why,
                      std::optional<std::uint32_t> wait_ms, const LogFile& log) {
  const SwapNames names = replace_names(options);
  if (!wait_until_target_free(options, wait_ms, log)) {
    log_event(log, "replace", [&] {
      return "not rolled back: " + why + "; the new version is kept, a process still runs from " +
             quoted(names.target);
    });
    return false;
  }
  const RollBack back = roll_back(names, run.swap);
  if (!back.old_stands) {
    log_event(log, "replace", [&] {
      return "not rolled back: " + why + "; " + back.failed_step + " failed, " +
             describe_error(back.failure.error) +
             "; nothing was deleted: " + where_versions_stand(names, run.swap.ids);
    });
    return false;
  }
  journal_phase(options, run, JournalPhase::rolled_back, log);
  run.swap.done = false;
  log_event(log, "replace",
            [&] { return "rolled back: " + why + new_version_fate(names, run, back); });
  if (back.ok()) {
    settle_journal(options, run);  // otherwise the next run puts the new version back
  }
  return true;
}

void accept_update(const LaunchOptions& options, ReplaceRun& run, const LogFile& log) {
  journal_phase(options, run, JournalPhase::accepted, log);
  const SwapNames names = replace_names(options);
  if (path_kind(names.old_sibling) != PathKind::missing) {
    const Removal removed = remove_backup(names);
    log_retries(removed.failure.tries, removed.failure.waited_out, log);
    log_event(log, "replace", [&] {
      return removed.failure.ok()
                 ? std::string("backup removed")
                 : "backup kept: " + describe_removal(removed) + " (the next run removes it)";
    });
  }
  settle_journal(options, run);
}

std::optional<int> run_trial(const LaunchOptions& options, ReplaceRun& run,
                             std::intptr_t relaunched, const LogFile& log) {
  const std::uint64_t began = steady_milliseconds();
  SessionEnd session;
  session.hold_shutdown = options.hold_shutdown;
  // Before anything else: the run may be ended at any moment now, and the next run must
  // find the update accepted, as the trial counts as passed.
  session.on_end = [&] { journal_phase(options, run, JournalPhase::accepted, log); };
  const WatchEnd end = watch_for(relaunched, options.trial_s * 1000, session);
  release_watched(relaunched);
  if (!end.ended || end.session_ending ||
      (!end.crashed && counts_as_success(options, end.exit_code))) {
    log_event(log, "trial", [&] {
      return "passed after_ms=" + std::to_string(steady_milliseconds() - began) +
             (end.session_ending ? " (the session ends)" : "");
    });
    accept_update(options, run, log);
    return std::nullopt;
  }
  // The code as the application reads it (RELAUNCHER_EXIT_CODE: its 32 bits, unsigned).
  const std::string code = std::to_string(static_cast<std::uint32_t>(end.exit_code));
  log_event(log, "trial", [&] {
    return "failed code=" + code + " hex=" + describe_hex(end.exit_code) +
           " after_ms=" + std::to_string(steady_milliseconds() - began);
  });
  const std::string why = "the new version failed its trial (exit code " + code + ")";
  if (roll_back_update(options, run, why, trial_free_ms, log)) {
    relaunch_rolled_back(options, end.exit_code, log);
  }
  return -1;
}

int fail_trial_start(const LaunchOptions& options, ReplaceRun& run, std::uint32_t error,
                     const LogFile& log) {
  log_event(log, "trial", [&] {
    return "failed: the new version could not be started, " + describe_error(error);
  });
  const std::string why = "the new version could not be started (" + describe_error(error) + ")";
  if (roll_back_update(options, run, why, trial_free_ms, log)) {
    relaunch_rolled_back(options, std::nullopt, log);
  }
  return -1;
}

}  // namespace relauncher
