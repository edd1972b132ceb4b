// export-csv: what it writes comes back through the imports field for
// field, what it says cannot come back really does not, and other CSV
// readers read the files as the imports do.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <random>
#include <set>
#include <sstream>

#include "action/actions.h"
#include "channel/channel_view.h"
#include "channel/convert.h"
#include "import/imports.h"
#include "inspect/inspect_test_support.h"
#include "sim_fixture.h"

namespace torvi::inspect {
namespace {

using test::run_inspect;

// A channel file that tests write field by field.
struct channel_bytes {
  channel_file_kind kind;
  std::vector<std::uint8_t> bytes;

  std::span<std::uint8_t> field(const channel_region& region, std::size_t index, const char* name) {
    const auto f =
        field_bytes(channel_view_of(kind, bytes), region, index, *find_field(region, name));
    return {bytes.data() + (f.data() - bytes.data()), f.size()};
  }
  std::uint32_t get(const channel_region& region, std::size_t index, const char* name) {
    return *field_number(channel_view_of(kind, bytes), region, index, name);
  }
  void set(const channel_region& region, std::size_t index, const char* name, std::uint32_t v) {
    for (std::uint8_t& b : field(region, index, name)) b = static_cast<std::uint8_t>(v), v >>= 8;
  }
};

struct layout_case {
  channel_file_kind kind;
  std::uint32_t version;
  std::size_t length;
  const char* firmware;  // selects the same layout for the import
};

// A name of random bytes, sometimes one a CSV text cannot give back.
void random_name(std::span<std::uint8_t> name, std::mt19937& rng) {
  std::fill(name.begin(), name.end(), 0);
  const std::size_t n = rng() % name.size();
  for (std::size_t k = 0; k < n; ++k) name[k] = static_cast<std::uint8_t>(1 + rng() % 255);
  if (name[0] == '#') name[0] = ' ';
  const unsigned bad = rng() % 16;
  if (bad == 0) name[0] = '#';
  if (bad == 1) name.back() = 'z';
  if (bad == 2 && n + 2 < name.size()) name[name.size() - 2] = 'g';
}

// `bytes` with the header of layout `c`.
channel_bytes with_header(const layout_case& c, std::vector<std::uint8_t> bytes) {
  channel_bytes f{c.kind, std::move(bytes)};
  config_header_store(f.bytes.data(), {static_cast<std::uint32_t>(c.length), 0, c.version, 0});
  return f;
}

const layout_case kGear3 = {channel_file_kind::gear, 3, gear3::kLength, "1.5.0"};
const layout_case kDevice3 = {channel_file_kind::device, 3, device3::kLength, "1.5.0"};

// A device file as a controller that takes the inputs import holds it.
channel_bytes as_layout_3(const channel_bytes& f) {
  if (channel_view_of(f.kind, f.bytes).layout == 3) return f;
  channel_bytes converted{f.kind, {}};
  EXPECT_EQ(convert_device_2_to_3(converted.bytes, f.bytes), 0);
  return converted;
}

// Where record `index` of `region` starts in a file of layout 3.
std::size_t layout_3_offset(const channel_region& region, std::size_t index) {
  return region.base[2] + index * region.stride[2];
}

channel_bytes random_file(const layout_case& c, std::mt19937& rng) {
  channel_bytes f = with_header(c, torvi::test::noise(c.length, rng()));
  const bool gear = c.kind == channel_file_kind::gear;
  const channel_region& r = gear ? gear_entry_region : device_entry_region;
  for (std::size_t i = 0; i < r.count; ++i) {
    if (rng() % 2) {  // nothing that would list a gear entry
      for (const char* name : {"flags", "import_mark", "name"}) f.set(r, i, name, 0);
      if (!gear) f.set(r, i, "instance_count", 0), f.set(r, i, "instance_types_values", 0);
      if (!gear && rng() % 2) {  // nor a device: all zero
        const std::size_t v = c.version - 1;
        for (const channel_region* part : {&device_entry_region, &instance_block_region}) {
          std::fill_n(f.bytes.begin() + part->base[v] + i * part->stride[v], part->stride[v], 0);
        }
      }
      continue;
    }
    std::uint32_t flags = f.get(r, i, "flags");
    const unsigned address = rng() % 3;  // a short address, none, or whatever the noise gave
    if (address == 0) f.set(r, i, "address_byte", 2 * (rng() % 64) + 1), flags |= 1;
    if (address == 1) f.set(r, i, "address_byte", gear && c.version == 2 ? 0 : 255), flags &= ~1u;
    if (address == 1 && gear && c.version == 1) {
      std::fill_n(f.bytes.begin() + gear1::kEntryTable + i * gear1::kEntryTableSize,
                  gear1::kEntryTableSize, 0);
    }
    random_name(f.field(r, i, "name"), rng);
    if (gear && rng() % 4 == 0) flags = (flags | 8) & ~2u, f.set(r, i, "level_1", 100);
    if (gear) {
      f.set(r, i, "fade_rate", rng() % 10 ? 1 + rng() % 15 : rng() % 2 ? 0 : 16 + rng() % 240);
      f.set(r, i, "fade_time", rng() % 10 ? rng() % 16 : 16 + rng() % 240);
    } else {
      f.set(r, i, "instance_count", rng() % 10 ? rng() % 33 : 33 + rng() % 223);
      auto pairs = f.field(r, i, "instance_types_values");
      for (std::size_t j = 0; j < pairs.size(); j += 2) {
        pairs[j] = std::array<std::uint8_t, 4>{1, 3, 4, pairs[j]}[rng() % 4];
      }
    }
    f.set(r, i, "flags", flags);
  }
  for (std::size_t g = 0; gear && g < group_entry_region.count; ++g) {
    random_name(f.field(group_entry_region, g, "name"), rng);
    if (rng() % 2)
      f.set(group_entry_region, g, "name", 0), f.set(group_entry_region, g, "import_mark", 0);
  }
  return f;
}

using import_function = int (*)(const char*, const char*, channel_record&, const csv_read_options&);

TEST(ExportCsv, ImportGivesBackEveryFieldButTheReportedOnes) {
  const layout_case kCases[] = {
      {channel_file_kind::gear, 1, gear1::kLength, "1.3.0"},
      {channel_file_kind::gear, 2, gear2::kLength, "1.3.1"},
      kGear3,
      {channel_file_kind::device, 2, device2::kLength, "1.5.0"},
      kDevice3,
  };
  std::size_t comments = 0;
  const csv_observer quiet{
      [&](const csv_row_report& r) { comments += r.fate == csv_fate::comment; },
      [](unsigned long, const char*) {}};
  std::mt19937 rng(20240611);
  std::size_t reported = 0;
  torvi::test::TempDir dir;
  for (const layout_case& c : kCases) {
    const bool gear = c.kind == channel_file_kind::gear;
    for (int n = 0; n < 250; ++n) {
      SCOPED_TRACE("layout " + std::to_string(c.version) + " file " + std::to_string(n));
      const channel_bytes original = random_file(c, rng);
      const std::string source = dir.file(gear ? "dali1.bin" : "cd1.bin");
      torvi::test::write_file(source, original.bytes);
      const auto run = run_inspect({"export-csv", "--channel", "1", "--out", dir.path(), source});

      channel_record record;
      const std::span<std::uint8_t> buffer =
          gear ? std::span<std::uint8_t>(record.gear) : std::span<std::uint8_t>(record.device);
      // The inputs import builds the device file from zero; the others
      // overlay the controller's gear file.
      if (gear) std::ranges::copy(original.bytes, buffer.begin());
      comments = 0;
      const char* files[] = {"channel-1.csv", "groups-1.csv", "inputs-1.csv"};
      const import_function imports[] = {import_channel_csv, import_groups_csv, import_inputs_csv};
      for (int k = gear ? 0 : 2; k < (gear ? 2 : 3); ++k) {
        ASSERT_EQ(imports[k](c.firmware, dir.file(files[k]).c_str(), record, {nullptr, &quiet}),
                  IMPORT_OK);
      }
      channel_bytes got{c.kind, {buffer.begin(), buffer.end()}};
      channel_bytes want = gear ? original : as_layout_3(original);
      want.bytes.resize(buffer.size());
      // The header of a device file is setup_channel's to stamp.
      if (!gear) std::copy_n(want.bytes.begin(), kHeaderSize, got.bytes.begin());
      std::vector<bool> zero_device(device_entry_region.count);
      for (std::size_t d = 0; !gear && d < zero_device.size(); ++d) {
        zero_device[d] = true;
        for (const channel_region* part : {&device_entry_region, &instance_block_region}) {
          const auto at = want.bytes.begin() + layout_3_offset(*part, d);
          zero_device[d] = zero_device[d] && std::all_of(at, at + part->stride[2],
                                                         [](std::uint8_t b) { return b == 0; });
        }
      }

      // "torvi-inspect: FILE: entry I: FIELD VALUE cannot be carried: WHY",
      // with "channel:" for a device file's file-wide part and VALUE a list
      // of "OFFSET=0xNN" for other_bytes. A reported value differs after
      // the import unless its row was read as a comment; the import's marks
      // are the only other changes.
      std::vector<std::tuple<const channel_region*, std::size_t, std::string>> losses;
      std::set<std::pair<const channel_region*, std::size_t>> skipped;
      std::size_t lost_bytes = 0;
      std::istringstream lines(run.err);
      for (std::string line; std::getline(lines, line);) {
        if (line.find(" cannot be carried: ") == std::string::npos) continue;
        char record_name[16], field[32], value[2048];
        std::size_t i = 0, start = 0;
        if (std::sscanf(line.c_str(), "torvi-inspect: %*[^:]: channel: %31s %2047s", field,
                        value) == 2) {
          ASSERT_FALSE(gear) << line;
          if (std::string_view(field) == "channel_value") {
            EXPECT_EQ(got.get(device_channel_region, 0, field), 0u);
            EXPECT_EQ(static_cast<std::int32_t>(want.get(device_channel_region, 0, field)),
                      std::atoi(value));
            want.set(device_channel_region, 0, field, 0);
            ++lost_bytes;
            continue;
          }
        } else if (std::sscanf(line.c_str(), "torvi-inspect: %*[^:]: %15s %zu: %31s %2047s",
                               record_name, &i, field, value) == 4) {
          const std::string_view r = record_name;
          const channel_region* region = r == "entry"       ? &gear_entry_region
                                         : r == "group"     ? &group_entry_region
                                         : r == "instances" ? &instance_block_region
                                                            : &device_entry_region;
          if (std::string_view(field) != "other_bytes") {
            losses.emplace_back(region, i, field);
            if (line.find("read as a comment") != std::string::npos) skipped.insert({region, i});
            continue;
          }
          start = layout_3_offset(*region, i);
        } else {
          ADD_FAILURE() << line;
          continue;
        }
        // Bytes no column holds: zero after the import, and named with
        // the value they had.
        ASSERT_EQ(std::string_view(field), "other_bytes") << line;
        std::istringstream list(value);
        for (std::string item; std::getline(list, item, ',');) {
          unsigned offset = 0, byte = 0;
          ASSERT_EQ(std::sscanf(item.c_str(), "%u=0x%x", &offset, &byte), 2) << line;
          EXPECT_NE(byte, 0u) << line;
          EXPECT_EQ(want.bytes.at(start + offset), byte) << line;
          EXPECT_EQ(got.bytes.at(start + offset), 0) << line;
          want.bytes[start + offset] = got.bytes[start + offset];
          ++lost_bytes;
        }
      }
      reported += losses.size() + lost_bytes;
      ASSERT_EQ(run.status, losses.empty() && lost_bytes == 0 ? 0 : 1) << run.err;
      for (const auto& [region, i, field] : losses) {
        const auto have = got.field(*region, i, field.c_str());
        const auto was = want.field(*region, i, field.c_str());
        EXPECT_TRUE(skipped.count({region, i}) || !std::ranges::equal(have, was)) << field << i;
        std::ranges::copy(have, was.begin());
      }
      // A device whose row was skipped comes out as the import starts it.
      for (const auto& [region, d] : skipped) {
        if (gear) break;
        for (const channel_region* part : {&device_entry_region, &instance_block_region}) {
          const std::size_t at = layout_3_offset(*part, d);
          std::copy_n(got.bytes.begin() + at, part->stride[2], want.bytes.begin() + at);
        }
      }
      for (const channel_region* r : {gear ? &gear_entry_region : &device_entry_region,
                                      gear ? &group_entry_region : nullptr}) {
        for (std::size_t i = 0; r && i < r->count; ++i) {
          const std::uint32_t mark = got.get(*r, i, "import_mark");
          EXPECT_TRUE(mark == want.get(*r, i, "import_mark") || mark == 255) << i;
          // Every record with a name or a short address has a row (its mark
          // tells), and only the reported rows were read as comments.
          const bool in_use = want.field(*r, i, "name")[0] != 0 ||
                              (r != &group_entry_region && (want.get(*r, i, "flags") & 1));
          EXPECT_TRUE(!in_use || skipped.count({r, i}) || mark == 255) << "no row for " << i;
          // An all-zero device stays as the import starts it.
          EXPECT_FALSE(!gear && zero_device[i] && mark != 0) << "a row for zero device " << i;
          want.set(*r, i, "import_mark", mark);
          if (r == &group_entry_region) continue;
          const std::uint32_t flags = got.get(*r, i, "flags"), was = want.get(*r, i, "flags");
          EXPECT_TRUE(flags == was || flags == (was | 2) || flags == (was | 8)) << was << flags;
          want.set(*r, i, "flags", flags);
        }
      }
      EXPECT_EQ(comments, (gear ? 4 : 2) + skipped.size());
      const auto [at, _] = std::ranges::mismatch(got.bytes, want.bytes);
      ASSERT_EQ(at, got.bytes.end()) << "byte " << (at - got.bytes.begin()) << "\n" << run.err;
    }
  }
  EXPECT_GT(reported, 0u);  // the generator really made values that cannot be carried
}

// Python's csv module reads the exported files row for row, and the files it
// writes back (its own quoting, arrays as json.dumps writes them, names with
// commas, quotes, line breaks and UTF-8) import as the exported ones do.
TEST(ExportCsv, PythonCsvReadsAndWritesTheFilesAsTheImportsDo) {
  if (!torvi::test::have_program("python3")) GTEST_SKIP() << "python3 is not installed";
  channel_bytes gear = with_header(kGear3, std::vector<std::uint8_t>(kGear3.length));
  const std::string desk = "Desk \"A\", left\r\nrow 2", cafe = "Caf\u00e9, B\u00fchne";
  std::ranges::copy(desk, gear.field(gear_entry_region, 0, "name").begin());
  gear.set(gear_entry_region, 0, "flags", kFlagShortAddress);
  gear.set(gear_entry_region, 0, "address_byte", 1);
  std::ranges::copy(cafe, gear.field(gear_entry_region, 5, "name").begin());
  gear.set(gear_entry_region, 9, "flags", kFlagShortAddress | 8);  // level 1 reads "false"
  gear.set(gear_entry_region, 9, "level_1", 100);
  gear.set(gear_entry_region, 9, "groups", 0x8009);
  for (const std::size_t i : {0, 5, 9}) gear.set(gear_entry_region, i, "fade_rate", 7);
  std::ranges::copy(std::string("Entrance"), gear.field(group_entry_region, 0, "name").begin());
  std::ranges::copy(cafe, gear.field(group_entry_region, 15, "name").begin());
  channel_bytes device = with_header(kDevice3, std::vector<std::uint8_t>(kDevice3.length));
  std::ranges::copy(std::string("Keypad, \"B\""),
                    device.field(device_entry_region, 0, "name").begin());
  device.set(device_entry_region, 0, "instance_count", 3);
  const std::uint8_t pairs[] = {1, 5, 3, 6, 4, 7};  // push button, occupancy, light sensor
  std::ranges::copy(pairs, device.field(device_entry_region, 0, "instance_types_values").begin());
  device.set(instance_block_region, 0, "push_button_value", 50);
  device.set(device_entry_region, 3, "instance_count", 2);
  torvi::test::TempDir dir;
  torvi::test::write_file(dir.file("dali1.tar"),
                          torvi::test::make_tar({{"/etc/config/dali/dali1.bin", gear.bytes},
                                                 {"/etc/config/dali/cd1.bin", device.bytes}}));
  const std::string ours = dir.file("ours"), theirs = dir.file("theirs");
  std::filesystem::create_directory(theirs);
  const auto run = run_inspect({"export-csv", "--channel=1", "--out", ours, dir.file("dali1.tar")});
  ASSERT_EQ(run.status, 0) << run.err;
  torvi::test::write_file(dir.file("rewrite.py"), R"(import csv, json, sys
for kind, width in (("channel", 12), ("groups", 3), ("inputs", 20)):
    with open(f"{sys.argv[1]}/{kind}-1.csv", newline="", encoding="latin-1") as f:
        rows = list(csv.reader(f))
    assert [len(r) for r in rows] == [1] + [width] * (len(rows) - 1), kind
    rows = [[json.dumps(json.loads(c)) if c.startswith("[") else c for c in r] for r in rows]
    with open(f"{sys.argv[2]}/{kind}-1.csv", "w", newline="", encoding="latin-1") as f:
        csv.writer(f).writerows(rows)
)");
  std::string out;
  ASSERT_EQ(torvi::test::run_command(
                "python3 " + dir.file("rewrite.py") + " " + ours + " " + theirs + " 2>&1", &out),
            0)
      << out;
  channel_record from_ours, from_theirs;
  for (channel_record* record : {&from_ours, &from_theirs}) {
    std::ranges::copy(gear.bytes, record->gear.begin());
  }
  const import_function imports[] = {import_channel_csv, import_groups_csv, import_inputs_csv};
  const char* files[] = {"/channel-1.csv", "/groups-1.csv", "/inputs-1.csv"};
  torvi::test::QuietConsole quiet;
  for (int k = 0; k < 3; ++k) {
    SCOPED_TRACE(files[k]);
    EXPECT_NE(torvi::test::read_file(ours + files[k]), torvi::test::read_file(theirs + files[k]));
    ASSERT_EQ(imports[k]("2.2.4", (ours + files[k]).c_str(), from_ours, {}), IMPORT_OK);
    ASSERT_EQ(imports[k]("2.2.4", (theirs + files[k]).c_str(), from_theirs, {}), IMPORT_OK);
  }
  EXPECT_TRUE(std::ranges::equal(from_ours.gear, from_theirs.gear));
  EXPECT_TRUE(std::ranges::equal(from_ours.device, from_theirs.device));
  // Not an empty agreement: the names came back.
  channel_bytes back{channel_file_kind::gear, {from_theirs.gear.begin(), from_theirs.gear.end()}};
  back.bytes.resize(kGear3.length);
  for (const std::size_t i : {0, 5}) {
    EXPECT_TRUE(std::ranges::equal(back.field(gear_entry_region, i, "name"),
                                   gear.field(gear_entry_region, i, "name")));
  }
}

using ExportCsvSim = torvi::test::SimTest;

// Every channel of a controller exported and set up again with the three
// files, one setup_channel run each: a second backup differs from the first
// only where the imports mark what they wrote and where the header follows
// from the content.
TEST_F(ExportCsvSim, SetupChannelWithTheExportedFilesChangesOnlyTheImportsMarks) {
  if (!torvi::test::have_program("python3")) GTEST_SKIP() << "python3 is not installed";
  torvi::test::TempDir dir;
  const std::string before = test::backup_into(ip(), dir.file("before"));
  std::vector<std::string> files[3];
  const char* kinds[] = {"channel", "groups", "inputs"};
  for (unsigned channel = 1; channel <= 4; ++channel) {
    const std::string out = dir.file("csv" + std::to_string(channel));
    const auto run =
        run_inspect({"export-csv", "--channel", std::to_string(channel), "--out", out, before});
    EXPECT_EQ(run.status, EXIT_GOOD) << run.err;
    EXPECT_EQ(run.err, "");
    for (int k = 0; k < 3; ++k) {
      files[k].push_back(out + "/" + kinds[k] + "-" + std::to_string(channel) + ".csv");
    }
  }
  {
    torvi::test::QuietConsole quiet;
    const std::vector<std::uint32_t> channels = {1, 2, 3, 4, 0};
    EXPECT_EQ(setup_channel(ip(), &channels, &files[0], nullptr, nullptr), 0);
    EXPECT_EQ(setup_channel(ip(), &channels, nullptr, &files[1], nullptr), 0);
    EXPECT_EQ(setup_channel(ip(), &channels, nullptr, nullptr, &files[2]), 0);
  }
  EXPECT_EQ(events_of("restore").size(), 12u);
  const std::string after = test::backup_into(ip(), dir.file("after"));

  // Lists every change outside what the header follows from and the
  // imports' own marks, and how many records of each kind were marked.
  const auto diff = run_inspect({"diff", "--json", before, after});
  torvi::test::write_file(dir.file("diff.json"), diff.out);
  torvi::test::write_file(dir.file("changes.py"), R"(import json, sys
header = {"checksum", "conversion_counter", "length"}
marked = {}
for f in json.load(open(sys.argv[1]))["channel_files"]:
    where = "%s %s" % (f["kind"], f["channel"])
    if f["status"] not in ("same", "differs"):
        print(where, f["status"])
    for c in f.get("changes", []):
        field, a, b = c["field"], c["from"], c["to"]
        if c["record"] == "header" and field in header:
            continue
        if field == "import_mark" and b == 255:
            marked[c["record"]] = marked.get(c["record"], 0) + 1
            continue
        if field == "flags" and isinstance(a, int) and b in (a | 2, a | 8):
            continue
        print(where, c["record"], c["index"], field, a, b)
print(sorted(marked.items()))
)");
  std::string changes;
  ASSERT_EQ(torvi::test::run_command(
                "python3 " + dir.file("changes.py") + " " + dir.file("diff.json"), &changes),
            0)
      << diff.out;
  // Channel N has 6 + 3 N gear entries in use and 5 named groups; all 32
  // devices of each channel have a row, as those not in use keep their
  // cleared address 255 only through one.
  EXPECT_EQ(changes, "[('device', 128), ('gear', 54), ('group', 20)]\n") << diff.out;
}

TEST(ExportCsv, UsageAndFileErrors) {
  torvi::test::TempDir dir;
  const std::string gear = dir.file("dali1.bin");
  torvi::test::write_file(gear,
                          with_header(kGear3, std::vector<std::uint8_t>(kGear3.length)).bytes);
  std::filesystem::create_directory(dir.file("old"));
  const std::string old = dir.file("old/cd1.bin");
  torvi::test::write_file(old, with_header({channel_file_kind::device, 1, device2::kLength, ""},
                                           std::vector<std::uint8_t>(device2::kLength))
                                   .bytes);
  const std::string usage = "torvi-inspect export-csv: ";
  const std::string bad = usage + "--channel takes a channel number 1 to 4, not ";
  const std::string absent = "No such file or directory\n";
  // A folder below a file cannot be made.
  const std::string here = dir.path(), no = gear + "/sub", rows = here + "/groups-1.csv: 0 rows\n";
  const std::string no_device = ": holds no device file of channel 1: inputs-1.csv not written\n";
  const std::string layout_1 =
      ": the device file of channel 1 has layout version 1, which is carried but not read: "
      "inputs-1.csv not written\n";
  const struct {
    std::vector<std::string> args;
    int status;
    std::string err;  // the end of a line of standard error
    std::string out;  // a line of standard output
  } kCases[] = {
      {{}, 2, usage + "--channel is needed\n", ""},
      {{"--channel", "0", gear}, 2, bad + "'0'\n", ""},
      {{"--channel", "5", gear}, 2, bad + "'5'\n", ""},
      {{"--channel", "1x", gear}, 2, bad + "'1x'\n", ""},
      {{"--channel"}, 2, usage + "option '--channel' needs a value\n", ""},
      {{"--channel", "1", gear, gear}, 2, usage + "one BACKUP is needed\n", ""},
      {{"--colour", "--channel", "1", gear}, 2, usage + "unknown option '--colour'\n", ""},
      {{"--help"}, 0, "", "Usage: torvi-inspect export-csv --channel N [--out DIR] BACKUP\n"},
      {{"--channel", "2", gear}, 1, gear + ": holds no gear or device file of channel 2\n", ""},
      {{"--channel", "1", dir.file("none.zip")}, 1, "/none.zip: " + absent, ""},
      {{"--channel", "1", "--out", no, gear},
       1,
       "groups-1.csv: cannot be written: Not a directory\n",
       ""},
      {{"--channel", "1", "--out", here + "/new/er", gear},
       0,
       gear + no_device,
       "/new/er/groups-1.csv: 0 rows\n"},
      {{"--channel", "1", "--out", here, gear}, 0, gear + no_device, rows},
      {{"--channel", "1", "--out", here, old}, 1, old + layout_1, ""},
  };
  for (const auto& c : kCases) {
    std::vector<std::string> args = c.args;
    args.insert(args.begin(), "export-csv");
    const auto run = run_inspect(args);
    EXPECT_EQ(run.status, c.status) << args[1];
    EXPECT_NE(run.err.find(c.err), std::string::npos) << run.err;
    EXPECT_NE(run.out.find(c.out), std::string::npos) << run.out;
    if (c.status == 2) {
      EXPECT_EQ(run.out, "");
    }
  }
}

}  // namespace
}  // namespace torvi::inspect
