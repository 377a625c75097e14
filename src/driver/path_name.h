#pragma once

#include <string>

namespace relauncher {

// Length of the root name at the start of a path: "C:", "\\server", or the "\\?",
// "\\." and "\??" device prefixes. 0 when the path has none. Backslash and slash
// both count as separators.
std::size_t root_name_length(const std::u16string& path);

// The last component after the root name, extension included. Empty when the path
// ends with a separator or is only a root name.
std::u16string file_name_component(const std::u16string& path);

// What follows the program name in a process's command line, the way the C runtime
// finds that name: up to the closing quote when it begins with one, otherwise up to
// the first space or tab. Its separating blanks are not part of the result.
std::u16string after_program_name(const std::u16string& command_line);

}  // namespace relauncher
