// The log's line writer, on any text: what comes out is one line, of well-formed UTF-8,
// with no character that breaks a line or moves or hides text in some reader. The
// checks are written here from the Unicode rules, not taken from the writer.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "log/log.h"
#include "fuzz_input.h"

namespace {

bool forbidden(char32_t point) {
  return point < 0x20 || (point >= 0x7F && point <= 0x9F) || point == 0x2028 || point == 0x2029 ||
         point == 0x061C || point == 0x200E || point == 0x200F || (point >= 0x202A && point <= 0x202E) ||
         (point >= 0x2066 && point <= 0x2069);
}

// Strict UTF-8 (RFC 3629): shortest forms only, no surrogates, nothing above U+10FFFF.
// Calls `visit` for each code point; false at the first ill-formed byte.
template <typename Visit>
bool decode(const std::string& text, Visit visit) {
  for (std::size_t i = 0; i < text.size();) {
    const auto byte = [&](std::size_t at) { return static_cast<unsigned char>(text[at]); };
    const unsigned char lead = byte(i);
    std::size_t length = 0;
    char32_t point = 0, least = 0;
    if (lead < 0x80) {
      length = 1, point = lead;
    } else if ((lead & 0xE0) == 0xC0) {
      length = 2, point = lead & 0x1F, least = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
      length = 3, point = lead & 0x0F, least = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
      length = 4, point = lead & 0x07, least = 0x10000;
    } else {
      return false;
    }
    if (i + length > text.size()) {
      return false;
    }
    for (std::size_t k = 1; k < length; ++k) {
      if ((byte(i + k) & 0xC0) != 0x80) {
        return false;
      }
      point = (point << 6) | (byte(i + k) & 0x3F);
    }
    if (point < least || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF)) {
      return false;
    }
    visit(point);
    i += length;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string details(reinterpret_cast<const char*>(data), size);
  const relauncher::LogTime time{2026, 12, 7, 23, 59, 59, 999};
  for (const char* end : {"\n", "\r\n"}) {
    const std::string line = relauncher::format_log_line(time, 4242, "run", details, end);
    const std::string ending(end);
    fuzz::require(line.size() > ending.size() && line.compare(line.size() - ending.size(), ending.size(), ending) == 0);
    const std::string body = line.substr(0, line.size() - ending.size());
    fuzz::require(decode(body, [](char32_t point) { fuzz::require(!forbidden(point)); }));
  }
  return 0;
}
