#include "driver/read_options.h"

#include <cstdint>
#include <system_error>

#include "driver/application_wait.h"
#include "driver/log_events.h"
#include "driver/replace_step.h"
#include "driver/tool_kind.h"
#include "files/paths.h"

namespace relauncher {

std::optional<LaunchOptions> read_options(const std::vector<std::string>& args,
                                          const LogFile& log) {
  if (!arguments_read_exactly()) {
    log_event(log, "usage", [] {
      return std::string(
          "the command line holds text that its arguments cannot carry exactly "
          "(a lone surrogate, or a character the code page lacks)");
    });
    return std::nullopt;
  }
  LaunchOptions options;
  try {
    options = parse_options(args);
  } catch (const std::system_error& error) {
    // A relaunch path that is not valid text cannot be started as given.
    log_event(log, "usage", [&] {
      return "a --relaunch or --wait-folder path is not valid text in the file system's code "
             "page, " +
             describe_error(static_cast<std::uint32_t>(error.code().value()));
    });
    return std::nullopt;
  }
  if (!options.valid) {
    log_event(log, "usage", [&] { return describe_usage(options); });
    return std::nullopt;
  }
  const std::string unusable = unusable_on_this_system(options);
  if (!unusable.empty()) {
    log_event(log, "usage", [&] { return unusable; });
    return std::nullopt;
  }
  if (!paths_fit_system(options, log)) {
    return std::nullopt;
  }
  const std::optional<std::vector<SystemText>> folders =
      resolve_wait_folders(options.wait_folders, log);
  if (!folders) {
    return std::nullopt;
  }
  options.wait_folders_given = options.wait_folders;
  options.wait_folders = *folders;
  // Resolved against the current folder now: what is verified is what the line named.
  for (VerifiedFile& verified : options.verified_files) {
    const std::optional<SystemText> full = canonical_path(verified.file);
    if (!full) {
      log_event(log, "usage", [&] {
        return "--sha256 names no file a path can reach: \"" + log_text(verified.given) + "\"";
      });
      return std::nullopt;
    }
    verified.file = *full;
  }
  if (!read_replace_options(options, log_file_option(args), log)) {
    return std::nullopt;
  }
  return options;
}

}  // namespace relauncher
