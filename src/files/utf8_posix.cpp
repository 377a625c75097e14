#include "files/system_text.h"

// The Linux build's UTF-8 and UTF-16 conversions, in plain C++: the Windows quoting code
// compiles here (for its fuzz targets), but the tool itself never converts on Linux,
// where text stays in bytes. Lenient, like the system's on Windows: what is not
// well-formed becomes U+FFFD, one for each byte that begins no valid sequence.

namespace relauncher {

namespace {

void append_utf16(std::u16string& out, char32_t point) {
  if (point < 0x10000) {
    out += static_cast<char16_t>(point);
  } else {
    point -= 0x10000;
    out += static_cast<char16_t>(0xD800 + (point >> 10));
    out += static_cast<char16_t>(0xDC00 + (point & 0x3FF));
  }
}

void append_utf8(std::string& out, char32_t point) {
  if (point < 0x80) {
    out += static_cast<char>(point);
  } else if (point < 0x800) {
    out += static_cast<char>(0xC0 | (point >> 6));
    out += static_cast<char>(0x80 | (point & 0x3F));
  } else if (point < 0x10000) {
    out += static_cast<char>(0xE0 | (point >> 12));
    out += static_cast<char>(0x80 | ((point >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (point & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (point >> 18));
    out += static_cast<char>(0x80 | ((point >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((point >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (point & 0x3F));
  }
}

}  // namespace

std::u16string utf8_to_wide(const std::string& text) {
  std::u16string out;
  for (std::size_t i = 0; i < text.size();) {
    const auto byte = [&](std::size_t at) { return static_cast<unsigned char>(text[at]); };
    const unsigned char lead = byte(i);
    // 0: a byte that begins no sequence (a continuation byte, C0, C1, F5 and above).
    const std::size_t length = lead < 0x80   ? 1
                               : lead < 0xC2 ? 0
                               : lead < 0xE0 ? 2
                               : lead < 0xF0 ? 3
                               : lead < 0xF5 ? 4
                                             : 0;
    char32_t point = length == 1 ? lead : lead & (0x3F >> length);
    bool valid = length != 0 && i + length <= text.size();
    for (std::size_t k = 1; valid && k < length; ++k) {
      valid = (byte(i + k) & 0xC0) == 0x80;
      point = (point << 6) | (byte(i + k) & 0x3F);
    }
    const char32_t least = length == 3 ? 0x800 : length == 4 ? 0x10000 : 0;
    valid = valid && point >= least && point <= 0x10FFFF && (point < 0xD800 || point > 0xDFFF);
    append_utf16(out, valid ? point : 0xFFFD);
    i += valid ? length : 1;
  }
  return out;
}

std::string wide_to_utf8(const std::u16string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char16_t unit = text[i];
    const bool high = unit >= 0xD800 && unit <= 0xDBFF;
    const bool paired =
        high && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF;
    if (paired) {
      const char32_t point = 0x10000 + ((static_cast<char32_t>(unit) - 0xD800) << 10);
      append_utf8(out, point + (text[i + 1] - 0xDC00));
      ++i;
    } else {
      append_utf8(out, unit >= 0xD800 && unit <= 0xDFFF ? 0xFFFD : unit);
    }
  }
  return out;
}

// Linux's text is the bytes themselves: the log's writer escapes those that are not UTF-8.
std::string log_text(const SystemText& text) {
  return text;
}

}  // namespace relauncher
