#include <strings.h>

#include <array>
#include <cstring>
#include <string>

#include "import/imports.h"
#include "json/json_parser.h"

namespace torvi {
namespace {

constexpr csv_kind kChannelCsv = {"importcsv", "#dali-channel-csv-version: ", 12};
constexpr std::uint8_t kNoShortAddress = 255;
constexpr std::uint8_t kMaxShortAddress = 63;
constexpr std::uint8_t kLevelNone = 255;
constexpr std::uint8_t kLevelOff = 100;  // level setting 1 written "false"
constexpr std::uint8_t kFadeMax = 15;

// One row of a channel CSV, converted.
struct gear_row {
  std::uint32_t channel_value = 0;
  std::uint32_t entry = 0;
  std::uint8_t short_address = 0;
  std::string name;
  std::uint16_t groups = 0;
  std::array<std::uint8_t, 4> levels{};
  std::uint8_t fade_rate = 0;
  std::uint8_t fade_time = 0;
  bool off = false;
  std::array<std::uint8_t, kSceneCount> scenes{};
};

// Group numbers 16 to 31 land in the upper half of the mask, which the
// entry does not keep; 32 and up come round again onto real groups.
std::uint16_t read_groups(const csv_field& field) {
  std::uint32_t mask = 0;
  const bool whole = csv_json_values(field.text, [&](const csv_json_value& v) {
    if (!v.in_array || (v.token != TOKEN_NUMBER && v.token != TOKEN_STRING)) {
      csv_note_change(field, v.text, "ignored");
      return;
    }
    const std::uint32_t bit = static_cast<std::uint32_t>(v.number) & 31;
    mask |= 1u << bit;
    if (v.exact != bit || bit >= kGroupEntryCount) {
      csv_note_change(field, v.text, bit < kGroupEntryCount ? std::to_string(bit) : "ignored");
    }
  });
  const auto groups = static_cast<std::uint16_t>(mask);
  if (!whole) {
    std::string taken;
    for (unsigned g = 0; g < kGroupEntryCount; ++g) {
      if (groups & (1u << g)) taken += (taken.empty() ? "" : ",") + std::to_string(g);
    }
    csv_note_change(field, field.text, "[" + taken + "]");
  }
  return groups;
}

void convert(gear_row& row, const csv_field& field) {
  const char* text = field.text;
  switch (field.column) {
    case 0:
      row.channel_value = csv_read_u32(field);
      break;
    case 1:
      row.entry = csv_read_u32(field);
      break;
    case 2:
      row.short_address = csv_read_short_address(field);
      break;
    case 3:
      row.name = csv_read_name(field, kNameSize);
      break;
    case 4:
      row.groups = read_groups(field);
      break;
    case 5:
      if (strcasecmp(text, "null") == 0) {
        row.levels[0] = kLevelNone;
      } else if (strcasecmp(text, "false") == 0) {
        row.levels[0] = kLevelOff;
        row.off = true;
      } else {
        row.levels[0] = csv_read_u8(field);
      }
      break;
    case 6:
      row.levels[1] = strcasecmp(text, "null") == 0 ? kLevelNone : csv_read_u8(field);
      break;
    case 7:
    case 8:
      row.levels[field.column - 5] = csv_read_u8(field);
      break;
    case 9:
      row.fade_rate = csv_read_u8(field, 1, kFadeMax);
      break;
    case 10:
      row.fade_time = csv_read_u8(field, 0, kFadeMax);
      break;
    case 11:
      row.scenes.fill(kLevelNone);
      csv_read_bytes(field, row.scenes, kLevelNone);
      break;
    default:
      break;
  }
}

void apply(const gear_row& row, int layout, channel_record& record) {
  const gear_layout& l = gear_layout_of(layout_version(layout));
  std::uint8_t* file = record.gear.data();
  std::uint8_t* e = file + kGearEntries + row.entry * l.entry_size;
  std::uint32_t flags = load_u32(e + kEntryFlags) | (row.off ? kFlagImportedOff : kFlagImported);
  e[kEntryWritten] = 255;
  if (row.short_address == kNoShortAddress) {
    if (layout <= 1) {
      std::memset(file + gear1::kEntryTable + row.entry * gear1::kEntryTableSize, 0,
                  gear1::kEntryTableSize);
    } else {
      e[kEntryAddress] = layout == 2 ? 0 : 255;
      flags &= ~kFlagShortAddress;
    }
  } else if (row.short_address <= kMaxShortAddress) {
    flags |= kFlagShortAddress;
  }
  if (layout == 3) store_u32(file + kGearChannelValue, row.channel_value);
  csv_store_name(e + l.name, kNameSize, row.name);
  if (row.short_address <= kMaxShortAddress) {
    e[kEntryAddress] = static_cast<std::uint8_t>(2 * row.short_address + 1);
  }
  store_u16(e + kEntryGroups, row.groups);
  std::memcpy(e + kEntryLevel1, row.levels.data(), row.levels.size());
  e[kEntryFadeRate] = row.fade_rate;
  e[kEntryFadeTime] = row.fade_time;
  std::memcpy(e + kEntryScenes, row.scenes.data(), row.scenes.size());
  store_u32(e + kEntryFlags, flags);
}

}  // namespace

int import_channel_csv(const char* firmware_version, const char* path, channel_record& record,
                       const csv_read_options& options) {
  gear_row row;
  const csv_rows rows{
      [&](const csv_field& field) { convert(row, field); },
      [&] {
        if (row.entry >= kGearEntryCount) return csv_applied{csv_fate::index_range, row.entry};
        if (!firmware_version) return csv_applied{csv_fate::no_firmware, row.entry};
        apply(row, layout_for_firmware(firmware_layout_table, firmware_version), record);
        return csv_applied{csv_fate::applied, row.entry};
      },
      [&] { row = gear_row{}; },
  };
  return csv_import(kChannelCsv, path, rows, options);
}

}  // namespace torvi
