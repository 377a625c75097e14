#include "driver/options.h"

#include <system_error>

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

namespace {

// Decimal digits only, up to `max`; stops before the value can overflow.
std::optional<std::uint64_t> parse_decimal(const std::string& text, std::uint64_t max) {
  if (text.empty()) {
    return std::nullopt;
  }
  std::uint64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') {
      return std::nullopt;
    }
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
    if (value > max) {
      return std::nullopt;
    }
  }
  return value;
}

}  // namespace

std::optional<std::uint32_t> parse_wait_timeout(const std::string& text) {
  const std::optional<std::uint64_t> seconds = parse_decimal(text, max_wait_timeout_s);
  if (!seconds || *seconds == 0) {
    return std::nullopt;
  }
  return static_cast<std::uint32_t>(*seconds);
}

std::optional<std::uint32_t> parse_exit_code(const std::string& text) {
  const std::optional<std::uint64_t> code = parse_decimal(text, 0xFFFFFFFFu);
  return code ? std::optional<std::uint32_t>(static_cast<std::uint32_t>(*code)) : std::nullopt;
}

namespace {

bool takes_value(const std::string& word) {
  return word == "--wait-pid" || word == "--relaunch" || word == "--log" ||
         word == "--wait-timeout" || word == "--relaunch-arg" || word == "--wait-folder" ||
         word == "--success-code" || word == "--progress" || word == "--retry-code" ||
         word == "--retry-for" || word == "--sha256" || word == "--replace" || word == "--with" ||
         word == "--trial";
}

// Walks the words before the first free "--": calls `visit(word, value)` for an
// option word followed by its value (which is consumed, whatever it is), and
// `visit(word, nullptr)` for every other word. Returns the position after the options.
template <typename Visit>
std::size_t scan_options(const std::vector<std::string>& args, Visit visit) {
  const std::size_t n = args.size();
  for (std::size_t i = 0; i < n; ++i) {
    const std::string& word = args[i];
    if (word == "--") {
      return i + 1;
    }
    if (takes_value(word) && i + 1 < n) {
      visit(word, &args[++i]);
    } else {
      visit(word, nullptr);
    }
  }
  return n;
}

}  // namespace

LaunchOptions parse_options(const std::vector<std::string>& args) {
  LaunchOptions options;
  const std::size_t i = scan_options(args, [&](const std::string& word, const std::string* value) {
    if (word == "--wait-pid" && value) {
      options.wait_pid = parse_pid(*value);
    } else if (word == "--relaunch" && value) {
      options.relaunch_app = to_system_text(*value, file_system_code_page());
    } else if (word == "--relaunch-arg" && value) {
      options.relaunch_args.push_back(*value);
    } else if (word == "--wait-timeout" && value) {
      // Strict, unlike the pid: a mistyped bound must not silently become no bound.
      // Any bad value makes the line unusable, even when a later one is good.
      const std::optional<std::uint32_t> seconds = parse_wait_timeout(*value);
      options.bad_wait_timeout = options.bad_wait_timeout || !seconds;
      options.wait_timeout_s = seconds.value_or(0);
    } else if (word == "--wait-folder" && value) {
      options.bad_value = options.bad_value || value->empty();
      options.wait_folders.push_back(to_system_text(*value, file_system_code_page()));
    } else if (word == "--success-code" && value) {
      const std::optional<std::uint32_t> code = parse_exit_code(*value);
      options.bad_value = options.bad_value || !code;
      if (code) {
        options.success_codes.push_back(*code);
      }
    } else if (word == "--retry-code" && value) {
      const std::optional<std::uint32_t> code = parse_exit_code(*value);
      options.bad_retry = options.bad_retry || !code || *code == 0;
      if (code && *code != 0) {
        options.retry_codes.push_back(*code);
      }
    } else if (word == "--retry-for" && value) {
      // The same rule as --wait-timeout's: whole seconds, 1 to a day.
      const std::optional<std::uint32_t> seconds = parse_wait_timeout(*value);
      options.bad_retry = options.bad_retry || !seconds;
      options.retry_for_s = seconds.value_or(0);
    } else if (word == "--sha256" && value) {
      const std::optional<VerifiedFile> verified = parse_verified_file(*value);
      options.bad_sha256 = options.bad_sha256 || !verified;
      if (verified) {
        options.verified_files.push_back(*verified);
      }
    } else if ((word == "--replace" || word == "--with") && value) {
      std::optional<SystemText>& path =
          word == "--replace" ? options.replace_target : options.replace_with;
      options.replace_twice = options.replace_twice || path.has_value();
      options.bad_value = options.bad_value || value->empty();
      path = to_system_text(*value, file_system_code_page());
    } else if (word == "--trial" && value) {
      const std::optional<std::uint64_t> seconds = parse_decimal(*value, max_trial_s);
      options.bad_trial = options.bad_trial || !seconds || *seconds == 0;
      options.trial_s = seconds ? static_cast<std::uint32_t>(*seconds) : 0;
    } else if (word == "--progress" && value) {
      options.progress_text = to_system_text(*value, argument_code_page());
    } else if (word == "--hold-shutdown") {
      options.hold_shutdown = true;
    } else if (word == "--end-folder-processes") {
      options.end_folder_processes = true;
    } else if (word == "--relaunch-on-failure") {
      options.relaunch_on_failure = true;
    } else if (word == "--elevate") {
      options.elevate = true;
    } else if (word == "--verbatim") {
      options.verbatim = true;
    } else if (word == "--wait-tree") {
      options.wait_tree = true;
    }
    // Anything else before "--" is skipped (the --log value is read on its own, by
    // log_file_option): the tool is started by programs, and an unknown word must not
    // change what a known one means.
  });
  if (i < args.size()) {
    options.program = args[i];
    options.program_args.assign(args.begin() + static_cast<std::ptrdiff_t>(i) + 1, args.end());
  }
  // With a new version to put in place, the program is optional: the swap may be the
  // whole update.
  options.bad_trial = options.bad_trial ||
                      (options.trial_s != 0 && (!options.replace_target || !options.relaunch_app));
  const bool has_work = !options.program.empty() || options.replace_target.has_value();
  options.valid = options.wait_pid > 0 && has_work && !options.bad_wait_timeout &&
                  !options.bad_value && !ends_without_bound(options) && !retry_unusable(options) &&
                  !progress_unusable(options) && !options.bad_sha256 &&
                  !replace_unpaired(options) && !options.bad_trial;
  return options;
}

std::optional<VerifiedFile> parse_verified_file(const std::string& text) {
  constexpr std::size_t digits = 64;
  if (text.size() <= digits + 1 || text[digits] != ':') {
    return std::nullopt;
  }
  VerifiedFile verified;
  for (std::size_t i = 0; i < digits; ++i) {
    const char lower = static_cast<char>(text[i] | 0x20);
    if (!((text[i] >= '0' && text[i] <= '9') || (lower >= 'a' && lower <= 'f'))) {
      return std::nullopt;
    }
    verified.sha256 += text[i] >= '0' && text[i] <= '9' ? text[i] : lower;
  }
  verified.file = to_system_text(text.substr(digits + 1), file_system_code_page());
  verified.given = verified.file;
  return verified;
}

bool replace_unpaired(const LaunchOptions& options) {
  return options.replace_target.has_value() != options.replace_with.has_value() ||
         options.replace_twice;
}

bool ends_without_bound(const LaunchOptions& options) {
  return options.end_folder_processes && options.wait_timeout_s == 0;
}

bool retry_unusable(const LaunchOptions& options) {
  bool both = false;
  for (const std::uint32_t code : options.retry_codes) {
    for (const std::uint32_t success : options.success_codes) {
      both = both || code == success;
    }
  }
  return options.bad_retry || options.retry_codes.empty() != (options.retry_for_s == 0) || both;
}

std::optional<std::uint32_t> retry_pause_s(const LaunchOptions& options, std::int32_t exit_code,
                                           std::uint64_t since_first_ms, int retries_done) {
  const auto code = static_cast<std::uint32_t>(exit_code);
  bool listed = false;
  for (const std::uint32_t retry : options.retry_codes) {
    listed = listed || retry == code;
  }
  const std::uint32_t pause_s = retries_done >= 4 ? 60 : 5u << retries_done;
  if (!listed || since_first_ms + std::uint64_t{pause_s} * 1000 >
                     std::uint64_t{options.retry_for_s} * 1000) {
    return std::nullopt;
  }
  return pause_s;
}

bool progress_unusable(const LaunchOptions& options) {
  return (options.progress_text && options.progress_text->empty()) ||
         (options.hold_shutdown && !options.progress_text);
}

std::optional<std::size_t> log_value_index(const std::vector<std::string>& args) {
  std::optional<std::size_t> index;
  scan_options(args, [&](const std::string& word, const std::string* value) {
    if (word == "--log" && value) {
      index = static_cast<std::size_t>(value - args.data());
    }
  });
  return index;
}

std::optional<SystemText> log_file_option(const std::vector<std::string>& args) {
  const std::optional<std::size_t> index = log_value_index(args);
  if (!index || args[*index].empty()) {
    return std::nullopt;
  }
  try {
    return to_system_text(args[*index], file_system_code_page());
  } catch (const std::system_error&) {
    return std::nullopt;  // a log that cannot be named is no log; the run goes on
  }
}

}  // namespace relauncher
