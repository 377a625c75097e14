#pragma once

// A batch file is run by cmd.exe, which reads its command line by its own rules, not
// the C runtime's: `&`, `|`, `<`, `>` and `^` outside quotes end or redirect the
// command, `%name%` expands anywhere, and a line break ends it. So a batch file is
// started through cmd.exe explicitly, with every argument written the way cmd.exe
// reads it back, and text that cannot be written safely is refused rather than
// handed over.

#include <cstddef>
#include <string>
#include <vector>

namespace relauncher {

// The longest command line cmd.exe accepts, in characters.
constexpr std::size_t cmd_line_limit = 8191;

// The first piece of a batch file's command line: the name cmd.exe is started as.
constexpr char16_t cmd_program_piece[] = u"cmd.exe";

// True when `program`, with trailing dots and spaces removed (Windows ignores them),
// ends in ".bat" or ".cmd" in any letter case.
bool is_batch_file(const std::u16string& program);

// One argument as cmd.exe passes it on to %1..%9 unchanged in meaning: bare when it
// holds only characters cmd.exe never treats specially, otherwise in double quotes,
// where `&|<>^()!` are literal, with `"` written as `""`. Does not check for the
// characters that must be refused (see build_batch_command_line).
std::u16string quote_for_cmd(const std::u16string& argument);

struct BatchCommandLine {
  std::u16string parameters;  // what follows "cmd.exe " on the command line
  std::string refusal;        // why the text cannot reach the script safely; empty if it can
};

// `/e:ON /v:OFF /d /c ""<script>" <arg1> <arg2> ..."`: command extensions on, delayed
// expansion off (so `!` stays literal), no AutoRun commands, and the whole command
// in one more pair of quotes, which cmd.exe strips. Refused when the script path or
// an argument holds `%` (no escape for it is reliable across cmd.exe versions), when
// an argument holds a line break, or when the line would exceed cmd_line_limit.
BatchCommandLine build_batch_command_line(const std::u16string& script,
                                          const std::vector<std::string>& arguments);

}  // namespace relauncher
