#include "process/batch_file.h"

#include "process/command_line.h"

namespace relauncher {

namespace {

char16_t to_lower_ascii(char16_t unit) {
  return unit >= u'A' && unit <= u'Z' ? static_cast<char16_t>(unit - u'A' + u'a') : unit;
}

bool ends_with_ignoring_case(const std::u16string& text, const std::u16string& suffix) {
  if (text.size() < suffix.size()) {
    return false;
  }
  const std::size_t start = text.size() - suffix.size();
  for (std::size_t i = 0; i < suffix.size(); ++i) {
    if (to_lower_ascii(text[start + i]) != suffix[i]) {
      return false;
    }
  }
  return true;
}

// Characters that cmd.exe never splits at, expands or redirects on, outside quotes.
bool is_plain_for_cmd(char16_t unit) {
  if (unit >= 0x80) {
    return true;
  }
  if ((unit >= u'a' && unit <= u'z') || (unit >= u'A' && unit <= u'Z') ||
      (unit >= u'0' && unit <= u'9')) {
    return true;
  }
  return std::u16string(u"#$*+-./:?@\\_").find(unit) != std::u16string::npos;
}

bool stays_bare(const std::u16string& argument) {
  if (argument.empty() || argument.back() == u'\\') {
    return false;
  }
  for (const char16_t unit : argument) {
    if (!is_plain_for_cmd(unit)) {
      return false;
    }
  }
  return true;
}

std::string refusal_of(const std::u16string& argument, std::size_t number) {
  const std::string which = "argument " + std::to_string(number);
  if (argument.find(u'%') != std::u16string::npos) {
    return which + " holds %, which cmd.exe would expand";
  }
  if (argument.find_first_of(u"\r\n") != std::u16string::npos) {
    return which + " holds a line break, which would end the command";
  }
  return {};
}

}  // namespace

bool is_batch_file(const std::u16string& program) {
  const std::size_t end = program.find_last_not_of(u". ");
  if (end == std::u16string::npos) {
    return false;
  }
  const std::u16string name = program.substr(0, end + 1);
  return ends_with_ignoring_case(name, u".bat") || ends_with_ignoring_case(name, u".cmd");
}

std::u16string quote_for_cmd(const std::u16string& argument) {
  if (stays_bare(argument)) {
    return argument;
  }
  // Inside quotes cmd.exe keeps a quote written as "". %1 keeps its quotes, and scripts
  // hand it on to programs whose C runtime reads a backslash run before a quote as
  // escapes: so the runs are doubled as for the C runtime.
  return quote_with(argument, u"\"\"");
}

BatchCommandLine build_batch_command_line(const std::u16string& script,
                                          const std::vector<std::string>& arguments) {
  BatchCommandLine line;
  if (script.find(u'%') != std::u16string::npos) {
    line.refusal = "the script path holds %, which cmd.exe would expand";
    return line;
  }
  line.parameters = u"/e:ON /v:OFF /d /c \"\"" + script + u"\"";
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::u16string argument = utf8_to_wide(arguments[i]);
    line.refusal = refusal_of(argument, i + 1);
    if (!line.refusal.empty()) {
      line.parameters.clear();
      return line;
    }
    line.parameters += u' ';
    line.parameters += quote_for_cmd(argument);
  }
  line.parameters += u'"';
  if (std::char_traits<char16_t>::length(cmd_program_piece) + 1 + line.parameters.size() >
      cmd_line_limit) {
    line.parameters.clear();
    line.refusal = "the command line is longer than cmd.exe accepts (" +
                   std::to_string(cmd_line_limit) + " characters)";
  }
  return line;
}

}  // namespace relauncher
