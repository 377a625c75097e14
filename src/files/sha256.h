#pragma once

// SHA-256 (FIPS 180-4), in the project's own code: a static Linux binary has no system
// implementation to call, and one implementation serves both systems.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace relauncher {

// Which compression a hash uses: the fastest this processor has (its SHA extensions where
// it has them), or one forced, for the tests that compare the two.
enum class Sha256Compression { fastest, portable, extensions };

struct Sha256 {
  Sha256Compression compression = Sha256Compression::fastest;
  std::array<std::uint32_t, 8> state = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                        0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
  std::array<std::uint8_t, 64> block{};
  std::size_t block_used = 0;
  std::uint64_t length = 0;  // bytes hashed so far
};

// Whether this processor has the SHA extensions; asked of it once.
bool sha256_extensions_available();

// A hash that uses `compression` (extensions only where they are available).
Sha256 sha256_start(Sha256Compression compression);

void sha256_add(Sha256& hash, const void* data, std::size_t size);

// The digest as 64 lower-case hexadecimal digits. The state is used up.
std::string sha256_hex(Sha256& hash);

}  // namespace relauncher
