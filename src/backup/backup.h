#pragma once
// A configuration archive fetched from the controller: its check, the
// listing of tar archives, and the fetch itself.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "link/records.h"
#include "link/transfers.h"
#include "tar/tar_stream.h"

namespace torvi {

// One fetched configuration: the received archive and the controller's
// identity as its "status.txt" gives it (absent when a key was not found).
struct backup_file {
  ReceiveBuffer received;
  std::optional<std::string> model_name;
  std::optional<std::string> firmware_version;
  std::optional<std::string> serial_number;
  std::optional<std::string> mac;
};

// Takes the four identity keys from the JSON text of "status.txt". Keys and
// values pair by string tokens; a broken text is read up to its error.
void backup_read_identity(const char* text, backup_file& file);

// Lists the archive and reads its "status.txt" (a value that cannot be
// copied for want of memory is dropped). 0 when the archive is a usable
// backup; 1 without data, 2 without "status.txt", 3 when fewer than two
// members were listed, or the listing's tar status code.
int backup_check_file(backup_file* file);

// Writes the end marker of an archive built with a memory writer and lists
// its members. 0 when the listing reached the end, the tar status code at
// which it stopped, or 1 without a stream.
int backup_list_tar(tar_stream* stream);

// Fetches the configuration `name` from the controller at `base_url`
// ("http://ADDRESS") into `file` (cleared first) and checks it. The check's
// result, or 1 when the transfer failed.
int backup_fetch(const char* base_url, const char* name, backup_file* file);

// One row of the restore table: the entry of a backup archive, the file in
// the controller that the entry's tar carries, and the kind by which the
// layout conversion decides (0 and 9..17 unchanged, 1..4 gear files, 5..8
// device files).
struct backup_restore_row {
  std::uint32_t kind;
  const char* entry;
  const char* member;
};
extern const std::span<const backup_restore_row> backup_restore_table;

// The first row whose entry name equals `entry` exactly; null when none does.
const backup_restore_row* backup_restore_lookup(std::string_view entry);

// Uploads a finished tar archive to the controller and asks it to restore
// it; the request is sent only after a complete upload. 0 on success, 1
// when an argument is missing or either transfer failed.
int backup_push(const char* ip, std::span<const std::uint8_t> archive,
                const UploadLimits& limits = {});

}  // namespace torvi
