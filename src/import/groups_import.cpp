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
      [&](std::uint32_t column, const char* field) {
        // Column 0 must be there but carries nothing.
        if (column == 1) row.group = static_cast<std::uint32_t>(csv_atoi(field));
        if (column == 2) row.name = csv_text(field, kNameSize);
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
