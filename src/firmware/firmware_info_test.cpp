#include "firmware/firmware_info.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "package_fixtures.h"
#include "test_support.h"

namespace torvi {
namespace {

// An image of `size` bytes whose block (when it fits) names `model`.
std::vector<std::uint8_t> image_with(std::size_t size, const char* model) {
  std::vector<std::uint8_t> image(std::max<std::size_t>(size, 1835192), 0xa5);
  test::put_info_block(image, model, 0xFFFFFFFF);
  image.resize(size);
  return image;
}

TEST(FirmwareCheckInfo, SizeAndModelBoundaries) {
  const std::string report =
      "\r\n== Firmware Info ==\r\nmodel_name=KORVAN-4\r\nmodel_description=Controller\r\n"
      "version_string=4.2.0\r\nversion_number=4294967295\r\nversion_date=2026-11-30\r\n"
      "version_time=12:34:56\r\n== ==\r\n\r\n";
  const struct {
    std::size_t size;
    const char* model;
    bool accepted;
  } cases[] = {
      {0, "KORVAN-4", false},        {1835191, "KORVAN-4", false},  {1835192, "KORVAN-4", true},
      {16777214, "KORVAN-4", true},  {16777215, "KORVAN-4", false}, {1835192, "korvan-4", false},
      {1835192, "KORVAN-40", false}, {1835192, "KORVAN-", false},   {1835192, "", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.size) + " " + c.model);
    const std::vector<std::uint8_t> image = image_with(c.size, c.model);
    const std::vector<std::uint8_t> before = image;
    test::ConsoleCapture capture;
    EXPECT_EQ(firmware_check_info(image.data(), image.size()), c.accepted ? 0 : 1);
    EXPECT_EQ(capture.out(), c.accepted ? report : "");
    EXPECT_EQ(capture.err(), "");
    EXPECT_TRUE(image == before) << "the image must not change";
  }
  // Missing arguments are refused without a word.
  const std::vector<std::uint8_t> image = image_with(1835192, "KORVAN-4");
  FirmwareInfo info;
  test::ConsoleCapture capture;
  EXPECT_EQ(firmware_check_info(nullptr, image.size()), 1);
  EXPECT_EQ(firmware_read_info(nullptr, image.size(), &info), 1);
  EXPECT_EQ(firmware_read_info(image.data(), image.size(), nullptr), 1);
  EXPECT_EQ(capture.out(), "");
}

// A text field that fills all its 33 bytes has no NUL: the report shows the
// 33 bytes and stops there instead of running into the next field.
TEST(FirmwareCheckInfo, UnterminatedTextsStopAtTheirField) {
  std::vector<std::uint8_t> image = image_with(1835192, "KORVAN-4");
  std::uint8_t* block = image.data() + 1835008;
  std::memset(block + 45, 'D', 33);   // model_description
  std::memset(block + 78, 'V', 33);   // version_string
  std::memset(block + 149, 'T', 35);  // version_time and the reserved tail
  test::ConsoleCapture capture;
  ASSERT_EQ(firmware_check_info(image.data(), image.size()), 0);
  for (const std::string& line : {"model_description=" + std::string(33, 'D') + "\r\n",
                                 "version_string=" + std::string(33, 'V') + "\r\n",
                                 "version_time=" + std::string(33, 'T') + "\r\n"}) {
    EXPECT_NE(capture.out().find(line), std::string::npos) << line;
  }
  // A model name of 33 bytes with no NUL is not "KORVAN-4", even when it starts so.
  std::memset(block + 12 + 8, '4', 33 - 8);
  test::ConsoleCapture refused;
  EXPECT_EQ(firmware_check_info(image.data(), image.size()), 1);
  EXPECT_EQ(refused.out(), "");
}

}  // namespace
}  // namespace torvi
