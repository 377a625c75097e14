#include "driver/log_events.h"

#include <cstdio>

#include "files/system.h"
#include "log/log.h"
#include "process/command_line.h"

namespace relauncher {

namespace {

constexpr std::uint32_t error_cancelled = 1223;  // the user declined the consent prompt

}  // namespace

std::string describe_hex(std::int32_t value) {
  char text[16];
  (void)std::snprintf(text, sizeof(text), "0x%08lX",
                      static_cast<unsigned long>(static_cast<std::uint32_t>(value)));
  return text;
}

namespace {

std::string command_line_of(const StartReport& report) {
  std::string text;
  if (!report.application.empty()) {
    text += "application=\"" + log_text(report.application) + "\" ";
  }
  return text + "command_line=" + log_text(report.command_line);
}

}  // namespace

std::string describe_error(std::uint32_t error) {
  return "error " + std::to_string(error) + " (" + system_message(error) + ")";
}

std::string describe_start(const std::string& version, const SystemText& folder,
                           const SystemText& command_line) {
  return "version=" + version + " folder=\"" + log_text(folder) +
         "\" command_line=" + log_text(command_line);
}

std::string describe_usage(const LaunchOptions& options) {
  std::string reasons;
  const auto add = [&](const char* reason) {
    reasons += std::string(reasons.empty() ? "" : "; ") + reason;
  };
  if (options.wait_pid <= 0) {
    add("no positive --wait-pid");
  }
  if (options.program.empty() && !options.replace_target) {
    add("no program after --");
  }
  if (options.replace_target.has_value() != options.replace_with.has_value()) {
    add("a --replace without --with, or a --with without --replace");
  }
  if (options.replace_twice) {
    add("--replace or --with given twice");
  }
  if (options.bad_trial) {
    add("a --trial without --replace and --relaunch, or not whole seconds from 1 to 600");
  }
  if (options.bad_wait_timeout) {
    add("--wait-timeout is not whole seconds from 1 to 86400");
  }
  if (options.bad_value) {
    add("an empty --wait-folder, or a --success-code that is not 0 to 4294967295");
  }
  if (progress_unusable(options)) {
    add("--progress with no text, or --hold-shutdown without --progress");
  }
  if (ends_without_bound(options)) {
    add("--end-folder-processes needs --wait-timeout");
  }
  if (options.bad_sha256) {
    add("a --sha256 that is not <64 hexadecimal digits>:<file>");
  }
  if (retry_unusable(options)) {
    add("--retry-code (1 to 4294967295) and --retry-for (1 to 86400 seconds) go together, and "
        "no code may be both a --retry-code and a --success-code");
  }
  return reasons;
}

std::string describe_wait(std::int64_t pid, const WaitReport& report, std::uint64_t waited_ms,
                          std::uint32_t timeout_s) {
  const std::string subject = "pid=" + std::to_string(pid) + " ";
  switch (report.outcome) {
    case WaitOutcome::ended:
      return subject + "ended after_ms=" + std::to_string(waited_ms) +
             (report.polled ? " polled (no pidfd, " + describe_error(report.error) + ")" : "");
    case WaitOutcome::timed_out:
      return subject + "still running after " + std::to_string(timeout_s) + " s: gave up";
    case WaitOutcome::started_after:
      return subject + "not waited for: started after relauncher (its id was reused)";
    case WaitOutcome::not_opened:
      return subject + "not waited for: ended already or cannot be opened, " +
             describe_error(report.error);
    case WaitOutcome::own_process:
      return subject + "not waited for: the tool's own id";
    case WaitOutcome::beyond_32_bits:
      return subject + "not waited for: beyond 32 bits";
    case WaitOutcome::beyond_maximum:
      return subject + "not waited for: above the system's highest process id";
    case WaitOutcome::not_positive:
      break;
  }
  return subject + "not waited for: not a positive id";
}

std::string describe_folder_wait(const FolderWaitReport& report, std::size_t folders,
                                 std::uint64_t waited_ms) {
  std::string text = "folders=" + std::to_string(folders) +
                     " processes=" + std::to_string(report.processes) +
                     " unreadable=" + std::to_string(report.unreadable) +
                     " after_ms=" + std::to_string(waited_ms) + " ";
  switch (report.outcome) {
    case FolderWaitOutcome::free:
      return text + "free";
    case FolderWaitOutcome::ended:
      return text + "ended " + std::to_string(report.left.size());
    case FolderWaitOutcome::gave_up:
      break;
  }
  if (report.no_pidfd_error != 0) {
    text += "gave up, nothing ended: no pidfd could be had, " +
            describe_error(report.no_pidfd_error) +
            ", and a signal by id could reach "
            "another process";
    return text;
  }
  return text + "gave up";
}

std::string describe_folder_process(const FolderProcess& process) {
  const std::string what =
      " pid=" + std::to_string(process.pid) + " image=\"" + log_text(process.image) + "\"";
  switch (process.fate) {
    case FolderProcess::Fate::running:
      return "still running" + what;
    case FolderProcess::Fate::ended:
      return "ended" + what;
    case FolderProcess::Fate::other_session:
      return "not ended" + what + ": another session's";
    case FolderProcess::Fate::other_user:
      return "not ended" + what + ": another user's";
    case FolderProcess::Fate::not_ended:
      return "not ended" + what + ": " + describe_error(process.error);
    case FolderProcess::Fate::still_running:
      break;
  }
  return "not ended" + what + ": still running 5 s after it was ended";
}

std::string describe_tree_left(const std::vector<TreeMember>& installer) {
  std::string text =
      "tree: the program has ended, still waiting for " + std::to_string(installer.size()) + ":";
  for (std::size_t i = 0; i < installer.size() && i < most_processes_named; ++i) {
    text += " pid=" + std::to_string(installer[i].pid) + " image=\"" +
            log_text(installer[i].image) + "\"";
  }
  if (installer.size() > most_processes_named) {
    text += " and " + std::to_string(installer.size() - most_processes_named) + " more";
  }
  return text;
}

std::string describe_progress(const ProgressReport& report) {
  switch (report.outcome) {
    case ProgressOutcome::shown:
      return "shown after_ms=" + std::to_string(report.after_ms) +
             (report.answered_close ? "" : "; its window did not close within 500 ms");
    case ProgressOutcome::not_shown:
      // Without a display or desktop the system makes no window and says no more (error
      // 0): "error 0 (Success.)" would read as nonsense.
      return report.error == 0 ? "not shown: no window could be made (no display or desktop)"
                               : "not shown: " + describe_error(report.error);
    case ProgressOutcome::no_window_here:
      return "not shown: no window on this system";
    case ProgressOutcome::not_needed:
      break;
  }
  return "not needed: the work ended within a second";
}

std::string describe_job_left(std::uint32_t copy_pid, bool session) {
  if (session) {
    return "left: the caller's session, through a copy (pid=" + std::to_string(copy_pid) + ")";
  }
  return "left: the caller's job may end its processes; the copy pid=" + std::to_string(copy_pid) +
         " does the hand-over";
}

std::string describe_session_left() { return "left: the caller's session"; }

std::string describe_console_left() { return "left: the caller's console"; }

std::string describe_job_refused(std::uint32_t error, bool limits_unknown) {
  // Refused with limits that say nothing: the job may as well be one that spares its
  // processes, and the line must not claim what is not known.
  if (limits_unknown && error == 5) {  // ERROR_ACCESS_DENIED: leaving is not allowed
    return "stayed: the caller's job does not allow leaving and its limits read as none (a job "
           "that spares its processes, or limits that cannot be read)";
  }
  return "stayed: leaving the caller's job failed, " + describe_error(error) +
         "; relauncher may be ended with its caller";
}

std::string describe_service_stayed() {
  return "stayed: the caller's service may end relauncher when it stops; start it through "
         "systemd-run --user --scope";
}

std::string describe_copy_still_in_job() {
  return "stayed: the copy is still in a job that may end its processes (a job around the "
         "caller's does not allow leaving); relauncher may be ended with its caller";
}

std::string describe_start_report(const StartReport& report, const std::string& program,
                                  const std::string& note) {
  if (!report.refusal.empty()) {
    return "refused: " + report.refusal + "; program=" + program;
  }
  if (report.error) {
    const std::string error =
        describe_error(static_cast<std::uint32_t>(report.error.value())) + note;
    return error + " " +
           (report.command_line.empty() ? "program=" + program : command_line_of(report));
  }
  return "pid=" + std::to_string(report.pid) + " " + command_line_of(report);
}

namespace {

// A retried start's `run` line tells which start it was, before the command line (which
// stays last, since it may hold anything).
std::string with_attempt(std::string text, int attempt) {
  if (attempt <= 1) {
    return text;
  }
  const std::string tried = " try=" + std::to_string(attempt);
  for (const char* last : {" application=", " command_line=", " program="}) {
    const std::size_t at = text.find(last);
    if (at != std::string::npos) {
      return text.insert(at, tried);
    }
  }
  return text + tried;
}

}  // namespace

std::string describe_run(const RunReport& report, const std::string& program, bool elevate,
                         int attempt) {
  if (report.start.error.value() != elevation_required_error) {
    return with_attempt(describe_start_report(report.start, program), attempt);
  }
  return with_attempt(
      describe_start_report(report.start, program,
                            elevate ? ", needs elevation: asking for it through the consent prompt;"
                                    : ", needs elevation: --elevate would ask for it;"),
      attempt);
}

std::string describe_elevated_run(const ElevatedRun& run) {
  const std::string what =
      "file=\"" + log_text(run.file) + "\" parameters=" + log_text(run.parameters);
  if (run.error.value() == error_cancelled) {
    return "elevated: declined at the consent prompt, " + describe_error(error_cancelled) + " " +
           what;
  }
  if (run.error) {
    return "elevated: " + describe_error(static_cast<std::uint32_t>(run.error.value())) + " " +
           what;
  }
  if (!run.has_process) {
    return "elevated: started, but with no process to wait for " + what;
  }
  return "elevated: pid=" + std::to_string(run.pid) + " " + what;
}

std::string describe_exit(std::int32_t exit_code, int signal, std::uint64_t ran_ms,
                          const std::optional<TreeWait>& tree) {
  std::string text = describe_exit_code(exit_code);
  if (signal != 0) {
    text += " signal=" + std::to_string(signal) + " (" + signal_name(signal) + ")";
  }
  text += " after_ms=" + std::to_string(ran_ms);
  if (!tree) {
    return text;
  }
  if (tree->whole_tree) {
    return text + " waited_for=tree";
  }
  return text + " waited_for=program_alone (" +
         (tree->error == 0 ? std::string("an elevated start is never put in a job")
                           : "it could not be put in a job, " + describe_error(tree->error)) +
         ")";
}

std::string describe_exit_code(std::int32_t exit_code) {
  const std::int32_t seen = exit_code_as_seen(exit_code);
  return "code=" + std::to_string(seen) + " hex=" + describe_hex(seen);
}

}  // namespace relauncher
