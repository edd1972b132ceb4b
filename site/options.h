#pragma once
// torvi-site's command line: COMMAND [OPTIONS] INVENTORY.

#include <optional>
#include <string>
#include <vector>

namespace torvi::site {

enum class site_command { status, backup, restore, firmware };

struct site_options {
  site_command command = site_command::status;
  const char* name = "status";  // the command as typed
  std::string inventory;
  int jobs = 8;
  std::vector<std::string> only;  // empty: every controller
  int timeout = 900;              // seconds one controller's work may take
  bool json = false;
  bool verbose = false;  // libcurl's trace in the logs
  std::string logs;      // empty: the command's own folder
  std::string out;       // backup
  std::string from;      // restore
  bool allow_other_serial = false;
  std::string package;  // firmware
  std::string canary;
  int wait = 300;
  bool reinstall = false;
};

constexpr int kExitGood = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

// Reads the command line into `options`. Returns an exit status when the
// run ends here: 0 after --help or --version (printed), 2 after a usage
// error (said on standard error); nothing when the run goes on.
std::optional<int> site_parse_options(int argc, char** argv, site_options& options);

// Prints "torvi-site COMMAND: MESSAGE" and the pointer to --help on
// standard error; returns kExitUsage.
int site_usage_error(const site_options& options, const std::string& message);

}  // namespace torvi::site
