#include "channel/convert.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <string_view>

#include "channel/channel_file.h"
#include "platform/console.h"

namespace torvi {
namespace {

// A run of bytes carried from the old entry to the new one.
struct byte_run {
  std::size_t out;
  std::size_t in;
  std::size_t count;
};

// How one gear layout's entries become another's. The configured device
// type is derived from the layout-1 device type byte where the old layout
// has no field of its own (offsets 0: not derived).
struct gear_conversion {
  const gear_layout& from;
  const gear_layout& to;
  std::span<const byte_run> runs;
  std::size_t configured_type;
  std::size_t after_configured_type;
  bool type_blocks;  // layout 1's shared block goes to layout 2's separate blocks
};

constexpr byte_run kGear1To2[] = {
    {0, 0, gear1::kAfterDeviceType},           {gear2::kName, gear1::kName, kNameSize},
    {gear2::kAfterName, gear1::kAfterName, 1}, {gear2::kWord, gear1::kWord, 4},
    {gear2::kTail, gear1::kTail, 16},
};

constexpr byte_run kGear1To3[] = {
    {0, 0, gear1::kAfterDeviceType},           {gear3::kName, gear1::kName, kNameSize},
    {gear3::kAfterName, gear1::kAfterName, 1}, {gear3::kWord, gear1::kWord, 4},
    {gear3::kTail, gear1::kTail, 16},
};

constexpr byte_run kGear2To3[] = {
    {0, 0, gear2::kAfterDeviceType},         {gear3::kConfiguredType, gear2::kConfiguredType, 2},
    {gear3::kName, gear2::kName, kNameSize}, {gear3::kAfterName, gear2::kAfterName, 1},
    {gear3::kWord, gear2::kWord, 4},         {gear3::kTail, gear2::kTail, 16},
};

bool has_own_block(std::uint8_t type) {
  return type == kDeviceTypeConverter || type == kDeviceTypeLed || type == kDeviceTypeColour;
}

// Zeroes `output` to `length` bytes; false when there is no memory for it.
bool make_zeroed(std::vector<std::uint8_t>& output, std::size_t length) {
  try {
    output.assign(length, 0);
  } catch (const std::bad_alloc&) {
    output.clear();
    return false;
  }
  return true;
}

// The header every conversion ends with: one more conversion, the new
// version and length, and a checksum over the whole new file.
void finish(std::vector<std::uint8_t>& output, std::span<const std::uint8_t> input,
            std::uint32_t version) {
  config_header header = config_header_load(input.data());
  header.counter += 1;
  header.version = version;
  header.length = static_cast<std::uint32_t>(output.size());
  header.checksum = 0;
  config_header_store(output.data(), header);
  config_seal(output.data(), output.size());
}

int convert_gear(const gear_conversion& c, std::vector<std::uint8_t>& output,
                 std::span<const std::uint8_t> input) {
  if (input.size() != c.from.length || !make_zeroed(output, c.to.length)) return 1;
  const std::uint8_t* in = input.data();
  std::uint8_t* out = output.data();
  // Header and channel-wide part; byte 59 stays 0.
  std::memcpy(out, in, kGearChannelPartEnd);
  std::memcpy(out + c.to.groups, in + c.from.groups, kGroupEntryCount * kGroupEntrySize);
  std::memcpy(out + c.to.trailer, in + c.from.trailer, 4);
  for (std::size_t i = 0; i < kGearEntryCount; ++i) {
    const std::uint8_t* e = in + kGearEntries + i * c.from.entry_size;
    std::uint8_t* o = out + kGearEntries + i * c.to.entry_size;
    for (const byte_run& run : c.runs) std::memcpy(o + run.out, e + run.in, run.count);
    const std::uint8_t type = e[kEntryDeviceType];
    if (c.configured_type) {
      o[c.configured_type] = has_own_block(type) ? type : kDeviceTypeNone;
      o[c.after_configured_type] = kDeviceTypeNone;
    }
    if (c.type_blocks) {
      if (type == kDeviceTypeConverter) {
        std::memcpy(o + gear2::kType5Block, e + gear1::kTypeBlock, gear1::kType5Size);
      } else if (type == kDeviceTypeLed) {
        std::memcpy(o + gear2::kType6Block, e + gear1::kTypeBlock, gear1::kType6Size);
      } else if (type == kDeviceTypeColour) {
        std::memcpy(o + gear2::kType8Block, e + gear1::kTypeBlock, gear1::kType8Size);
      }
    }
  }
  finish(output, input, c.to.version);
  return 0;
}

// Prints the refusal of a downgrade.
int not_supported(const char* what, std::uint32_t stored, int target) {
  console_out("CONFIGURATION %s CONVERSION VERSION %u to %u IS NOT SUPPORTED!", what, stored,
              static_cast<unsigned>(target));
  return CONVERT_REFUSED;
}

int copy_unchanged(std::span<const std::uint8_t> data, std::vector<std::uint8_t>& output) {
  try {
    output.assign(data.begin(), data.end());
  } catch (const std::bad_alloc&) {
    output.clear();
    return CONVERT_REFUSED;
  }
  return CONVERT_OK;
}

int converted(int (*conversion)(std::vector<std::uint8_t>&, std::span<const std::uint8_t>),
              std::span<const std::uint8_t> data, std::vector<std::uint8_t>& output) {
  if (conversion(output, data) != 0) {
    output.clear();
    return CONVERT_REFUSED;
  }
  return CONVERT_OK;
}

int convert_gear_file(const char* firmware_version, std::span<const std::uint8_t> data,
                      std::vector<std::uint8_t>& output) {
  if (!firmware_version) return CONVERT_MISSING;
  const std::uint32_t stored = load_u32(data.data() + kHeaderVersion);
  const int target = layout_for_firmware(firmware_layout_table, firmware_version);
  if (stored > 3) return CONVERT_REFUSED;
  if (stored == 3 && target < 3) return not_supported("dali", stored, target);
  if (stored == 2 && target < 2) return not_supported("dali", stored, target);
  if (stored == 2 && target == 3) return converted(convert_gear_2_to_3, data, output);
  if (stored <= 1 && target == 2) return converted(convert_gear_1_to_2, data, output);
  if (stored <= 1 && target == 3) return converted(convert_gear_1_to_3, data, output);
  return copy_unchanged(data, output);
}

int convert_device_file(const char* firmware_version, std::span<const std::uint8_t> data,
                        std::vector<std::uint8_t>& output) {
  const std::uint32_t stored = load_u32(data.data() + kHeaderVersion);
  if (stored == 1 || stored == 3) return copy_unchanged(data, output);
  if (stored != 2) return CONVERT_REFUSED;
  if (!firmware_version) return CONVERT_MISSING;
  const int target = layout_for_firmware(cd_restore_layout_table, firmware_version);
  if (target == 3) return converted(convert_device_2_to_3, data, output);
  if (target == 2) return copy_unchanged(data, output);
  return not_supported("dalicd", stored, target);
}

}  // namespace

int convert_gear_1_to_2(std::vector<std::uint8_t>& output, std::span<const std::uint8_t> input) {
  static const gear_conversion c{gear_layout_of(1),      gear_layout_of(2),           kGear1To2,
                                 gear2::kConfiguredType, gear2::kAfterConfiguredType, true};
  return convert_gear(c, output, input);
}

int convert_gear_1_to_3(std::vector<std::uint8_t>& output, std::span<const std::uint8_t> input) {
  static const gear_conversion c{gear_layout_of(1),      gear_layout_of(3),           kGear1To3,
                                 gear3::kConfiguredType, gear3::kAfterConfiguredType, false};
  return convert_gear(c, output, input);
}

int convert_gear_2_to_3(std::vector<std::uint8_t>& output, std::span<const std::uint8_t> input) {
  static const gear_conversion c{gear_layout_of(2), gear_layout_of(3), kGear2To3, 0, 0, false};
  return convert_gear(c, output, input);
}

int convert_device_2_to_3(std::vector<std::uint8_t>& output, std::span<const std::uint8_t> input) {
  if (input.size() != device2::kLength || !make_zeroed(output, device3::kLength)) return 1;
  const std::uint8_t* in = input.data();
  std::uint8_t* out = output.data();
  std::memcpy(out, in, kDeviceChannelPartEnd);
  for (std::size_t d = 0; d < kDeviceCount; ++d) {
    const std::uint8_t* entry = in + kDeviceEntries + d * kDeviceEntrySize;
    std::memcpy(out + kDeviceEntries + d * kDeviceEntrySize, entry, kDevEntryCopied);
    const std::uint8_t* from = in + kInstanceBlocks + d * device2::kBlockSize;
    std::uint8_t* to = out + kInstanceBlocks + d * device3::kBlockSize;
    bool push_button = false;
    for (std::size_t j = 0; j < kInstanceCount; ++j) {
      std::uint8_t* record = to + device3::kRecords + j * device3::kRecordSize;
      switch (entry[kDevInstances + 2 * j]) {
        case kInstancePushButton:
          std::memcpy(record, from + kPushButtonSize * j, kPushButtonSize);
          push_button = true;
          break;
        case kInstanceOccupancy:
          std::memcpy(record, from + kOccupancySize * j, kOccupancySize);
          break;
        case kInstanceLight:
          std::memcpy(record, from + kLightSize * j, kLightSize);
          break;
        default:
          break;
      }
    }
    // Every device with a push button keeps its own device-wide value.
    if (push_button) to[device3::kPushButtonValue] = from[device2::kPushButtonValue];
  }
  finish(output, input, 3);
  return 0;
}

int convert_config(std::uint32_t kind, const char* firmware_version,
                   std::span<const std::uint8_t> data, std::vector<std::uint8_t>& output) {
  output.clear();
  if (data.empty()) return CONVERT_MISSING;
  if (kind > kKindLast) return CONVERT_REFUSED;
  const bool gear = kind >= kKindGearFirst && kind <= kKindGearLast;
  const bool device = kind >= kKindDeviceFirst && kind <= kKindDeviceLast;
  if (!gear && !device) return copy_unchanged(data, output);
  // A channel file without a whole header has no version to decide by.
  if (data.size() < kHeaderSize) return CONVERT_REFUSED;
  return gear ? convert_gear_file(firmware_version, data, output)
              : convert_device_file(firmware_version, data, output);
}

}  // namespace torvi
