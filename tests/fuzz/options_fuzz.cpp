// The option reader, on any argument list (the input split at NUL bytes): it either
// refuses the list or gives options that keep every rule the README states, and it
// never crashes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "driver/options.h"
#include "fuzz_input.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::vector<std::string> args = fuzz::arguments_of(data, size);
  const relauncher::LaunchOptions options = relauncher::parse_options(args);
  // Whatever was given: a bound is a day at most, never a bound of nothing.
  fuzz::require(options.wait_timeout_s <= 86400);
  if (!options.valid) {
    return 0;
  }
  fuzz::require(options.wait_pid > 0);
  // A swap may be the whole update; otherwise there is a program to run.
  fuzz::require(!options.program.empty() || options.replace_target.has_value());
  fuzz::require(!options.end_folder_processes || options.wait_timeout_s >= 1);
  for (const auto& folder : options.wait_folders) {
    fuzz::require(!folder.empty());
  }
  fuzz::require(!options.progress_text || !options.progress_text->empty());
  fuzz::require(!options.hold_shutdown || options.progress_text.has_value());
  // Retries come with their bound, never for 0 and never for a success.
  fuzz::require(options.retry_codes.empty() == (options.retry_for_s == 0));
  fuzz::require(options.retry_for_s <= 86400);
  for (const std::uint32_t code : options.retry_codes) {
    fuzz::require(code != 0);
    for (const std::uint32_t success : options.success_codes) {
      fuzz::require(code != success);
    }
  }
  // A verified file has a whole digest, in lower case, and a path.
  for (const relauncher::VerifiedFile& verified : options.verified_files) {
    fuzz::require(verified.sha256.size() == 64 && !verified.file.empty());
    fuzz::require(verified.sha256.find_first_not_of("0123456789abcdef") == std::string::npos);
  }
  if (options.program.empty() && options.program_args.empty()) {
    return 0;
  }
  // The program is a word of the list, and its arguments are the words after it.
  bool found = false;
  for (std::size_t i = 0; i + options.program_args.size() < args.size() && !found; ++i) {
    found = args[i] == options.program &&
            std::vector<std::string>(args.begin() + static_cast<std::ptrdiff_t>(i) + 1, args.end()) ==
                options.program_args;
  }
  fuzz::require(found);
  return 0;
}
