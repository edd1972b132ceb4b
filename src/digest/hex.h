#pragma once
// Hexadecimal text of byte blocks: the firmware package's header and the
// digest the upgrade request names.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace torvi {

// Writes 2 * count lowercase hexadecimal digits, high nibble first, and a
// NUL into `text`, which must hold 2 * count + 1 characters. Returns 0, or -1
// (writing nothing) when count is 0 or a pointer is missing.
int hex_encode(const std::uint8_t* bytes, std::size_t count, char* text);

// Decodes the text up to its NUL, two digits per byte (either letter case).
// Nothing for an odd length, a character that is not a digit, or a missing
// text; an empty block for an empty text.
std::optional<std::vector<std::uint8_t>> hex_decode(const char* text);

}  // namespace torvi
