#include "cli/cli.h"

#include <curl/curl.h>
#include <getopt.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "action/actions.h"
#include "json/json_parser.h"
#include "link/verbose.h"
#include "platform/console.h"

namespace torvi {
namespace {

constexpr const char* kVersion = "1.0.0";
constexpr const char* kShortOptions = "abc:d:012";
constexpr unsigned kClosingPauseMs = 4000;

// The scanner's table. `verbose` stands twice with different effects, so no
// abbreviation of it is unique.
const option kLongOptions[] = {
    {"version", no_argument, nullptr, 'v'},
    {"help", no_argument, nullptr, 'h'},
    {"verbose", no_argument, &verbose, 1},
    {"action", required_argument, nullptr, 'a'},
    {"channel", required_argument, nullptr, 'c'},
    {"channelcsvfile", required_argument, nullptr, 'f'},
    {"channelgroupscsvfile", required_argument, nullptr, 'q'},
    {"channelinputscsvfile", required_argument, nullptr, 'p'},
    {"ip", required_argument, nullptr, 'i'},
    {"backupfileout", required_argument, nullptr, 'o'},
    {"backupfileouttype", required_argument, nullptr, 't'},
    {"backupconfig", required_argument, nullptr, 'g'},
    {"backupfilein", required_argument, nullptr, 'j'},
    {"firmwarefile", required_argument, nullptr, 'u'},
    {"delete", required_argument, nullptr, 0},
    {"verbose", no_argument, nullptr, 0},
    {"create", required_argument, nullptr, 'c'},
    {"file", required_argument, nullptr, 0},
    {nullptr, 0, nullptr, 0},
};

// A missing argument (the short option 'a' takes none) is echoed and stored
// as the text a C formatter prints for a null string.
const char* or_null(const char* text) {
  return text ? text : "(null)";
}

// Adds one element built from `value`. The element (a text's copy included)
// is made inside the guard, so running out of memory ends with the
// assertion message of the option's `line` and never escapes as an exception.
template <typename T, typename V>
void append_entry(std::vector<T>& list, V value, int line) {
  try {
    list.emplace_back(value);
  } catch (const std::bad_alloc&) {
    cli_allocation_failed(__FILE__, line);
  }
}

// A JSON number taken as a channel: truncated toward zero to 32 bits.
std::uint32_t truncate_number(double value) {
  return static_cast<std::uint32_t>(jp_truncate(value));
}

// A channel given as a JSON string, read as atoi does (leading blanks, sign,
// digits) but without undefined behaviour on overflow.
std::uint32_t text_number(const char* text) {
  long long value = std::strtoll(text, nullptr, 10);
  return static_cast<std::uint32_t>(value);
}

// Walks the tokens of `json`, handing each string and each number to its
// handler, until the first array ends, the text is done or an error stops it.
template <typename OnString, typename OnNumber>
void walk_list(const char* json, OnString on_string, OnNumber on_number) {
  JsonParser parser{};
  jp_open_string(parser, json);
  for (;;) {
    int token = jp_next(parser);
    if (token == TOKEN_ARRAY_END || token == TOKEN_ERROR || token == TOKEN_DONE) break;
    if (token == TOKEN_STRING) {
      on_string(jp_get_string(parser));
    } else if (token == TOKEN_NUMBER) {
      on_number(jp_get_number(parser));
    }
  }
  jp_close(parser);
}

// A repeated list option overwrites the earlier list, but only when it
// yields at least one element.
template <typename T>
void store_list(std::optional<std::vector<T>>& field, std::vector<T>&& list) {
  if (!list.empty()) field = std::move(list);
}

void print_help() {
  console_out("Help\n");
  console_out("version\t\tShow the command version.\n");
  console_out("help\t\tShow the command help.\n");
  console_out("action\t\tsetup_channel|get_backup|put_backup|push_firmware.\n");
  console_out("ip\t\tIP address of the controller.\n");
  console_out("channel\t\tChannel number (1-4).\n");
  console_out("channelcsvfile\tChannel CSV file path.\n");
  console_out("firmwarefile\tFirmware binary file path.\n");
}

const char* text_or_null(const std::optional<std::string>& text) {
  return text ? text->c_str() : nullptr;
}

template <typename T>
const std::vector<T>* list_or_null(const std::optional<std::vector<T>>& list) {
  return list ? &*list : nullptr;
}

// Runs the action the options name; its result.
int dispatch(const CommandOptions& o, const UploadLimits& limits) {
  if (!o.optAction) return 0;
  const std::string& action = *o.optAction;
  const char* ip = text_or_null(o.optIP);
  if (action == "get_backup") {
    return get_backup(ip, text_or_null(o.optBackupFileOut), text_or_null(o.optBackupFileOutType),
                      list_or_null(o.optBackupConfig));
  }
  if (action == "put_backup") return put_backup(ip, text_or_null(o.optBackupFileIn), limits);
  if (action == "setup_channel") {
    return setup_channel(ip, list_or_null(o.optChannel), list_or_null(o.optChannelCsvFile),
                         list_or_null(o.optChannelGroupsCsvFile),
                         list_or_null(o.optChannelInputsCsvFile), {}, limits);
  }
  if (action == "push_firmware") return push_firmware(ip, text_or_null(o.optFirmwareFile), limits);
  if (action == "get_status") return get_status(ip);
  return 0;
}

}  // namespace

void cli_allocation_failed(const char* file, int line) {
  const char* slash = std::strrchr(file, '/');
  std::fflush(console_out_stream());
  std::fprintf(stderr, "Assertion failed: out of memory, file %s, line %d\n",
               slash ? slash + 1 : file, line);
  std::abort();
}

std::vector<std::string> collect_text_list(const char* json, int line) {
  std::vector<std::string> list;
  walk_list(
      json, [&](const char* text) { append_entry(list, text, line); }, [](double) {});
  return list;
}

std::vector<std::uint32_t> collect_number_list(const char* json) {
  std::vector<std::uint32_t> list;
  walk_list(
      json, [&](const char* text) { append_entry(list, text_number(text), __LINE__); },
      [&](double value) { append_entry(list, truncate_number(value), __LINE__); });
  return list;
}

std::optional<int> cli_scan_options(int argc, char** argv, CommandOptions& options) {
  verbose = 0;
  optind = 0;  // a fresh scan, also when run more than once in one process
  int digit_optind = 0;
  for (;;) {
    int this_option_optind = optind ? optind : 1;
    int option_index = 0;
    int c = getopt_long(argc, argv, kShortOptions, kLongOptions, &option_index);
    if (c == -1) break;
    const char* arg = or_null(optarg);
    switch (c) {
      case 0:
        console_out("option %s", kLongOptions[option_index].name);
        if (optarg) console_out(" with arg %s", optarg);
        console_out("\n");
        break;
      case '0':
      case '1':
      case '2':
        if (digit_optind != 0 && digit_optind != this_option_optind) {
          console_out("digits occur in two different argv-elements.\n");
        }
        digit_optind = this_option_optind;
        console_out("option %c\n", c);
        break;
      case 'a':
        console_out("ACTION=%s\n", arg);
        options.optAction = arg;
        break;
      case 'i':
        console_out("IP=%s\n", arg);
        options.optIP = arg;
        break;
      case 'o':
        console_out("BackupFileOut%s\n", arg);
        options.optBackupFileOut = arg;
        break;
      case 't':
        console_out("BackupFileOutType%s\n", arg);
        options.optBackupFileOutType = arg;
        break;
      case 'j':
        console_out("BackupFileIn%s\n", arg);
        options.optBackupFileIn = arg;
        break;
      case 'u':
        console_out("FIRMWAREFILE=%s\n", arg);
        options.optFirmwareFile = arg;
        break;
      case 'c':
        console_out("CHANNEL=%s\n", arg);
        store_list(options.optChannel, collect_number_list(arg));
        break;
      case 'f':
        console_out("CHANNELCSVFILE=%s\n", arg);
        console_out("optarg=#%s#", arg);
        store_list(options.optChannelCsvFile, collect_text_list(arg, __LINE__));
        break;
      case 'q':
        console_out("CHANNELGROUPSCSVFILE=%s\n", arg);
        console_out("optarg=#%s#", arg);
        store_list(options.optChannelGroupsCsvFile, collect_text_list(arg, __LINE__));
        break;
      case 'p':
        console_out("CHANNELINPUTSCSVFILE=%s\n", arg);
        console_out("optarg=#%s#", arg);
        store_list(options.optChannelInputsCsvFile, collect_text_list(arg, __LINE__));
        break;
      case 'g':
        console_out("BackupConfig%s\n", arg);
        store_list(options.optBackupConfig, collect_text_list(arg, __LINE__));
        break;
      case 'h':
        print_help();
        return 0;
      case 'v':
        console_out("Version %s\n", kVersion);
        return 0;
      default:
        console_out("?? getopt returned character code 0%o ??\n", static_cast<unsigned>(c));
        break;
    }
  }

  if (optind < argc) {
    console_out("non-option ARGV-elements: ");
    while (optind < argc) console_out("%s ", argv[optind++]);
    console_out("\n");
  }
  return std::nullopt;
}

int cli_run(int argc, char** argv, void (*pause)(unsigned milliseconds)) {
  return cli_run(argc, argv, cli_hooks{pause, {}});
}

int cli_run(int argc, char** argv, const cli_hooks& hooks) {
  CommandOptions options;
  console_out("torvi-cli\n");
  curl_global_init(CURL_GLOBAL_ALL);

  if (std::optional<int> status = cli_scan_options(argc, argv, options)) {
    // help and version leave at once, without clean-up or pause
    std::fflush(console_out_stream());
    return *status;
  }

  if (options.optAction) console_out("optAction=%s\n", options.optAction->c_str());
  if (options.optIP) console_out("optIP=%s\n", options.optIP->c_str());
  if (options.optBackupFileOut) {
    console_out("optBackupFileOut=%s\n", options.optBackupFileOut->c_str());
  }
  if (options.optBackupFileOutType) {
    console_out("optBackupFileOutType=%s\n", options.optBackupFileOutType->c_str());
  }

  // A CSV file the tokenizer could not read ends the run at once.
  if (dispatch(options, hooks.upload) == ACTION_ABORTED) {
    std::fflush(console_out_stream());
    return 1;
  }

  options = CommandOptions{};
  curl_global_cleanup();
  std::fflush(console_out_stream());
  if (hooks.pause) hooks.pause(kClosingPauseMs);
  return 0;
}

}  // namespace torvi
