#pragma once
// SHA-256 (FIPS 180-4) of the firmware image. The block function is chosen
// once per process: the x86-64 SHA extensions when the processor has them,
// the portable code otherwise. Both give the same bytes.

#include <array>
#include <cstddef>
#include <cstdint>

namespace torvi {

constexpr std::size_t kSha256DigestSize = 32;
constexpr std::size_t kSha256BlockSize = 64;

using Sha256Digest = std::array<std::uint8_t, kSha256DigestSize>;

enum class Sha256Implementation { portable, sha_ni };

// A running computation: the partial block and its fill count, the message
// length so far in bits, the eight state words, and the block function it
// runs on.
struct Sha256Context {
  std::uint8_t buffer[kSha256BlockSize];
  std::uint32_t buffer_length;
  std::uint64_t bit_length;
  std::uint32_t state[8];
  Sha256Implementation implementation;
};

// Starts a computation (the initial hash value of FIPS 180-4) on the
// fastest block function the processor runs.
void sha256_init(Sha256Context& context);
// The same on a given block function (tests and benchmarks compare both).
// Returns false, leaving the context unstarted, when the processor cannot
// run `implementation`.
bool sha256_init(Sha256Context& context, Sha256Implementation implementation);
// Feeds `length` bytes; may be called any number of times, with any split.
void sha256_update(Sha256Context& context, const std::uint8_t* data, std::size_t length);
// Pads, finishes and writes the 32-byte digest. The context must be started
// again before it is reused.
void sha256_final(Sha256Context& context, std::uint8_t digest[kSha256DigestSize]);

// One-shot digest of a byte block.
Sha256Digest sha256_digest(const std::uint8_t* data, std::size_t length);

// True when this build has the SHA-extension path and the processor runs it.
bool sha256_sha_ni_available();
// The block function sha256_init chooses: decided once, from the processor.
Sha256Implementation sha256_implementation();

}  // namespace torvi
