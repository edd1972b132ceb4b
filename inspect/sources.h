#pragma once
// The files torvi-inspect is given: what each one is, and the channel files
// and controller identity a backup, a configuration tar or a bare channel
// file holds.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "backup/backup_contents.h"
#include "channel/channel_view.h"

namespace torvi::inspect {

enum class source_kind : std::uint8_t {
  zip_backup,        // a ZIP archive as get_backup writes it
  config_tar,        // one configuration archive ("dali1.tar", ...)
  gear_file,         // a bare "dali%u.bin"
  device_file,       // a bare "cd%u.bin"
  firmware_package,  // ".bin": what push_firmware reads as a package
  firmware_image,    // ".binary": a raw image
  unknown,
};
const char* source_kind_name(source_kind kind);

// The largest file taken in whole; channel files and backups are a few KiB,
// firmware files are read by the firmware readers themselves.
constexpr std::size_t kSourceMax = 64u << 20;

struct source_file {
  std::string path;
  source_kind kind = source_kind::unknown;
  std::vector<std::uint8_t> bytes;  // empty for firmware files
};

// Reads `path` and decides what it is: the name first (a bare channel file
// is called "dali%u.bin" or "cd%u.bin"; push_firmware goes by ".bin" and
// ".binary"), then the content (ZIP, tar, a channel file's header). False,
// with `error` saying why, when the file cannot be read.
bool load_source(const std::string& path, source_file& file, std::string& error);

// Takes a ZIP backup, a configuration tar or a bare channel file apart.
// False, with `error` saying why, for other kinds, an unreadable archive or
// a backup that unpacks to more than kBackupUnpackedMax.
bool read_contents(const source_file& file, backup_contents& contents, std::string& error);

// One channel of a backup, a configuration tar or a bare channel file, as
// the imports work on it: the gear and device files copied into a channel
// record (zero where the source has none, at most the buffers' sizes), and
// the firmware version the source's "status.txt" gives.
struct loaded_channel {
  channel_record record;
  std::size_t gear_size = 0;    // the gear file's size; 0 when there is none
  std::size_t device_size = 0;  // the device file's size; 0 when there is none
  std::optional<std::string> firmware_version;
};
// False, with `error` saying why, when the source cannot be read or holds
// neither file of the channel.
bool load_channel(const std::string& path, unsigned channel, loaded_channel& loaded,
                  std::string& error);

// The channel number and kind a member or file name such as
// "/etc/config/dali/dali2.bin" or "cd3.bin" stands for; false for others.
bool channel_file_name(const std::string& name, unsigned& channel, channel_file_kind& kind);

}  // namespace torvi::inspect
