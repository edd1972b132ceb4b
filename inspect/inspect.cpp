#include "inspect/inspect.h"

#include <getopt.h>

#include <cstdarg>
#include <cstring>
#include <string>

#include "platform/console.h"

namespace torvi::inspect {
namespace {

constexpr char kProgram[] = "torvi-inspect";
constexpr char kVersion[] = "1.0.0";

constexpr char kHelp[] =
    "Usage: torvi-inspect COMMAND [OPTIONS] FILE...\n"
    "See, check and export a KORVAN-4 controller's configuration without the controller.\n"
    "\n"
    "Commands:\n"
    "  show FILE           what a backup, configuration tar, channel file or firmware file holds\n"
    "  check-csv FILE      what an import of a channel, groups or inputs CSV file would do\n"
    "  export-csv BACKUP   a channel of a backup as the three CSV files the imports read\n"
    "  diff A B            how two backups, tars or channel files differ, field by field\n"
    "  report BACKUP...    a commissioning report of ZIP backups: one HTML page to hand over\n"
    "\n"
    "  torvi-inspect COMMAND --help   the command's options\n"
    "  torvi-inspect --version        the program's version\n"
    "\n"
    "Exit status: 0 all is well, 1 a check found a problem or a file could not be read,\n"
    "2 a usage error.\n";

struct command {
  const char* name;
  int (*run)(int argc, char** argv);
};

constexpr command kCommands[] = {
    {"show", show_command}, {"check-csv", check_csv_command}, {"export-csv", export_csv_command},
    {"diff", diff_command}, {"report", report_command},
};

__attribute__((format(printf, 1, 0))) std::string vformat(const char* format, va_list args) {
  va_list copy;
  va_copy(copy, args);
  const int n = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  std::string text(n > 0 ? static_cast<std::size_t>(n) : 0, '\0');
  if (n > 0) std::vsnprintf(text.data(), text.size() + 1, format, args);
  return text;
}

}  // namespace

int print_help(const command_help& help) {
  console_out("%s", help.text);
  return EXIT_GOOD;
}

int usage_error(const command_help& help, const char* format, ...) {
  va_list args;
  va_start(args, format);
  const std::string message = vformat(format, args);
  va_end(args);
  console_err("%s %s: %s\nTry '%s %s --help'.\n", kProgram, help.name, message.c_str(), kProgram,
              help.name);
  return EXIT_USAGE;
}

int file_error(const char* path, const char* format, ...) {
  va_list args;
  va_start(args, format);
  const std::string message = vformat(format, args);
  va_end(args);
  console_err("%s: %s: %s\n", kProgram, path, message.c_str());
  return EXIT_PROBLEM;
}

std::string text_format(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = vformat(format, args);
  va_end(args);
  return text;
}

std::optional<int> read_json_option(int argc, char** argv, const command_help& help, bool& json) {
  static const option kOptions[] = {
      {"json", no_argument, nullptr, 'j'},
      {"help", no_argument, nullptr, 'h'},
      {nullptr, 0, nullptr, 0},
  };
  json = false;
  reset_getopt();
  for (int c; (c = getopt_long(argc, argv, "+", kOptions, nullptr)) != -1;) {
    if (c == 'h') return print_help(help);
    if (c != 'j') return usage_error(help, "unknown option '%s'", argv[optind - 1]);
    json = true;
  }
  return std::nullopt;
}

void reset_getopt() {
  // glibc starts over, its internal state included, when optind is 0.
  optind = 0;
  opterr = 0;
}

int inspect_main(int argc, char** argv) {
  if (argc < 2) {
    console_err("%s: a command is needed\nTry '%s --help'.\n", kProgram, kProgram);
    return EXIT_USAGE;
  }
  const char* name = argv[1];
  if (std::strcmp(name, "--help") == 0 || std::strcmp(name, "-h") == 0) {
    console_out("%s", kHelp);
    return EXIT_GOOD;
  }
  if (std::strcmp(name, "--version") == 0) {
    console_out("%s %s\n", kProgram, kVersion);
    return EXIT_GOOD;
  }
  for (const command& c : kCommands) {
    if (std::strcmp(name, c.name) == 0) return c.run(argc - 1, argv + 1);
  }
  console_err("%s: unknown command '%s'\nTry '%s --help'.\n", kProgram, name, kProgram);
  return EXIT_USAGE;
}

}  // namespace torvi::inspect
