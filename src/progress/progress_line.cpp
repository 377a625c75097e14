#include "progress/progress.h"

namespace relauncher {

std::u16string progress_line(const std::u16string& text) {
  // CR, LF, NEL, and the line and paragraph separators: what ends a line somewhere.
  const std::size_t end = text.find_first_of(u"\r\n\u0085\u2028\u2029");
  return end == std::u16string::npos ? text : text.substr(0, end);
}

}  // namespace relauncher
