#include "digest/sha256.h"

#include <cstring>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define TORVI_SHA256_X86 1
#include <cpuid.h>
#include <immintrin.h>
#endif

namespace torvi {
namespace {

constexpr std::uint32_t kInitialState[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                            0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};

alignas(16) constexpr std::uint32_t kRound[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

using BlockFunction = void (*)(std::uint32_t state[8], const std::uint8_t* data,
                               std::size_t blocks);

inline std::uint32_t rotr(std::uint32_t x, unsigned n) {
  return (x >> n) | (x << (32 - n));
}

inline std::uint32_t load_be32(const std::uint8_t* p) {
  return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
         std::uint32_t{p[3]};
}

inline void store_be32(std::uint8_t* p, std::uint32_t v) {
  p[0] = static_cast<std::uint8_t>(v >> 24);
  p[1] = static_cast<std::uint8_t>(v >> 16);
  p[2] = static_cast<std::uint8_t>(v >> 8);
  p[3] = static_cast<std::uint8_t>(v);
}

void blocks_portable(std::uint32_t state[8], const std::uint8_t* data, std::size_t blocks) {
  std::uint32_t w[64];
  for (; blocks > 0; --blocks, data += kSha256BlockSize) {
    for (int t = 0; t < 16; ++t) w[t] = load_be32(data + 4 * t);
    for (int t = 16; t < 64; ++t) {
      std::uint32_t s0 = rotr(w[t - 15], 7) ^ rotr(w[t - 15], 18) ^ (w[t - 15] >> 3);
      std::uint32_t s1 = rotr(w[t - 2], 17) ^ rotr(w[t - 2], 19) ^ (w[t - 2] >> 10);
      w[t] = w[t - 16] + s0 + w[t - 7] + s1;
    }
    std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    std::uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
    for (int t = 0; t < 64; ++t) {
      std::uint32_t t1 =
          h + (rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25)) + ((e & f) ^ (~e & g)) + kRound[t] + w[t];
      std::uint32_t t2 = (rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
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
}

#ifdef TORVI_SHA256_X86

// The SHA extensions keep the state as two vectors, ABEF and CDGH, and run
// two rounds per sha256rnds2; the message schedule is four vectors of four
// words, extended with sha256msg1/sha256msg2.
__attribute__((target("sha,sse4.1"))) void blocks_sha_ni(std::uint32_t state[8],
                                                         const std::uint8_t* data,
                                                         std::size_t blocks) {
  const __m128i byte_swap = _mm_set_epi64x(0x0c0d0e0f08090a0bULL, 0x0405060700010203ULL);
  __m128i dcba = _mm_loadu_si128(reinterpret_cast<const __m128i*>(&state[0]));
  __m128i hgfe = _mm_loadu_si128(reinterpret_cast<const __m128i*>(&state[4]));
  __m128i cdab = _mm_shuffle_epi32(dcba, 0xB1);
  __m128i efgh = _mm_shuffle_epi32(hgfe, 0x1B);
  __m128i abef = _mm_alignr_epi8(cdab, efgh, 8);
  __m128i cdgh = _mm_blend_epi16(efgh, cdab, 0xF0);

  for (; blocks > 0; --blocks, data += kSha256BlockSize) {
    const __m128i abef_saved = abef;
    const __m128i cdgh_saved = cdgh;
    __m128i w[4];
#pragma GCC unroll 16
    for (int i = 0; i < 16; ++i) {
      __m128i& current = w[i & 3];
      if (i < 4) {
        current = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 16 * i)),
                                   byte_swap);
      } else {
        const __m128i& previous = w[(i - 1) & 3];
        __m128i sum = _mm_add_epi32(_mm_sha256msg1_epu32(current, w[(i - 3) & 3]),
                                    _mm_alignr_epi8(previous, w[(i - 2) & 3], 4));
        current = _mm_sha256msg2_epu32(sum, previous);
      }
      __m128i words =
          _mm_add_epi32(current, _mm_load_si128(reinterpret_cast<const __m128i*>(&kRound[4 * i])));
      cdgh = _mm_sha256rnds2_epu32(cdgh, abef, words);
      abef = _mm_sha256rnds2_epu32(abef, cdgh, _mm_shuffle_epi32(words, 0x0E));
    }
    abef = _mm_add_epi32(abef, abef_saved);
    cdgh = _mm_add_epi32(cdgh, cdgh_saved);
  }

  __m128i feba = _mm_shuffle_epi32(abef, 0x1B);
  __m128i dchg = _mm_shuffle_epi32(cdgh, 0xB1);
  dcba = _mm_blend_epi16(feba, dchg, 0xF0);
  hgfe = _mm_alignr_epi8(dchg, feba, 8);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(&state[0]), dcba);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(&state[4]), hgfe);
}

bool cpu_has_sha_ni() {
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx)) return false;
  const bool ssse3 = (ecx & bit_SSSE3) != 0;
  const bool sse41 = (ecx & bit_SSE4_1) != 0;
  if (!__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx)) return false;
  const bool sha = (ebx & bit_SHA) != 0;
  return ssse3 && sse41 && sha;
}

#else

bool cpu_has_sha_ni() {
  return false;
}

#endif

BlockFunction function_for(Sha256Implementation implementation) {
#ifdef TORVI_SHA256_X86
  if (implementation == Sha256Implementation::sha_ni) return blocks_sha_ni;
#endif
  (void)implementation;
  return blocks_portable;
}

}  // namespace

bool sha256_sha_ni_available() {
  static const bool available = cpu_has_sha_ni();
  return available;
}

Sha256Implementation sha256_implementation() {
  return sha256_sha_ni_available() ? Sha256Implementation::sha_ni : Sha256Implementation::portable;
}

void sha256_init(Sha256Context& context) {
  sha256_init(context, sha256_implementation());
}

bool sha256_init(Sha256Context& context, Sha256Implementation implementation) {
  if (implementation == Sha256Implementation::sha_ni && !sha256_sha_ni_available()) return false;
  std::memset(context.buffer, 0, sizeof context.buffer);
  context.buffer_length = 0;
  context.bit_length = 0;
  std::memcpy(context.state, kInitialState, sizeof context.state);
  context.implementation = implementation;
  return true;
}

void sha256_update(Sha256Context& context, const std::uint8_t* data, std::size_t length) {
  if (length == 0) return;
  const BlockFunction blocks = function_for(context.implementation);
  context.bit_length += static_cast<std::uint64_t>(length) * 8;
  if (context.buffer_length > 0) {
    std::size_t take = kSha256BlockSize - context.buffer_length;
    if (take > length) take = length;
    std::memcpy(context.buffer + context.buffer_length, data, take);
    context.buffer_length += static_cast<std::uint32_t>(take);
    data += take;
    length -= take;
    if (context.buffer_length < kSha256BlockSize) return;
    blocks(context.state, context.buffer, 1);
    context.buffer_length = 0;
  }
  // Whole blocks go to the block function straight from the caller's bytes.
  std::size_t whole = length / kSha256BlockSize;
  if (whole > 0) {
    blocks(context.state, data, whole);
    data += whole * kSha256BlockSize;
    length -= whole * kSha256BlockSize;
  }
  if (length > 0) {
    std::memcpy(context.buffer, data, length);
    context.buffer_length = static_cast<std::uint32_t>(length);
  }
}

void sha256_final(Sha256Context& context, std::uint8_t digest[kSha256DigestSize]) {
  const BlockFunction blocks = function_for(context.implementation);
  const std::uint64_t bits = context.bit_length;
  std::uint32_t used = context.buffer_length;
  context.buffer[used++] = 0x80;
  // The length needs the last 8 bytes of a block; start a new one when
  // the marker left too little room.
  if (used > kSha256BlockSize - 8) {
    std::memset(context.buffer + used, 0, kSha256BlockSize - used);
    blocks(context.state, context.buffer, 1);
    used = 0;
  }
  std::memset(context.buffer + used, 0, kSha256BlockSize - 8 - used);
  store_be32(context.buffer + 56, static_cast<std::uint32_t>(bits >> 32));
  store_be32(context.buffer + 60, static_cast<std::uint32_t>(bits));
  blocks(context.state, context.buffer, 1);
  for (int i = 0; i < 8; ++i) store_be32(digest + 4 * i, context.state[i]);
  context.buffer_length = 0;
}

Sha256Digest sha256_digest(const std::uint8_t* data, std::size_t length) {
  Sha256Context context;
  sha256_init(context);
  sha256_update(context, data, length);
  Sha256Digest digest;
  sha256_final(context, digest.data());
  return digest;
}

}  // namespace torvi
