#include "files/sha256.h"

#include <algorithm>
#include <cstring>

#include "files/sha256_internal.h"

namespace relauncher {

const std::uint32_t sha256_round_constants[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

namespace {

std::uint32_t rotate_right(std::uint32_t value, int bits) {
  return (value >> bits) | (value << (32 - bits));
}

void compress(std::array<std::uint32_t, 8>& state, const std::uint8_t* block) {
  std::uint32_t w[64];
  for (int i = 0; i < 16; ++i) {
    w[i] = std::uint32_t{block[4 * i]} << 24 | std::uint32_t{block[4 * i + 1]} << 16 |
           std::uint32_t{block[4 * i + 2]} << 8 | std::uint32_t{block[4 * i + 3]};
  }
  for (int i = 16; i < 64; ++i) {
    const std::uint32_t s0 =
        rotate_right(w[i - 15], 7) ^ rotate_right(w[i - 15], 18) ^ (w[i - 15] >> 3);
    const std::uint32_t s1 =
        rotate_right(w[i - 2], 17) ^ rotate_right(w[i - 2], 19) ^ (w[i - 2] >> 10);
    w[i] = w[i - 16] + s0 + w[i - 7] + s1;
  }
  std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
  std::uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
  for (int i = 0; i < 64; ++i) {
    const std::uint32_t s1 = rotate_right(e, 6) ^ rotate_right(e, 11) ^ rotate_right(e, 25);
    const std::uint32_t choice = (e & f) ^ (~e & g);
    const std::uint32_t t1 = h + s1 + choice + sha256_round_constants[i] + w[i];
    const std::uint32_t s0 = rotate_right(a, 2) ^ rotate_right(a, 13) ^ rotate_right(a, 22);
    const std::uint32_t majority = (a & b) ^ (a & c) ^ (b & c);
    const std::uint32_t t2 = s0 + majority;
    h = g;
    g = f;
    f = e;
    e = d + t1;
    d = c;
    c = b;
    b = a;
    a = t1 + t2;
  }
  state[0] += a;
  state[1] += b;
  state[2] += c;
  state[3] += d;
  state[4] += e;
  state[5] += f;
  state[6] += g;
  state[7] += h;
}

// Whole blocks, by the compression the hash asks for.
void compress_blocks(Sha256& hash, const std::uint8_t* blocks, std::size_t count) {
  if (hash.compression == Sha256Compression::extensions) {
    compress_with_extensions(hash.state.data(), blocks, count);
    return;
  }
  for (; count > 0; --count, blocks += 64) {
    compress(hash.state, blocks);
  }
}

}  // namespace

bool sha256_extensions_available() {
  // A fact of the processor, asked once.
  static const bool available = cpu_has_sha_extensions();
  return available;
}

Sha256 sha256_start(Sha256Compression compression) {
  Sha256 hash;
  hash.compression = compression == Sha256Compression::fastest
                         ? (sha256_extensions_available() ? Sha256Compression::extensions
                                                          : Sha256Compression::portable)
                         : compression;
  return hash;
}

void sha256_add(Sha256& hash, const void* data, std::size_t size) {
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  hash.length += size;
  if (hash.compression == Sha256Compression::fastest) {
    hash.compression = sha256_start(Sha256Compression::fastest).compression;
  }
  while (size > 0) {
    if (hash.block_used == 0 && size >= hash.block.size()) {
      // Whole blocks straight from the input.
      const std::size_t count = size / hash.block.size();
      compress_blocks(hash, bytes, count);
      bytes += count * hash.block.size();
      size -= count * hash.block.size();
      continue;
    }
    const std::size_t take = std::min(size, hash.block.size() - hash.block_used);
    std::memcpy(hash.block.data() + hash.block_used, bytes, take);
    hash.block_used += take;
    bytes += take;
    size -= take;
    if (hash.block_used == hash.block.size()) {
      compress_blocks(hash, hash.block.data(), 1);
      hash.block_used = 0;
    }
  }
}

std::string sha256_hex(Sha256& hash) {
  const std::uint64_t bits = hash.length * 8;
  const std::uint8_t end = 0x80;
  sha256_add(hash, &end, 1);
  const std::uint8_t zero = 0;
  while (hash.block_used != 56) {
    sha256_add(hash, &zero, 1);
  }
  std::uint8_t length[8];
  for (int i = 0; i < 8; ++i) {
    length[i] = static_cast<std::uint8_t>(bits >> (56 - 8 * i));
  }
  sha256_add(hash, length, sizeof(length));
  const char* const digits = "0123456789abcdef";
  std::string hex;
  for (const std::uint32_t word : hash.state) {
    for (int shift = 28; shift >= 0; shift -= 4) {
      hex += digits[(word >> shift) & 0xF];
    }
  }
  return hex;
}

}  // namespace relauncher
