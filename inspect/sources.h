#pragma once
// The files torvi-inspect is given: what each one is, and the channel files
// and controller identity a backup, a configuration tar or a bare channel
// file holds.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "channel/channel_view.h"
#include "digest/sha256.h"

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
// The most a backup may unpack to, all its entries together. A real one
// unpacks to some hundred KiB; a few hundred bytes of ZIP can claim
// gigabytes, which no command is made to wait for or hold.
constexpr std::uint64_t kSourceUnpackedMax = 256u << 20;

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

// One channel file a restore of the source leaves on the controller.
struct found_channel_file {
  std::string entry;   // the ZIP entry that held it ("dali1.tar"); empty otherwise
  std::string member;  // "/etc/config/dali/dali1.bin", or the bare file's name
  unsigned channel = 0;
  channel_file_kind kind = channel_file_kind::gear;
  std::vector<std::uint8_t> bytes;
};

// Whether a restore of the source writes a member to the controller.
enum class member_fate : std::uint8_t {
  not_restored,  // not a configuration file, or not the one its entry carries
  restored,      // written, and still there when the restore ends
  superseded,    // a configuration file written (or named) again by another member
};

// One member of a configuration archive, or one entry of a ZIP backup that
// holds no archive that can be read. Only channel files keep their bytes;
// every other member is known by its digest, which is all a comparison needs.
struct found_member {
  std::string entry;  // ZIP entry; empty for a member of a bare tar
  std::string name;   // tar member name (for a ZIP entry that is no tar: empty)
  std::uint64_t size = 0;
  std::string problem;    // why it could not be read; empty when it could
  Sha256Digest digest{};  // of its content, or of the entry's bytes when they are no tar
  member_fate fate = member_fate::not_restored;
  bool channel_file = false;  // restored, and in `files`
};

// What a restore of the source would do otherwise than it looks: an entry
// or member put_backup skips, one it takes twice, one it cannot find.
struct source_problem {
  std::string entry;
  std::string member;
  std::string text;
};

// What a backup, a configuration tar or a bare channel file holds, found as
// put_backup finds it: a ZIP entry by its name in the restore table, and in
// its tar the one member that row names; a bare tar's members by the paths
// the controller restores.
struct source_contents {
  std::vector<found_member> members;
  // One per channel and kind: the one a restore would leave.
  std::vector<found_channel_file> files;
  std::vector<source_problem> problems;
  // The controller's identity from the first "status.txt" found.
  std::optional<std::string> model_name;
  std::optional<std::string> firmware_version;
  std::optional<std::string> serial_number;
  std::optional<std::string> mac;
};

// Takes a ZIP backup, a configuration tar or a bare channel file apart.
// False, with `error` saying why, for other kinds, an unreadable archive or
// a backup that unpacks to more than kSourceUnpackedMax.
bool read_contents(const source_file& file, source_contents& contents, std::string& error);

// The gear or device file of channel `channel`; null when the source has none.
const found_channel_file* find_channel_file(const source_contents& contents, unsigned channel,
                                            channel_file_kind kind);

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
