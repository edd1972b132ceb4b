#include <getopt.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "import/imports.h"
#include "inspect/channel_diff.h"
#include "inspect/channel_report.h"
#include "inspect/commands.h"
#include "inspect/inspect.h"
#include "platform/file.h"
#include "tar/tar_stream.h"

namespace torvi::inspect {
namespace {

constexpr command_help kHelp = {
    "check-csv",
    "Usage: torvi-inspect check-csv --kind channel|groups|inputs [--firmware VERSION]\n"
    "                               [--against BACKUP --channel N] [--json] FILE\n"
    "Reads the CSV file FILE with setup_channel's own import, without sending anything,\n"
    "and tells for every row whether it would be applied or skipped and why, and for\n"
    "an applied row the values written into the channel file. Every value the import\n"
    "does not write as given (wrapped, truncated, clamped, cut or dropped) is noted\n"
    "with its column, the value given and the value written; and whether\n"
    "setup_channel would send the channel file at all.\n"
    "\n"
    "  --kind KIND         channel (gear entries), groups (group names) or inputs\n"
    "                      (input devices)\n"
    "  --firmware VERSION  the controller's firmware version, which selects the layout\n"
    "                      the rows are written in; without it the backup's version,\n"
    "                      or 2.2.4 (the newest controller) when no backup is given\n"
    "  --against BACKUP    a ZIP backup, a configuration tar or a bare channel file:\n"
    "  --channel N         the rows are applied to channel N (1..4) of it, and every\n"
    "                      field of the channel file that would change is listed.\n"
    "                      For inputs the device file is built from zero, as\n"
    "                      setup_channel builds it: devices FILE does not name are gone.\n"
    "  --json              one JSON document instead of tables\n"
    "  --help              this text\n"
    "\n"
    "Exit status: 0 every data row would be applied as given; 1 a data row would be\n"
    "skipped or not reached, a value would be changed, nothing would be sent, FILE\n"
    "cannot be tokenised, or a file cannot be read; 2 a usage error.\n",
};

enum class csv_file_type : std::uint8_t { channel, groups, inputs };

// What the command needs to know of each kind of CSV file: how the import
// is called and what its rows name.
struct csv_file_kind {
  csv_file_type type;
  const char* name;
  int (*import)(const char* firmware_version, const char* path, channel_record& record,
                const csv_read_options& options);
  std::uint32_t fields;
  const char* index_name;
  std::size_t count;
  channel_file_kind file;
  const channel_region* region;
  // The members of record_node a row's values show, in this order.
  std::vector<const char*> values;
  // What each column holds, for the notes.
  std::vector<const char*> columns;
};

const csv_file_kind kKinds[] = {
    {csv_file_type::channel,
     "channel",
     import_channel_csv,
     12,
     "entry index",
     kGearEntryCount,
     channel_file_kind::gear,
     &gear_entry_region,
     {"short_address", "address_byte", "flags", "groups", "level_1", "level_2", "level_3",
      "level_4", "fade_rate", "fade_time", "scenes", "name"},
     {"channel", "entry", "short address", "name", "groups", "level 1", "level 2", "level 3",
      "level 4", "fade rate", "fade time", "scenes"}},
    {csv_file_type::groups,
     "groups",
     import_groups_csv,
     3,
     "group",
     kGroupEntryCount,
     channel_file_kind::gear,
     &group_entry_region,
     {"name"},
     {"channel", "group", "name"}},
    {csv_file_type::inputs,
     "inputs",
     import_inputs_csv,
     20,
     "device index",
     kDeviceCount,
     channel_file_kind::device,
     &device_entry_region,
     {"short_address", "address_byte", "flags", "instance_count", "name", "push_button_value"},
     {"channel",        "device",          "short address",
      "name",           "flags",           "instance count",
      "instance types", "instance values", "push-button value",
      "push-button 1",  "push-button 2",   "push-button 3",
      "push-button 4",  "push-button 5",   "push-button 6",
      "occupancy 1",    "occupancy 2",     "occupancy 3",
      "light 1",        "light 2"}},
};

// The newest controller, taken when nothing says which one the file is for.
constexpr char kAssumedFirmware[] = "2.2.4";
// Input devices are written in this layout only.
constexpr int kDeviceLayout = 3;

struct check_run {
  const csv_file_kind& kind;
  std::optional<std::string> firmware;
  std::uint32_t layout = 0;  // the layout version the firmware selects; 0 when unknown
  channel_record& record;
  node rows = list_node();
  std::int32_t version = 0;  // as declared before the current row
  unsigned long stopped_at = 0;
  unsigned long applied = 0, skipped = 0, not_reached = 0, notes = 0;
  std::optional<std::pair<unsigned long, std::string>> parse_error;
};

channel_view record_view(const check_run& run) {
  if (run.kind.file == channel_file_kind::device) {
    return {channel_file_kind::device, run.record.device, run.layout};
  }
  return {channel_file_kind::gear, run.record.gear, run.layout};
}

std::string skip_reason(const check_run& run, const csv_row_report& r) {
  switch (r.fate) {
    case csv_fate::no_version:
      return "no version line before it";
    case csv_fate::wrong_version:
      return text_format("the version line declares version %d, not 1", r.version);
    case csv_fate::field_count:
      // A spreadsheet set to another locale saves with semicolons, which
      // leaves whole rows in their first field.
      if (r.fields < run.kind.fields && !r.texts.empty() &&
          r.texts[0].find(';') != std::string::npos) {
        return text_format(
            "%u fields where %u are needed: the row looks separated by "
            "semicolons, not commas",
            r.fields, run.kind.fields);
      }
      return text_format("%u fields where %u are needed", r.fields, run.kind.fields);
    case csv_fate::index_range:
      return text_format("%s %u is above %zu", run.kind.index_name, r.index, run.kind.count - 1);
    case csv_fate::no_firmware:
      return "no firmware version known";
    case csv_fate::layout:
      if (!run.firmware) return "no firmware version known: the import stops here";
      return text_format(
          "firmware %s selects layout %u; input devices need layout %d: the import "
          "stops here",
          run.firmware->c_str(), run.layout, kDeviceLayout);
    case csv_fate::not_reached:
      return text_format("the import stopped at row %lu", run.stopped_at);
    default:
      return {};
  }
}

// What the import changed of the row's values, as it says so itself.
node row_notes(const check_run& run, const csv_row_report& r) {
  node notes = list_node();
  for (const csv_note& n : r.notes) {
    node note = object_node();
    note.add("column", number_node(n.column));
    note.add("field",
             text_node(n.column < run.kind.columns.size() ? run.kind.columns[n.column] : "-"));
    note.add("given", text_node(n.given));
    note.add("written", text_node(n.written));
    notes.push(std::move(note));
  }
  return notes;
}

// The row as the channel record holds it right after the import applied it.
void add_values(const check_run& run, const csv_row_report& r, node& row) {
  const channel_view view = record_view(run);
  node record = record_node(view, *run.kind.region, r.index);
  node values = object_node();
  const channel_region& channel =
      run.kind.file == channel_file_kind::gear ? gear_channel_region : device_channel_region;
  // Only layout 3 gear files take the channel value from the row.
  if (run.kind.type == csv_file_type::inputs ||
      (run.kind.type == csv_file_type::channel && run.layout == 3)) {
    if (const auto value = field_number(view, channel, 0, "channel_value")) {
      values.add("channel_value", number_node(*value));
    }
  }
  for (const char* key : run.kind.values) {
    if (const node* value = record.find(key)) values.add(key, *value);
  }
  if (const node* instances = record.find("instances"); instances && !instances->items.empty()) {
    values.add("instances", *instances);
  }
  // A list of one record, so that the text form shows it as a table under
  // its row.
  node written = list_node();
  written.push(std::move(values));
  row.add("values", std::move(written));
}

void on_row(check_run& run, const csv_row_report& r) {
  node row = object_node();
  row.add("row", number_node(static_cast<std::int64_t>(r.row)));
  row.add("fields", number_node(r.fields));
  const bool version_line = r.fate == csv_fate::comment && r.version != run.version;
  run.version = r.version;
  const char* fate = "skipped";
  std::string reason;
  switch (r.fate) {
    case csv_fate::applied:
      fate = "applied";
      ++run.applied;
      break;
    case csv_fate::comment:
      fate = version_line ? "version" : "comment";
      if (version_line && r.version != 1) {
        reason = text_format("declares version %d: only version 1 is read", r.version);
      }
      break;
    case csv_fate::not_reached:
      fate = "not reached";
      reason = skip_reason(run, r);
      ++run.not_reached;
      break;
    default:
      if (r.fate == csv_fate::layout) run.stopped_at = r.row;
      reason = skip_reason(run, r);
      ++run.skipped;
      break;
  }
  row.add("fate", text_node(fate));
  row.add("reason", reason.empty() ? null_node() : text_node(reason));
  const bool indexed = r.fate == csv_fate::applied || r.fate == csv_fate::index_range;
  row.add("index", indexed ? number_node(r.index) : null_node());
  // A row that is not written changes nothing: its notes would only repeat
  // why it is skipped.
  if (r.fate == csv_fate::applied) {
    run.notes += r.notes.size();
    row.add("notes", row_notes(run, r));
    add_values(run, r, row);
  } else {
    row.add("notes", list_node());
    row.add("values", null_node());
  }
  run.rows.push(std::move(row));
}

// The channel file setup_channel would send: the record stamped and
// written by the tool's own writer, read back out of the archive.
bool written_file(const check_run& run, unsigned channel, std::vector<std::uint8_t>& bytes) {
  tar_stream writer;
  tar_open_memory_writer(writer);
  const bool device = run.kind.file == channel_file_kind::device;
  const int written = device ? write_device_file(writer, run.firmware->c_str(), channel, run.record)
                             : write_gear_file(writer, run.firmware->c_str(), channel, run.record);
  if (written != 0) return false;
  const std::string name =
      text_format("/etc/config/dali/%s%u.bin", device ? "cd" : "dali", channel);
  tar_stream reader;
  tar_open_memory_reader(reader, writer.buffer);
  return tar_read_member(reader, name, bytes) == TAR_OK;
}

struct check_options {
  const csv_file_kind* kind = nullptr;
  std::optional<std::string> firmware;
  const char* against = nullptr;
  unsigned channel = 0;
  bool json = false;
  const char* file = nullptr;
};

// Reads the command line; an exit status when the command ends there.
std::optional<int> scan(int argc, char** argv, check_options& o) {
  static const option kOptions[] = {
      {"kind", required_argument, nullptr, 'k'},
      {"firmware", required_argument, nullptr, 'f'},
      {"against", required_argument, nullptr, 'a'},
      {"channel", required_argument, nullptr, 'c'},
      {"json", no_argument, nullptr, 'j'},
      {"help", no_argument, nullptr, 'h'},
      {nullptr, 0, nullptr, 0},
  };
  const char* channel = nullptr;
  const char* kind = nullptr;
  reset_getopt();
  for (int c; (c = getopt_long(argc, argv, "+:", kOptions, nullptr)) != -1;) {
    switch (c) {
      case 'h':
        return print_help(kHelp);
      case 'k':
        kind = optarg;
        break;
      case 'f':
        o.firmware = optarg;
        break;
      case 'a':
        o.against = optarg;
        break;
      case 'c':
        channel = optarg;
        break;
      case 'j':
        o.json = true;
        break;
      case ':':
        return usage_error(kHelp, "option '%s' needs a value", argv[optind - 1]);
      default:
        return usage_error(kHelp, "unknown option '%s'", argv[optind - 1]);
    }
  }
  if (!kind) return usage_error(kHelp, "--kind channel, groups or inputs is needed");
  for (const csv_file_kind& k : kKinds) {
    if (std::strcmp(kind, k.name) == 0) o.kind = &k;
  }
  if (!o.kind) return usage_error(kHelp, "unknown kind '%s' (channel, groups or inputs)", kind);
  if (channel) {
    char* end = nullptr;
    const unsigned long n = std::strtoul(channel, &end, 10);
    if (*channel < '0' || *channel > '9' || *end || n < 1 || n > 4) {
      return usage_error(kHelp, "--channel takes 1 to 4, not '%s'", channel);
    }
    o.channel = static_cast<unsigned>(n);
  }
  if (channel && !o.against) return usage_error(kHelp, "--channel goes with --against");
  if (o.against && !channel) return usage_error(kHelp, "--against needs --channel");
  if (argc - optind != 1) return usage_error(kHelp, "one FILE is needed");
  o.file = argv[optind];
  return std::nullopt;
}

// Whether `path` can be read, said the way the system says it when not.
bool readable(const char* path, std::string& error) {
  errno = 0;
  unique_file file = file_open(path, "rb");
  if (file) {
    std::fgetc(file.get());
    if (!std::ferror(file.get())) return true;
  }
  error = std::strerror(errno ? errno : EIO);
  return false;
}

}  // namespace

int check_csv_command(int argc, char** argv) {
  check_options o;
  if (const std::optional<int> status = scan(argc, argv, o)) return *status;
  const csv_file_kind& kind = *o.kind;

  loaded_channel loaded;
  std::string error;
  if (o.against && !load_channel(o.against, o.channel, loaded, error)) {
    return file_error(o.against, "%s", error.c_str());
  }
  const bool device = kind.file == channel_file_kind::device;
  if (o.against && (device ? loaded.device_size : loaded.gear_size) == 0) {
    return file_error(o.against, "holds no %s file of channel %u", device ? "device" : "gear",
                      o.channel);
  }
  if (!readable(o.file, error)) return file_error(o.file, "%s", error.c_str());

  // setup_channel works on the gear file the controller holds, and on a
  // device file built from nothing.
  channel_record record = loaded.record;
  record.device.fill(0);
  check_run run{kind, {}, 0, record};
  const char* firmware_from = nullptr;
  if (o.firmware) {
    run.firmware = o.firmware;
    firmware_from = "--firmware";
  } else if (o.against) {
    run.firmware = loaded.firmware_version;
    firmware_from = run.firmware ? "the backup" : "the backup (its status.txt gives none)";
  } else {
    run.firmware = kAssumedFirmware;
    firmware_from = "assumed: the newest controller (no --firmware or --against)";
  }
  const int layout_index =
      run.firmware ? layout_for_firmware(firmware_layout_table, *run.firmware) : -1;
  if (run.firmware) run.layout = layout_version(layout_index);

  node report = object_node();
  report.add("file", text_node(o.file));
  report.add("kind", text_node(kind.name));
  report.add("firmware_version", run.firmware ? text_node(*run.firmware) : null_node());
  report.add("firmware_from", text_node(firmware_from));
  report.add("layout_version", run.firmware ? number_node(run.layout) : null_node());

  std::span<const std::uint8_t> before;
  if (o.against) {
    report.add("backup", text_node(o.against));
    report.add("channel", number_node(o.channel));
    before = device ? std::span<const std::uint8_t>(
                          loaded.record.device.data(),
                          std::min(loaded.device_size, loaded.record.device.size()))
                    : std::span<const std::uint8_t>(
                          loaded.record.gear.data(),
                          std::min(loaded.gear_size, loaded.record.gear.size()));
    const std::uint32_t held = channel_view_of(kind.file, before).layout;
    if (run.firmware && held != run.layout) {
      report.add(
          "note",
          text_node(device ? text_format("the backup's device file has layout %u; the "
                                         "one setup_channel sends is built anew",
                                         held)
                           : text_format("the backup's gear file has layout %u, "
                                         "firmware %s selects layout %u: the rows go "
                                         "where layout %u has them, as setup_channel "
                                         "would put them",
                                         held, run.firmware->c_str(), run.layout, run.layout)));
    }
  }

  csv_observer observer{
      [&](const csv_row_report& r) { on_row(run, r); },
      [&](unsigned long row, const char* reason) { run.parse_error.emplace(row, reason); },
  };
  const int imported = kind.import(run.firmware ? run.firmware->c_str() : nullptr, o.file, record,
                                   {nullptr, &observer});
  if (imported == IMPORT_FAILED && !run.parse_error) {
    return file_error(o.file, "cannot be read");
  }

  report.add("rows", std::move(run.rows));
  node summary = object_node();
  summary.add("applied", number_node(static_cast<std::int64_t>(run.applied)));
  summary.add("skipped", number_node(static_cast<std::int64_t>(run.skipped)));
  summary.add("not_reached", number_node(static_cast<std::int64_t>(run.not_reached)));
  summary.add("notes", number_node(static_cast<std::int64_t>(run.notes)));
  report.add("summary", std::move(summary));
  if (run.parse_error) {
    report.add("csv_error", text_node(text_format("row %lu: %s", run.parse_error->first,
                                                  run.parse_error->second.c_str())));
  }

  // Whether setup_channel would send the channel file at all.
  std::string not_sent;
  std::vector<std::uint8_t> after;
  if (run.parse_error) {
    not_sent = "the file cannot be tokenised: the run ends";
  } else if (imported == IMPORT_STOPPED) {
    not_sent = text_format("the import stops at row %lu: the run ends", run.stopped_at);
  } else if (imported == IMPORT_NOTHING_APPLIED) {
    not_sent =
        "no device row would be applied: setup_channel sends nothing for this channel rather "
        "than erase its input devices";
  } else if (!run.firmware) {
    not_sent = "no firmware version known";
  } else if (device && layout_index != kDeviceLayout) {
    not_sent = text_format(
        "firmware %s selects layout %u; device files are written in layout %d "
        "only: the run ends",
        run.firmware->c_str(), run.layout, kDeviceLayout);
  } else if (o.against && !written_file(run, o.channel, after)) {
    not_sent = "the channel file cannot be written";
  }
  report.add("sent", bool_node(not_sent.empty()));
  if (!not_sent.empty()) report.add("not_sent_because", text_node(not_sent));
  if (o.against && !not_sent.empty()) {
    report.add("changes", null_node());
  } else if (o.against) {
    // The import wrote into the gear file in the layout the firmware
    // selects, so the file it started from is read in that layout too. A
    // device file is replaced whole: the old one is read as it says.
    const channel_view from =
        device ? channel_view_of(kind.file, before) : channel_view{kind.file, before, run.layout};
    const channel_view to{kind.file, after, run.layout};
    report.add("changes", diff_channel_files(from, to));
  }

  write_report(report, o.json);
  if (run.parse_error) {
    return file_error(o.file, "row %lu: CSV error: %s", run.parse_error->first,
                      run.parse_error->second.c_str());
  }
  const bool as_given = !run.skipped && !run.not_reached && !run.notes && not_sent.empty();
  return as_given ? EXIT_GOOD : EXIT_PROBLEM;
}

}  // namespace torvi::inspect
