#include "digest/hex.h"

#include <gtest/gtest.h>

#include <cstring>

namespace torvi {
namespace {

using Bytes = std::vector<std::uint8_t>;

// Every byte value both ways, nothing written past the NUL, and -1 with
// nothing written when there is nothing to encode or nowhere to.
TEST(Hex, EncodesLowercaseAndRefusesNothing) {
  Bytes all(256);
  for (int i = 0; i < 256; ++i) all[i] = static_cast<std::uint8_t>(i);
  char text[520];
  std::memset(text, '#', sizeof text);
  ASSERT_EQ(hex_encode(all.data() + 0x12, 8, text), 0);
  EXPECT_STREQ(text, "1213141516171819");
  EXPECT_EQ(text[17], '#');
  ASSERT_EQ(hex_encode(all.data(), all.size(), text), 0);
  EXPECT_EQ(std::string(text, 6) + std::string(text + 506), "000102fdfeff");
  EXPECT_EQ(hex_decode(text), all);
  std::strcpy(text, "###");
  EXPECT_EQ(hex_encode(all.data(), 0, text), -1);
  EXPECT_EQ(hex_encode(nullptr, 1, text), -1);
  EXPECT_EQ(hex_encode(all.data(), 1, nullptr), -1);
  EXPECT_STREQ(text, "###");
}

TEST(Hex, DecodesBothCasesAndRefusesTheRest) {
  const std::pair<const char*, Bytes> cases[] = {
      {"", {}}, {"0aFf", {0x0a, 0xff}}, {"AbCdEf09", {0xab, 0xcd, 0xef, 0x09}}};
  for (const auto& [text, bytes] : cases) EXPECT_EQ(hex_decode(text), bytes) << text;
  // An odd length, and the characters either side of each digit range.
  for (const char* text :
       {"abc", "/0", "12:3", "0@", "G0", "`0", "0g", static_cast<const char*>(nullptr)})
    EXPECT_EQ(hex_decode(text), std::nullopt) << (text ? text : "null");
}

}  // namespace
}  // namespace torvi
