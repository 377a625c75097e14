#pragma once

#include <string>
#include <vector>

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

// The arguments in what follows the program name, split as the C runtime splits them:
// blanks separate outside quotes, 2n backslashes before a quote give n and the quote
// opens or closes, 2n+1 give n and a literal quote, other backslashes are literal, and
// a doubled quote inside quotes is a literal quote.
std::vector<std::u16string> split_arguments(const std::u16string& text);

}  // namespace relauncher
