#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace korvan {

// A plain decimal number as requests and options carry it: digits only (no
// sign, no blanks), within [min, max]; nothing otherwise.
std::optional<uint64_t> parse_decimal(const std::string& text, uint64_t min = 0,
                                      uint64_t max = UINT64_MAX);

}  // namespace korvan
