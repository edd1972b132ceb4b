#pragma once
// What a ZIP backup or a configuration archive holds, found as put_backup
// and the controller find it: the channel files a restore leaves, every
// member by its digest, the controller's identity, and whatever a restore
// would do otherwise than the archive looks.

#include <cstdint>
#include <ctime>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "channel/channel_view.h"
#include "digest/sha256.h"

namespace torvi {

// The most a backup may unpack to, all its entries together. A real one
// unpacks to some hundred KiB; a few hundred bytes of ZIP can claim
// gigabytes, which nothing here is made to wait for or hold.
constexpr std::uint64_t kBackupUnpackedMax = 256u << 20;

// One channel file a restore leaves on the controller.
struct found_channel_file {
  std::string entry;   // the ZIP entry that held it ("dali1.tar"); empty otherwise
  std::string member;  // "/etc/config/dali/dali1.bin", or a bare file's name
  unsigned channel = 0;
  channel_file_kind kind = channel_file_kind::gear;
  std::vector<std::uint8_t> bytes;
};

// Whether a restore writes a member to the controller.
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

// What a restore would do otherwise than it looks: an entry or member
// put_backup skips, one it takes twice, one it cannot find.
struct backup_problem {
  std::string entry;
  std::string member;
  std::string text;
};

struct backup_contents {
  std::vector<found_member> members;
  // One per channel and kind: the one a restore would leave.
  std::vector<found_channel_file> files;
  std::vector<backup_problem> problems;
  // The controller's identity from the first "status.txt" found.
  std::optional<std::string> model_name;
  std::optional<std::string> firmware_version;
  std::optional<std::string> serial_number;
  std::optional<std::string> mac;
  // A ZIP backup's latest entry time: when the backup was taken.
  std::optional<std::time_t> taken;
};

// Takes the ZIP backup at `path` apart as put_backup restores it: an entry
// by its name in the restore table, and from its tar the one member that
// row names. False, with `error` saying why, when it is no ZIP archive or
// unpacks to more than kBackupUnpackedMax.
bool backup_read_zip(const std::string& path, backup_contents& contents, std::string& error);

// Takes a bare configuration archive apart as the controller restores it:
// every member whose path is one of its configuration files, in order, so a
// member named twice leaves the last. False, with `error` saying why, when a
// header is damaged or nothing is a tar.
bool backup_read_tar(std::span<const std::uint8_t> archive, backup_contents& contents,
                     std::string& error);

struct backup_restore_row;
// The channel and kind of file a row of the restore table carries; false
// for the rows that carry no channel file.
bool backup_row_channel(const backup_restore_row& row, unsigned& channel, channel_file_kind& kind);

// The gear or device file of channel `channel`; null when there is none.
const found_channel_file* find_channel_file(const backup_contents& contents, unsigned channel,
                                            channel_file_kind kind);

}  // namespace torvi
