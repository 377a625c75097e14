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

// The error link_file gives where the file system has no hard links.
std::uint32_t hard_links_unsupported();

// Whether copy_held_file moves the file itself (Windows, through its handle) rather than
// writing a copy (Linux, from the sealed copy).
bool held_file_is_moved();

// ASCII text in the system's own form, and UTF-8 (as the journal holds paths) in it.
SystemText to_system_text_ascii(const char* text);
SystemText system_text_from_utf8(const std::string& text);

}  // namespace relauncher
