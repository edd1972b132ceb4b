#pragma once
// What became of each controller, and the summary of a run: the table a
// technician reads and the JSON document a scheduler takes.

#include <cstdio>
#include <ctime>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "site/inventory.h"

namespace torvi::site {

enum class site_result { ok, failed, refused, skipped, not_started };

// "ok", "failed", "refused", "skipped", "not-started".
const char* site_result_name(site_result result);

struct controller_outcome {
  site_result result = site_result::not_started;
  std::string detail;              // empty when ok
  std::optional<std::string> log;  // the controller's log, once one was opened
  std::string archive;             // the backup it wrote, whole or not; empty for none
  // The command's own members, in order: name and JSON text of the value.
  std::vector<std::pair<std::string, std::string>> members;

  void set(site_result r, std::string why = {}) {
    result = r;
    detail = std::move(why);
  }
  void add(const std::string& name, std::string json) {
    members.emplace_back(name, std::move(json));
  }
};

struct site_summary {
  std::string command;
  std::string inventory;
  std::time_t started = 0;
  std::time_t finished = 0;
  std::vector<site_controller> controllers;  // the selected ones, in inventory order
  std::vector<controller_outcome> outcomes;  // one per controller
  std::string logs;                          // where the logs are, for the table's last line
};

// JSON texts for the members.
std::string json_string(const std::string& text);
std::string json_text_or_null(const std::optional<std::string>& text);
std::string json_string_array(const std::vector<std::string>& texts);

// The summary document, one JSON object ending in a line end.
std::string summary_json(const site_summary& summary);

// The table: a heading row, one row per controller (name, address,
// result, detail), and a line of counts.
std::string summary_table(const site_summary& summary);

// One row of the table, padded as the table pads it for `controllers`.
std::string summary_row(const std::vector<site_controller>& controllers,
                        const site_controller& controller, const controller_outcome& outcome);

// 0 when every controller is ok or skipped, else 1.
int summary_exit_status(const site_summary& summary);

}  // namespace torvi::site
