#include "process/child_command.h"

#include <windows.h>

#include <algorithm>

#include "process/batch_file.h"
#include "process/command_line.h"
#include "process/process_win32_internal.h"

namespace relauncher {

namespace {

std::u16string system_folder() {
  return read_sized([](wchar_t* buffer, DWORD capacity) {
           return GetSystemDirectoryW(buffer, capacity);
         }).value_or(std::u16string());
}

// Finds a script the way CreateProcessW finds a program: the tool's folder, the
// current folder, the system folders, then PATH. A folder is not a script.
DWORD find_script(const std::u16string& name, std::u16string& full_path) {
  const std::optional<std::u16string> found = read_sized([&](wchar_t* buffer, DWORD capacity) {
    return SearchPathW(nullptr, as_wide(name), nullptr, capacity, buffer, nullptr);
  });
  if (!found) {
    const DWORD error = GetLastError();
    return error != 0 ? error : ERROR_FILE_NOT_FOUND;
  }
  const DWORD attributes = GetFileAttributesW(as_wide(*found));
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return ERROR_ACCESS_DENIED;  // what CreateProcessW reports for a folder
  }
  full_path = *found;
  return 0;
}

ChildCommand batch_command(const std::u16string& script_name,
                           const std::vector<std::string>& arguments) {
  ChildCommand command;
  std::u16string script;
  command.error = find_script(script_name, script);
  if (command.error != 0) {
    return command;
  }
  const BatchCommandLine line = build_batch_command_line(script, arguments);
  if (!line.refusal.empty()) {
    command.error = ERROR_INVALID_PARAMETER;
    command.refusal = line.refusal;
    return command;
  }
  // The system's own cmd.exe, never COMSPEC or a search: a cmd.exe planted in the
  // current folder or on PATH must not run instead.
  command.application = system_folder() + u"\\cmd.exe";
  command.file = command.application;
  command.command_line = std::u16string(cmd_program_piece) + u" " + line.parameters;
  command.arguments_at = std::char_traits<char16_t>::length(cmd_program_piece) + 1;
  return command;
}

// CreateProcessW takes at most 32,767 units, its terminator included. Wine starts a
// longer line cut short instead of refusing it, and the program would then run with
// arguments nobody gave: refused here, before anything starts, wherever it runs.
constexpr std::size_t longest_command_line = 32766;

ChildCommand compose(const std::string& program, const std::vector<std::string>& arguments,
                     bool verbatim) {
  const std::u16string name = utf8_to_wide(program);
  if (is_batch_file(name) && verbatim) {
    ChildCommand command;
    command.error = ERROR_INVALID_PARAMETER;
    command.refusal = "--verbatim cannot be used with a batch file: cmd.exe would act on the raw text";
    return command;
  }
  if (is_batch_file(name)) {
    return batch_command(name, arguments);
  }
  ChildCommand command;
  command.file = name;
  command.command_line = verbatim ? build_verbatim_command_line(program, arguments)
                                  : build_command_line(program, arguments);
  command.arguments_at = std::min(quote_argument(program).size() + 1, command.command_line.size());
  return command;
}

}  // namespace

ChildCommand child_command(const std::string& program, const std::vector<std::string>& arguments,
                           bool verbatim) {
  ChildCommand command = compose(program, arguments, verbatim);
  if (command.error == 0 && command.command_line.size() > longest_command_line) {
    command.error = ERROR_FILENAME_EXCED_RANGE;
    command.refusal = "the command line is longer than Windows accepts";
  }
  return command;
}

std::u16string program_file(const std::string& program) {
  const std::u16string name = utf8_to_wide(program);
  return read_sized([&](wchar_t* buffer, DWORD capacity) {
           return SearchPathW(nullptr, as_wide(name), L".exe", capacity, buffer, nullptr);
         })
      .value_or(name);
}

}  // namespace relauncher
