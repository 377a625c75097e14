#pragma once

// Text in the system's own form, for what is handed to the system or read back from it
// as it is: paths, command lines, a window's text. UTF-16 on Windows; on Linux the bytes
// themselves, which need not be UTF-8. The one place that says which.

#include <string>

namespace relauncher {

#ifdef _WIN32
using SystemText = std::u16string;
#else
using SystemText = std::string;
#endif

// The text as UTF-8 for the log. Windows' is converted (a lone surrogate becomes U+FFFD);
// Linux's is the bytes themselves, and the log's writer escapes those that are not UTF-8.
std::string log_text(const SystemText& text);

// Reads `text` as UTF-8. Lenient: ill-formed input becomes U+FFFD, never an error.
std::u16string utf8_to_wide(const std::string& text);

// Writes `text` as UTF-8. Lenient: a lone surrogate becomes U+FFFD, never an error.
std::string wide_to_utf8(const std::u16string& text);

}  // namespace relauncher
