#include "driver/relaunch.h"

#include <algorithm>
#include <system_error>

#include "driver/log_events.h"
#include "driver/path_text.h"
#include "process/command_line.h"
#include "process/process.h"

namespace relauncher {

const char* const outcome_variables[2] = {"RELAUNCHER_OUTCOME", "RELAUNCHER_EXIT_CODE"};

bool counts_as_success(const LaunchOptions& options, std::int32_t exit_code) {
  const auto code = static_cast<std::uint32_t>(exit_code);
  return code == 0 || std::find(options.success_codes.begin(), options.success_codes.end(), code) !=
                          options.success_codes.end();
}

namespace {

RelaunchDecision skip(const std::string& why) { return {std::nullopt, why}; }

const char* outcome_name(UpdateOutcome outcome) {
  switch (outcome) {
    case UpdateOutcome::succeeded:
      return "succeeded";
    case UpdateOutcome::failed:
      return "failed";
    case UpdateOutcome::rolled_back:
      return "rolled-back";
    case UpdateOutcome::not_started:
      break;
  }
  return "not-started";
}

}  // namespace

RelaunchCommand make_relaunch_command(const SystemText& relaunch_app,
                                      const std::vector<std::string>& arguments) {
  return {to_narrow_text(relaunch_app, file_system_code_page()), arguments};
}

RelaunchDecision decide_relaunch(const LaunchOptions& options, ProgramEnd end,
                                 std::int32_t exit_code, std::optional<std::uint32_t> running) {
  const bool on_failure = options.relaunch_on_failure;
  if (end == ProgramEnd::application_running ||
      (end == ProgramEnd::folders_not_free && !on_failure)) {
    return skip("the wait gave up");
  }
  if (!options.relaunch_app) {
    return skip("no --relaunch given");
  }
  if (running) {
    return skip("already running (pid " + std::to_string(*running) + ", started by the program)");
  }
  switch (end) {
    case ProgramEnd::folders_not_free:
      return {UpdateOutcome::not_started, ""};
    case ProgramEnd::not_waited_for:
      return skip(on_failure ? "the program's end was not waited for (an elevated start gave "
                               "no process): it may still be installing"
                             : "the program did not start");
    case ProgramEnd::not_started:
      return on_failure ? RelaunchDecision{UpdateOutcome::not_started, ""}
                        : skip("the program did not start");
    case ProgramEnd::exited:
    case ProgramEnd::application_running:
      break;
  }
  if (counts_as_success(options, exit_code)) {
    return {UpdateOutcome::succeeded, ""};
  }
  if (on_failure) {
    return {UpdateOutcome::failed, ""};
  }
  return skip("exit code " + std::to_string(exit_code) +
              (options.success_codes.empty() ? " is not 0" : " is not a success code"));
}

std::vector<std::pair<std::string, std::string>> outcome_environment(const LaunchOptions& options,
                                                                     UpdateOutcome outcome,
                                                                     std::int32_t exit_code) {
  if (!options.relaunch_on_failure && options.success_codes.empty() &&
      outcome != UpdateOutcome::rolled_back) {
    return {};
  }
  std::vector<std::pair<std::string, std::string>> variables = {
      {outcome_variables[0], outcome_name(outcome)}};
  if (outcome != UpdateOutcome::not_started) {
    variables.emplace_back(outcome_variables[1],
                           std::to_string(static_cast<std::uint32_t>(exit_code)));
  }
  return variables;
}

namespace {

// Starts the relaunch as decided; a relaunch path that cannot be turned back into narrow
// text is skipped rather than started as something else.
Relaunched start_relaunch(const LaunchOptions& options, UpdateOutcome outcome,
                          std::optional<std::int32_t> exit_code, const LogFile& log, bool watch) {
  RelaunchCommand command;
  try {
    command = make_relaunch_command(*options.relaunch_app, options.relaunch_args);
  } catch (const std::system_error& error) {
    log_event(log, "relaunch", [&] {
      return "skipped: the path cannot be written in the file system's code page, " +
             describe_error(static_cast<std::uint32_t>(error.code().value()));
    });
    return {};
  } catch (const std::exception&) {
    return {};
  }
  // Set in the tool's own environment only now: the program and its tree have ended,
  // and the relaunch is the last process the tool starts.
  // An earlier relaunch of this run (the new version's, before a roll-back) may have set
  // them: what is not set now is removed.
  for (const char* name : outcome_variables) {
    set_own_environment(name, std::nullopt);
  }
  for (const auto& variable : outcome_environment(options, outcome, exit_code.value_or(-1))) {
    if (exit_code || variable.first != outcome_variables[1]) {
      set_own_environment(variable.first, variable.second);
    }
  }
  if (watch) {
    const WatchedStart watched = launch_watched(command.program, command.arguments);
    log_event(log, "relaunch",
              [&] { return describe_start_report(watched.start, command.program); });
    return {watched.handle, static_cast<std::uint32_t>(watched.start.error.value())};
  }
  const StartReport report = launch_detached(command.program, command.arguments);
  log_event(log, "relaunch", [&] { return describe_start_report(report, command.program); });
  return {-1, static_cast<std::uint32_t>(report.error.value())};
}

}  // namespace

// The exit code stays the program's whatever happens to the relaunch.
Relaunched relaunch_if_due(const LaunchOptions& options, ProgramEnd end, std::int32_t exit_code,
                           std::optional<std::uint32_t> running, const LogFile& log, bool watch) {
  const RelaunchDecision decision = decide_relaunch(options, end, exit_code, running);
  if (!decision.outcome) {
    log_event(log, "relaunch", [&] { return "skipped: " + decision.skipped; });
    return {};
  }
  return start_relaunch(options, *decision.outcome, exit_code, log, watch);
}

void relaunch_rolled_back(const LaunchOptions& options, std::optional<std::int32_t> exit_code,
                          const LogFile& log) {
  (void)start_relaunch(options, UpdateOutcome::rolled_back, exit_code, log, false);
}

}  // namespace relauncher
