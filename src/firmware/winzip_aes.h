#pragma once
// WinZip AES-256 decryption of one ZIP entry's data, in bulk. An entry's
// stored bytes are: the salt, the 2-byte password verifier, the encrypted
// data, and a 10-byte authentication code. The keys come from the password
// and the salt (PBKDF2-HMAC-SHA1, 1000 rounds); the data is AES-256 in
// counter mode with a little-endian counter starting at 1, authenticated by
// HMAC-SHA1 over the encrypted bytes. Kept behind this small interface so
// that only this file knows the crypto library.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

namespace torvi {

constexpr std::size_t kWinZipAes256SaltSize = 16;
constexpr std::size_t kWinZipAesVerifierSize = 2;
constexpr std::size_t kWinZipAesCodeSize = 10;
// What an AES-256 entry holds besides its data.
constexpr std::size_t kWinZipAes256Overhead =
    kWinZipAes256SaltSize + kWinZipAesVerifierSize + kWinZipAesCodeSize;

// The keys and the running state of one entry (winzip_aes.cpp).
struct WinZipAes;
struct WinZipAesDeleter {
  void operator()(WinZipAes* aes) const;
};
using WinZipAesPtr = std::unique_ptr<WinZipAes, WinZipAesDeleter>;

// Derives the entry's keys from `password` and the salt and the verifier
// at the start of its data. Null when the verifier does not match, which is
// how a wrong password shows, or when the crypto library fails.
WinZipAesPtr winzip_aes_start(std::string_view password,
                              const std::uint8_t (&salt)[kWinZipAes256SaltSize],
                              const std::uint8_t (&verifier)[kWinZipAesVerifierSize]);

// Authenticates and decrypts the next `length` bytes of the entry's data in
// place. Calls may split the data anywhere. False when the crypto library
// fails.
bool winzip_aes_decrypt(WinZipAes& aes, std::uint8_t* data, std::size_t length);

// True when `code`, the entry's last 10 bytes, authenticates all the data
// given to winzip_aes_decrypt.
bool winzip_aes_authentic(WinZipAes& aes, const std::uint8_t (&code)[kWinZipAesCodeSize]);

}  // namespace torvi
