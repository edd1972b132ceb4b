#pragma once
// Converting a stored configuration member to the layout the target
// controller's firmware expects, before a restore sends it. Files are only
// converted upwards: a gear file newer than the target's layout is refused,
// and so is a version-2 device file for a target below layout 2.

#include <cstdint>
#include <span>
#include <vector>

namespace torvi {

// Member kinds as the restore table numbers them: 0 and 9..17 are carried
// unchanged, 1..4 are the gear files and 5..8 the device files of channels 1..4.
constexpr std::uint32_t kKindGearFirst = 1;
constexpr std::uint32_t kKindGearLast = 4;
constexpr std::uint32_t kKindDeviceFirst = 5;
constexpr std::uint32_t kKindDeviceLast = 8;
constexpr std::uint32_t kKindLast = 17;

// Results of convert_config.
constexpr int CONVERT_OK = 0;       // `output` holds the bytes to send
constexpr int CONVERT_MISSING = 1;  // no bytes, or no firmware version where one is needed
constexpr int CONVERT_REFUSED = 2;  // unknown kind or version, wrong length, downgrade

// Gives in `output` the bytes to send for the stored member `data` of kind
// `kind` to a controller running `firmware_version`: the member unchanged,
// or converted to the layout that firmware selects. Prints
// "CONFIGURATION %s CONVERSION VERSION %u to %u IS NOT SUPPORTED!" for a
// refused downgrade; other refusals are silent. `output` is left empty
// unless the result is CONVERT_OK.
int convert_config(std::uint32_t kind, const char* firmware_version,
                   std::span<const std::uint8_t> data, std::vector<std::uint8_t>& output);

// Each fills `output` with a complete file of the new layout (counter raised
// by 1, new version and length, fresh checksum) from a complete `input` of
// the old one. 1 when the input does not have the old layout's length.
int convert_gear_1_to_2(std::vector<std::uint8_t>& output, std::span<const std::uint8_t> input);
int convert_gear_1_to_3(std::vector<std::uint8_t>& output, std::span<const std::uint8_t> input);
int convert_gear_2_to_3(std::vector<std::uint8_t>& output, std::span<const std::uint8_t> input);
int convert_device_2_to_3(std::vector<std::uint8_t>& output, std::span<const std::uint8_t> input);

}  // namespace torvi
