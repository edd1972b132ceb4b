#pragma once
// The information block every controller image carries at a fixed offset:
// the model it is built for and its version, shown before an install.

#include <cstddef>
#include <cstdint>

namespace torvi {

// Where the block sits in the image and how big it is.
constexpr std::size_t kFirmwareInfoOffset = 0x1C0000;  // 1835008
constexpr std::size_t kFirmwareInfoSize = 184;
// The shortest image that holds the whole block: 1835192 bytes.
constexpr std::size_t kFirmwareImageMinSize = kFirmwareInfoOffset + kFirmwareInfoSize;
// The longest image the controller takes: 16777214 bytes.
constexpr std::size_t kFirmwareImageMaxSize = 0xFFFFFE;
// The only model this tool installs images for.
constexpr char kFirmwareModelName[] = "KORVAN-4";

// Offsets of the fields inside the block; each text field is 33 bytes and
// meant to end with a NUL, the number is little-endian.
constexpr std::size_t kInfoModelNameOffset = 12;
constexpr std::size_t kInfoModelDescriptionOffset = 45;
constexpr std::size_t kInfoVersionStringOffset = 78;
constexpr std::size_t kInfoVersionNumberOffset = 112;
constexpr std::size_t kInfoVersionDateOffset = 116;
constexpr std::size_t kInfoVersionTimeOffset = 149;
constexpr std::size_t kInfoTextSize = 33;

// The block's fields; texts are copied as they are (the reserved bytes are
// not examined), so a text may lack its NUL and is read only within its
// 33 bytes.
struct FirmwareInfo {
  char model_name[kInfoTextSize];
  char model_description[kInfoTextSize];
  char version_string[kInfoTextSize];
  std::uint32_t version_number;
  char version_date[kInfoTextSize];
  char version_time[kInfoTextSize];
};

// Copies the block out of an image. Returns 1 when the image or the output
// is missing or `count` is below kFirmwareImageMinSize, otherwise 0.
int firmware_read_info(const std::uint8_t* image, std::size_t count, FirmwareInfo* info);

// Accepts an image of 1 to kFirmwareImageMaxSize bytes that holds the block
// and names the "KORVAN-4" model exactly; then prints the block's report and
// returns 0. Any refusal returns 1 and prints nothing.
int firmware_check_info(const std::uint8_t* image, std::size_t count);

}  // namespace torvi
