#pragma once
// A configuration archive fetched from the controller: its check, the
// listing of tar archives, and the fetch itself.

#include <optional>
#include <string>

#include "link/records.h"
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

// Lists the archive and reads its "status.txt". 0 when the archive is a
// usable backup; 1 without data, 2 without "status.txt", 3 when fewer than
// two members were listed, or the listing's tar status code.
int backup_check_file(backup_file* file);

// Writes the end marker of an archive built with a memory writer and lists
// its members. 0 when the listing reached the end, the tar status code at
// which it stopped, or 1 without a stream.
int backup_list_tar(tar_stream* stream);

// Fetches the configuration `name` from the controller at `base_url`
// ("http://ADDRESS") into `file` (cleared first) and checks it. The check's
// result, or 1 when the transfer failed.
int backup_fetch(const char* base_url, const char* name, backup_file* file);

}  // namespace torvi
