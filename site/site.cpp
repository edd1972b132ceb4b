#include "site/site.h"

#include <curl/curl.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>

#include "platform/console.h"
#include "platform/file.h"
#include "platform/platform.h"
#include "platform/terminal.h"
#include "report/commissioning_report.h"
#include "site/commands.h"
#include "site/summary.h"

namespace torvi::site {
namespace {

// Set by the signal handler, read by every worker's transfers.
std::atomic<bool> g_interrupted{false};
static_assert(std::atomic<bool>::is_always_lock_free);

// The first interrupt lets the workers stop at their next transfer and
// the summary follow; a second one ends the program at once.
void on_interrupt() {
  if (g_interrupted.exchange(true)) std::_Exit(kExitFailed);
}

const site_controller* find_controller(const std::vector<site_controller>& controllers,
                                       const std::string& name) {
  for (const site_controller& c : controllers) {
    if (inventory_fold(c.name) == inventory_fold(name)) return &c;
  }
  return nullptr;
}

// Writes a file of the run beside the backups; says so when it cannot.
bool write_text(const std::string& path, const std::string& text) {
  const std::span bytes(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
  if (int error = platform_write_file(path, bytes)) {
    console_err("torvi-site: cannot write %s: %s\n", path.c_str(), std::strerror(error));
    return false;
  }
  return true;
}

}  // namespace

int site_execute(const site_options& options, const site_io& io, const site_hooks& hooks) {
  std::vector<site_controller> controllers;
  std::vector<inventory_fault> faults;
  inventory_read(options.inventory, controllers, faults);
  for (const inventory_fault& fault : faults) {
    if (fault.row) {
      console_err("torvi-site: %s:%lu: %s\n", options.inventory.c_str(), fault.row,
                  fault.reason.c_str());
    } else {
      console_err("torvi-site: %s: %s\n", options.inventory.c_str(), fault.reason.c_str());
    }
  }
  if (!faults.empty()) return kExitUsage;

  site_summary summary;
  for (const std::string& name : options.only) {
    if (!find_controller(controllers, name)) {
      return site_usage_error(
          options, "--only names '" + name + "', which " + options.inventory + " does not hold");
    }
  }
  for (const site_controller& c : controllers) {
    const bool chosen =
        options.only.empty() ||
        std::any_of(options.only.begin(), options.only.end(), [&](const std::string& name) {
          return inventory_fold(name) == inventory_fold(c.name);
        });
    if (chosen) summary.controllers.push_back(c);
  }
  if (!options.canary.empty() && !find_controller(summary.controllers, options.canary)) {
    return site_usage_error(options, "--canary names '" + options.canary +
                                         "', which is not among the controllers selected");
  }

  summary.command = options.name;
  summary.inventory = options.inventory;
  summary.outcomes.resize(summary.controllers.size());
  summary.started = std::time(nullptr);
  const std::string logs = options.logs.empty() ? default_logs(options) : options.logs;
  const char* action = command_action(options.command);
  summary.logs = platform_join_path(platform_join_path(logs, "NAME"), std::string(action) + ".log");

  runner_options settings;
  settings.jobs = options.jobs;
  settings.timeout = std::chrono::seconds(options.timeout);
  settings.verbose = options.verbose;
  settings.interrupt = hooks.interrupt;
  settings.observe = hooks.observe;
  settings.log_path = [&logs](const site_controller& c, const char* name) {
    return platform_join_path(platform_join_path(logs, c.name), std::string(name) + ".log");
  };

  // Once, before any worker thread: libcurl's global set-up is not safe
  // to run beside its transfers.
  curl_global_init(CURL_GLOBAL_ALL);
  bool began;
  {
    site_runner runner(summary.controllers, summary.outcomes, settings, io);
    began = run_command(options, runner, summary, io, logs);
    runner.finish_view();
  }
  curl_global_cleanup();
  summary.finished = std::time(nullptr);

  const std::string document = summary_json(summary);
  const std::string shown = options.json ? document : summary_table(summary);
  std::fputs(shown.c_str(), io.summary);
  std::fflush(io.summary);
  int status = summary_exit_status(summary);
  if (options.command == site_command::backup && began) {
    std::error_code ignored;
    std::filesystem::create_directories(options.out, ignored);
    if (!write_text(platform_join_path(options.out, "site-backup.json"), document)) {
      status = kExitFailed;
    }
    // The commissioning report of every backup taken, whole or not: a part
    // of one shows there with what it lacks.
    std::vector<std::string> archives;
    for (const controller_outcome& outcome : summary.outcomes) {
      if (!outcome.archive.empty()) archives.push_back(outcome.archive);
    }
    if (!archives.empty() && !write_text(platform_join_path(options.out, "report.html"),
                                         report_html(archives, report_options{}).html)) {
      status = kExitFailed;
    }
  }
  return status;
}

int site_main(int argc, char** argv) {
  site_options options;
  if (std::optional<int> status = site_parse_options(argc, argv, options)) return *status;
  site_io io;
  io.live = platform_prepare_terminal(io.progress);
  int rows = 0;
  int columns = 0;
  if (io.live && platform_terminal_size(io.progress, rows, columns)) {
    io.rows = rows;
    io.columns = columns;
  }
  platform_on_interrupt(on_interrupt);
  site_hooks hooks;
  hooks.interrupt = &g_interrupted;
  return site_execute(options, io, hooks);
}

}  // namespace torvi::site
