// SHA-256's compression with the processor's SHA extensions (x86-64), for the processors
// that have them: several times faster than the portable code, which stays the reference
// and the path for every other processor. Only this function is compiled for the
// extensions, so that the rest of the binary runs on any x86-64.

#include <immintrin.h>

#include <cstddef>
#include <cstdint>
#include <utility>

#include "files/sha256_internal.h"

// The one place that speaks to a compiler: how to ask the processor what it has, and how
// to compile one function for instructions the rest of the binary does not assume.
#if defined(_MSC_VER)
#include <intrin.h>
#define RELAUNCHER_SHA_EXTENSIONS
namespace {
void cpuid(int leaf, int subleaf, unsigned (&registers)[4]) {
  int values[4];
  __cpuidex(values, leaf, subleaf);
  for (int i = 0; i < 4; ++i) {
    registers[i] = static_cast<unsigned>(values[i]);
  }
}
}  // namespace
#else
#include <cpuid.h>
#define RELAUNCHER_SHA_EXTENSIONS __attribute__((target("sha,sse4.1")))
namespace {
void cpuid(int leaf, int subleaf, unsigned (&registers)[4]) {
  registers[0] = registers[1] = registers[2] = registers[3] = 0;
  (void)__get_cpuid_count(static_cast<unsigned>(leaf), static_cast<unsigned>(subleaf),
                          &registers[0], &registers[1], &registers[2], &registers[3]);
}
}  // namespace
#endif

namespace relauncher {

bool cpu_has_sha_extensions() {
  unsigned basic[4], extended[4];
  cpuid(0, 0, basic);
  if (basic[0] < 7) {
    return false;
  }
  cpuid(1, 0, basic);
  cpuid(7, 0, extended);
  const bool ssse3 = (basic[2] & (1u << 9)) != 0;
  const bool sse41 = (basic[2] & (1u << 19)) != 0;
  const bool sha = (extended[1] & (1u << 29)) != 0;
  return ssse3 && sse41 && sha;
}

namespace {

// Four rounds of a block, and the message schedule three groups ahead. `Group` is known
// when compiling, so that every message word stays in a register.
template <int Group>
RELAUNCHER_SHA_EXTENSIONS inline void four_rounds(__m128i (&message)[4], __m128i& abef,
                                                  __m128i& cdgh, const std::uint8_t* block) {
  // The bytes of each word in the order the instructions take them (big-endian words).
  const __m128i byte_order = _mm_set_epi64x(0x0c0d0e0f08090a0bULL, 0x0405060700010203ULL);
  __m128i& current = message[Group % 4];
  if (Group < 4) {
    current = _mm_shuffle_epi8(
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(block + 16 * Group)), byte_order);
  }
  __m128i words = _mm_add_epi32(
      current,
      _mm_loadu_si128(reinterpret_cast<const __m128i*>(sha256_round_constants + 4 * Group)));
  cdgh = _mm_sha256rnds2_epu32(cdgh, abef, words);
  if (Group >= 3 && Group < 15) {
    __m128i& next = message[(Group + 1) % 4];
    next = _mm_add_epi32(next, _mm_alignr_epi8(current, message[(Group + 3) % 4], 4));
    next = _mm_sha256msg2_epu32(next, current);
  }
  words = _mm_shuffle_epi32(words, 0x0E);
  abef = _mm_sha256rnds2_epu32(abef, cdgh, words);
  if (Group >= 1 && Group < 13) {
    __m128i& previous = message[(Group + 3) % 4];
    previous = _mm_sha256msg1_epu32(previous, current);
  }
}

template <int... Groups>
RELAUNCHER_SHA_EXTENSIONS inline void all_rounds(std::integer_sequence<int, Groups...>,
                                                 __m128i& abef, __m128i& cdgh,
                                                 const std::uint8_t* block) {
  __m128i message[4];
  (four_rounds<Groups>(message, abef, cdgh, block), ...);
}

}  // namespace

RELAUNCHER_SHA_EXTENSIONS
void compress_with_extensions(std::uint32_t* state, const std::uint8_t* blocks, std::size_t count) {
  // The state as the instructions hold it: ABEF and CDGH.
  const __m128i cdab =
      _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(state)), 0xB1);
  const __m128i efgh =
      _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(state + 4)), 0x1B);
  __m128i abef = _mm_alignr_epi8(cdab, efgh, 8);
  __m128i cdgh = _mm_blend_epi16(efgh, cdab, 0xF0);
  for (; count > 0; --count, blocks += 64) {
    const __m128i abef_before = abef;
    const __m128i cdgh_before = cdgh;
    all_rounds(std::make_integer_sequence<int, 16>(), abef, cdgh, blocks);
    abef = _mm_add_epi32(abef, abef_before);
    cdgh = _mm_add_epi32(cdgh, cdgh_before);
  }
  // Back to A..H.
  const __m128i feba = _mm_shuffle_epi32(abef, 0x1B);
  const __m128i dchg = _mm_shuffle_epi32(cdgh, 0xB1);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(state), _mm_blend_epi16(feba, dchg, 0xF0));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(state + 4), _mm_alignr_epi8(dchg, feba, 8));
}

}  // namespace relauncher
