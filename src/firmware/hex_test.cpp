#include "firmware/hex.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace torvi {
namespace {

TEST(HexEncode, WritesLowercaseDigitsAndNul) {
  const struct {
    std::vector<std::uint8_t> bytes;
    const char* text;
  } cases[] = {
      {{0x00}, "00"},
      {{0xff}, "ff"},
      {{0x0a, 0xb0}, "0ab0"},
      {{0x12, 0x34, 0x56, 0x78, 0x9a, 0xbc, 0xde, 0xf0}, "123456789abcdef0"},
  };
  for (const auto& c : cases) {
    char text[64];
    std::memset(text, '#', sizeof text);
    ASSERT_EQ(hex_encode(c.bytes.data(), c.bytes.size(), text), 0);
    EXPECT_STREQ(text, c.text);
    EXPECT_EQ(text[2 * c.bytes.size() + 1], '#') << "wrote past the NUL";
  }
}

TEST(HexEncode, RefusesEmptyOrMissing) {
  const std::uint8_t byte = 1;
  char text[4] = "###";
  EXPECT_EQ(hex_encode(&byte, 0, text), -1);
  EXPECT_EQ(hex_encode(nullptr, 1, text), -1);
  EXPECT_EQ(hex_encode(&byte, 1, nullptr), -1);
  EXPECT_STREQ(text, "###");
}

TEST(HexDecode, AcceptsBothCasesAndRefusesTheRest) {
  const struct {
    const char* text;
    std::optional<std::vector<std::uint8_t>> bytes;
  } cases[] = {
      {"", std::vector<std::uint8_t>{}},
      {"00", std::vector<std::uint8_t>{0x00}},
      {"0aFf", std::vector<std::uint8_t>{0x0a, 0xff}},
      {"AbCdEf09", std::vector<std::uint8_t>{0xab, 0xcd, 0xef, 0x09}},
      {"abc", std::nullopt},
      {"0", std::nullopt},
      {"0g", std::nullopt},
      {"g0", std::nullopt},
      {" 0", std::nullopt},
      {"0x12", std::nullopt},
      {"12:3", std::nullopt},
      {nullptr, std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text ? c.text : "(null)");
    EXPECT_EQ(hex_decode(c.text), c.bytes);
  }
}

TEST(HexDecode, UndoesEncodeForEveryByte) {
  std::vector<std::uint8_t> all(256);
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
      {"image.binary", "binary"},
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
    SCOPED_TRACE(c.path ? c.path : "(null)");
    const char* extension = file_extension(c.path);
    ASSERT_NE(extension, nullptr);
    EXPECT_STREQ(extension, c.extension);
  }
}

}  // namespace
}  // namespace torvi
