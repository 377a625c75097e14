#include "log/log.h"

#include <cstdio>

namespace relauncher {

bool is_line_breaking_or_hiding(char32_t point) {
  return point < 0x20 || (point >= 0x7F && point <= 0x9F) ||  // C0, DEL, C1 (U+0085 breaks lines)
         point == 0x2028 || point == 0x2029 ||                // line and paragraph separators
         point == 0x061C || point == 0x200E || point == 0x200F ||  // bidirectional marks
         (point >= 0x202A && point <= 0x202E) || (point >= 0x2066 && point <= 0x2069);  // overrides
}

namespace {

// Reads the code point of the well-formed UTF-8 sequence at `at` and its length. A byte
// that does not begin one (a stray continuation byte, a lead byte that is never used, an
// overlong form, a surrogate, a point above U+10FFFF) comes back alone, as its value,
// with length 1.
char32_t decode_at(const std::string& text, std::size_t at, std::size_t& length) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[at + i]); };
  const unsigned char lead = byte(0);
  length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
  if (at + length > text.size() || (length > 1 && lead < 0xC2) || lead > 0xF4) {
    length = 1;
    return lead;
  }
  char32_t point = length == 1 ? lead : lead & (0x3F >> (length - 1));
  for (std::size_t i = 1; i < length; ++i) {
    if ((byte(i) & 0xC0) != 0x80) {
      length = 1;
      return lead;
    }
    point = (point << 6) | (byte(i) & 0x3F);
  }
  const char32_t least = length == 3 ? 0x800 : length == 4 ? 0x10000 : 0;
  if (point < least || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF)) {
    length = 1;
    return lead;
  }
  return point;
}

// A byte that is not part of well-formed UTF-8 (Linux's paths and arguments are bytes).
bool is_stray_byte(char32_t point, std::size_t length) {
  return length == 1 && point >= 0x80;
}

std::string printable(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t at = 0, length = 1; at < text.size(); at += length) {
    const char32_t point = decode_at(text, at, length);
    if (!is_line_breaking_or_hiding(point) && !is_stray_byte(point, length)) {
      out.append(text, at, length);
      continue;
    }
    char escaped[16];
    // A single byte (a C0 control, DEL, or a stray byte of ill-formed text) by its value.
    (void)std::snprintf(escaped, sizeof(escaped), length == 1 ? "<0x%02lX>" : "<U+%04lX>",
                        static_cast<unsigned long>(point));
    out += escaped;
  }
  return out;
}

}  // namespace

bool is_plain_utf8(const std::string& text) {
  for (std::size_t at = 0, length = 1; at < text.size(); at += length) {
    const char32_t point = decode_at(text, at, length);
    if (is_line_breaking_or_hiding(point) || is_stray_byte(point, length)) {
      return false;
    }
  }
  return true;
}

std::string format_log_line(const LogTime& time, std::uint32_t pid, const std::string& event,
                            const std::string& details, const char* line_end) {
  char stamp[64];
  (void)std::snprintf(stamp, sizeof(stamp), "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ %lu ", time.year,
                      time.month, time.day, time.hour, time.minute, time.second, time.millisecond,
                      static_cast<unsigned long>(pid));
  return stamp + event + (details.empty() ? "" : " " + printable(details)) + line_end;
}

}  // namespace relauncher
