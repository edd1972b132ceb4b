#include "site/options.h"

#include <getopt.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/console.h"

namespace torvi::site {
namespace {

constexpr char kVersion[] = "1.0.0";

constexpr char kHelp[] =
    "Usage: torvi-site COMMAND [OPTIONS] INVENTORY\n"
    "Runs torvi-cli's work on every KORVAN-4 controller of a site, several at once.\n"
    "\n"
    "Commands:\n"
    "  status     each controller's model, firmware version, serial number and MAC\n"
    "  backup     each controller's whole backup, as get_backup writes it\n"
    "  restore    each controller's newest backup restored, as put_backup does it\n"
    "  firmware   a firmware rollout: a canary first, then the rest\n"
    "\n"
    "INVENTORY is a CSV file whose heading row starts with the cells name and address.\n"
    "\n"
    "  torvi-site COMMAND --help   the command's options\n"
    "  torvi-site --version        the program's version\n"
    "\n"
    "Exit status: 0 every controller ok or skipped, 1 any failed, refused or not\n"
    "started, 2 a usage or inventory error (no controller contacted).\n";

constexpr char kCommon[] =
    "  --jobs N             controllers worked on at once, 1 to 64 (default 8)\n"
    "  --only NAME[,NAME]   only these controllers of the inventory\n"
    "  --timeout SECONDS    the most one controller's work may take (default 900)\n"
    "  --json               the summary as one JSON document instead of the table\n"
    "  --logs DIR           the folder of the controllers' logs, DIR/NAME/ACTION.log\n"
    "  --verbose            libcurl's trace of every transfer in the logs\n"
    "  --help               this text\n";

struct command_row {
  const char* name;
  site_command command;
  const char* usage;
  const char* options;
};

constexpr command_row kCommands[] = {
    {"status", site_command::status,
     "Usage: torvi-site status [OPTIONS] INVENTORY\n"
     "Asks every controller for its status: model name, firmware version, serial\n"
     "number and MAC. A controller is ok when it answers as a KORVAN-4.\n"
     "Logs: torvi-site-logs/NAME/get_status.log unless --logs.\n",
     ""},
    {"backup", site_command::backup,
     "Usage: torvi-site backup --out DIR [OPTIONS] INVENTORY\n"
     "Backs up every controller into DIR/NAME/backup_ADDRESS_KORVAN_DATE_TIME.zip, as\n"
     "torvi-cli --action get_backup --backupfileouttype zip writes it, with its lines\n"
     "in DIR/NAME/get_backup.log. A controller is ok when all 18 configurations were\n"
     "accepted; an incomplete backup is kept with the ending .incomplete, so that a\n"
     "restore never takes it. The summary is also written to DIR/site-backup.json, and\n"
     "the commissioning report of the backups taken to DIR/report.html.\n",
     "  --out DIR            the folder of the backups (required)\n"},
    {"restore", site_command::restore,
     "Usage: torvi-site restore --from DIR [OPTIONS] INVENTORY\n"
     "Restores the newest DIR/NAME/backup_*.zip onto every controller, as torvi-cli\n"
     "--action put_backup does it, with its lines in DIR/NAME/put_backup.log. A\n"
     "controller whose serial number is not the backup's is refused: nothing is sent.\n",
     "  --from DIR           the folder of the backups (required)\n"
     "  --allow-other-serial restore onto controllers of other serial numbers\n"
     "                       (a controller replaced by new hardware)\n"},
    {"firmware", site_command::firmware,
     "Usage: torvi-site firmware --package FILE [OPTIONS] INVENTORY\n"
     "Rolls a firmware package or raw image out. The file is checked first, as\n"
     "push_firmware checks it. Controllers of another model are refused, those at\n"
     "the package's version skipped. The canary is updated alone and must report\n"
     "the new version; then the rest, and none starts after a failure.\n"
     "Logs: torvi-site-logs/NAME/push_firmware.log unless --logs.\n",
     "  --package FILE       the firmware package (.bin) or raw image (.binary) (required)\n"
     "  --canary NAME        the controller updated first (default: the first to update)\n"
     "  --wait SECONDS       how long a controller may take to report the new version\n"
     "                       (default 300)\n"
     "  --reinstall          update controllers already at the package's version too\n"},
};

enum option_code {
  kJobs = 256,
  kOnly,
  kTimeout,
  kJson,
  kLogs,
  kVerbose,
  kHelpCode,
  kOut,
  kFrom,
  kAllowOtherSerial,
  kPackage,
  kCanary,
  kWait,
  kReinstall,
};

bool read_number(const char* text, int low, int high, int& value) {
  char* end = nullptr;
  errno = 0;
  const long number = std::strtol(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || number < low || number > high) return false;
  value = static_cast<int>(number);
  return true;
}

void split_names(const char* text, std::vector<std::string>& names) {
  std::string rest = text;
  for (std::size_t start = 0; start <= rest.size();) {
    const std::size_t comma = rest.find(',', start);
    const std::size_t end = comma == std::string::npos ? rest.size() : comma;
    if (end > start) names.push_back(rest.substr(start, end - start));
    start = end + 1;
  }
}

}  // namespace

int site_usage_error(const site_options& options, const std::string& message) {
  console_err("torvi-site %s: %s\nTry 'torvi-site %s --help'.\n", options.name, message.c_str(),
              options.name);
  return kExitUsage;
}

std::optional<int> site_parse_options(int argc, char** argv, site_options& options) {
  if (argc < 2) {
    console_err("torvi-site: a command is needed\nTry 'torvi-site --help'.\n");
    return kExitUsage;
  }
  if (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0) {
    console_out("%s", kHelp);
    return kExitGood;
  }
  if (std::strcmp(argv[1], "--version") == 0) {
    console_out("torvi-site %s\n", kVersion);
    return kExitGood;
  }
  const command_row* chosen = nullptr;
  for (const command_row& c : kCommands) {
    if (std::strcmp(argv[1], c.name) == 0) chosen = &c;
  }
  if (!chosen) {
    console_err("torvi-site: unknown command '%s'\nTry 'torvi-site --help'.\n", argv[1]);
    return kExitUsage;
  }
  options.command = chosen->command;
  options.name = chosen->name;

  std::vector<option> table = {
      {"jobs", required_argument, nullptr, kJobs},
      {"only", required_argument, nullptr, kOnly},
      {"timeout", required_argument, nullptr, kTimeout},
      {"json", no_argument, nullptr, kJson},
      {"logs", required_argument, nullptr, kLogs},
      {"verbose", no_argument, nullptr, kVerbose},
      {"help", no_argument, nullptr, kHelpCode},
  };
  switch (chosen->command) {
    case site_command::status:
      break;
    case site_command::backup:
      table.push_back({"out", required_argument, nullptr, kOut});
      break;
    case site_command::restore:
      table.push_back({"from", required_argument, nullptr, kFrom});
      table.push_back({"allow-other-serial", no_argument, nullptr, kAllowOtherSerial});
      break;
    case site_command::firmware:
      table.push_back({"package", required_argument, nullptr, kPackage});
      table.push_back({"canary", required_argument, nullptr, kCanary});
      table.push_back({"wait", required_argument, nullptr, kWait});
      table.push_back({"reinstall", no_argument, nullptr, kReinstall});
      break;
  }
  table.push_back({nullptr, 0, nullptr, 0});

  // The command's own arguments, behind its name; the scanner reports
  // nothing itself, so every complaint reads the same.
  const int count = argc - 1;
  char** args = argv + 1;
  optind = 0;
  opterr = 0;
  for (;;) {
    const int c = getopt_long(count, args, ":h", table.data(), nullptr);
    if (c == -1) break;
    const char* value = optarg;
    switch (c) {
      case kJobs:
        if (!read_number(value, 1, 64, options.jobs)) {
          return site_usage_error(
              options, "--jobs takes a number from 1 to 64, not '" + std::string(value) + "'");
        }
        break;
      case kOnly: {
        // An empty list must not widen to the whole site.
        const std::size_t before = options.only.size();
        split_names(value, options.only);
        if (options.only.size() == before) return site_usage_error(options, "--only needs a name");
        break;
      }
      case kTimeout:
        if (!read_number(value, 1, 86400, options.timeout)) {
          return site_usage_error(
              options, "--timeout takes seconds from 1 to 86400, not '" + std::string(value) + "'");
        }
        break;
      case kJson:
        options.json = true;
        break;
      case kLogs:
        options.logs = value;
        break;
      case kVerbose:
        options.verbose = true;
        break;
      case 'h':
      case kHelpCode:
        console_out("%s\nOptions:\n%s%s", chosen->usage, chosen->options, kCommon);
        return kExitGood;
      case kOut:
        options.out = value;
        break;
      case kFrom:
        options.from = value;
        break;
      case kAllowOtherSerial:
        options.allow_other_serial = true;
        break;
      case kPackage:
        options.package = value;
        break;
      case kCanary:
        if (*value == '\0') return site_usage_error(options, "--canary needs a name");
        options.canary = value;
        break;
      case kWait:
        if (!read_number(value, 1, 86400, options.wait)) {
          return site_usage_error(
              options, "--wait takes seconds from 1 to 86400, not '" + std::string(value) + "'");
        }
        break;
      case kReinstall:
        options.reinstall = true;
        break;
      case ':':
        return site_usage_error(options,
                                "option '" + std::string(args[optind - 1]) + "' needs a value");
      default:
        return site_usage_error(options, "unknown option '" + std::string(args[optind - 1]) + "'");
    }
  }
  if (optind >= count) return site_usage_error(options, "an inventory file is needed");
  if (optind + 1 < count) {
    return site_usage_error(
        options, "one inventory file only, not also '" + std::string(args[optind + 1]) + "'");
  }
  options.inventory = args[optind];
  if (chosen->command == site_command::backup && options.out.empty()) {
    return site_usage_error(options, "--out DIR is needed");
  }
  if (chosen->command == site_command::restore && options.from.empty()) {
    return site_usage_error(options, "--from DIR is needed");
  }
  if (chosen->command == site_command::firmware && options.package.empty()) {
    return site_usage_error(options, "--package FILE is needed");
  }
  return std::nullopt;
}

}  // namespace torvi::site
