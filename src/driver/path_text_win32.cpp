#include "driver/path_text.h"

#include <locale.h>
#include <windows.h>

#include <system_error>

#include "driver/path_name.h"
#include "log/log.h"

namespace relauncher {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "UTF-16 text is passed as wchar_t");

namespace {

[[noreturn]] void throw_last_error() {
  throw std::system_error(static_cast<int>(GetLastError()), std::system_category());
}

// The used-default report is only allowed, and only meaningful, for code pages other
// than UTF-8 and GB18030; those two are strict through WC_ERR_INVALID_CHARS instead.
struct NarrowingFlags {
  DWORD flags;
  bool report_default;
};

NarrowingFlags strict_narrowing_flags(unsigned code_page) {
  if (code_page == utf8_code_page || code_page == gb18030_code_page) {
    return {WC_ERR_INVALID_CHARS, false};
  }
  return {WC_NO_BEST_FIT_CHARS, true};
}

// One WideCharToMultiByte call with the strict flags. A code page that rejects the
// flags (ERROR_INVALID_FLAGS) is asked again without them; `flags` keeps what worked
// so that the measuring and the filling call agree. Returns the byte count.
int narrow_strictly(unsigned code_page, NarrowingFlags& flags, const std::u16string& text,
                    char* out, int out_size) {
  const auto* units = reinterpret_cast<const wchar_t*>(text.data());
  const int length = static_cast<int>(text.size());
  BOOL used_default = FALSE;
  int size = WideCharToMultiByte(code_page, flags.flags, units, length, out, out_size, nullptr,
                                 flags.report_default ? &used_default : nullptr);
  if (size == 0 && GetLastError() == ERROR_INVALID_FLAGS) {
    flags = {0, false};
    size = WideCharToMultiByte(code_page, 0, units, length, out, out_size, nullptr, nullptr);
  }
  if (size == 0) {
    throw_last_error();
  }
  if (used_default) {
    throw std::system_error(ERROR_NO_UNICODE_TRANSLATION, std::system_category());
  }
  return size;
}

}  // namespace

unsigned file_system_code_page() {
  if (___lc_codepage_func() == utf8_code_page) {
    return utf8_code_page;
  }
  return AreFileApisANSI() ? GetACP() : GetOEMCP();
}

unsigned argument_code_page() {
  return GetACP();
}

std::u16string path_to_wide(const std::string& text, unsigned code_page) {
  if (text.empty()) {
    return {};
  }
  const int length = static_cast<int>(text.size());
  const int size =
      MultiByteToWideChar(code_page, MB_ERR_INVALID_CHARS, text.data(), length, nullptr, 0);
  if (size == 0) {
    throw_last_error();
  }
  std::u16string wide(static_cast<std::size_t>(size), u'\0');
  if (MultiByteToWideChar(code_page, MB_ERR_INVALID_CHARS, text.data(), length,
                          reinterpret_cast<wchar_t*>(&wide[0]), size) == 0) {
    throw_last_error();
  }
  return wide;
}

SystemText file_name_of(const SystemText& path) {
  return file_name_component(path);
}

bool is_plain_text(const SystemText& text) {
  for (const char16_t unit : text) {
    if (is_line_breaking_or_hiding(unit)) {
      return false;
    }
  }
  return true;
}

SystemText to_system_text(const std::string& text, unsigned code_page) {
  return path_to_wide(text, code_page);
}

std::string to_narrow_text(const SystemText& text, unsigned code_page) {
  return path_to_narrow(text, code_page);
}

std::string path_to_narrow(const std::u16string& text, unsigned code_page) {
  if (text.empty()) {
    return {};
  }
  NarrowingFlags flags = strict_narrowing_flags(code_page);
  const int size = narrow_strictly(code_page, flags, text, nullptr, 0);
  std::string narrow(static_cast<std::size_t>(size), '\0');
  narrow_strictly(code_page, flags, text, &narrow[0], size);
  return narrow;
}

}  // namespace relauncher
