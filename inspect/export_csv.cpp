// export-csv: one channel of a backup written as the three CSV files the
// imports read, so a technician can start from what the controller holds
// instead of an empty spreadsheet. Each value is written so that importing
// the file into the same backup's channel files gives back every field the
// import writes; whatever cannot come back that way is named on standard
// error, one line per value (one per record for bytes no column holds),
// and makes the exit status 1.
//
// The channel and groups imports overlay their rows on the controller's
// gear file and leave every record without a row as it is; the inputs
// import builds the device file from zero. So the listed records are gear
// entries with a short address (flags bit 0), a name or an import's mark;
// groups with a name or the mark; and every device that has a byte an
// inputs row writes that is not zero, as a device without a row comes out
// all zero.
//
// What the imports set on every row they apply, and so never reported:
// flags bit 1 (bit 3 instead when level 1 reads "false") and the byte
// "import_mark" (255) of gear entries, groups and devices.
//
// Values the imports change, reported when a record holds one: a fade rate
// of 0 (read as 1) or above 15 and a fade time above 15 (both stored as 15),
// a device's instance count above 32 (stored as 32), a device's address
// byte other than 2 x short address + 1, 255 without flags bit 0, or 0 (all
// a row can give from zero), and names that a CSV text cannot give back:
// one beginning with "#" (the whole row would be read as a comment and
// skipped), one with bytes other than NUL after its end, and one that fills
// its field without an ending NUL (the import keeps one character less).
//
// Bytes of a device file that no column holds, reported as "other_bytes"
// with their offsets within the record (as diff counts them) when they are
// not zero: the file-wide bytes after the channel value, the bytes of a
// device entry the tables do not name, and in an instance block every byte
// besides the push-button value and the instance records' bytes the import
// writes (all six of a push button, bytes 1 to 3 of an occupancy sensor, 1
// and 2 of a light sensor). A channel value is reported too when no device
// has a row to carry it. The header is the action's to stamp. A layout-2
// device file is exported as its conversion to layout 3, which is what a
// controller that takes the inputs import holds after a restore.
//
// What the gear CSV files have no column for, and so leave as the
// controller has it:
// - the header (length, checksum, layout version, conversion counter) and
//   the file-wide bytes besides the channel value; in gear layouts 1 and 2
//   the channel CSV's channel value is not stored either;
// - gear entries: the device type byte, the configured device type and the
//   byte after it, the layout-1 type-specific block, layout 2's three type
//   blocks, and every byte the tables do not name (those between the named
//   fields, after the name, and layout 1's four bytes no conversion keeps);
// - the layout-1 per-entry table (a row without a short address clears its
//   record, so "null" is written only where the record is already zero);
// - groups: every byte besides the name and the mark.
// Device files of layout 1 are carried, not read: no inputs CSV is written.

#include <getopt.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "channel/convert.h"
#include "inspect/inspect.h"
#include "inspect/sources.h"
#include "platform/console.h"
#include "platform/file.h"
#include "platform/platform.h"

namespace torvi::inspect {
namespace {

constexpr command_help kHelp = {
    "export-csv",
    "Usage: torvi-inspect export-csv --channel N [--out DIR] BACKUP\n"
    "Writes channel N of BACKUP as the CSV files setup_channel reads:\n"
    "  channel-N.csv  the gear entries (channelcsvfile)\n"
    "  groups-N.csv   the group names (channelgroupscsvfile)\n"
    "  inputs-N.csv   the input devices (channelinputscsvfile)\n"
    "BACKUP is a ZIP backup made by get_backup, a configuration tar, or a bare gear\n"
    "file (dali1.bin..dali4.bin) or device file (cd1.bin..cd4.bin). A file whose\n"
    "channel file BACKUP lacks is not written. Importing the files into the same\n"
    "backup gives back every field the imports write, apart from the marks the\n"
    "imports set themselves; each value that would not come back is named on\n"
    "standard error. One line per written file on standard output.\n"
    "\n"
    "  --channel N   the channel, 1 to 4 (required)\n"
    "  --out DIR     the folder to write into, made when missing (default: the current\n"
    "                folder)\n"
    "  --help        this text\n"
    "\n"
    "Exit status: 0 every file written and every value carried; 1 a value (or a\n"
    "device file of layout 1) cannot be carried, a file cannot be written, or\n"
    "BACKUP cannot be read or lacks channel N; 2 a usage error.\n",
};

// What the channel CSV's level 1 column reads as "false" stands for.
constexpr std::uint32_t kLevelOff = 100;
constexpr std::uint32_t kLevelNone = 255;
constexpr std::uint32_t kSceneNone = 255;
constexpr std::uint32_t kMarked = 255;
constexpr std::uint32_t kFadeMax = 15;
// A short address the imports take as "leave bit 0 and the address byte as
// they are": anything from 64 to 254.
constexpr char kKeepAddress[] = "64";
// A device address byte without a short address, and layout 2's for a gear
// entry (layout 3 uses 255 for both).
constexpr std::uint32_t kNoAddress = 255;
constexpr std::uint32_t kNoAddressGear2 = 0;

std::uint32_t number(const channel_view& view, const channel_region& region, std::size_t index,
                     const char* name) {
  return field_number(view, region, index, name).value_or(0);
}

std::span<const std::uint8_t> bytes(const channel_view& view, const channel_region& region,
                                    std::size_t index, const char* name) {
  const channel_field* field = find_field(region, name);
  return field ? field_bytes(view, region, index, *field) : std::span<const std::uint8_t>{};
}

// A text as a message shows it: quoted, on one line.
std::string quoted(const std::string& text) {
  std::string out = "\"";
  for (const unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20 || c == 0x7f) {
      char escape[5];
      std::snprintf(escape, sizeof escape, "\\x%02x", c);
      out += escape;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

// Why a name field would not come back from its CSV text; null when it would.
// A skipped device row leaves the whole device as the inputs import starts
// it, all zero.
const char* name_loss(std::span<const std::uint8_t> field, bool device) {
  if (field.empty()) return nullptr;
  if (field[0] == '#') {
    return device ? "its row would be read as a comment and skipped, leaving the device all zero"
                  : "its row would be read as a comment and skipped";
  }
  if (field.back() != 0) return "it fills its field without an ending NUL";
  const auto end = std::find(field.begin(), field.end(), 0);
  if (std::any_of(end, field.end(), [](std::uint8_t b) { return b != 0; })) {
    return "bytes other than NUL follow its end";
  }
  return nullptr;
}

// One CSV file being built, and the values it could not carry.
struct csv_file {
  std::string path;
  std::string text;
  std::size_t rows = 0;
  bool lossy = false;

  void loss(const char* record, std::size_t index, const char* field, const std::string& value,
            const char* why) {
    file_error(path.c_str(), "%s %zu: %s %s cannot be carried: %s", record, index, field,
               value.c_str(), why);
    lossy = true;
  }
  // The same for the file-wide part, which has no index.
  void loss(const char* record, const char* field, const std::string& value, const char* why) {
    file_error(path.c_str(), "%s: %s %s cannot be carried: %s", record, field, value.c_str(), why);
    lossy = true;
  }
};

// One data row; fields are added in column order.
struct csv_row {
  std::string line;

  csv_row& raw(const std::string& field) {
    if (!line.empty()) line += ',';
    line += field;
    return *this;
  }
  csv_row& number(std::int64_t value) { return raw(std::to_string(value)); }
  // Texts are always quoted, so commas, quotes, line breaks and blanks at
  // either end come back as they were.
  csv_row& text(const std::string& value) {
    std::string field = "\"";
    for (const char c : value) {
      if (c == '"') field += '"';
      field += c;
    }
    return raw(field + "\"");
  }
  // A JSON array of numbers; `none` (when not negative) is written as null.
  template <typename Values>
  csv_row& array(const Values& values, int none = -1) {
    std::string json = "[";
    for (const auto value : values) {
      if (json.size() > 1) json += ',';
      json += static_cast<int>(value) == none ? "null" : std::to_string(value);
    }
    return raw("\"" + json + "]\"");
  }
  void end(csv_file& file) {
    file.text += line + "\r\n";
    ++file.rows;
  }
};

void name_column(csv_file& file, csv_row& row, const char* record, std::size_t index,
                 std::span<const std::uint8_t> name) {
  const std::string text = field_text(name);
  const bool device = std::strcmp(record, "device") == 0;
  if (const char* why = name_loss(name, device)) {
    file.loss(record, index, "name", quoted(text), why);
  }
  row.text(text);
}

std::string signed_text(std::uint32_t value) {
  return std::to_string(static_cast<std::int32_t>(value));
}

// What the channel CSV's short address column must say for the import to
// leave flags bit 0, the address byte and (layout 1) the per-entry table
// as they are.
std::string gear_short_address(const channel_view& view, std::size_t entry, std::uint32_t flags,
                               std::uint32_t address) {
  if (const auto a = entry_short_address(flags, static_cast<std::uint8_t>(address))) {
    return std::to_string(*a);
  }
  if (flags & kFlagShortAddress) return kKeepAddress;
  bool none = false;
  if (view.layout == 3) none = address == kNoAddress;
  if (view.layout == 2) none = address == kNoAddressGear2;
  if (view.layout == 1) {
    // "null" clears the entry's record of the per-entry table.
    const std::span<const std::uint8_t> record =
        field_bytes(view, entry_table_region, entry, entry_table_region.fields[0]);
    none = !record.empty() &&
           std::all_of(record.begin(), record.end(), [](std::uint8_t b) { return b == 0; });
  }
  return none ? "null" : kKeepAddress;
}

void export_gear(const channel_view& view, csv_file& file) {
  file.text = "#dali-channel-csv-version: 1\r\n";
  file.text +=
      "#channel,entry,short address,name,groups,level 1,level 2,level 3,level 4,fade rate,"
      "fade time,scenes\r\n";
  const std::string channel_value =
      signed_text(number(view, gear_channel_region, 0, "channel_value"));
  const channel_region& r = gear_entry_region;
  for (std::size_t i = 0; i < r.count; ++i) {
    const std::uint32_t flags = number(view, r, i, "flags");
    const std::span<const std::uint8_t> name = bytes(view, r, i, "name");
    const bool marked = (flags & (kFlagImported | kFlagImportedOff)) ||
                        number(view, r, i, "import_mark") == kMarked;
    if (!(flags & kFlagShortAddress) && field_text(name).empty() && !marked) continue;

    csv_row row;
    row.raw(channel_value).number(static_cast<std::int64_t>(i));
    row.raw(gear_short_address(view, i, flags, number(view, r, i, "address_byte")));
    name_column(file, row, "entry", i, name);
    std::vector<unsigned> groups;
    const std::uint32_t mask = number(view, r, i, "groups");
    for (unsigned g = 0; g < kGroupEntryCount; ++g) {
      if (mask & (1u << g)) groups.push_back(g);
    }
    row.array(groups);
    // "false" sets bit 3 instead of bit 1, so it is the only way to keep a
    // bit-3 entry's flags exact.
    const std::uint32_t level_1 = number(view, r, i, "level_1");
    if ((flags & kFlagImportedOff) && !(flags & kFlagImported) && level_1 == kLevelOff) {
      row.raw("false");
    } else {
      row.raw(level_1 == kLevelNone ? "null" : std::to_string(level_1));
    }
    const std::uint32_t level_2 = number(view, r, i, "level_2");
    row.raw(level_2 == kLevelNone ? "null" : std::to_string(level_2));
    row.number(number(view, r, i, "level_3")).number(number(view, r, i, "level_4"));
    const std::uint32_t rate = number(view, r, i, "fade_rate");
    if (rate == 0) file.loss("entry", i, "fade_rate", "0", "the import reads 0 as 1");
    if (rate > kFadeMax) {
      file.loss("entry", i, "fade_rate", std::to_string(rate), "the import stores at most 15");
    }
    const std::uint32_t time = number(view, r, i, "fade_time");
    if (time > kFadeMax) {
      file.loss("entry", i, "fade_time", std::to_string(time), "the import stores at most 15");
    }
    row.number(rate).number(time);
    row.array(bytes(view, r, i, "scenes"), kSceneNone);
    row.end(file);
  }
}

void export_groups(const channel_view& view, unsigned channel, csv_file& file) {
  file.text = "#dali-channel-groups-csv-version: 1\r\n#channel,group,name\r\n";
  const channel_region& r = group_entry_region;
  for (std::size_t g = 0; g < r.count; ++g) {
    const std::span<const std::uint8_t> name = bytes(view, r, g, "name");
    if (field_text(name).empty() && number(view, r, g, "import_mark") != kMarked) continue;
    csv_row row;
    row.number(channel).number(static_cast<std::int64_t>(g));
    name_column(file, row, "group", g, name);
    row.end(file);
  }
}

// The instance types whose records the inputs CSV carries: the first of
// their columns (counted from the instance types column), how many, and the
// record byte the first one holds.
struct instance_columns {
  std::uint8_t type;
  std::size_t first;
  std::size_t columns;
  std::size_t from;
};
constexpr instance_columns kInstanceColumns[] = {
    {kInstancePushButton, 3, 6, 0},
    {kInstanceOccupancy, 9, 3, 1},
    {kInstanceLight, 12, 2, 1},
};

// Layout 3's place in the tables' per-layout offsets.
constexpr std::size_t kLayout3 = 3 - 1;

// Which bytes of a layout-3 device entry and its instance block an inputs
// row writes, given the instance types the entry holds. The import starts
// the device file from zero, so every other byte comes out as zero.
struct device_columns {
  std::array<bool, kDeviceEntrySize> entry{};
  std::array<bool, device3::kBlockSize> block{};
};

device_columns carried_bytes(std::span<const std::uint8_t> pairs) {
  device_columns carried;
  for (const channel_field& field : device_entry_region.fields) {
    std::fill_n(carried.entry.begin() + field.at[kLayout3], field.width, true);
  }
  carried.block[device3::kPushButtonValue] = true;
  for (std::size_t j = 0; j < kInstanceCount; ++j) {
    for (const instance_columns& t : kInstanceColumns) {
      if (t.type != pairs[2 * j]) continue;
      std::fill_n(carried.block.begin() + device3::kRecords + j * device3::kRecordSize + t.from,
                  t.columns, true);
    }
  }
  return carried;
}

// The bytes no column carries that are not zero, as "offset=0xNN" with the
// offset within the record, as diff counts it; empty when there are none.
std::string uncarried(std::span<const std::uint8_t> bytes, std::span<const bool> carried) {
  std::string values;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (carried[i] || bytes[i] == 0) continue;
    char value[32];
    std::snprintf(value, sizeof value, "%s%zu=0x%02x", values.empty() ? "" : ",", i, bytes[i]);
    values += value;
  }
  return values;
}

bool any_carried(std::span<const std::uint8_t> bytes, std::span<const bool> carried) {
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (carried[i] && bytes[i] != 0) return true;
  }
  return false;
}

constexpr char kFromZero[] =
    "no column holds them, and the inputs import starts the device file from zero";

// `view` is a whole layout-3 device file: a layout-2 one has been converted
// as a controller that takes the inputs import converts it on restore.
void export_devices(const channel_view& view, csv_file& file) {
  file.text = "#dali-channel-inputs-csv-version: 1\r\n";
  file.text +=
      "#channel,device,short address,name,flags,instance count,instance types,instance values,"
      "push-button value,push-button 1,push-button 2,push-button 3,push-button 4,push-button 5,"
      "push-button 6,occupancy 1,occupancy 2,occupancy 3,light 1,light 2\r\n";
  const std::uint32_t channel = number(view, device_channel_region, 0, "channel_value");
  const std::string channel_value = signed_text(channel);
  {
    // The action stamps the header; every row carries the channel value.
    std::array<bool, kDeviceChannelPartEnd> carried{};
    std::fill_n(carried.begin(), kDeviceChannelValue + 4, true);
    const std::string lost = uncarried(view.bytes.first(kDeviceChannelPartEnd), carried);
    if (!lost.empty()) file.loss("channel", "other_bytes", lost, kFromZero);
  }
  const channel_region& r = device_entry_region;
  for (std::size_t d = 0; d < r.count; ++d) {
    const std::span<const std::uint8_t> entry =
        view.bytes.subspan(kDeviceEntries + d * kDeviceEntrySize, kDeviceEntrySize);
    const std::span<const std::uint8_t> block =
        view.bytes.subspan(kInstanceBlocks + d * device3::kBlockSize, device3::kBlockSize);
    const std::span<const std::uint8_t> pairs = bytes(view, r, d, "instance_types_values");
    const device_columns carried = carried_bytes(pairs);
    if (const std::string lost = uncarried(entry, carried.entry); !lost.empty()) {
      file.loss("device", d, "other_bytes", lost, kFromZero);
    }
    if (const std::string lost = uncarried(block, carried.block); !lost.empty()) {
      file.loss("instances", d, "other_bytes", lost, kFromZero);
    }
    // A device without a row comes out all zero.
    if (!any_carried(entry, carried.entry) && !any_carried(block, carried.block)) continue;

    csv_row row;
    row.raw(channel_value).number(static_cast<std::int64_t>(d));
    const std::uint32_t flags = number(view, r, d, "flags");
    const std::uint32_t address = number(view, r, d, "address_byte");
    // Column 4 carries flags bit 0 whatever the short address column says
    // but for null, so only the address byte can be out of reach.
    if (const auto a = entry_short_address(flags, static_cast<std::uint8_t>(address))) {
      row.number(*a);
    } else if (address == kNoAddress && !(flags & kFlagShortAddress)) {
      row.raw("null");
    } else {
      row.raw(kKeepAddress);
      if (address != 0) {
        file.loss("device", d, "address_byte", std::to_string(address),
                  "an inputs row gives only 2 x short address + 1, 255 (null) or 0");
      }
    }
    name_column(file, row, "device", d, bytes(view, r, d, "name"));
    row.raw(signed_text(flags));
    const std::uint32_t count = number(view, r, d, "instance_count");
    if (count > kInstanceCount) {
      file.loss("device", d, "instance_count", std::to_string(count),
                "the import stores at most 32");
    }
    row.number(count);

    // Columns 6 to 19; all but the push-button value (column 8) have one
    // element per instance.
    std::vector<std::vector<unsigned>> arrays(14, std::vector<unsigned>(kInstanceCount));
    arrays[2] = {number(view, instance_block_region, d, "push_button_value")};
    for (std::size_t j = 0; j < kInstanceCount; ++j) {
      const std::uint8_t type = pairs[2 * j];
      arrays[0][j] = type;
      arrays[1][j] = pairs[2 * j + 1];
      const std::span<const std::uint8_t> record = instance_record(view, d, j);
      for (const instance_columns& t : kInstanceColumns) {
        if (t.type != type) continue;
        for (std::size_t k = 0; k < t.columns && t.from + k < record.size(); ++k) {
          arrays[t.first + k][j] = record[t.from + k];
        }
      }
    }
    for (const auto& array : arrays) row.array(array);
    row.end(file);
  }
  if (file.rows == 0 && channel != 0) {
    file.loss("channel", "channel_value", channel_value, "no device has a row to carry it");
  }
}

// The device file as a layout-3 controller holds it, whole; false when a
// layout-2 file cannot be converted.
bool device_as_layout_3(const channel_view& device, std::vector<std::uint8_t>& bytes) {
  if (device.layout == 3) {
    bytes.assign(device.bytes.begin(), device.bytes.end());
    bytes.resize(device3::kLength);
    return true;
  }
  std::vector<std::uint8_t> stored(device.bytes.begin(), device.bytes.end());
  stored.resize(device2::kLength);
  return convert_device_2_to_3(bytes, stored) == 0;
}

// Writes the file; false (said so) when it cannot be.
bool write_csv(const csv_file& file) {
  const auto* data = reinterpret_cast<const std::uint8_t*>(file.text.data());
  if (const int error = platform_write_file(file.path, {data, file.text.size()})) {
    file_error(file.path.c_str(), "cannot be written: %s", std::strerror(error));
    return false;
  }
  console_out("%s: %zu %s\n", file.path.c_str(), file.rows, file.rows == 1 ? "row" : "rows");
  return true;
}

bool parse_channel(const char* text, unsigned& channel) {
  char* end = nullptr;
  errno = 0;
  const long value = std::strtol(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || value < 1 || value > 4) return false;
  channel = static_cast<unsigned>(value);
  return true;
}

}  // namespace

int export_csv_command(int argc, char** argv) {
  static const option kOptions[] = {
      {"channel", required_argument, nullptr, 'c'},
      {"out", required_argument, nullptr, 'o'},
      {"help", no_argument, nullptr, 'h'},
      {nullptr, 0, nullptr, 0},
  };
  unsigned channel = 0;
  std::string out;
  reset_getopt();
  for (int c; (c = getopt_long(argc, argv, "+:", kOptions, nullptr)) != -1;) {
    if (c == 'h') return print_help(kHelp);
    if (c == 'c') {
      if (!parse_channel(optarg, channel)) {
        return usage_error(kHelp, "--channel takes a channel number 1 to 4, not '%s'", optarg);
      }
    } else if (c == 'o') {
      out = optarg;
    } else if (c == ':') {
      return usage_error(kHelp, "option '%s' needs a value", argv[optind - 1]);
    } else {
      return usage_error(kHelp, "unknown option '%s'", argv[optind - 1]);
    }
  }
  if (channel == 0) return usage_error(kHelp, "--channel is needed");
  if (argc - optind != 1) return usage_error(kHelp, "one BACKUP is needed");
  const char* source = argv[optind];

  loaded_channel loaded;
  std::string error;
  if (!load_channel(source, channel, loaded, error)) return file_error(source, "%s", error.c_str());

  // A folder that is not there yet is made, with its parents, as get_backup
  // makes its own; one that cannot be made shows in the files not written.
  if (!out.empty()) {
    std::error_code ignored;
    std::filesystem::create_directories(out, ignored);
  }
  int status = EXIT_GOOD;
  const auto finish = [&](csv_file& file) {
    if (!write_csv(file) || file.lossy) status = EXIT_PROBLEM;
  };
  const auto path_of = [&](const char* stem) {
    return platform_join_path(out, std::string(stem) + "-" + std::to_string(channel) + ".csv");
  };
  if (loaded.gear_size == 0) {
    file_error(source,
               "holds no gear file of channel %u: channel-%u.csv and groups-%u.csv not written",
               channel, channel, channel);
  } else {
    const channel_view gear = channel_view_of(channel_file_kind::gear, loaded.record.gear);
    csv_file gear_csv{path_of("channel")}, groups_csv{path_of("groups")};
    export_gear(gear, gear_csv);
    export_groups(gear, channel, groups_csv);
    finish(gear_csv);
    finish(groups_csv);
  }
  const channel_view device = channel_view_of(channel_file_kind::device, loaded.record.device);
  if (loaded.device_size == 0) {
    file_error(source, "holds no device file of channel %u: inputs-%u.csv not written", channel,
               channel);
  } else if (device.layout != 2 && device.layout != 3) {
    // Its content is kept by a backup but not read by the tool, so none of
    // it is carried.
    status = file_error(source,
                        "the device file of channel %u has layout version %u, which is carried "
                        "but not read: inputs-%u.csv not written",
                        channel, device.layout, channel);
  } else {
    csv_file inputs_csv{path_of("inputs")};
    std::vector<std::uint8_t> layout_3;
    if (!device_as_layout_3(device, layout_3)) {
      status = file_error(source,
                          "the device file of channel %u cannot be converted to layout 3: "
                          "inputs-%u.csv not written",
                          channel, channel);
    } else {
      export_devices(channel_view_of(channel_file_kind::device, layout_3), inputs_csv);
      finish(inputs_csv);
    }
  }
  return status;
}

}  // namespace torvi::inspect
