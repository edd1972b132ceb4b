#pragma once
// The ZIP backup archive: one Deflate (level 6) entry per accepted
// configuration. The archive is written to a temporary file and renamed
// into place when it is closed, so an interrupted run never leaves a
// truncated archive under the backup's name.

#include <cstdint>
#include <ctime>
#include <memory>
#include <span>
#include <string>
#include <vector>

struct zip;

namespace torvi {

struct ZipArchiveCloser {
  void operator()(zip* archive) const;
};

struct backup_zip {
  std::string path;
  std::unique_ptr<zip, ZipArchiveCloser> archive;  // discarded unless closed
  int entries = 0;
  std::string error;  // why the last operation failed, as the system says it
};

// Creates (or prepares to replace) the archive at `path`. 0 on success.
int backup_zip_open(backup_zip& zip, const std::string& path);

// Adds an entry holding `bytes`, stamped with the current time. 0 on
// success; otherwise `error` says why.
int backup_zip_add(backup_zip& zip, const std::string& name, std::span<const std::uint8_t> bytes);

// Completes the archive on disk, also when it has no entries. 0 on success;
// otherwise nothing new is under the name and `error` says why.
int backup_zip_close(backup_zip& zip);

// A ZIP archive opened for reading: a backup to restore.
struct backup_zip_reader {
  std::unique_ptr<zip, ZipArchiveCloser> archive;
};

// The largest entry read from a backup; the controller's files are a few KiB.
constexpr std::size_t kBackupEntryMax = 64u << 20;

// Opens `path` for reading. 0 when it is a ZIP archive (an empty file is not).
int backup_zip_open_read(backup_zip_reader& zip, const std::string& path);

// The number of entries, in the archive's own order.
std::uint64_t backup_zip_count(const backup_zip_reader& zip);

// One entry: its name with any backslash read as "/", whether it is a
// directory, and its modification time (0 when the archive gives none).
struct backup_zip_entry {
  std::string name;
  bool directory = false;
  std::time_t modified = 0;
};
int backup_zip_stat(const backup_zip_reader& zip, std::uint64_t index, backup_zip_entry& entry);

// Reads the whole entry into `data`. 0 on success; 1, with `data` empty,
// when the entry cannot be extracted (damaged, encrypted, an unknown method)
// or holds more than `limit` bytes, whatever its header claims.
int backup_zip_read(const backup_zip_reader& zip, std::uint64_t index,
                    std::vector<std::uint8_t>& data, std::size_t limit = kBackupEntryMax);

}  // namespace torvi
