#pragma once

// The --sha256 files: each held from the start until the program has ended, and hashed
// while relauncher waits for the application, on a thread of its own, so that a large
// installer's hash does not hold up the hand-over. Nothing starts before every hash is in.

#include <atomic>
#include <cstdint>
#include <optional>
#include <thread>
#include <vector>

#include "driver/options.h"
#include "files/verified_file.h"
#include "log/log.h"

namespace relauncher {

struct Verification {
  std::vector<HeldFile> held;
  std::vector<bool> matches;  // written by the hashing thread, read once it has joined
  std::thread hashing;
  // Set when the hand-over gives up (the wait ran out): a hash still running stops.
  std::atomic<bool> stop{false};
  // What the program and the new version named when the files were held.
  std::optional<FileId> program_id;
  std::optional<FileId> new_version_id;
  // Known once finish_verification has returned:
  bool all_match = true;
  std::intptr_t program = -1;      // the held file the program is, if it is one
  SystemText program_path;         // that file's own path
  std::intptr_t new_version = -1;  // the held file that is the --with file, if it is one
  Verification() = default;
  Verification(const Verification&) = delete;
  Verification& operator=(const Verification&) = delete;
  ~Verification();
};

// Holds every file at once (a file that cannot be held is logged now), then hashes them
// on a thread, each `verify` line written as its hash completes.
void start_verification(const LaunchOptions& options, const LogFile& log,
                        Verification& verification);

// Waits for every hash, and says which held file the program and the new version are.
void finish_verification(const LaunchOptions& options, Verification& verification);

// Lets every file go; a hash still running is stopped first.
void release_files(Verification& verification);

}  // namespace relauncher
