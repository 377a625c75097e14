// The C runtime quoting, on any argument list (the input split at NUL bytes): the
// composed command line, split again by the C runtime's documented rules (written here,
// not the project's own splitter), gives back every argument.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "process/command_line.h"
#include "fuzz_input.h"

namespace {

// The arguments after the program's, as the C runtime reads them: blanks (space, tab)
// separate them outside quotes; 2n backslashes before a quote give n and the quote
// opens or closes quoting, 2n+1 give n and a literal quote; other backslashes are
// literal.
std::vector<std::u16string> split_after_program(const std::u16string& line, std::size_t from) {
  std::vector<std::u16string> arguments;
  std::size_t i = from;
  for (;;) {
    while (i < line.size() && (line[i] == u' ' || line[i] == u'\t')) {
      ++i;
    }
    if (i >= line.size()) {
      return arguments;
    }
    std::u16string argument;
    bool quoted = false;
    while (i < line.size() && (quoted || (line[i] != u' ' && line[i] != u'\t'))) {
      std::size_t slashes = 0;
      while (i < line.size() && line[i] == u'\\') {
        ++slashes, ++i;
      }
      if (i < line.size() && line[i] == u'"') {
        argument.append(slashes / 2, u'\\');
        if (slashes % 2 == 1) {
          argument += u'"';
        } else {
          quoted = !quoted;
        }
        ++i;
      } else {
        argument.append(slashes, u'\\');
        if (i < line.size() && (quoted || (line[i] != u' ' && line[i] != u'\t'))) {
          argument += line[i++];
        }
      }
    }
    arguments.push_back(argument);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::vector<std::string> arguments = fuzz::arguments_of(data, size);
  const std::u16string line = relauncher::build_command_line("C:\\Tmp\\setup.exe", arguments);
  const std::u16string program = u"\"C:\\Tmp\\setup.exe\"";
  fuzz::require(line.compare(0, program.size(), program) == 0);
  const std::vector<std::u16string> split = split_after_program(line, program.size());
  fuzz::require(split.size() == arguments.size());
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    fuzz::require(split[i] == relauncher::utf8_to_wide(arguments[i]));
  }
  return 0;
}
