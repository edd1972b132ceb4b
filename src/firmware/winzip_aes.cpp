#include "firmware/winzip_aes.h"

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/params.h>

#include <algorithm>
#include <array>
#include <bit>
#include <climits>
#include <cstring>

namespace torvi {
namespace {

constexpr int kKeyRounds = 1000;
constexpr std::size_t kKeySize = 32;  // the AES key and the HMAC key alike
constexpr std::size_t kBlockSize = 16;
// Counter blocks are encrypted this many at a time: one cipher call per
// 64 KiB keeps the library's per-call cost out of the way, and the key
// stream still sits in the level-2 cache when it is applied.
constexpr std::size_t kBulkBlocks = 4096;
constexpr std::size_t kSha1Size = 20;

struct CipherDeleter {
  void operator()(EVP_CIPHER_CTX* context) const { EVP_CIPHER_CTX_free(context); }
};
struct MacDeleter {
  void operator()(EVP_MAC_CTX* context) const { EVP_MAC_CTX_free(context); }
};

void store_le64(std::uint8_t* at, std::uint64_t value) {
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(at, &value, sizeof value);
  } else {
    for (int i = 0; i < 8; ++i) at[i] = static_cast<std::uint8_t>(value >> (8 * i));
  }
}

// data ^= stream. Whole blocks go through local copies, which tells the
// compiler the two cannot overlap, so each block is one vector operation.
void xor_into(std::uint8_t* data, const std::uint8_t* stream, std::size_t length) {
  std::size_t i = 0;
  for (; i + kBlockSize <= length; i += kBlockSize) {
    std::uint8_t a[kBlockSize], b[kBlockSize];
    std::memcpy(a, data + i, kBlockSize);
    std::memcpy(b, stream + i, kBlockSize);
    for (std::size_t j = 0; j < kBlockSize; ++j) a[j] ^= b[j];
    std::memcpy(data + i, a, kBlockSize);
  }
  for (; i < length; ++i) data[i] ^= stream[i];
}

}  // namespace

struct WinZipAes {
  std::unique_ptr<EVP_CIPHER_CTX, CipherDeleter> cipher;  // AES-256 in ECB: the counter blocks
  std::unique_ptr<EVP_MAC_CTX, MacDeleter> mac;           // HMAC-SHA1 of the encrypted bytes
  std::uint64_t counter = 1;                              // WinZip starts counting at 1
  // The key stream of the last counter block, of which `pad_used` bytes
  // have been applied: a call that ends inside a block leaves the rest here.
  std::uint8_t pad[kBlockSize] = {};
  std::size_t pad_used = kBlockSize;
  // Counter blocks: the counter in the low 8 bytes, zeros above it, which
  // stay as they are from one run of blocks to the next.
  std::array<std::uint8_t, kBulkBlocks * kBlockSize> counters{};
  std::array<std::uint8_t, kBulkBlocks * kBlockSize> stream;

  // Encrypts the next `blocks` counter blocks into the stream.
  bool make_stream(std::size_t blocks) {
    for (std::size_t i = 0; i < blocks; ++i) store_le64(&counters[i * kBlockSize], counter++);
    const int length = static_cast<int>(blocks * kBlockSize);
    int written = 0;
    return EVP_EncryptUpdate(cipher.get(), stream.data(), &written, counters.data(), length) == 1 &&
           written == length;
  }
};

void WinZipAesDeleter::operator()(WinZipAes* aes) const {
  std::default_delete<WinZipAes>()(aes);
}

WinZipAesPtr winzip_aes_start(std::string_view password,
                              const std::uint8_t (&salt)[kWinZipAes256SaltSize],
                              const std::uint8_t (&verifier)[kWinZipAesVerifierSize]) {
  if (password.size() > INT_MAX) return nullptr;
  std::uint8_t keys[2 * kKeySize + kWinZipAesVerifierSize];
  // This SHA-1 form of the derivation, not the general one: the fuzz target
  // stands in for it to reuse the keys it has already derived.
  if (PKCS5_PBKDF2_HMAC_SHA1(password.data(), static_cast<int>(password.size()), salt,
                             static_cast<int>(sizeof salt), kKeyRounds,
                             static_cast<int>(sizeof keys), keys) != 1) {
    return nullptr;
  }
  const std::uint8_t* aes_key = keys;
  const std::uint8_t* mac_key = keys + kKeySize;
  const std::uint8_t* derived_verifier = keys + 2 * kKeySize;
  WinZipAesPtr aes;
  if (CRYPTO_memcmp(derived_verifier, verifier, kWinZipAesVerifierSize) == 0) {
    aes.reset(std::make_unique<WinZipAes>().release());
    aes->cipher.reset(EVP_CIPHER_CTX_new());
    EVP_MAC* hmac = EVP_MAC_fetch(nullptr, "HMAC", nullptr);
    if (hmac) aes->mac.reset(EVP_MAC_CTX_new(hmac));
    EVP_MAC_free(hmac);
    char digest_name[] = "SHA1";
    const OSSL_PARAM parameters[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest_name, 0),
        OSSL_PARAM_construct_end()};
    const bool ready =
        aes->cipher && aes->mac &&
        EVP_EncryptInit_ex(aes->cipher.get(), EVP_aes_256_ecb(), nullptr, aes_key, nullptr) == 1 &&
        EVP_CIPHER_CTX_set_padding(aes->cipher.get(), 0) == 1 &&
        EVP_MAC_init(aes->mac.get(), mac_key, kKeySize, parameters) == 1;
    if (!ready) aes.reset();
  }
  OPENSSL_cleanse(keys, sizeof keys);
  return aes;
}

bool winzip_aes_decrypt(WinZipAes& aes, std::uint8_t* data, std::size_t length) {
  // The code authenticates what was stored, so it sees the bytes first.
  if (length > 0 && EVP_MAC_update(aes.mac.get(), data, length) != 1) return false;
  const std::size_t from_pad = std::min(length, kBlockSize - aes.pad_used);
  xor_into(data, aes.pad + aes.pad_used, from_pad);
  aes.pad_used += from_pad;
  data += from_pad;
  length -= from_pad;
  while (length >= kBlockSize) {
    const std::size_t blocks = std::min(length / kBlockSize, kBulkBlocks);
    if (!aes.make_stream(blocks)) return false;
    xor_into(data, aes.stream.data(), blocks * kBlockSize);
    data += blocks * kBlockSize;
    length -= blocks * kBlockSize;
  }
  if (length > 0) {
    if (!aes.make_stream(1)) return false;
    std::memcpy(aes.pad, aes.stream.data(), kBlockSize);
    xor_into(data, aes.pad, length);
    aes.pad_used = length;
  }
  return true;
}

bool winzip_aes_authentic(WinZipAes& aes, const std::uint8_t (&code)[kWinZipAesCodeSize]) {
  std::uint8_t full[kSha1Size];
  std::size_t length = 0;
  if (EVP_MAC_final(aes.mac.get(), full, &length, sizeof full) != 1 || length != sizeof full) {
    return false;
  }
  return CRYPTO_memcmp(full, code, kWinZipAesCodeSize) == 0;
}

}  // namespace torvi
