#include <strings.h>

#include <array>
#include <cstring>
#include <string>

#include "import/imports.h"

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

std::uint8_t low8(const char* field) {
  return static_cast<std::uint8_t>(csv_atoi(field));
}

void convert(gear_row& row, std::uint32_t column, const char* field) {
  switch (column) {
    case 0:
      row.channel_value = static_cast<std::uint32_t>(csv_atoi(field));
      break;
    case 1:
      row.entry = static_cast<std::uint32_t>(csv_atoi(field));
      break;
    case 2:
      row.short_address = csv_short_address(field);
      break;
    case 3:
      row.name = csv_text(field, kNameSize);
      break;
    case 4: {
      // Group numbers 16 to 31 land in the upper half of the mask, which
      // the entry does not keep.
      std::uint32_t mask = 0;
      csv_json_values(field, [&](const csv_json_value& v) {
        if (v.in_array && !v.null) mask |= 1u << (static_cast<std::uint32_t>(v.number) & 31);
      });
      row.groups = static_cast<std::uint16_t>(mask);
      break;
    }
    case 5:
      if (strcasecmp(field, "null") == 0) {
        row.levels[0] = kLevelNone;
      } else if (strcasecmp(field, "false") == 0) {
        row.levels[0] = kLevelOff;
        row.off = true;
      } else {
        row.levels[0] = low8(field);
      }
      break;
    case 6:
      row.levels[1] = strcasecmp(field, "null") == 0 ? kLevelNone : low8(field);
      break;
    case 7:
    case 8:
      row.levels[column - 5] = low8(field);
      break;
    case 9: {
      const std::uint8_t rate = low8(field);
      row.fade_rate = rate == 0 ? 1 : rate > kFadeMax ? kFadeMax : rate;
      break;
    }
    case 10: {
      const std::uint8_t time = low8(field);
      row.fade_time = time > kFadeMax ? kFadeMax : time;
      break;
    }
    case 11:
      row.scenes.fill(kLevelNone);
      csv_byte_array(field, row.scenes, kLevelNone);
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
      [&](std::uint32_t column, const char* field) { convert(row, column, field); },
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
