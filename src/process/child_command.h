#pragma once

// How a program is handed to Windows: its own quoted command line, or, for a batch
// file, the system's cmd.exe by its full path with a line cmd.exe reads back safely.
// Shared by the plain start and the elevated one, so that both run the same thing.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace relauncher {

struct ChildCommand {
  std::u16string application;    // lpApplicationName; empty: Windows takes it from the line
  std::u16string command_line;   // lpCommandLine
  std::u16string file;           // the program itself (cmd.exe for a batch file)
  std::size_t arguments_at = 0;  // where the arguments begin in command_line
  std::uint32_t error = 0;       // a Windows error code when nothing may be started
  std::string refusal;           // why a batch file's text was refused
};

// `verbatim`: the arguments go onto the line as given (see build_verbatim_command_line);
// a batch file is then refused.
ChildCommand child_command(const std::string& program, const std::vector<std::string>& arguments,
                           bool verbatim = false);

}  // namespace relauncher
