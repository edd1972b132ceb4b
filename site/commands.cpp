#include "site/commands.h"

#include <algorithm>
#include <cstring>
#include <filesystem>

#include "action/actions.h"
#include "backup/backup.h"
#include "backup/backup_zip.h"
#include "firmware/firmware_image.h"
#include "firmware/firmware_info.h"
#include "platform/console.h"
#include "platform/file.h"
#include "platform/platform.h"
#include "status/status.h"
#include "tar/tar_stream.h"

namespace torvi::site {
namespace {

namespace fs = std::filesystem;
constexpr char kModel[] = "KORVAN-4";
constexpr char kTag[] = "torvi-site";
constexpr auto kPollEvery = std::chrono::seconds(2);
constexpr std::size_t kStatusTextMax = 64u << 10;

void set_member(controller_outcome& outcome, const std::string& name, std::string json) {
  for (auto& [member, value] : outcome.members) {
    if (member == name) {
      value = std::move(json);
      return;
    }
  }
  outcome.add(name, std::move(json));
}

// Every controller carries the command's members, null until known.
void prefill(site_summary& summary, std::initializer_list<const char*> names) {
  for (controller_outcome& outcome : summary.outcomes) {
    for (const char* name : names) set_member(outcome, name, "null");
  }
}

std::vector<std::size_t> every(const site_summary& summary) {
  std::vector<std::size_t> order(summary.controllers.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
  return order;
}

std::string joined(const std::vector<std::string>& texts) {
  std::string out;
  for (const std::string& text : texts) out += (out.empty() ? "" : ", ") + text;
  return out;
}

// Why a status query failed: no answer at all, or an answer without a
// model name (what libcurl said is in the log either way).
std::string status_failure(const worker& w, unsigned failures_before) {
  if (w.transfer.failures != failures_before) return "no answer: " + w.transfer.last_failure;
  return "the status names no model";
}

std::string failure_reason(const worker& w, unsigned failures_before) {
  return w.transfer.failures != failures_before ? w.transfer.last_failure : "see the log";
}

void status_work(worker& w) {
  w.phase("status");
  StatusRecord record;
  const unsigned before = w.transfer.failures;
  const int result = get_status(w.controller.address.c_str(), &record);
  set_member(w.outcome, "model_name", json_text_or_null(record.model_name));
  set_member(w.outcome, "firmware_version", json_text_or_null(record.firmware_version));
  set_member(w.outcome, "serial_number", json_text_or_null(record.serial_number));
  set_member(w.outcome, "mac", json_text_or_null(record.mac));
  if (result != 0) {
    w.outcome.set(site_result::failed, status_failure(w, before));
  } else if (*record.model_name != kModel) {
    w.outcome.set(site_result::failed, "model '" + *record.model_name + "', not KORVAN-4");
  } else {
    w.outcome.set(site_result::ok);
  }
}

void backup_work(worker& w, const std::string& out) {
  w.phase("backup");
  const std::string folder = platform_join_path(out, w.controller.name);
  get_backup_report report;
  const unsigned before = w.transfer.failures;
  get_backup(w.controller.address.c_str(), folder.c_str(), "zip", nullptr, &report);
  std::vector<std::string> missing;
  for (const std::string& name : report.requested) {
    if (std::find(report.stored.begin(), report.stored.end(), name) == report.stored.end()) {
      missing.push_back(name);
    }
  }
  set_member(w.outcome, "configurations", std::to_string(report.stored.size()));
  set_member(w.outcome, "missing", json_string_array(missing));
  set_member(w.outcome, "serial_number", json_text_or_null(report.serial_number));
  if (report.archive.empty()) {
    w.outcome.set(site_result::failed, "the backup could not be written (see the log)");
    return;
  }
  std::string file = fs::path(report.archive).filename().string();
  w.outcome.archive = report.archive;
  if (missing.empty()) {
    set_member(w.outcome, "file", json_string(platform_join_path(w.controller.name, file)));
    w.outcome.set(site_result::ok);
    return;
  }
  // Under its own name the part of a backup would be the newest one, and a
  // restore would take it for the whole.
  std::error_code error;
  fs::rename(report.archive, report.archive + ".incomplete", error);
  if (!error) file += ".incomplete", w.outcome.archive += ".incomplete";
  set_member(w.outcome, "file", json_string(platform_join_path(w.controller.name, file)));
  std::string why = report.stored.empty() && w.transfer.failures != before
                        ? "no answer: " + w.transfer.last_failure
                        : std::to_string(report.stored.size()) + " of " +
                              std::to_string(report.requested.size()) +
                              " configurations, missing " + joined(missing);
  if (!error) why += "; kept as " + file;
  w.outcome.set(site_result::failed, why);
}

void restore_work(worker& w, const site_options& options) {
  w.phase("restore");
  const std::string folder = platform_join_path(options.from, w.controller.name);
  const std::optional<std::string> newest = newest_backup(folder);
  if (!newest) {
    console_out("%s\tno backup_*.zip in '%s', nothing sent.\r\n", kTag, folder.c_str());
    w.outcome.set(site_result::failed, "no backup_*.zip in " + folder);
    return;
  }
  const std::string file = fs::path(*newest).filename().string();
  set_member(w.outcome, "file", json_string(platform_join_path(w.controller.name, file)));
  std::vector<std::string> serials;
  if (!backup_serials(*newest, serials)) {
    w.outcome.set(site_result::failed, file + " is not a ZIP backup");
    return;
  }
  if (serials.size() == 1) set_member(w.outcome, "serial_number", json_string(serials[0]));
  std::string refusal;
  if (!options.allow_other_serial && serials.size() != 1) {
    refusal = serials.empty() ? "the backup names no serial number to check the controller by"
                              : "the backup names several serial numbers: " + joined(serials);
    console_out("%s\t%s, nothing sent.\r\n", kTag, refusal.c_str());
    w.outcome.set(site_result::refused, refusal);
    return;
  }

  put_backup_report report;
  put_backup_options restore;
  restore.report = &report;
  if (!options.allow_other_serial) {
    restore.accept_target = [&](const StatusRecord& status) {
      if (status.serial_number && *status.serial_number == serials[0]) return true;
      refusal =
          status.serial_number
              ? "serial number " + *status.serial_number + " is not the backup's " + serials[0]
              : "the controller names no serial number, the backup " + serials[0];
      console_out("%s\t%s, nothing sent.\r\n", kTag, refusal.c_str());
      return false;
    };
  }
  const unsigned before = w.transfer.failures;
  put_backup(w.controller.address.c_str(), newest->c_str(), restore);
  if (report.refused) {
    w.outcome.set(site_result::refused, refusal);
  } else if (!report.answered) {
    w.outcome.set(site_result::failed, status_failure(w, before));
  } else if (report.entries == 0) {
    w.outcome.set(site_result::failed, "the backup holds no configuration to restore");
  } else if (report.pushed < report.entries) {
    w.outcome.set(site_result::failed,
                  std::to_string(report.pushed) + " of " + std::to_string(report.entries) +
                      " configurations restored: " + failure_reason(w, before));
  } else {
    w.outcome.set(site_result::ok);
  }
}

// The firmware every controller gets: read and checked once, then only
// read by the uploads, however many run at once.
struct rollout {
  ImageRecord image;
  FirmwareFileCheck check;
  std::string version;
  std::string check_lines;  // what push_firmware printed while checking it
};

// Checks the package as push_firmware does, its lines into the logs'
// folder. False, with the lines shown, when it is refused.
bool check_package(const site_options& options, const std::string& logs, const site_io& io,
                   rollout& r, std::string& why) {
  const std::string path = platform_join_path(logs, "firmware-check.log");
  std::error_code ignored;
  fs::create_directories(logs, ignored);
  unique_file log = file_open(path, "wb");
  if (!log) {
    why = "cannot write " + path;
    console_err("%s: %s\n", kTag, why.c_str());
    return false;
  }
  image_record_set_path(r.image, options.package.c_str());
  int result;
  {
    console_scope console(log.get(), log.get());
    result = firmware_check_file(r.image, r.check);
  }
  const bool written = file_close(log);
  std::vector<std::uint8_t> lines;
  if (!written || !platform_read_file(path, lines, kStatusTextMax)) {
    why = "cannot write " + path;
    console_err("%s: %s\n", kTag, why.c_str());
    return false;
  }
  r.check_lines.assign(lines.begin(), lines.end());
  if (result != 0) {
    std::fprintf(io.progress, "%s\n", r.check_lines.c_str());
    why = "the package was refused";
    console_err("%s: %s: %s, no controller contacted\n", kTag, options.package.c_str(),
                why.c_str());
    return false;
  }
  FirmwareInfo info;
  firmware_read_info(r.image.data.data(), r.image.size, &info);
  r.version.assign(info.version_string, strnlen(info.version_string, kInfoTextSize));
  return true;
}

void firmware_status_work(worker& w, const rollout& r, bool reinstall) {
  w.phase("status");
  StatusRecord record;
  const unsigned before = w.transfer.failures;
  const int result = get_status(w.controller.address.c_str(), &record);
  set_member(w.outcome, "firmware_before", json_text_or_null(record.firmware_version));
  if (result != 0) {
    w.outcome.set(site_result::failed, status_failure(w, before));
  } else if (*record.model_name != kModel) {
    w.outcome.set(site_result::refused, "model '" + *record.model_name + "', not KORVAN-4");
  } else if (record.firmware_version == r.version && !reinstall) {
    set_member(w.outcome, "firmware_after", json_string(r.version));
    w.outcome.set(site_result::skipped, "already at " + r.version);
  }
  // Otherwise it stays not-started until its turn to be updated.
}

void update_work(worker& w, const rollout& r, int wait) {
  w.phase("upload");
  console_out("%s", r.check_lines.c_str());
  const unsigned before = w.transfer.failures;
  const int pushed = push_firmware_image(w.controller.address.c_str(), r.image, r.check.digest);
  if (pushed != 0) {
    w.outcome.set(
        site_result::failed,
        (pushed == 1 ? "upload failed: " : "upgrade request failed: ") + failure_reason(w, before));
    return;
  }
  // The controller restarts into the new image; until then its answers may
  // fail or still name the old version.
  w.phase("waiting for " + r.version);
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(wait);
  std::optional<std::string> seen;
  for (;;) {
    // A controller that is down may not even refuse the connection: no
    // question outlasts the wait.
    const auto deadline = w.transfer.deadline;
    w.transfer.deadline = std::min(deadline, until);
    StatusRecord record;
    const int answered = get_status(w.controller.address.c_str(), &record);
    w.transfer.deadline = deadline;
    if (answered == 0 && record.firmware_version) {
      seen = record.firmware_version;
      set_member(w.outcome, "firmware_after", json_string(*seen));
      if (*seen == r.version) {
        w.outcome.set(site_result::ok);
        return;
      }
    }
    const auto now = std::chrono::steady_clock::now();
    if (now >= until || w.stopping()) {
      w.outcome.set(site_result::failed,
                    seen ? "still at " + *seen + " after " + std::to_string(wait) + " s"
                         : "no answer in " + std::to_string(wait) + " s after the upgrade");
      return;
    }
    w.pause(std::chrono::duration_cast<std::chrono::milliseconds>(
        std::min<std::chrono::steady_clock::duration>(kPollEvery, until - now)));
  }
}

void run_firmware(const site_options& options, site_runner& runner, site_summary& summary,
                  const rollout& r) {
  const char* action = command_action(options.command);
  runner.run(every(summary), action,
             [&](worker& w) { firmware_status_work(w, r, options.reinstall); });
  std::vector<std::size_t> updates;
  for (std::size_t i = 0; i < summary.controllers.size(); ++i) {
    if (summary.outcomes[i].result == site_result::not_started) updates.push_back(i);
  }
  const auto update = [&](worker& w) { update_work(w, r, options.wait); };
  const auto hold_back = [&](const std::string& why) {
    for (std::size_t i : updates) {
      if (summary.outcomes[i].result == site_result::not_started) summary.outcomes[i].detail = why;
    }
  };
  if (updates.empty() || runner.interrupted()) return hold_back("interrupted");

  std::optional<std::size_t> canary;
  if (!options.canary.empty()) {
    for (std::size_t i = 0; i < summary.controllers.size(); ++i) {
      if (inventory_fold(summary.controllers[i].name) == inventory_fold(options.canary)) canary = i;
    }
  } else {
    canary = updates.front();
  }
  const controller_outcome& proof = summary.outcomes[*canary];
  const std::string canary_name = summary.controllers[*canary].name;
  if (proof.result == site_result::not_started) {
    runner.run({*canary}, action, update, false, true);
  }
  // A named canary already at the version has shown it works.
  if (proof.result != site_result::ok && proof.result != site_result::skipped) {
    if (runner.interrupted()) return hold_back("interrupted");
    return hold_back("the canary " + canary_name +
                     (proof.result == site_result::refused ? " was refused" : " failed"));
  }
  std::erase(updates, *canary);
  runner.run(updates, action, update, true, true);
}

}  // namespace

std::string default_logs(const site_options& options) {
  switch (options.command) {
    case site_command::backup:
      return options.out;
    case site_command::restore:
      return options.from;
    default:
      return "torvi-site-logs";
  }
}

const char* command_action(site_command command) {
  switch (command) {
    case site_command::status:
      return "get_status";
    case site_command::backup:
      return "get_backup";
    case site_command::restore:
      return "put_backup";
    case site_command::firmware:
      break;
  }
  return "push_firmware";
}

bool run_command(const site_options& options, site_runner& runner, site_summary& summary,
                 const site_io& io, const std::string& logs) {
  const char* action = command_action(options.command);
  switch (options.command) {
    case site_command::status:
      prefill(summary, {"model_name", "firmware_version", "serial_number", "mac"});
      runner.run(every(summary), action, status_work);
      return true;
    case site_command::backup:
      prefill(summary, {"file", "configurations", "missing", "serial_number"});
      runner.run(every(summary), action, [&](worker& w) { backup_work(w, options.out); });
      return true;
    case site_command::restore:
      prefill(summary, {"file", "serial_number"});
      runner.run(every(summary), action, [&](worker& w) { restore_work(w, options); });
      return true;
    case site_command::firmware:
      break;
  }
  prefill(summary, {"firmware_before", "firmware_after"});
  rollout r;
  std::string why;
  if (!check_package(options, logs, io, r, why)) {
    for (controller_outcome& outcome : summary.outcomes) outcome.detail = why;
    return false;
  }
  run_firmware(options, runner, summary, r);
  return true;
}

std::optional<std::string> newest_backup(const std::string& folder) {
  std::optional<std::string> newest;
  std::string newest_key;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(folder, error)) {
    const std::string name = entry.path().filename().string();
    // backup_ADDRESS_KORVAN_YYYYMMDD_HHMMSS.zip
    constexpr std::size_t kStamp = 15;
    constexpr std::string_view kMark = "_KORVAN_";
    if (!name.starts_with("backup_") || !name.ends_with(".zip") ||
        name.size() < 7 + kMark.size() + kStamp + 4) {
      continue;
    }
    const std::string stamp = name.substr(name.size() - 4 - kStamp, kStamp);
    const bool digits = std::all_of(stamp.begin(), stamp.end(),
                                    [](char c) { return (c >= '0' && c <= '9') || c == '_'; });
    if (!digits || stamp[8] != '_' || std::count(stamp.begin(), stamp.end(), '_') != 1 ||
        name.compare(name.size() - 4 - kStamp - kMark.size(), kMark.size(), kMark) != 0 ||
        !entry.is_regular_file(error)) {
      continue;
    }
    const std::string key = stamp + name;
    if (!newest || key > newest_key) {
      newest = platform_join_path(folder, name);
      newest_key = key;
    }
  }
  return newest;
}

bool backup_serials(const std::string& path, std::vector<std::string>& serials) {
  backup_zip_reader zip;
  if (backup_zip_open_read(zip, path) != 0) return false;
  for (std::uint64_t i = 0; i < backup_zip_count(zip); ++i) {
    backup_zip_entry entry;
    std::vector<std::uint8_t> bytes;
    if (backup_zip_stat(zip, i, entry) != 0 || entry.directory ||
        backup_zip_read(zip, i, bytes) != 0) {
      continue;
    }
    tar_stream reader;
    tar_open_memory_reader(reader, bytes);
    std::vector<std::uint8_t> text;
    const bool found = tar_read_member(reader, "status.txt", text) == TAR_OK;
    tar_close(reader);
    if (!found || text.size() > kStatusTextMax) continue;
    text.push_back(0);
    backup_file identity;
    backup_read_identity(reinterpret_cast<const char*>(text.data()), identity);
    if (identity.serial_number &&
        std::find(serials.begin(), serials.end(), *identity.serial_number) == serials.end()) {
      serials.push_back(*identity.serial_number);
    }
  }
  return true;
}

}  // namespace torvi::site
