#pragma once

// What every room asks of the system itself: a clock for bounds and durations, and the
// system's own wording for an error code.

#include <cstdint>
#include <string>

namespace relauncher {

// A clock for durations, in milliseconds from an arbitrary start.
std::uint64_t steady_milliseconds();

void pause_milliseconds(std::uint32_t ms);

// The system's wording for an error code (Windows' message, or strerror), in UTF-8.
std::string system_message(std::uint32_t error);

// This process's id, and the time it started in the system's own units (Linux: clock
// ticks since boot; Windows: 100 ns since 1601): together, what tells this run from one
// that had the same id before.
std::uint32_t own_process_id();
std::uint64_t own_start_time();

}  // namespace relauncher
