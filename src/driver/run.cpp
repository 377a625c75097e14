#include "driver/run.h"

#include <cstdint>
#include <system_error>

#include "driver/application_wait.h"
#include "driver/log_events.h"
#include "driver/options.h"
#include "driver/path_name.h"
#include "driver/path_text.h"
#include "driver/read_options.h"
#include "driver/relaunch.h"
#include "driver/replace_step.h"
#include "driver/verification.h"
#include "files/file_id.h"
#include "files/paths.h"
#include "files/system.h"
#include "files/verified_file.h"
#include "log/log.h"
#include "process/command_line.h"
#include "process/job_escape.h"
#include "process/process.h"
#include "progress/progress.h"
#include "version.h"

namespace relauncher {

namespace {

constexpr char fallback_name[] = "relauncher";
constexpr char usage_text[] =
    ": usage: --wait-pid <pid> [--relaunch <app>] -- <program> [args...]\n";
constexpr int usage_exit_code = 2;

int print_usage(const std::optional<std::string>& argv0, std::FILE* error_stream) {
  // Written as two plain strings: nothing is padded, and a failed write changes
  // nothing about the outcome.
  (void)std::fputs(display_name(argv0).c_str(), error_stream);
  (void)std::fputs(usage_text, error_stream);
  (void)std::fflush(error_stream);
  return usage_exit_code;
}

ProgramEnd program_end(const RunReport& ran) {
  if (program_ran(ran)) {
    return ProgramEnd::exited;
  }
  const bool gave_no_process = ran.elevated && !ran.elevated->error && !ran.elevated->has_process;
  return gave_no_process ? ProgramEnd::not_waited_for : ProgramEnd::not_started;
}

// How the program runs: the tool's kind, what the command line asks, and what of its
// tree belongs to the application rather than to the installer.
ProgramSettings program_settings(const ProgramSettings& base, const LaunchOptions& options,
                                 const LogFile& log) {
  ProgramSettings settings = base;
  settings.elevate = options.elevate;
  settings.verbatim = options.verbatim;
  settings.wait_tree = options.wait_tree;
  if (!options.wait_tree) {
    return settings;
  }
  if (options.relaunch_app) {
    settings.application_image = canonical_path(*options.relaunch_app).value_or(SystemText());
  }
  settings.application_folders = options.wait_folders;
  settings.on_program_ended = [&log](const std::vector<TreeMember>& installer) {
    log_event(log, "wait", [&] { return describe_tree_left(installer); });
  };
  return settings;
}

ProgressWindow start_progress_if_asked(const LaunchOptions& options, const TestSeams& seams) {
  if (!options.progress_text) {
    return {};
  }
  ProgressSettings settings;
  settings.text = *options.progress_text;
  settings.icon_source = options.relaunch_app.value_or(SystemText());
  settings.hold_shutdown = options.hold_shutdown;
  settings.stall_for_tests = seams.stall_progress_window;
  return start_progress(settings);
}

void finish_progress(ProgressWindow& progress, const LogFile& log) {
  const bool started = progress.state != nullptr;
  const ProgressReport report = stop_progress(progress);
  if (started) {
    log_event(log, "progress", [&] { return describe_progress(report); });
  }
}

// The program, and the window that shows it is at work; the window is closed as soon as
// the program (and with --wait-tree its tree) has ended for the last time. An exit code
// that asks for a retry (a busy Windows Installer's 1618) starts it again after a pause,
// within --retry-for; the last start's outcome is the outcome.
RunReport run_program(const LaunchOptions& options, const ProgramSettings& settings,
                      ProgressWindow& progress, const LogFile& log) {
  std::uint64_t first_retry_exit = 0;
  for (int attempt = 1;; ++attempt) {
    const std::uint64_t started = steady_milliseconds();
    const RunReport ran = run_and_wait(options.program, options.program_args, settings);
    const std::uint64_t ended = steady_milliseconds();
    first_retry_exit = attempt == 1 ? ended : first_retry_exit;
    // 0: no retry.
    const std::uint64_t since_first = ended - first_retry_exit;
    const std::uint32_t pause_s =
        program_ran(ran)
            ? retry_pause_s(options, ran.exit_code, since_first, attempt - 1).value_or(0)
            : 0;
    if (pause_s == 0) {
      finish_progress(progress, log);
    }
    log_event(log, "run",
              [&] { return describe_run(ran, options.program, settings.elevate, attempt); });
    if (ran.elevated) {
      log_event(log, "run", [&] { return describe_elevated_run(*ran.elevated); });
    }
    if (program_ran(ran)) {
      log_event(log, "exit", [&] {
        return describe_exit(ran.exit_code, ran.signal, ended - started, ran.tree);
      });
    }
    if (pause_s == 0) {
      return ran;
    }
    log_event(log, "retry", [&] {
      return "code=" + std::to_string(ran.exit_code) + " pause_s=" + std::to_string(pause_s);
    });
    pause_milliseconds(pause_s * 1000);
  }
}

// Nothing to run but the swap: the update is the swap, and it succeeded.
RunReport swap_alone() {
  RunReport report;
  report.exit_code = 0;
  return report;
}

// Nothing of the update goes ahead: the application comes back only as the options say.
int not_started(const LaunchOptions& options, Verification& verification, ProgressWindow& progress,
                const LogFile& log, const char* why) {
  finish_progress(progress, log);
  release_files(verification);
  log_event(log, "run", [&] { return std::string("not started: ") + why; });
  relaunch_if_due(options, ProgramEnd::not_started, -1, std::nullopt, log);
  return -1;
}

// After the program, what became of the swap.
enum class SwapAfter { none, stands, rolled_back, not_rolled_back };

// After the program: a failed one puts the old version back (unless an elevated start gave
// no process to wait for: it may still be installing, and the new version is kept).
SwapAfter settle_swap(const LaunchOptions& options, ReplaceRun& replace, const RunReport& ran,
                      const LogFile& log) {
  const ProgramEnd end = program_end(ran);
  if (!replace.swap.done) {
    return SwapAfter::none;
  }
  if (end == ProgramEnd::exited && counts_as_success(options, ran.exit_code)) {
    return SwapAfter::stands;
  }
  if (end == ProgramEnd::not_waited_for) {
    log_event(log, "replace", [] {
      return std::string(
          "kept: the program's end was not waited for (an elevated start gave no "
          "process): it may still be installing");
    });
    // The next run removes the backup.
    journal_phase(options, replace, JournalPhase::accepted, log);
    return SwapAfter::none;
  }
  const std::string why =
      end == ProgramEnd::exited
          ? "the program failed (exit code " + std::to_string(ran.exit_code) + ")"
          : std::string("the program could not be started");
  const std::optional<std::uint32_t> bound =
      options.wait_timeout_s == 0 ? std::nullopt
                                  : std::optional<std::uint32_t>(options.wait_timeout_s * 1000);
  return roll_back_update(options, replace, why, bound, log) ? SwapAfter::rolled_back
                                                             : SwapAfter::not_rolled_back;
}

// The relaunch, and with --trial the new version's first seconds: only a new version
// that stands is on trial, and one that cannot even start has failed it.
int relaunch_after(const LaunchOptions& options, ReplaceRun& replace, const RunReport& ran,
                   SwapAfter after, const LogFile& log) {
  const bool trial = after == SwapAfter::stands && options.trial_s != 0;
  if (trial) {
    journal_phase(options, replace, JournalPhase::trial, log);
  }
  const Relaunched relaunched =
      relaunch_if_due(options, program_end(ran), ran.exit_code,
                      ran.tree ? ran.tree->application_pid : std::nullopt, log, trial);
  if (trial && relaunched.start_error != 0) {
    return fail_trial_start(options, replace, relaunched.start_error, log);
  }
  if (trial && relaunched.handle != -1) {
    if (const std::optional<int> rolled_back =
            run_trial(options, replace, relaunched.handle, log)) {
      return *rolled_back;
    }
  } else if (after == SwapAfter::stands) {
    accept_update(options, replace, log);
  }
  return ran.exit_code;
}

int hand_over(const LaunchOptions& options, const ProgramSettings& base_settings,
              const TestSeams& seams, const LogFile& log) {
  // What the program will read is held from now on, before the wait, however long.
  Verification verification;
  start_verification(options, log, verification);
  ProgressWindow progress;
  // Held to the end of the run: another run on the same target waits for it.
  ReplaceRun replace;
  if (options.replace_target && !prepare_replace(options, replace, log)) {
    return not_started(options, verification, progress, log,
                       "the new version could not be put in place");
  }
  // While the application, or a process from its folders, still runs, installing over
  // it would fail or damage it, so nothing is started.
  const std::uint64_t began = steady_milliseconds();
  const WaitReport application = wait_for_application_process(options, log);
  if (application.outcome == WaitOutcome::timed_out) {
    release_files(verification);
    relaunch_if_due(options, ProgramEnd::application_running, -1, std::nullopt, log);
    return -1;  // the outcome is unknown, which is not success
  }
  // The application is gone: from here on the user may wonder what is happening.
  progress = start_progress_if_asked(options, seams);
  if (!wait_for_application_folders(options, application.image, began, log)) {
    finish_progress(progress, log);
    release_files(verification);
    relaunch_if_due(options, ProgramEnd::folders_not_free, -1, std::nullopt, log);
    return -1;
  }
  // Nothing is swapped or started before every hash is in.
  finish_verification(options, verification);
  if (!verification.all_match) {
    return not_started(options, verification, progress, log, "a --sha256 file is not as verified");
  }
  if (options.replace_target) {
    swap_in_new_version(options, verification.new_version, replace, log);
    if (!replace.swap.done) {
      return not_started(options, verification, progress, log,
                         "the new version could not be put in place");
    }
    if (!options.program.empty()) {
      journal_phase(options, replace, JournalPhase::program, log);
    }
  }
  ProgramSettings settings = program_settings(base_settings, options, log);
  settings.verified_program = verification.program;
  settings.verified_program_path = verification.program_path;
  const RunReport ran =
      options.program.empty() ? swap_alone() : run_program(options, settings, progress, log);
  if (options.program.empty()) {
    finish_progress(progress, log);
  }
  // Closed before the relaunch: the application may well delete the installer.
  release_files(verification);
  const SwapAfter after = settle_swap(options, replace, ran, log);
  if (after == SwapAfter::not_rolled_back) {
    relaunch_if_due(options, program_end(ran), ran.exit_code, std::nullopt, log);
    return -1;  // both versions stand, named in the log
  }
  return relaunch_after(options, replace, ran, after, log);
}

// The copy's exit code when a copy outside the caller's job did the hand-over.
std::optional<int> leave_job(bool copy, bool stay, const LogFile& log) {
  if (stay) {
    return std::nullopt;
  }
  if (copy) {
    // A copy never tries again: a job that kept it would keep its copy too.
    if (in_job_that_may_end_it()) {
      log_event(log, "job", [] { return describe_copy_still_in_job(); });
    }
    return std::nullopt;
  }
  // The line goes out as soon as the copy runs: the caller may end this process (and
  // with it any later line) at any moment from then on.
  const JobEscape escape = leave_job_if_needed([&log](std::uint32_t pid, bool session) {
    log_event(log, "job", [&] { return describe_job_left(pid, session); });
  });
  if (escape.outcome == JobEscape::Outcome::left_session) {
    log_event(log, "job", [] { return describe_session_left(); });
  }
  if (escape.in_service) {
    log_event(log, "job", [] { return describe_service_stayed(); });
  }
  if (escape.outcome == JobEscape::Outcome::refused) {
    log_event(log, "job",
              [&] { return describe_job_refused(escape.error, escape.limits_unknown); });
  }
  return escape.outcome == JobEscape::Outcome::left ? std::optional<int>(escape.exit_code)
                                                    : std::nullopt;
}

// The descriptors the command line names (/dev/fd/<n> or /proc/self/fd/<n>, anywhere in
// an argument, as `<(...)` gives them): the caller's, and kept for it.
std::vector<int> named_descriptors(const std::vector<std::string>& args) {
  std::vector<int> named;
  for (const std::string& arg : args) {
    for (const std::string prefix : {"/dev/fd/", "/proc/self/fd/"}) {
      for (std::size_t at = arg.find(prefix); at != std::string::npos;
           at = arg.find(prefix, at + 1)) {
        const std::size_t first = at + prefix.size();
        std::size_t end = first;
        int fd = 0;
        for (; end < arg.size() && arg[end] >= '0' && arg[end] <= '9' && fd < 100000; ++end) {
          fd = fd * 10 + (arg[end] - '0');
        }
        if (end > first) {
          named.push_back(fd);
        }
      }
    }
  }
  return named;
}

// The files this run may start: a log must never be appended to one of them.
std::vector<SystemText> files_run(const std::vector<std::string>& args) {
  std::vector<SystemText> files = {tool_executable()};
  try {
    const LaunchOptions options = parse_options(args);
    if (!options.program.empty()) {
      files.push_back(program_file(options.program));
    }
    if (options.relaunch_app) {
      files.push_back(*options.relaunch_app);
    }
  } catch (const std::system_error&) {
    // A relaunch path that is not valid text: the line is refused before anything runs.
  }
  return files;
}

}  // namespace

std::string display_name(const std::optional<std::string>& argv0) {
  if (!argv0) {
    return fallback_name;
  }
  try {
    const unsigned code_page = file_system_code_page();
    const SystemText file_name = file_name_of(to_system_text(*argv0, code_page));
    if (!is_plain_text(file_name)) {
      return fallback_name;  // the usage line must stay one plain line
    }
    std::string name = to_narrow_text(file_name, code_page);
    return name.empty() ? fallback_name : name;
  } catch (const std::system_error&) {
    return fallback_name;
  }
}

int run(const std::vector<std::string>& args, const std::optional<std::string>& argv0,
        std::FILE* error_stream, const ProgramSettings& settings, const TestSeams& seams) {
  settle_own_process(named_descriptors(args));
  // A copy started to leave its caller's job never tries to leave again.
  const bool copy = take_copy_mark();
  // An earlier update's outcome, inherited through an application that was itself
  // relaunched, must reach neither the program nor this relaunch.
  for (const char* name : outcome_variables) {
    set_own_environment(name, std::nullopt);
  }
  const LogFile log = open_log(log_path(args), files_run(args));
  log_event(log, "start", [] {
    return describe_start(relauncher_version, current_folder(), tool_command_line());
  });
  const std::optional<LaunchOptions> options = read_options(args, log);
  int exit_code = 0;
  // Everything the caller's console must show has been written (an unusable line's usage
  // stays there): from now on none of its events reaches the hand-over.
  if (options && leave_caller_console()) {
    log_event(log, "job", [] { return describe_console_left(); });
  }
  if (!options) {
    exit_code = print_usage(argv0, error_stream);
  } else if (const std::optional<int> copy_exit = leave_job(copy, seams.stay_in_job, log)) {
    exit_code = *copy_exit;
  } else {
    own_signals_after_leaving();
    exit_code = hand_over(*options, settings, seams, log);
  }
  log_event(log, "end", [&] { return describe_exit_code(exit_code); });
  return exit_code;
}

}  // namespace relauncher
