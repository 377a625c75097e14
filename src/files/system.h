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

}  // namespace relauncher
