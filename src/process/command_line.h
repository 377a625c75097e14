#pragma once

// Turns a program and its arguments into the single UTF-16 command line that
// Windows starts a process from, quoted so that the child's C runtime (and
// CommandLineToArgvW) splits it back into exactly the same arguments.

#include <string>
#include <vector>

#include "files/system_text.h"

namespace relauncher {

// Wraps text in double quotes, writing each `"` in it as `quote_as`, and doubling each
// run of backslashes that stands before a quote (one of its own, or the closing one),
// so that a C runtime reads the run back literally.
std::u16string quote_with(const std::u16string& text, const std::u16string& quote_as);

// Wraps already converted text in double quotes, escaping its double quotes and
// doubling the backslashes that would otherwise escape a quote.
std::u16string quote_wide(const std::u16string& text);

// utf8_to_wide, then quote_wide.
std::u16string quote_argument(const std::string& argument);

// The quoted program, then each quoted argument, separated by single spaces.
std::u16string build_command_line(const std::string& program,
                                  const std::vector<std::string>& arguments);

// The quoted program, then each argument exactly as given, unquoted and unescaped,
// separated by single spaces: for programs that read their own command line (NSIS
// installers want `/S` bare and `/D=` last and unquoted; msiexec wants PROP="a b").
std::u16string build_verbatim_command_line(const std::string& program,
                                           const std::vector<std::string>& arguments);

// A writable copy of `command_line` followed by one zero unit: CreateProcessW may
// modify the text it is given, so it must not receive a string's own storage.
std::vector<char16_t> make_command_line_buffer(const std::u16string& command_line);

}  // namespace relauncher
