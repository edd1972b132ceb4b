#include "firmware/firmware_info.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "firmware/package_fixtures.h"
#include "test_support.h"

namespace torvi {
namespace {

const char kReport[] =
    "\r\n== Firmware Info ==\r\n"
    "model_name=KORVAN-4\r\n"
    "model_description=Controller\r\n"
    "version_string=4.2.0\r\n"
    "version_number=%u\r\n"
    "version_date=2026-11-30\r\n"
    "version_time=12:34:56\r\n"
    "== ==\r\n\r\n";

std::string report_for(std::uint32_t version) {
  char text[512];
  std::snprintf(text, sizeof text, kReport, version);
  return text;
}

// An image of `size` bytes whose block (when it fits) names `model`.
std::vector<std::uint8_t> image_with(std::size_t size, const char* model,
                                     std::uint32_t version = 0xFFFFFFFF) {
  std::vector<std::uint8_t> image(std::max(size, kFirmwareImageMinSize), 0xa5);
  test::put_info_block(image, model, version);
  image.resize(size);
  return image;
}

TEST(FirmwareCheckInfo, SizeAndModelBoundaries) {
  const struct {
    const char* name;
    std::size_t size;
    const char* model;
    bool accepted;
  } cases[] = {
      {"empty image", 0, "KORVAN-4", false},
      {"block cut by one byte", kFirmwareImageMinSize - 1, "KORVAN-4", false},
      {"just holds the block", kFirmwareImageMinSize, "KORVAN-4", true},
      {"largest image", kFirmwareImageMaxSize, "KORVAN-4", true},
      {"one byte too large", kFirmwareImageMaxSize + 1, "KORVAN-4", false},
      {"model in lowercase", kFirmwareImageMinSize, "korvan-4", false},
      {"model that only begins right", kFirmwareImageMinSize, "KORVAN-40", false},
      {"model cut short", kFirmwareImageMinSize, "KORVAN-", false},
      {"no model", kFirmwareImageMinSize, "", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::vector<std::uint8_t> image = image_with(c.size, c.model);
    const std::vector<std::uint8_t> before = image;
    test::ConsoleCapture capture;
    EXPECT_EQ(firmware_check_info(image.data(), image.size()), c.accepted ? 0 : 1);
    EXPECT_EQ(capture.out(), c.accepted ? report_for(0xFFFFFFFF) : "");  // the largest version
    EXPECT_EQ(capture.err(), "");
    EXPECT_TRUE(image == before) << "the image must not change";
  }
  // Missing arguments are refused without a word.
  const std::vector<std::uint8_t> image = image_with(kFirmwareImageMinSize, "KORVAN-4");
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
  std::vector<std::uint8_t> image = image_with(kFirmwareImageMinSize, "KORVAN-4", 1);
  std::uint8_t* block = image.data() + kFirmwareInfoOffset;
  std::memset(block + kInfoModelDescriptionOffset, 'D', kInfoTextSize);
  std::memset(block + kInfoVersionStringOffset, 'V', kInfoTextSize);
  std::memset(block + kInfoVersionTimeOffset, 'T', kInfoTextSize);
  std::memset(block + kInfoVersionTimeOffset + kInfoTextSize, 'R', 2);  // the reserved tail
  test::ConsoleCapture capture;
  ASSERT_EQ(firmware_check_info(image.data(), image.size()), 0);
  const std::string out = capture.out();
  EXPECT_NE(out.find("model_description=" + std::string(33, 'D') + "\r\n"), std::string::npos);
  EXPECT_NE(out.find("version_string=" + std::string(33, 'V') + "\r\n"), std::string::npos);
  EXPECT_NE(out.find("version_time=" + std::string(33, 'T') + "\r\n"), std::string::npos);

  // A model name of 33 bytes with no NUL is not "KORVAN-4", even when it starts so.
  std::memcpy(block + kInfoModelNameOffset, "KORVAN-4", 8);
  std::memset(block + kInfoModelNameOffset + 8, '4', kInfoTextSize - 8);
  test::ConsoleCapture refused;
  EXPECT_EQ(firmware_check_info(image.data(), image.size()), 1);
  EXPECT_EQ(refused.out(), "");
}

}  // namespace
}  // namespace torvi
