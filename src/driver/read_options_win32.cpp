#include <system_error>

#include "driver/path_name.h"
#include "driver/path_text.h"
#include "driver/read_options.h"
#include "process/process.h"

namespace relauncher {

namespace {

// The C runtime hands the arguments over in narrow text, and it writes what it cannot
// convert (a lone surrogate; on older Windows, anything the ANSI code page lacks) as
// another character: acting on that would start another file or pass another argument.
// The tool's own name is left out, since it only names the tool in the usage line.
bool read_exactly(const SystemText& command_line) {
  try {
    (void)to_narrow_text(after_program_name(command_line), argument_code_page());
    return true;
  } catch (const std::system_error&) {
    return false;
  }
}

}  // namespace

std::optional<SystemText> log_path(const std::vector<std::string>& args) {
  const SystemText line = tool_command_line();
  if (read_exactly(line)) {
    return log_file_option(args);
  }
  const std::optional<std::size_t> index = log_value_index(args);
  const std::vector<SystemText> given = split_arguments(after_program_name(line));
  if (!index || given.size() != args.size()) {
    return std::nullopt;
  }
  try {
    (void)to_narrow_text(given[*index], argument_code_page());
  } catch (const std::system_error&) {
    return std::nullopt;
  }
  return log_file_option(args);
}

bool arguments_read_exactly() {
  return read_exactly(tool_command_line());
}

}  // namespace relauncher
