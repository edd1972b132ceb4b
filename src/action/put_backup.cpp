#include "action/put_backup.h"

#include <ctime>
#include <filesystem>
#include <vector>

#include "action/actions.h"
#include "backup/backup.h"
#include "backup/backup_zip.h"
#include "channel/channel_file.h"
#include "channel/convert.h"
#include "platform/console.h"
#include "platform/file.h"
#include "status/status.h"
#include "tar/tar_stream.h"

namespace torvi {
namespace {

constexpr const char* kTag = "action_put_backup";
constexpr const char* kBackupTag = "backup";
constexpr std::uint32_t kRestoreMode = 0664;

// The one-member tar the controller restores a configuration from.
std::vector<std::uint8_t> restore_tar(const char* member, const std::vector<std::uint8_t>& file) {
  tar_header header;
  header.name = member;
  header.mode = kRestoreMode;
  header.owner = 0;
  header.size = static_cast<std::uint32_t>(file.size());
  header.mtime = static_cast<std::uint32_t>(std::time(nullptr));
  header.type = '0';
  tar_stream writer;
  tar_open_memory_writer(writer);
  if (tar_write_header(writer, header) != TAR_OK || tar_write_data(writer, file) != TAR_OK ||
      tar_finalize(writer) != TAR_OK) {
    return {};
  }
  return tar_memory_take(writer);
}

// Pushes a single tar file as it is.
int push_tar_file(const char* ip, const char* path, const UploadLimits& limits,
                  put_backup_report* report) {
  tar_stream check;
  const int code = tar_open(check, path, "r");
  if (code != TAR_OK) {
    console_out("Error %d opening tar file.", code);
    return 0;
  }
  tar_close(check);
  // The read below stops at the bound without a word, which would leave
  // the user to guess why nothing was restored.
  std::error_code error;
  const std::uintmax_t length = std::filesystem::file_size(path, error);
  if (!error && length > kBackupEntryMax) {
    console_out("%s\terror '%s' is larger than %zu bytes, nothing sent.\r\n", kTag, path,
                kBackupEntryMax);
    return 0;
  }
  std::vector<std::uint8_t> bytes;
  if (!platform_read_file(path, bytes, kBackupEntryMax) || bytes.empty()) return 0;
  if (report) report->entries = 1;
  if (backup_push(ip, bytes, limits) == 0) {
    console_out("OK\n");
    if (report) report->pushed = 1;
  }
  return 0;
}

}  // namespace

int put_backup_restore_zip(const char* firmware_version, const backup_zip_reader& zip,
                           const backup_push_step& push, put_backup_report* report) {
  int result = 0;
  const std::uint64_t count = backup_zip_count(zip);
  for (std::uint64_t i = 0; i < count; ++i) {
    backup_zip_entry entry;
    if (backup_zip_stat(zip, i, entry) != 0 || entry.directory) continue;
    const backup_restore_row* row = backup_restore_lookup(entry.name);
    if (!row) continue;
    if (report) ++report->entries;
    std::vector<std::uint8_t> bytes;
    if (backup_zip_read(zip, i, bytes) != 0 || bytes.empty()) continue;
    std::vector<std::uint8_t> member;
    if (!read_config_member(bytes, row->member, kTag, member)) continue;

    std::vector<std::uint8_t> converted;
    const int code = convert_config(row->kind, firmware_version, member, converted);
    if (code != CONVERT_OK || converted.empty()) {
      console_out("%s\tpush backup file '%s'.\n", kBackupTag, row->member);
      result = code != CONVERT_OK ? code : 1;
      continue;
    }
    result = 0;
    const std::vector<std::uint8_t> archive = restore_tar(row->member, converted);
    console_out("%s\tpush backup file '%s'.\n", kBackupTag, row->member);
    if (!archive.empty() && push(archive) == 0) {
      console_out("\033[32m%s\tbackup push completed.\n\n\033[0m", kBackupTag);
      if (report) ++report->pushed;
    }
  }
  return result;
}

int put_backup(const char* ip, const char* backupFileIn, const UploadLimits& limits) {
  return put_backup(ip, backupFileIn, put_backup_options{limits, {}, nullptr});
}

int put_backup(const char* ip, const char* backupFileIn, const put_backup_options& options) {
  // Without a backup there is nothing to restore: the controller is not
  // even asked for its status.
  if (!ip || !backupFileIn) {
    console_out("Missing arguments for action put_backup.");
    return 2;
  }
  StatusRecord status;
  int result = status_fetch(ip, &status);
  if (result != 0) {
    status_free(&status);
    return result;
  }
  console_out("model_name=%s\r\n", status.model_name->c_str());
  if (options.report) options.report->answered = true;
  if (options.accept_target && !options.accept_target(status)) {
    if (options.report) options.report->refused = true;
    status_free(&status);
    return 1;
  }
  backup_zip_reader zip;
  if (backup_zip_open_read(zip, backupFileIn) == 0) {
    const char* firmware = status.firmware_version ? status.firmware_version->c_str() : nullptr;
    result = put_backup_restore_zip(
        firmware, zip,
        [&](std::span<const std::uint8_t> archive) {
          return backup_push(ip, archive, options.limits);
        },
        options.report);
  } else {
    result = push_tar_file(ip, backupFileIn, options.limits, options.report);
  }
  status_free(&status);
  return result;
}

}  // namespace torvi
