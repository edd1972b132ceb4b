#include "firmware/firmware_info.h"

#include <cstring>
#include <string_view>

#include "platform/console.h"

namespace torvi {
namespace {

std::uint32_t load_le32(const std::uint8_t* p) {
  return std::uint32_t{p[0]} | (std::uint32_t{p[1]} << 8) | (std::uint32_t{p[2]} << 16) |
         (std::uint32_t{p[3]} << 24);
}

// A text field up to its first NUL, never past its 33 bytes.
std::string_view field_text(const char (&field)[kInfoTextSize]) {
  return std::string_view(field, strnlen(field, kInfoTextSize));
}

int text_width(const char (&field)[kInfoTextSize]) {
  return static_cast<int>(field_text(field).size());
}

}  // namespace

int firmware_read_info(const std::uint8_t* image, std::size_t count, FirmwareInfo* info) {
  if (!image || !info || count < kFirmwareImageMinSize) return 1;
  const std::uint8_t* block = image + kFirmwareInfoOffset;
  std::memcpy(info->model_name, block + kInfoModelNameOffset, kInfoTextSize);
  std::memcpy(info->model_description, block + kInfoModelDescriptionOffset, kInfoTextSize);
  std::memcpy(info->version_string, block + kInfoVersionStringOffset, kInfoTextSize);
  info->version_number = load_le32(block + kInfoVersionNumberOffset);
  std::memcpy(info->version_date, block + kInfoVersionDateOffset, kInfoTextSize);
  std::memcpy(info->version_time, block + kInfoVersionTimeOffset, kInfoTextSize);
  return 0;
}

int firmware_check_info(const std::uint8_t* image, std::size_t count) {
  if (!image || count == 0 || count > kFirmwareImageMaxSize) return 1;
  FirmwareInfo info;
  if (firmware_read_info(image, count, &info) != 0) return 1;
  if (field_text(info.model_name) != kFirmwareModelName) return 1;

  console_out("\r\n== Firmware Info ==\r\n");
  console_out("model_name=%.*s\r\n", text_width(info.model_name), info.model_name);
  console_out("model_description=%.*s\r\n", text_width(info.model_description),
              info.model_description);
  console_out("version_string=%.*s\r\n", text_width(info.version_string), info.version_string);
  console_out("version_number=%u\r\n", info.version_number);
  console_out("version_date=%.*s\r\n", text_width(info.version_date), info.version_date);
  console_out("version_time=%.*s\r\n", text_width(info.version_time), info.version_time);
  console_out("== ==\r\n\r\n");
  return 0;
}

}  // namespace torvi
