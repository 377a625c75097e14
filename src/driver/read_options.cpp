#include "driver/read_options.h"

#include <cstdint>
#include <system_error>

#include "driver/application_wait.h"
#include "driver/log_events.h"
#include "driver/path_name.h"
#include "driver/path_text.h"

namespace relauncher {

namespace {

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

}  // namespace

std::optional<std::u16string> log_path(const std::vector<std::string>& args) {
  const std::u16string line = tool_command_line();
  if (arguments_read_exactly(line)) {
    return log_file_option(args);
  }
  const std::optional<std::size_t> index = log_value_index(args);
  const std::vector<std::u16string> given = split_arguments(after_program_name(line));
  if (!index || given.size() != args.size()) {
    return std::nullopt;
  }
  try {
    (void)path_to_narrow(given[*index], argument_code_page());
  } catch (const std::system_error&) {
    return std::nullopt;
  }
  return log_file_option(args);
}

std::optional<LaunchOptions> read_options(const std::vector<std::string>& args,
                                          const LogFile& log) {
  if (!arguments_read_exactly(tool_command_line())) {
    log_event(log, "usage", [] {
      return std::string(
          "the command line holds text that its arguments cannot carry exactly "
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
  if (!paths_fit_windows(options, log)) {
    return std::nullopt;
  }
  const std::optional<std::vector<std::u16string>> folders =
      resolve_wait_folders(options.wait_folders, log);
  if (!folders) {
    return std::nullopt;
  }
  options.wait_folders_given = options.wait_folders;
  options.wait_folders = *folders;
  return options;
}

}  // namespace relauncher
