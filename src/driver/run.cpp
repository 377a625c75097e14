#include "driver/run.h"

#include <system_error>

#include "driver/options.h"
#include "driver/path_name.h"
#include "driver/path_text.h"
#include "process/process.h"

namespace relauncher {

namespace {

constexpr char fallback_name[] = "relauncher";
constexpr char usage_text[] = ": usage: --wait-pid <pid> [--relaunch <app>] -- <program> [args...]\n";
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
void relaunch(const std::u16string& relaunch_app) {
  try {
    const RelaunchCommand command = make_relaunch_command(relaunch_app);
    (void)launch_detached(command.program, command.arguments);
  } catch (const std::exception&) {
  }
}

}  // namespace

std::string display_name(const std::optional<std::string>& argv0) {
  if (!argv0) {
    return fallback_name;
  }
  try {
    const unsigned code_page = file_system_code_page();
    std::string name = path_to_narrow(file_name_component(path_to_wide(*argv0, code_page)), code_page);
    return name.empty() ? fallback_name : name;
  } catch (const std::system_error&) {
    return fallback_name;
  }
}

RelaunchCommand make_relaunch_command(const std::u16string& relaunch_app) {
  return {path_to_narrow(relaunch_app, file_system_code_page()), {}};
}

int run(const std::vector<std::string>& args, const std::optional<std::string>& argv0,
        std::FILE* error_stream) {
  LaunchOptions options;
  try {
    options = parse_options(args);
  } catch (const std::system_error&) {
    // A relaunch path that is not valid text cannot be started as given.
    return print_usage(argv0, error_stream);
  }
  if (!options.valid) {
    return print_usage(argv0, error_stream);
  }
  wait_for_process(options.wait_pid);
  const int exit_code = run_and_wait(options.program, options.program_args);
  if (exit_code == 0 && options.relaunch_app) {
    relaunch(*options.relaunch_app);
  }
  return exit_code;
}

}  // namespace relauncher
