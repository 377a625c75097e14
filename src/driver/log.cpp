#include "driver/log.h"

#include <cstdio>

namespace relauncher {

namespace {

std::string printable(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) {
      char escaped[8];
      (void)std::snprintf(escaped, sizeof(escaped), "<0x%02X>", byte);
      out += escaped;
      continue;
    }
    out += c;
  }
  return out;
}

}  // namespace

std::string format_log_line(const LogTime& time, std::uint32_t pid, const std::string& event,
                            const std::string& details) {
  char stamp[64];
  (void)std::snprintf(stamp, sizeof(stamp), "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ %lu ", time.year,
                      time.month, time.day, time.hour, time.minute, time.second, time.millisecond,
                      static_cast<unsigned long>(pid));
  return stamp + event + (details.empty() ? "" : " " + printable(details)) + "\r\n";
}

}  // namespace relauncher
