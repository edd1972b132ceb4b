#pragma once
// The one mbedtls call the digest tests make, answered by Windows' own
// cryptography (CNG), so the Windows build is checked against an
// implementation that shares nothing with ours.

#include <windows.h>
// after windows.h, whose types it uses
#include <bcrypt.h>

#include <cstddef>

inline int mbedtls_sha256_ret(const unsigned char* input, std::size_t length,
                              unsigned char output[32], int is224) {
  BCRYPT_ALG_HANDLE algorithm = nullptr;
  if (is224 || BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0) != 0)
    return -1;
  const NTSTATUS status = BCryptHash(algorithm, nullptr, 0, const_cast<PUCHAR>(input),
                                     static_cast<ULONG>(length), output, 32);
  BCryptCloseAlgorithmProvider(algorithm, 0);
  return status == 0 ? 0 : -1;
}
