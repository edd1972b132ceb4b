#include "channel/channel_view.h"

#include <cstring>
#include <vector>

namespace torvi {
namespace {

constexpr std::size_t N = kNoField;

// Every layout at the same place.
constexpr channel_field same(const char* name, field_form form, std::size_t width,
                             std::size_t offset) {
  return {name, form, width, {offset, offset, offset}};
}

constexpr channel_field kGearChannelFields[] = {
    same("channel_value", field_form::number, 4, kGearChannelValue),
};

constexpr channel_field kGearEntryFields[] = {
    same("flags", field_form::number, 4, kEntryFlags),
    same("level_1", field_form::number, 1, kEntryLevel1),
    same("level_2", field_form::number, 1, kEntryLevel1 + 1),
    same("level_3", field_form::number, 1, kEntryLevel1 + 2),
    same("level_4", field_form::number, 1, kEntryLevel1 + 3),
    same("fade_rate", field_form::number, 1, kEntryFadeRate),
    same("fade_time", field_form::number, 1, kEntryFadeTime),
    same("address_byte", field_form::number, 1, kEntryAddress),
    same("groups", field_form::number, 2, kEntryGroups),
    same("scenes", field_form::bytes, kSceneCount, kEntryScenes),
    same("import_mark", field_form::number, 1, kEntryWritten),
    same("device_type", field_form::number, 1, kEntryDeviceType),
    {"configured_type", field_form::number, 1, {N, gear2::kConfiguredType, gear3::kConfiguredType}},
    {"type_block", field_form::bytes, gear1::kType8Size, {gear1::kTypeBlock, N, N}},
    {"type_5_block", field_form::bytes, gear1::kType5Size, {N, gear2::kType5Block, N}},
    {"type_6_block", field_form::bytes, gear1::kType6Size, {N, gear2::kType6Block, N}},
    {"type_8_block", field_form::bytes, gear1::kType8Size, {N, gear2::kType8Block, N}},
    {"name", field_form::text, kNameSize, {gear1::kName, gear2::kName, gear3::kName}},
};

constexpr channel_field kEntryTableFields[] = {
    {"record", field_form::bytes, gear1::kEntryTableSize, {0, N, N}},
};

constexpr channel_field kTrailerFields[] = {
    same("trailer", field_form::number, 4, 0),
};

constexpr channel_field kGroupEntryFields[] = {
    same("name", field_form::text, kNameSize, kGroupName),
    same("import_mark", field_form::number, 1, kGroupWritten),
};

constexpr channel_field kDeviceChannelFields[] = {
    {"channel_value", field_form::number, 4, {N, kDeviceChannelValue, kDeviceChannelValue}},
};

constexpr channel_field device_field(const char* name, field_form form, std::size_t width,
                                     std::size_t offset) {
  return {name, form, width, {N, offset, offset}};
}

constexpr channel_field kDeviceEntryFields[] = {
    device_field("flags", field_form::number, 4, kDevFlags),
    device_field("address_byte", field_form::number, 1, kDevAddress),
    device_field("instance_count", field_form::number, 1, kDevInstanceCount),
    device_field("import_mark", field_form::number, 1, kDevWritten),
    device_field("instance_types_values", field_form::bytes, 2 * kInstanceCount, kDevInstances),
    device_field("name", field_form::text, kDevNameSize, kDevName),
};

constexpr channel_field kInstanceBlockFields[] = {
    {"push_button_value",
     field_form::number,
     1,
     {N, device2::kPushButtonValue, device3::kPushButtonValue}},
};

}  // namespace

const channel_region gear_channel_region = {
    "channel", 1, {0, 0, 0}, {kGearEntries, kGearEntries, kGearEntries}, kGearChannelFields};
const channel_region gear_entry_region = {"gear",
                                          kGearEntryCount,
                                          {kGearEntries, kGearEntries, kGearEntries},
                                          {gear1::kEntrySize, gear2::kEntrySize, gear3::kEntrySize},
                                          kGearEntryFields};
const channel_region group_entry_region = {"group",
                                           kGroupEntryCount,
                                           {gear1::kGroups, gear2::kGroups, gear3::kGroups},
                                           {kGroupEntrySize, kGroupEntrySize, kGroupEntrySize},
                                           kGroupEntryFields};
const channel_region entry_table_region = {"entry_table",
                                           kGearEntryCount,
                                           {gear1::kEntryTable, N, N},
                                           {gear1::kEntryTableSize, 0, 0},
                                           kEntryTableFields};
const channel_region gear_trailer_region = {
    "trailer", 1, {gear1::kTrailer, gear2::kTrailer, gear3::kTrailer}, {4, 4, 4}, kTrailerFields};
const channel_region device_channel_region = {
    "channel", 1, {N, 0, 0}, {0, kDeviceEntries, kDeviceEntries}, kDeviceChannelFields};
const channel_region device_entry_region = {"device",
                                            kDeviceCount,
                                            {N, kDeviceEntries, kDeviceEntries},
                                            {0, kDeviceEntrySize, kDeviceEntrySize},
                                            kDeviceEntryFields};
const channel_region instance_block_region = {"instances",
                                              kDeviceCount,
                                              {N, kInstanceBlocks, kInstanceBlocks},
                                              {0, device2::kBlockSize, device3::kBlockSize},
                                              kInstanceBlockFields};

namespace {

const channel_region* const kGearRegions[] = {&gear_channel_region, &gear_entry_region,
                                              &group_entry_region, &entry_table_region,
                                              &gear_trailer_region};
const channel_region* const kDeviceRegions[] = {&device_channel_region, &device_entry_region,
                                                &instance_block_region};

}  // namespace

channel_view channel_view_of(channel_file_kind kind, std::span<const std::uint8_t> bytes) {
  std::uint32_t version = bytes.size() >= kHeaderSize ? load_u32(bytes.data() + kHeaderVersion) : 0;
  if (kind == channel_file_kind::gear && (version < 1 || version > 3)) version = 1;
  return {kind, bytes, version};
}

std::span<const channel_region* const> channel_regions(channel_file_kind kind) {
  if (kind == channel_file_kind::gear) return kGearRegions;
  return kDeviceRegions;
}

std::span<const std::uint8_t> field_bytes(const channel_view& view, const channel_region& region,
                                          std::size_t index, const channel_field& field) {
  if (view.layout < 1 || view.layout > 3 || index >= region.count) return {};
  const std::size_t v = view.layout - 1;
  if (region.base[v] == N || field.at[v] == N) return {};
  const std::size_t offset = region.base[v] + index * region.stride[v] + field.at[v];
  if (offset > view.bytes.size() || view.bytes.size() - offset < field.width) return {};
  return view.bytes.subspan(offset, field.width);
}

const channel_field* find_field(const channel_region& region, const char* name) {
  for (const channel_field& field : region.fields) {
    if (std::strcmp(field.name, name) == 0) return &field;
  }
  return nullptr;
}

std::optional<std::uint32_t> field_number(const channel_view& view, const channel_region& region,
                                          std::size_t index, const char* name) {
  const channel_field* field = find_field(region, name);
  if (!field) return std::nullopt;
  const std::span<const std::uint8_t> bytes = field_bytes(view, region, index, *field);
  if (bytes.empty()) return std::nullopt;
  std::uint32_t value = 0;
  for (std::size_t i = bytes.size(); i-- > 0;) value = (value << 8) | bytes[i];
  return value;
}

std::string field_text(std::span<const std::uint8_t> bytes) {
  // A field the file is too short for has no bytes, and no address either.
  if (bytes.empty()) return {};
  const auto* text = reinterpret_cast<const char*>(bytes.data());
  return std::string(text, strnlen(text, bytes.size()));
}

std::optional<unsigned> entry_short_address(std::uint32_t flags, std::uint8_t address) {
  if (!(flags & kFlagShortAddress) || !(address & 1) || address > 2 * 63 + 1) return std::nullopt;
  return (address - 1u) / 2;
}

std::span<const std::uint8_t> instance_record(const channel_view& view, std::size_t device,
                                              std::size_t j) {
  static const channel_field* const instances =
      find_field(device_entry_region, "instance_types_values");
  const std::span<const std::uint8_t> pairs =
      field_bytes(view, device_entry_region, device, *instances);
  if (pairs.empty() || j >= kInstanceCount) return {};
  std::size_t size = 0;
  switch (pairs[2 * j]) {
    case kInstancePushButton:
      size = kPushButtonSize;
      break;
    case kInstanceOccupancy:
      size = kOccupancySize;
      break;
    case kInstanceLight:
      size = kLightSize;
      break;
    default:
      return {};
  }
  const std::size_t v = view.layout - 1;
  std::size_t offset = instance_block_region.base[v] + device * instance_block_region.stride[v];
  offset += view.layout == 2 ? size * j : device3::kRecords + device3::kRecordSize * j;
  if (offset > view.bytes.size() || view.bytes.size() - offset < size) return {};
  return view.bytes.subspan(offset, size);
}

bool record_in_use(const channel_view& view, const channel_region& region, std::size_t index) {
  const channel_field* name = find_field(region, "name");
  const bool named = name && !field_text(field_bytes(view, region, index, *name)).empty();
  if (&region == &group_entry_region) return named;
  const bool addressed = field_number(view, region, index, "flags").value_or(0) & kFlagShortAddress;
  if (&region == &gear_entry_region) return addressed || named;
  if (&region == &device_entry_region) {
    return addressed || named ||
           field_number(view, region, index, "instance_count").value_or(0) != 0;
  }
  return false;
}

bool config_checksum_ok(std::span<const std::uint8_t> bytes) {
  if (bytes.size() < kHeaderSize) return false;
  const config_header header = config_header_load(bytes.data());
  if (header.length < kHeaderSize || header.length > bytes.size()) return false;
  // The sum runs over the file with its checksum field as 0.
  std::vector<std::uint8_t> copy(bytes.begin(), bytes.begin() + header.length);
  store_u32(copy.data() + kHeaderChecksum, 0);
  return config_crc16(copy.data(), copy.size()) == header.checksum;
}

}  // namespace torvi
