#include "process/command_line.h"

namespace relauncher {

std::u16string quote_with(const std::u16string& text, const std::u16string& quote_as) {
  std::u16string quoted;
  quoted.reserve(text.size() + 2);
  quoted += u'"';
  std::size_t backslashes = 0;
  for (const char16_t unit : text) {
    if (unit == u'"') {
      // The run before it is doubled, so that it stays literal whatever quote_as is.
      quoted.append(backslashes, u'\\');
      quoted += quote_as;
    } else {
      quoted += unit;
    }
    backslashes = unit == u'\\' ? backslashes + 1 : 0;
  }
  // A run at the end stands before the closing quote: doubled, it stays literal
  // instead of escaping that quote.
  quoted.append(backslashes, u'\\');
  quoted += u'"';
  return quoted;
}

std::u16string quote_wide(const std::u16string& text) {
  // Before a quote, 2n+1 backslashes give n backslashes and a literal quote.
  return quote_with(text, u"\\\"");
}

std::u16string quote_argument(const std::string& argument) {
  return quote_wide(utf8_to_wide(argument));
}

namespace {

// The quoted program, then each argument as `piece` writes it, after single spaces.
template <typename Piece>
std::u16string join_command_line(const std::string& program,
                                 const std::vector<std::string>& arguments, Piece piece) {
  std::u16string line = quote_argument(program);
  for (const std::string& argument : arguments) {
    line += u' ';
    line += piece(argument);
  }
  return line;
}

}  // namespace

std::u16string build_command_line(const std::string& program,
                                  const std::vector<std::string>& arguments) {
  return join_command_line(program, arguments, quote_argument);
}

std::u16string build_verbatim_command_line(const std::string& program,
                                           const std::vector<std::string>& arguments) {
  return join_command_line(program, arguments, utf8_to_wide);
}

std::vector<char16_t> make_command_line_buffer(const std::u16string& command_line) {
  std::vector<char16_t> buffer(command_line.begin(), command_line.end());
  buffer.push_back(u'\0');
  return buffer;
}

}  // namespace relauncher
