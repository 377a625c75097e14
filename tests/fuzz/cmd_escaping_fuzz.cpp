// The cmd.exe escaping, on any argument list (the input split at NUL bytes): a line that
// is not refused holds none of cmd.exe's command characters outside its quotes (once
// cmd.exe has stripped the pair around the whole command, the quote state toggles at each
// double quote, as it reads it), and no "%", carriage return or line feed anywhere.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "process/batch_file.h"
#include "fuzz_input.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::vector<std::string> arguments = fuzz::arguments_of(data, size);
  const relauncher::BatchCommandLine line =
      relauncher::build_batch_command_line(u"C:\\Users\\Me\\update.cmd", arguments);
  if (!line.refusal.empty()) {
    return 0;
  }
  // After /c, cmd.exe strips the quote that opens the command and the one that ends it,
  // and reads what is between.
  const std::size_t command = line.parameters.find(u"/c ");
  fuzz::require(command != std::u16string::npos);
  const std::u16string wrapped = line.parameters.substr(command + 3);
  fuzz::require(wrapped.size() >= 2 && wrapped.front() == u'"' && wrapped.back() == u'"');
  fuzz::require(line.parameters.substr(0, command).find_first_of(u"%\r\n&|<>^()\"") == std::u16string::npos);
  bool quoted = false;
  for (const char16_t unit : wrapped.substr(1, wrapped.size() - 2)) {
    fuzz::require(unit != u'%' && unit != u'\r' && unit != u'\n');
    if (unit == u'"') {
      quoted = !quoted;
    } else if (!quoted) {
      fuzz::require(std::u16string(u"&|<>^()").find(unit) == std::u16string::npos);
    }
  }
  return 0;
}
