#include "firmware/hex.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace torvi {
namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(HexEncode, WritesLowercaseDigitsAndNulOnly) {
  const std::pair<Bytes, const char*> cases[] = {
      {{0x00}, "00"},
      {{0x0a, 0xb0}, "0ab0"},
      {{0x12, 0x34, 0x56, 0x78, 0x9a, 0xbc, 0xde, 0xff}, "123456789abcdeff"}};
  for (const auto& [bytes, expected] : cases) {
    char text[64];
    std::memset(text, '#', sizeof text);
    ASSERT_EQ(hex_encode(bytes.data(), bytes.size(), text), 0);
    EXPECT_STREQ(text, expected);
    EXPECT_EQ(text[2 * bytes.size() + 1], '#') << "wrote past the NUL";
  }
  // Nothing to encode, or nowhere to: -1 and nothing written.
  const std::uint8_t byte = 1;
  char text[4] = "###";
  EXPECT_EQ(hex_encode(&byte, 0, text), -1);
  EXPECT_EQ(hex_encode(nullptr, 1, text), -1);
  EXPECT_EQ(hex_encode(&byte, 1, nullptr), -1);
  EXPECT_STREQ(text, "###");
}

TEST(HexDecode, AcceptsBothCasesAndRefusesTheRest) {
  const std::pair<const char*, Bytes> cases[] = {
      {"", {}}, {"0aFf", {0x0a, 0xff}}, {"AbCdEf09", {0xab, 0xcd, 0xef, 0x09}}};
  for (const auto& [text, bytes] : cases) EXPECT_EQ(hex_decode(text), bytes) << text;
  // An odd length, and the characters either side of each digit range.
  for (const char* text : {"abc", "/0", "12:3", "0@", "G0", "`0", "0g"}) {
    EXPECT_EQ(hex_decode(text), std::nullopt) << text;
  }
  EXPECT_EQ(hex_decode(nullptr), std::nullopt);
  // Every byte value, both ways.
  Bytes all(256);
  for (int i = 0; i < 256; ++i) all[i] = static_cast<std::uint8_t>(i);
  char text[513];
  ASSERT_EQ(hex_encode(all.data(), all.size(), text), 0);
  EXPECT_EQ(hex_decode(text), all);
}

TEST(FileExtension, TakesTheTextAfterTheLastDot) {
  const struct {
    const char* path;
    const char* extension;
  } cases[] = {
      {"fw.tar.bin", "bin"},
      {"fw.BIN", "BIN"},
      {".bin", ""},
      {"image.", ""},
      {"image", ""},
      {"", ""},
      {"C:\\fw.old\\image", "old\\image"},
      {"dir/.hidden", "hidden"},
      {nullptr, ""},
  };
  for (const auto& c : cases) {
    const char* extension = file_extension(c.path);
    ASSERT_NE(extension, nullptr);
    EXPECT_STREQ(extension, c.extension) << (c.path ? c.path : "(null)");
  }
}

}  // namespace
}  // namespace torvi
