#pragma once

// Strict conversion of path text between the narrow form the C runtime hands us
// and the UTF-16 form Windows works in. "Strict" means no character is ever
// substituted: a path that cannot be represented exactly is an error, because a
// near-miss path would start the wrong program.

#include <string>

#include "files/system_text.h"

namespace relauncher {

constexpr unsigned utf8_code_page = 65001;
constexpr unsigned gb18030_code_page = 54936;

// The code page in which the file functions read narrow paths: UTF-8 when the C
// runtime's locale is UTF-8, otherwise the ANSI or the OEM code page, whichever the
// file functions are set to. Returned as a real code page number, never as the
// CP_ACP/CP_OEMCP placeholders, so that callers can tell when it is UTF-8.
unsigned file_system_code_page();

// The code page in which the C runtime hands a program its arguments: the ANSI code
// page, which the manifest makes UTF-8 where Windows supports that.
unsigned argument_code_page();

// Narrow to UTF-16 in `code_page`. Throws std::system_error (system category, the
// Windows error code) when the text is not valid in that code page.
std::u16string path_to_wide(const std::string& text, unsigned code_page);

// UTF-16 to narrow in `code_page`. Throws std::system_error when the text is not
// well-formed UTF-16 or holds a character the code page cannot represent exactly.
std::string path_to_narrow(const std::u16string& text, unsigned code_page);

// Narrow text in the system's own form, and back: path_to_wide and path_to_narrow on
// Windows; on Linux, where arguments and paths are the same bytes, the text unchanged
// (every code page is the bytes' own there).
SystemText to_system_text(const std::string& text, unsigned code_page);
std::string to_narrow_text(const SystemText& text, unsigned code_page);

// The last component of a path, by the system's rules for paths ("" when it ends in a
// separator or names a root).
SystemText file_name_of(const SystemText& path);

// False when the text holds a character that breaks a line, or moves or hides text (see
// is_line_breaking_or_hiding), or bytes that are not text at all.
bool is_plain_text(const SystemText& text);

}  // namespace relauncher
