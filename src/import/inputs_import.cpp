#include <array>
#include <string>

#include "import/imports.h"
#include "platform/console.h"

namespace torvi {
namespace {

constexpr csv_kind kInputsCsv = {"importcsv_cd", "#dali-channel-inputs-csv-version: ", 20};
constexpr std::uint8_t kNoShortAddress = 255;
constexpr std::uint8_t kMaxShortAddress = 63;

// The per-instance columns 6 to 19, by their place in `arrays`.
constexpr std::uint32_t kFirstArrayColumn = 6;
constexpr std::size_t kTypes = 0;            // column 6
constexpr std::size_t kValues = 1;           // column 7
constexpr std::size_t kPushButtonValue = 2;  // column 8, element 0 only
constexpr std::size_t kPushButton = 3;       // columns 9 to 14: record bytes 0 to 5
constexpr std::size_t kOccupancy = 9;        // columns 15 to 17: record bytes 1 to 3
constexpr std::size_t kLight = 12;           // columns 18 and 19: record bytes 1 and 2
constexpr std::size_t kArrays = 14;

// One row of an inputs CSV, converted.
struct device_row {
  std::uint32_t channel_value = 0;
  std::uint32_t device = 0;
  std::uint8_t short_address = 0;
  std::string name;
  std::uint32_t flags = 0;
  std::uint8_t instances = 0;
  std::array<std::array<std::uint8_t, kInstanceCount>, kArrays> arrays{};
};

void convert(device_row& row, const csv_field& field) {
  switch (field.column) {
    case 0:
      row.channel_value = csv_read_u32(field);
      return;
    case 1:
      row.device = csv_read_u32(field);
      return;
    case 2:
      row.short_address = csv_read_short_address(field);
      return;
    case 3:
      row.name = csv_read_name(field, kDevNameSize);
      return;
    case 4:
      row.flags = csv_read_u32(field);
      return;
    case 5:
      row.instances = csv_read_u8(field, 0, static_cast<std::uint8_t>(kInstanceCount));
      return;
    default:
      break;
  }
  if (field.text[0] == '\0') return;
  const std::size_t at = field.column - kFirstArrayColumn;
  auto& array = row.arrays[at];
  array.fill(0);
  // The device-wide push-button value is one byte: further values are lost.
  csv_read_bytes(field, at == kPushButtonValue ? std::span(array).first(1) : std::span(array), -1);
}

void apply(const device_row& row, channel_record& record) {
  std::uint8_t* file = record.device.data();
  std::uint8_t* s = file + kDeviceEntries + row.device * kDeviceEntrySize;
  std::uint8_t* t = file + kInstanceBlocks + row.device * device3::kBlockSize;
  std::uint32_t flags = row.flags | kFlagImported;
  s[kDevWritten] = 255;
  store_u32(file + kDeviceChannelValue, row.channel_value);
  if (row.short_address == kNoShortAddress) {
    s[kDevAddress] = 255;
    flags &= ~kFlagShortAddress;
  } else if (row.short_address <= kMaxShortAddress) {
    flags |= kFlagShortAddress;
  }
  csv_store_name(s + kDevName, kDevNameSize, row.name);
  if (row.short_address <= kMaxShortAddress) {
    s[kDevAddress] = static_cast<std::uint8_t>(2 * row.short_address + 1);
  }
  s[kDevInstanceCount] = row.instances;
  const auto& a = row.arrays;
  for (std::size_t j = 0; j < kInstanceCount; ++j) {
    s[kDevInstances + 2 * j] = a[kTypes][j];
    s[kDevInstances + 2 * j + 1] = a[kValues][j];
  }
  t[device3::kPushButtonValue] = a[kPushButtonValue][0];
  for (std::size_t j = 0; j < kInstanceCount; ++j) {
    std::uint8_t* instance = t + device3::kRecords + j * device3::kRecordSize;
    switch (a[kTypes][j]) {
      case kInstancePushButton:
        for (std::size_t k = 0; k < kPushButtonSize; ++k) instance[k] = a[kPushButton + k][j];
        break;
      case kInstanceOccupancy:
        for (std::size_t k = 0; k < 3; ++k) instance[1 + k] = a[kOccupancy + k][j];
        break;
      case kInstanceLight:
        for (std::size_t k = 0; k < 2; ++k) instance[1 + k] = a[kLight + k][j];
        break;
      default:
        break;
    }
  }
  store_u32(s + kDevFlags, flags);
}

}  // namespace

int import_inputs_csv(const char* firmware_version, const char* path, channel_record& record,
                      const csv_read_options& options) {
  device_row row;
  const csv_rows rows{
      [&](const csv_field& field) { convert(row, field); },
      [&] {
        // The layout is checked before the device index, so any row that
        // qualifies ends an import the controller could not take.
        if (!firmware_version ||
            layout_for_firmware(firmware_layout_table, firmware_version) != 3) {
          if (!options.observer) {
            console_out("%s\terror version %s not supported.\r\n", kInputsCsv.tag,
                        firmware_version ? firmware_version : "(null)");
          }
          return csv_applied{csv_fate::layout, row.device};
        }
        if (row.device >= kDeviceCount) return csv_applied{csv_fate::index_range, row.device};
        apply(row, record);
        return csv_applied{csv_fate::applied, row.device};
      },
      [&] { row = device_row{}; },
  };
  csv_tally tally;
  const int result = csv_import(kInputsCsv, path, rows, options, &tally);
  if (result != IMPORT_OK || tally.applied > 0) return result;
  // The device file is built from nothing, so a file that applied no row
  // would erase every input device of the channel. Only a file of its
  // version line and comments alone asks for that.
  if (tally.version == 1 && tally.comments == tally.rows) return IMPORT_OK;
  if (!options.observer) {
    console_out("%s\tno device row applied, nothing sent.\r\n", kInputsCsv.tag);
  }
  return IMPORT_NOTHING_APPLIED;
}

}  // namespace torvi
