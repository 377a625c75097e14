#pragma once

// What the swap's portable steps and each system's file share.

#include <cstdint>
#include <functional>
#include <string>

#include "files/swap.h"

namespace relauncher {

constexpr std::uint64_t rename_retry_bound_ms = 30000;
// A backup being deleted is tried for less: the update has succeeded, and what is left
// is removed by the next run.
constexpr std::uint64_t remove_retry_bound_ms = 5000;

// Runs `attempt` (which returns the system's error code, 0 when done) until it is done,
// fails for good, or a passing lock has lasted `bound_ms`.
FileStep with_retries(const std::function<std::uint32_t()>& attempt, std::uint64_t bound_ms);

// Keeps in `into` the most tries of the two, and the passing lock they were taken for: a
// step made of several calls reports its longest wait.
inline void keep_most_tries(FileStep& into, const FileStep& step) {
  if (step.tries > into.tries) {
    into.tries = step.tries;
    into.waited_out = step.waited_out;
  }
}

// The error link_file gives where the file system has no hard links.
std::uint32_t hard_links_unsupported();

// Whether the verified file is moved itself, through its handle (Windows, on the target's
// volume), rather than written as a copy (Linux, from the sealed copy; Windows, from
// another volume).
bool held_file_is_moved(std::intptr_t held, const SystemText& target);

// How often a passing lock is tried again.
constexpr std::uint32_t retry_every_ms = 250;

// ASCII text in the system's own form, and UTF-8 (as the journal holds paths) in it.
SystemText to_system_text_ascii(const char* text);
SystemText system_text_from_utf8(const std::string& text);

}  // namespace relauncher
