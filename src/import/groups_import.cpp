#include <string>

#include "import/imports.h"

namespace torvi {
namespace {

constexpr csv_kind kGroupsCsv = {"importcsv_groups", "#dali-channel-groups-csv-version: ", 3};

struct group_row {
  std::uint32_t group = 0;
  std::string name;
};

}  // namespace

int import_groups_csv(const char* firmware_version, const char* path, channel_record& record,
                      const csv_read_options& options) {
  group_row row;
  const csv_rows rows{
      [&](const csv_field& field) {
        // Column 0 must be there but carries nothing.
        if (field.column == 1) row.group = csv_read_u32(field);
        if (field.column == 2) row.name = csv_read_name(field, kNameSize);
      },
      [&] {
        if (row.group >= kGroupEntryCount) return csv_applied{csv_fate::index_range, row.group};
        if (!firmware_version) return csv_applied{csv_fate::no_firmware, row.group};
        const gear_layout& layout = gear_layout_of(
            layout_version(layout_for_firmware(firmware_layout_table, firmware_version)));
        std::uint8_t* entry = record.gear.data() + layout.groups + row.group * kGroupEntrySize;
        entry[kGroupWritten] = 255;
        csv_store_name(entry + kGroupName, kNameSize, row.name);
        return csv_applied{csv_fate::applied, row.group};
      },
      [&] { row = group_row{}; },
  };
  return csv_import(kGroupsCsv, path, rows, options);
}

}  // namespace torvi
