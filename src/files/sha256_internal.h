#pragma once

// What the portable SHA-256 and the one that uses the processor's SHA extensions share.

#include <cstddef>
#include <cstdint>

namespace relauncher {

extern const std::uint32_t sha256_round_constants[64];

// Whether the processor has the SHA extensions (and the SSSE3 and SSE4.1 they need here).
bool cpu_has_sha_extensions();

// Compresses `count` whole blocks of 64 bytes into `state` (A..H) with the SHA
// extensions. Only where cpu_has_sha_extensions says so.
void compress_with_extensions(std::uint32_t* state, const std::uint8_t* blocks, std::size_t count);

}  // namespace relauncher
