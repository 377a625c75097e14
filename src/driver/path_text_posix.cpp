#include "driver/path_text.h"

#include "log/log.h"

namespace relauncher {

// Arguments, paths and file names are the same bytes throughout: there is nothing to
// convert, and nothing that a conversion could alter.

unsigned file_system_code_page() {
  return utf8_code_page;
}

unsigned argument_code_page() {
  return utf8_code_page;
}

SystemText to_system_text(const std::string& text, unsigned) {
  return text;
}

std::string to_narrow_text(const SystemText& text, unsigned) {
  return text;
}

SystemText file_name_of(const SystemText& path) {
  const std::size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool is_plain_text(const SystemText& text) {
  return is_plain_utf8(text);
}

}  // namespace relauncher
