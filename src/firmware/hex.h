#pragma once
// Hexadecimal text of byte blocks (the package header, the upgrade request's
// digest) and the extension rule that tells a package from a raw image.

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

// The text after the last '.' of the whole path (a '.' in a folder name
// counts too); an empty text when there is no '.' or when the only place
// it could start is the path's first character. Never null.
const char* file_extension(const char* path);

}  // namespace torvi
