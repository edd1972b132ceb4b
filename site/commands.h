#pragma once
// The four commands: what each does with one controller, and how the
// controllers are taken in turn.

#include <optional>
#include <string>
#include <vector>

#include "site/options.h"
#include "site/runner.h"
#include "site/summary.h"

namespace torvi::site {

// Where the command's logs go when --logs does not say: the backups'
// folder for backup and restore, torvi-site-logs otherwise.
std::string default_logs(const site_options& options);

// The torvi-cli action whose lines each controller's log holds.
const char* command_action(site_command command);

// Runs the command over summary.controllers, filling summary.outcomes.
// Returns false when the run could not begin (a firmware package refused,
// its check's lines not writable); no controller was contacted then.
bool run_command(const site_options& options, site_runner& runner, site_summary& summary,
                 const site_io& io, const std::string& logs);

// The newest "backup_*_KORVAN_YYYYMMDD_HHMMSS.zip" in `folder`, by the date
// and time in its name; none when the folder holds none.
std::optional<std::string> newest_backup(const std::string& folder);

// The serial numbers the configuration archives of the ZIP backup at
// `path` name in their "status.txt", each once, in the order found. False
// when the file is not a ZIP archive.
bool backup_serials(const std::string& path, std::vector<std::string>& serials);

}  // namespace torvi::site
