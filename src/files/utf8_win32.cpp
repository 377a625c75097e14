#include <windows.h>

#include "files/system_text.h"

namespace relauncher {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "UTF-16 text is passed as wchar_t");

std::u16string utf8_to_wide(const std::string& text) {
  if (text.empty()) {
    return {};
  }
  // Flags 0: ill-formed sequences become U+FFFD instead of failing the call.
  const int length = static_cast<int>(text.size());
  const int size = MultiByteToWideChar(CP_UTF8, 0, text.data(), length, nullptr, 0);
  if (size <= 0) {
    return {};
  }
  std::u16string wide(static_cast<std::size_t>(size), u'\0');
  (void)MultiByteToWideChar(CP_UTF8, 0, text.data(), length, reinterpret_cast<wchar_t*>(&wide[0]),
                            size);
  return wide;
}

std::string wide_to_utf8(const std::u16string& text) {
  if (text.empty()) {
    return {};
  }
  // Flags 0 and no default character: a lone surrogate becomes U+FFFD.
  const auto* units = reinterpret_cast<const wchar_t*>(text.data());
  const int length = static_cast<int>(text.size());
  const int size = WideCharToMultiByte(CP_UTF8, 0, units, length, nullptr, 0, nullptr, nullptr);
  if (size <= 0) {
    return {};
  }
  std::string narrow(static_cast<std::size_t>(size), '\0');
  (void)WideCharToMultiByte(CP_UTF8, 0, units, length, &narrow[0], size, nullptr, nullptr);
  return narrow;
}

std::string log_text(const SystemText& text) {
  return wide_to_utf8(text);
}

}  // namespace relauncher
