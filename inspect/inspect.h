#pragma once
// torvi-inspect: what a backup, a configuration archive, a channel file, a
// CSV file or a firmware file holds, and what the tool would do with it,
// worked out on the workstation with the tool's own code. Nothing is sent.

namespace torvi::inspect {

// Exit statuses of every command.
constexpr int EXIT_GOOD = 0;     // all is well
constexpr int EXIT_PROBLEM = 1;  // a check found a problem, or a file could not be read
constexpr int EXIT_USAGE = 2;    // the command line is wrong

// `torvi-inspect COMMAND [OPTIONS] FILE...`. The report goes to standard
// output, problems to standard error (console_out, console_err).
int inspect_main(int argc, char** argv);

// The commands; argv[0] is the command's name.
int show_command(int argc, char** argv);
int check_csv_command(int argc, char** argv);
int export_csv_command(int argc, char** argv);
int diff_command(int argc, char** argv);
int report_command(int argc, char** argv);

}  // namespace torvi::inspect

#include <optional>
#include <string>

namespace torvi::inspect {

// What `COMMAND --help` prints, and the name usage errors go by.
struct command_help {
  const char* name;
  const char* text;  // synopsis, description and options, each line ending in "\n"
};

// Prints the command's help on standard output; gives EXIT_GOOD.
int print_help(const command_help& help);
// Prints "torvi-inspect NAME: MESSAGE" and a pointer to --help on standard
// error; gives EXIT_USAGE.
int usage_error(const command_help& help, const char* format, ...)
    __attribute__((format(printf, 2, 3)));
// Prints "torvi-inspect: PATH: MESSAGE" on standard error; gives EXIT_PROBLEM.
int file_error(const char* path, const char* format, ...) __attribute__((format(printf, 2, 3)));

// A text made with printf formatting.
std::string text_format(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Reads the options of a command that takes only --json and --help, and
// leaves optind on its first file. Empty to go on; otherwise the exit
// status the command ends with (help printed, or a usage error).
std::optional<int> read_json_option(int argc, char** argv, const command_help& help, bool& json);

// Prepares getopt_long for a fresh scan of a command's arguments (getopt
// keeps its state between calls, and the commands run more than once in
// one process under test). Reports unknown options itself when asked.
void reset_getopt();

}  // namespace torvi::inspect
