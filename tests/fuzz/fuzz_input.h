#pragma once

// What the fuzz targets share: a failed property ends the run (libFuzzer reports the
// input), and an input read as an argument list.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace fuzz {

inline void require(bool holds) {
  if (!holds) {
    std::abort();
  }
}

// The input split at its NUL bytes: one argument per piece, empty ones included.
inline std::vector<std::string> arguments_of(const std::uint8_t* data, std::size_t size) {
  std::vector<std::string> arguments(1);
  for (std::size_t i = 0; i < size; ++i) {
    if (data[i] == 0) {
      arguments.emplace_back();
    } else {
      arguments.back() += static_cast<char>(data[i]);
    }
  }
  return arguments;
}

}  // namespace fuzz
