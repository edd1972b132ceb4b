#pragma once
// The ZIP backup archive: one Deflate (level 6) entry per accepted
// configuration. The archive is written to a temporary file and renamed
// into place when it is closed, so an interrupted run never leaves a
// truncated archive under the backup's name.

#include <cstdint>
#include <memory>
#include <span>
#include <string>

struct zip;

namespace torvi {

struct ZipArchiveCloser {
  void operator()(zip* archive) const;
};

struct backup_zip {
  std::string path;
  std::unique_ptr<zip, ZipArchiveCloser> archive;  // discarded unless closed
  int entries = 0;
};

// Creates (or prepares to replace) the archive at `path`. 0 on success.
int backup_zip_open(backup_zip& zip, const std::string& path);

// Adds an entry holding `bytes`, stamped with the current time. 0 on success.
int backup_zip_add(backup_zip& zip, const std::string& name, std::span<const std::uint8_t> bytes);

// Completes the archive on disk, also when it has no entries. 0 on success.
int backup_zip_close(backup_zip& zip);

}  // namespace torvi
