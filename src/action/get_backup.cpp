#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>

#include "action/actions.h"
#include "backup/backup.h"
#include "backup/backup_zip.h"
#include "platform/console.h"
#include "platform/file.h"
#include "platform/platform.h"

namespace torvi {
namespace {

constexpr const char* kTag = "backup";

// The configurations fetched when no list is given, in this order.
const std::vector<std::string> kDefaultConfigs = {
    "systemconfig", "schedules", "rlc",    "dali1",  "dali2",   "dali3",
    "dali4",        "cd1",       "cd2",    "cd3",    "cd4",     "system_ui32",
    "dalv",         "daeu",      "daeutr", "daeutc", "dacdlcm", "dacdlcr"};

// A file in the output folder; without one, in the current folder.
std::string output_path(const char* folder, const std::string& name) {
  return folder ? platform_join_path(folder, name) : name;
}

std::string archive_name(const char* ip) {
  std::tm local{};
  if (!platform_local_time(std::time(nullptr), local)) {
    local = std::tm{};
  }
  std::string name;
  format_text(name, "backup_%s_KORVAN_%04u%02u%02u_%02u%02u%02u.zip", ip,
              static_cast<unsigned>(local.tm_year + 1900), static_cast<unsigned>(local.tm_mon + 1),
              static_cast<unsigned>(local.tm_mday), static_cast<unsigned>(local.tm_hour),
              static_cast<unsigned>(local.tm_min), static_cast<unsigned>(local.tm_sec));
  return platform_file_name(name);
}

// A backup that could not be stored must not pass unnoticed: the progress
// lines say only that the controller's answer was good.
void report_unwritten(const std::string& path, const char* reason) {
  console_err("%s\tcould not write '%s': %s\n", kTag, path.c_str(), reason);
}

}  // namespace

int get_backup(const char* ip, const char* backupFileOut, const char* backupFileOutType,
               const std::vector<std::string>* backupConfig, get_backup_report* report) {
  if (!ip) {
    console_out("Missing arguments for action get_backup.");
    return 2;
  }
  std::string base_url;
  if (format_text(base_url, "http://%s", ip) < 0) return 0;
  const std::vector<std::string>& configs =
      backupConfig && !backupConfig->empty() ? *backupConfig : kDefaultConfigs;

  const std::string type = backupFileOutType ? backupFileOutType : "directory";
  const bool to_zip = type == "zip";
  const bool to_directory = type == "directory";

  // A missing output folder is made, with its parents; if that fails, the
  // files that cannot be written then are reported one by one.
  if (backupFileOut && (to_zip || to_directory)) {
    std::error_code ignored;
    std::filesystem::create_directories(backupFileOut, ignored);
  }

  if (report) report->requested = configs;
  backup_zip archive;
  if (to_zip && backup_zip_open(archive, output_path(backupFileOut, archive_name(ip))) != 0) {
    report_unwritten(archive.path, archive.error.c_str());
  }

  for (const std::string& name : configs) {
    backup_file file;
    if (backup_fetch(base_url.c_str(), name.c_str(), &file) != 0) {
      console_out("%s\tbackup file not found for action get_backup.\r\n\r\n", kTag);
      continue;
    }
    console_out("\033[32m%s\tbackup file OK, adding to backup archive...\r\n\r\n\033[0m", kTag);
    bool stored = false;
    if (to_directory) {
      const std::string path = output_path(backupFileOut, name + ".tar");
      if (int error = platform_write_file(path, file.received.data)) {
        report_unwritten(path, std::strerror(error));
      } else {
        stored = true;
      }
    } else if (to_zip && archive.archive) {
      stored = backup_zip_add(archive, name + ".tar", file.received.data) == 0;
      if (!stored) report_unwritten(archive.path + " (" + name + ".tar)", archive.error.c_str());
    }
    if (report && stored) {
      report->stored.push_back(name);
      if (!report->serial_number) report->serial_number = file.serial_number;
    }
  }
  if (archive.archive) {
    if (backup_zip_close(archive) != 0) {
      report_unwritten(archive.path, archive.error.c_str());
    } else if (report) {
      report->archive = archive.path;
    }
  }
  return 0;
}

}  // namespace torvi
