#pragma once
// The command line: the option record, the option scanner with its echo
// lines, the JSON-valued list options and the dispatch to one action.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "link/transfers.h"

namespace torvi {

// Everything the command line gave; absent options stay empty.
struct CommandOptions {
  std::optional<std::string> optAction;
  std::optional<std::string> optIP;
  std::optional<std::string> optBackupFileOut;
  std::optional<std::string> optBackupFileOutType;
  std::optional<std::string> optBackupFileIn;
  std::optional<std::string> optFirmwareFile;
  std::optional<std::vector<std::string>> optBackupConfig;
  // Consumers stop at the first 0, which ends the list as on the wire.
  std::optional<std::vector<std::uint32_t>> optChannel;
  std::optional<std::vector<std::string>> optChannelCsvFile;
  std::optional<std::vector<std::string>> optChannelGroupsCsvFile;
  std::optional<std::vector<std::string>> optChannelInputsCsvFile;
};

// Collects the strings of a JSON text (an array, or a single string).
// Numbers and other tokens are skipped; collection stops at the end of the
// first array or at the first error, keeping what was taken before. Out of
// memory, the assertion message names `line`, the option's own place.
std::vector<std::string> collect_text_list(const char* json, int line);

// Collects channel numbers: strings are read with atoi, numbers truncated
// toward zero.
std::vector<std::uint32_t> collect_number_list(const char* json);

// Out of memory while collecting a list leaves nothing sensible to do: stops
// the tool with "Assertion failed: out of memory, file F, line N" on
// standard error, F being the source file's name without its folder.
[[noreturn]] void cli_allocation_failed(const char* file, int line);

// Reads the command line into `options`, echoing each option, and reports
// arguments left over. Returns an exit status when the run must end at once
// (help, version), otherwise nothing.
std::optional<int> cli_scan_options(int argc, char** argv, CommandOptions& options);

// Runs the whole tool: banner, options, at most one action, clean-up and
// the closing pause (`pause` may be null so that in-process runs skip it).
// Returns the process exit status.
int cli_run(int argc, char** argv, void (*pause)(unsigned milliseconds));

// What an in-process run may change: the closing pause (null skips it) and
// the uploads' time limits, which the tool itself never shortens.
struct cli_hooks {
  void (*pause)(unsigned milliseconds) = nullptr;
  UploadLimits upload;
};
int cli_run(int argc, char** argv, const cli_hooks& hooks);

}  // namespace torvi
