#pragma once

#include <string>

namespace relauncher {

// Length of the root name at the start of a path: "C:", "\\server", or the "\\?",
// "\\." and "\??" device prefixes. 0 when the path has none. Backslash and slash
// both count as separators.
std::size_t root_name_length(const std::u16string& path);

// The last component after the root name, extension included. Empty when the path
// ends with a separator or is only a root name.
std::u16string file_name_component(const std::u16string& path);

}  // namespace relauncher
