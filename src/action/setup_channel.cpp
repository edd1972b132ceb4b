#include <string>

#include "action/actions.h"
#include "backup/backup.h"
#include "channel/channel_file.h"
#include "import/imports.h"
#include "platform/console.h"
#include "tar/tar_stream.h"

namespace torvi {
namespace {

using import_fn = int (*)(const char*, const char*, channel_record&, const csv_read_options&);

// What a run does with each channel: one kind of CSV file, and the channel
// file it changes.
struct setup_kind {
  const std::vector<std::string>* paths;
  import_fn import;
  bool device_file;
};

}  // namespace

int setup_channel(const char* ip, const std::vector<std::uint32_t>* channels,
                  const std::vector<std::string>* channelCsvFiles,
                  const std::vector<std::string>* channelGroupsCsvFiles,
                  const std::vector<std::string>* channelInputsCsvFiles,
                  const csv_read_options& options, const UploadLimits& limits) {
  const bool csv = channelCsvFiles || channelGroupsCsvFiles;
  if (!channels || (!csv && (!channelInputsCsvFiles || !ip)) || (csv && !ip)) {
    console_out("Missing arguments for action setup_channel.");
    return 2;
  }
  // Channel CSV files win over groups files, groups over inputs.
  const setup_kind kind = channelCsvFiles ? setup_kind{channelCsvFiles, import_channel_csv, false}
                          : channelGroupsCsvFiles
                              ? setup_kind{channelGroupsCsvFiles, import_groups_csv, false}
                              : setup_kind{channelInputsCsvFiles, import_inputs_csv, true};
  for (std::size_t k = 0; k < channels->size() && (*channels)[k] != 0 && k < kind.paths->size();
       ++k) {
    const unsigned channel = (*channels)[k];
    const std::string& path = (*kind.paths)[k];
    std::string base_url, name;
    if (format_text(base_url, "http://%s", ip) < 0) continue;
    if (format_text(name, "dali%u", channel) < 0) continue;
    backup_file file;
    if (backup_fetch(base_url.c_str(), name.c_str(), &file) != 0) continue;
    console_out("OK\n");

    tar_stream writer;
    tar_open_memory_writer(writer);
    channel_record record;
    console_out("CH=%u\n", channel);
    console_out("FILE=%s\n", path.c_str());
    read_gear_file(file.received.data, channel, record);
    const char* firmware = file.firmware_version ? file.firmware_version->c_str() : nullptr;
    const int imported = kind.import(firmware, path.c_str(), record, options);
    if (imported == IMPORT_PARSE_ERROR) return ACTION_ABORTED;
    if (imported == IMPORT_STOPPED) return 1;
    // An import that read nothing, or an inputs file that applied no row,
    // must not be pushed as if it had: the device file is built from
    // nothing, so it would wipe the controller's input devices.
    if (imported != IMPORT_OK) continue;
    const int written = kind.device_file ? write_device_file(writer, firmware, channel, record)
                                         : write_gear_file(writer, firmware, channel, record);
    if (written == CHANNEL_LAYOUT_UNSUPPORTED) return 1;
    if (written != 0) continue;

    backup_list_tar(&writer);
    if (backup_push(ip, tar_memory_data(writer), limits) == 0) console_out("OK\n");
  }
  return 0;
}

}  // namespace torvi
