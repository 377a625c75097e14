#include "driver/run.h"

#include <cstdint>
#include <system_error>

#include "driver/application_wait.h"
#include "driver/log.h"
#include "driver/log_events.h"
#include "driver/options.h"
#include "driver/path_name.h"
#include "driver/path_text.h"
#include "process/process.h"
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

// A relaunch path that cannot be turned back into narrow text is skipped rather than
// started as something else; the exit code stays the program's either way.
void relaunch_if_due(const LaunchOptions& options, const RunReport& ran, const LogFile& log) {
  const std::int32_t exit_code = ran.exit_code;
  if (!options.relaunch_app) {
    log_event(log, "relaunch", [] { return std::string("skipped: no --relaunch given"); });
    return;
  }
  if (!program_ran(ran)) {
    log_event(log, "relaunch", [] { return std::string("skipped: the program did not start"); });
    return;
  }
  if (exit_code != 0) {
    log_event(log, "relaunch",
              [&] { return "skipped: exit code " + std::to_string(exit_code) + " is not 0"; });
    return;
  }
  RelaunchCommand command;
  try {
    command = make_relaunch_command(*options.relaunch_app, options.relaunch_args);
  } catch (const std::system_error& error) {
    log_event(log, "relaunch", [&] {
      return "skipped: the path cannot be written in the file system's code page, " +
             describe_error(static_cast<std::uint32_t>(error.code().value()));
    });
    return;
  } catch (const std::exception&) {
    return;
  }
  const StartReport report = launch_detached(command.program, command.arguments);
  log_event(log, "relaunch", [&] { return describe_start_report(report, command.program); });
}

// The C runtime hands the arguments over in narrow text, and it writes what it cannot
// convert (a lone surrogate; on older Windows, anything the ANSI code page lacks) as
// another character: acting on that would start another file or pass another argument.
// The tool's own name is left out, since it only names the tool in the usage line.
bool arguments_read_exactly(const std::u16string& command_line) {
  try {
    (void)path_to_narrow(after_program_name(command_line), argument_code_page());
    return true;
  } catch (const std::system_error&) {
    return false;
  }
}

// The options, or nothing when the command line is unusable; the log says why.
std::optional<LaunchOptions> read_options(const std::vector<std::string>& args,
                                          const LogFile& log) {
  if (!arguments_read_exactly(tool_command_line())) {
    log_event(log, "usage", [] {
      return std::string("the command line holds text that its arguments cannot carry exactly "
                         "(a lone surrogate, or a character the code page lacks)");
    });
    return std::nullopt;
  }
  LaunchOptions options;
  try {
    options = parse_options(args);
  } catch (const std::system_error& error) {
    // A relaunch path that is not valid text cannot be started as given.
    log_event(log, "usage", [&] {
      return "a --relaunch or --wait-folder path is not valid text in the file system's code "
             "page, " +
             describe_error(static_cast<std::uint32_t>(error.code().value()));
    });
    return std::nullopt;
  }
  if (!options.valid) {
    log_event(log, "usage", [&] { return describe_usage(options); });
    return std::nullopt;
  }
  const std::optional<std::vector<std::u16string>> folders =
      resolve_wait_folders(options.wait_folders, log);
  if (!folders) {
    return std::nullopt;
  }
  options.wait_folders = *folders;
  return options;
}

int run_logged(const std::vector<std::string>& args, const std::optional<std::string>& argv0,
               std::FILE* error_stream, const ProgramSettings& base_settings, const LogFile& log) {
  const std::optional<LaunchOptions> options = read_options(args, log);
  if (!options) {
    return print_usage(argv0, error_stream);
  }
  // While the application, or a process from its folders, still runs, installing over
  // it would fail or damage it, so nothing is started.
  if (wait_for_application(*options, log) != ApplicationWait::ended) {
    log_event(log, "relaunch", [] { return std::string("skipped: the wait gave up"); });
    return -1;  // the outcome is unknown, which is not success
  }
  ProgramSettings settings = base_settings;
  settings.elevate = options->elevate;
  settings.verbatim = options->verbatim;
  settings.wait_tree = options->wait_tree;
  const std::uint64_t started = steady_milliseconds();
  const RunReport ran = run_and_wait(options->program, options->program_args, settings);
  const std::uint64_t ran_ms = steady_milliseconds() - started;
  log_event(log, "run", [&] { return describe_run(ran, options->program, settings.elevate); });
  if (ran.elevated) {
    log_event(log, "run", [&] { return describe_elevated_run(*ran.elevated); });
  }
  if (program_ran(ran)) {
    log_event(log, "exit", [&] { return describe_exit(ran.exit_code, ran_ms, ran.tree); });
  }
  relaunch_if_due(*options, ran, log);
  return ran.exit_code;
}

}  // namespace

std::string display_name(const std::optional<std::string>& argv0) {
  if (!argv0) {
    return fallback_name;
  }
  try {
    const unsigned code_page = file_system_code_page();
    const std::u16string wide = file_name_component(path_to_wide(*argv0, code_page));
    for (const char16_t unit : wide) {
      if (is_line_breaking_or_hiding(unit)) {
        return fallback_name;  // the usage line must stay one plain line
      }
    }
    std::string name = path_to_narrow(wide, code_page);
    return name.empty() ? fallback_name : name;
  } catch (const std::system_error&) {
    return fallback_name;
  }
}

RelaunchCommand make_relaunch_command(const std::u16string& relaunch_app,
                                      const std::vector<std::string>& arguments) {
  return {path_to_narrow(relaunch_app, file_system_code_page()), arguments};
}

int run(const std::vector<std::string>& args, const std::optional<std::string>& argv0,
        std::FILE* error_stream, const ProgramSettings& settings) {
  const LogFile log = open_log(log_file_option(args));
  log_event(log, "start", [] {
    return describe_start(relauncher_version, current_folder(), tool_command_line());
  });
  const int exit_code = run_logged(args, argv0, error_stream, settings, log);
  log_event(log, "end", [&] { return describe_exit_code(exit_code); });
  return exit_code;
}

}  // namespace relauncher
