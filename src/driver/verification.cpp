#include "driver/verification.h"

#include "driver/log_events.h"
#include "files/file_id.h"
#include "process/process.h"

namespace relauncher {

namespace {

std::string describe_verify(const VerifiedFile& verified, const HeldFile& held, bool matches) {
  const std::string file = "file=\"" + log_text(verified.given) + "\"";
  if (held.not_regular) {
    return file + " could not be held: not a regular file";
  }
  if (held.error != 0) {
    return file + " could not be held: " + describe_error(held.error);
  }
  return file + " sha256=" + held.sha256 +
         (matches ? " matches" : " does not match (expected " + verified.sha256 + ")") +
         (held.copy_in_memory_error == 0
              ? ""
              : " (copied into memory: its folder takes no file of relauncher's, " +
                    describe_error(held.copy_in_memory_error) + ")");
}

bool opened(const HeldFile& held) { return !held.not_regular && held.error == 0; }

// The file a name leads to, for the program and the new version: they are among the held
// files when they name the same file at the start, by whatever name.
std::optional<FileId> identity(const std::optional<SystemText>& path) {
  return path ? file_id(*path) : std::nullopt;
}

std::optional<SystemText> program_path_of(const LaunchOptions& options) {
  return options.program.empty() ? std::nullopt
                                 : std::optional<SystemText>(program_file(options.program));
}

}  // namespace

Verification::~Verification() {
  if (hashing.joinable()) {
    hashing.join();
  }
}

void start_verification(const LaunchOptions& options, const LogFile& log,
                        Verification& verification) {
  if (options.verified_files.empty()) {
    return;
  }
  verification.program_id = identity(program_path_of(options));
  verification.new_version_id = identity(options.replace_with);
  const std::optional<FileId>& new_version = verification.new_version_id;
  for (const VerifiedFile& verified : options.verified_files) {
    const bool is_new_version = new_version && file_id(verified.file) == new_version;
    verification.held.push_back(open_held_file(verified.file, is_new_version));
    verification.matches.push_back(false);
    if (!opened(verification.held.back())) {
      log_event(log, "verify",
                [&] { return describe_verify(verified, verification.held.back(), false); });
    }
  }
  verification.hashing = std::thread([&options, &log, &verification] {
    for (std::size_t i = 0; i < verification.held.size(); ++i) {
      HeldFile& held = verification.held[i];
      if (!opened(held)) {
        continue;
      }
      hash_held_file(held, &verification.stop);
      if (verification.stop) {
        return;  // the hand-over has given up: nothing to tell
      }
      const bool matches = opened(held) && held.sha256 == options.verified_files[i].sha256;
      verification.matches[i] = matches;
      log_event(log, "verify",
                [&] { return describe_verify(options.verified_files[i], held, matches); });
    }
  });
}

void finish_verification(const LaunchOptions& options, Verification& verification) {
  if (verification.hashing.joinable()) {
    verification.hashing.join();
  }
  const std::optional<FileId>& program = verification.program_id;
  const std::optional<FileId>& new_version = verification.new_version_id;
  for (std::size_t i = 0; i < verification.held.size(); ++i) {
    const HeldFile& held = verification.held[i];
    const bool matches = verification.matches[i];
    verification.all_match = verification.all_match && matches;
    if (matches && program && held.id == program && verification.program == -1) {
      verification.program = held.handle;
      verification.program_path = options.verified_files[i].file;
    }
    if (matches && new_version && held.id == new_version) {
      verification.new_version = held.handle;
    }
  }
}

void release_files(Verification& verification) {
  verification.stop = true;
  if (verification.hashing.joinable()) {
    verification.hashing.join();
  }
  for (HeldFile& held : verification.held) {
    release_file(held);
  }
}

}  // namespace relauncher
