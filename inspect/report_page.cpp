// torvi-inspect report: the commissioning report of one or more ZIP
// backups, as one HTML page.
#include <getopt.h>

#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "inspect/inspect.h"
#include "platform/console.h"
#include "platform/file.h"
#include "report/commissioning_report.h"

namespace torvi::inspect {
namespace {

constexpr command_help kHelp = {
    "report",
    "Usage: torvi-inspect report [--out FILE] [--title TEXT] BACKUP...\n"
    "Writes the commissioning report of one or more ZIP backups made by get_backup:\n"
    "one HTML page, complete in itself, that shows each controller's identity, the\n"
    "findings a restore would meet first, and per channel its gear entries, group\n"
    "membership, scene levels and input devices. It reads well on screen and prints\n"
    "on A4, each controller and each channel that holds anything on a new page.\n"
    "\n"
    "  --out FILE    write the page to FILE instead of standard output\n"
    "  --title TEXT  the page's title (default: \"Commissioning report\")\n"
    "  --help        this text\n"
    "\n"
    "Exit status: 0 the page is written and nothing was found; 1 it is written with\n"
    "findings (a checksum, a length, a layout, an archive member a restore would\n"
    "skip, take twice or miss, or a backup that cannot be read), or FILE cannot be\n"
    "written; 2 a usage error.\n",
};

}  // namespace

int report_command(int argc, char** argv) {
  static const option kOptions[] = {
      {"out", required_argument, nullptr, 'o'},
      {"title", required_argument, nullptr, 't'},
      {"help", no_argument, nullptr, 'h'},
      {nullptr, 0, nullptr, 0},
  };
  std::string out;
  report_options options;
  reset_getopt();
  for (int c; (c = getopt_long(argc, argv, "+:", kOptions, nullptr)) != -1;) {
    if (c == 'h') return print_help(kHelp);
    if (c == 'o') {
      out = optarg;
    } else if (c == 't') {
      options.title = optarg;
    } else if (c == ':') {
      return usage_error(kHelp, "option '%s' needs a value", argv[optind - 1]);
    } else {
      return usage_error(kHelp, "unknown option '%s'", argv[optind - 1]);
    }
  }
  if (optind >= argc) return usage_error(kHelp, "at least one BACKUP is needed");
  const std::vector<std::string> backups(argv + optind, argv + argc);

  const report_page page = report_html(backups, options);
  for (const report_backup& b : page.backups) {
    if (!b.error.empty()) file_error(b.path.c_str(), "%s", b.error.c_str());
  }
  if (out.empty()) {
    std::fwrite(page.html.data(), 1, page.html.size(), console_out_stream());
  } else {
    const auto* data = reinterpret_cast<const std::uint8_t*>(page.html.data());
    if (const int error = platform_write_file(out, {data, page.html.size()})) {
      return file_error(out.c_str(), "cannot be written: %s", std::strerror(error));
    }
    console_out("%s: %zu %s, %zu %s\n", out.c_str(), page.backups.size(),
                page.backups.size() == 1 ? "controller" : "controllers", page.findings,
                page.findings == 1 ? "finding" : "findings");
  }
  return page.findings == 0 ? EXIT_GOOD : EXIT_PROBLEM;
}

}  // namespace torvi::inspect
