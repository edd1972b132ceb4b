#include "sim/number_text.h"

#include <charconv>

namespace korvan {

std::optional<uint64_t> parse_decimal(const std::string& text, uint64_t min, uint64_t max) {
  uint64_t value = 0;
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (text.empty() || text[0] == '-' || ec != std::errc() || ptr != end || value < min ||
      value > max) {
    return std::nullopt;
  }
  return value;
}

}  // namespace korvan
