#include "digest/hex.h"

#include <cstring>

namespace torvi {
namespace {

int nibble_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

int hex_encode(const std::uint8_t* bytes, std::size_t count, char* text) {
  static constexpr char kDigits[] = "0123456789abcdef";
  if (!bytes || !text || count == 0) return -1;
  for (std::size_t i = 0; i < count; ++i) {
    text[2 * i] = kDigits[bytes[i] >> 4];
    text[2 * i + 1] = kDigits[bytes[i] & 0x0f];
  }
  text[2 * count] = '\0';
  return 0;
}

std::optional<std::vector<std::uint8_t>> hex_decode(const char* text) {
  if (!text) return std::nullopt;
  const std::size_t length = std::strlen(text);
  if (length % 2 != 0) return std::nullopt;
  std::vector<std::uint8_t> bytes(length / 2, 0);
  for (std::size_t i = 0; i < length; ++i) {
    const int value = nibble_value(text[i]);
    if (value < 0) return std::nullopt;
    bytes[i / 2] |= static_cast<std::uint8_t>(i % 2 == 0 ? value << 4 : value);
  }
  return bytes;
}

}  // namespace torvi
