#include "driver/options.h"

#include "driver/path_text.h"

namespace relauncher {

std::int64_t parse_pid(const std::string& text) {
  std::size_t i = 0;
  const bool negative = !text.empty() && text[0] == '-';
  if (negative) {
    ++i;
  }
  // The magnitude of the most negative value is one more than that of the most
  // positive, so the limit depends on the sign.
  const std::uint64_t limit = negative ? std::uint64_t{1} << 63 : (std::uint64_t{1} << 63) - 1;
  std::uint64_t magnitude = 0;
  bool any_digit = false;
  bool overflow = false;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    any_digit = true;
    const auto digit = static_cast<std::uint64_t>(text[i] - '0');
    // The whole run is read even after an overflow: the run, not a prefix of it, is
    // the number.
    if (overflow || magnitude > (limit - digit) / 10) {
      overflow = true;
      continue;
    }
    magnitude = magnitude * 10 + digit;
  }
  if (!any_digit || overflow || magnitude == 0) {
    return 0;
  }
  if (!negative) {
    return static_cast<std::int64_t>(magnitude);
  }
  // -(magnitude - 1) - 1 stays in range even for the most negative value.
  return -static_cast<std::int64_t>(magnitude - 1) - 1;
}

LaunchOptions parse_options(const std::vector<std::string>& args) {
  LaunchOptions options;
  const std::size_t n = args.size();
  std::size_t i = 0;
  for (; i < n; ++i) {
    const std::string& word = args[i];
    if (word == "--") {
      ++i;
      break;
    }
    const bool has_value = i + 1 < n;
    if (word == "--wait-pid" && has_value) {
      options.wait_pid = parse_pid(args[++i]);
    } else if (word == "--relaunch" && has_value) {
      options.relaunch_app = path_to_wide(args[++i], file_system_code_page());
    }
    // Anything else before "--" is skipped: the tool is started by programs, and an
    // unknown word must not change what a known one means.
  }
  if (i < n) {
    options.program = args[i];
    options.program_args.assign(args.begin() + static_cast<std::ptrdiff_t>(i) + 1, args.end());
  }
  options.valid = options.wait_pid > 0 && !options.program.empty();
  return options;
}

}  // namespace relauncher
