#pragma once
// The three CSV files a technician prepares for a channel: its gear, its
// group names and its input devices. Each import writes its rows into the
// channel record in the layout `firmware_version` selects (the controller's
// version as its archive gave it) and returns an IMPORT_* result.

#include "channel/channel_file.h"
#include "import/csv_frame.h"

namespace torvi {

// Channel CSV, 12 columns a row: channel value, entry index, short address,
// name, groups, level settings 1 to 4, fade rate, fade time, scene levels.
// Each row overwrites its fields of one gear entry of the gear file the
// record holds; every other byte stays as the controller had it.
int import_channel_csv(const char* firmware_version, const char* path, channel_record& record,
                       const csv_read_options& options = {});

// Channel inputs CSV, 20 columns a row: one control device and its up to 32
// instances, written into the device file (layout 3 only: any other layout
// prints "importcsv_cd\terror version %s not supported.\r\n" at the first
// row that would be applied and gives IMPORT_STOPPED). A file that applies
// no row, unless it holds only its version line and comments, prints
// "importcsv_cd\tno device row applied, nothing sent.\r\n" and gives
// IMPORT_NOTHING_APPLIED.
int import_inputs_csv(const char* firmware_version, const char* path, channel_record& record,
                      const csv_read_options& options = {});

// Channel groups CSV, 3 columns a row: ignored, group number, group name.
int import_groups_csv(const char* firmware_version, const char* path, channel_record& record,
                      const csv_read_options& options = {});

}  // namespace torvi
