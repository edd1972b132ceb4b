// export-csv: what it writes comes back through the imports field for
// field, what it says cannot come back really does not, and other CSV
// readers read the files as the imports do.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <random>
#include <set>
#include <sstream>

#include "channel/channel_view.h"
#include "channel/convert.h"
#include "import/imports.h"
#include "inspect/inspect_test_support.h"

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

channel_bytes random_file(const layout_case& c, std::mt19937& rng) {
  channel_bytes f = with_header(c, torvi::test::noise(c.length, rng()));
  const bool gear = c.kind == channel_file_kind::gear;
  const channel_region& r = gear ? gear_entry_region : device_entry_region;
  for (std::size_t i = 0; i < r.count; ++i) {
    if (rng() % 2) {  // nothing that would list it
      for (const char* name : {"flags", "import_mark", "name"}) f.set(r, i, name, 0);
      if (!gear) f.set(r, i, "instance_count", 0), f.set(r, i, "instance_types_values", 0);
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
      std::ranges::copy(original.bytes, buffer.begin());
      comments = 0;
      const char* files[] = {"channel-1.csv", "groups-1.csv", "inputs-1.csv"};
      const import_function imports[] = {import_channel_csv, import_groups_csv, import_inputs_csv};
      for (int k = gear ? 0 : 2; k < (gear ? 2 : 3); ++k) {
        ASSERT_EQ(imports[k](c.firmware, dir.file(files[k]).c_str(), record, {nullptr, &quiet}),
                  IMPORT_OK);
      }
      channel_bytes got{c.kind, {buffer.begin(), buffer.end()}};
      channel_bytes want = original;
      want.bytes.resize(buffer.size());

      // "torvi-inspect: FILE: entry I: FIELD VALUE cannot be carried: WHY".
      // A reported value differs after the import unless its row was read
      // as a comment; the import's marks are the only other changes.
      std::vector<std::tuple<const channel_region*, std::size_t, std::string>> losses;
      std::set<std::pair<const channel_region*, std::size_t>> skipped;
      std::istringstream lines(run.err);
      for (std::string line; std::getline(lines, line);) {
        char record_name[16], field[32];
        std::size_t i = 0;
        if (std::sscanf(line.c_str(), "torvi-inspect: %*[^:]: %15s %zu: %31s", record_name, &i,
                        field) != 3 ||
            line.find(" cannot be carried: ") == std::string::npos) {
          continue;
        }
        const std::string_view r = record_name;
        const channel_region* region = r == "entry"   ? &gear_entry_region
                                       : r == "group" ? &group_entry_region
                                                      : &device_entry_region;
        losses.emplace_back(region, i, field);
        if (line.find("read as a comment") != std::string::npos) skipped.insert({region, i});
      }
      reported += losses.size();
      ASSERT_EQ(run.status, losses.empty() ? 0 : 1) << run.err;
      for (const auto& [region, i, field] : losses) {
        const auto have = got.field(*region, i, field.c_str());
        const auto was = want.field(*region, i, field.c_str());
        EXPECT_TRUE(skipped.count({region, i}) || !std::ranges::equal(have, was)) << field << i;
        std::ranges::copy(have, was.begin());
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

// The inputs import writes only layout 3, so a layout-2 device file's rows
// go to a controller that converts it: they are the rows of its conversion,
// but for the push-button value of a device without a push button, which
// the conversion drops.
TEST(ExportCsv, Layout2DevicesExportAsTheirConversionToLayout3) {
  const layout_case device2 = {channel_file_kind::device, 2, device2::kLength, "1.3.1"};
  std::mt19937 rng(7);
  torvi::test::TempDir dir;
  std::filesystem::create_directories(dir.file("2"));
  std::filesystem::create_directories(dir.file("3"));
  for (int n = 0; n < 40; ++n) {
    channel_bytes old = random_file(device2, rng);
    for (std::size_t d = 0; d < device_entry_region.count; ++d) {
      const auto pairs = old.field(device_entry_region, d, "instance_types_values");
      bool push_button = false;
      for (std::size_t j = 0; j < pairs.size(); j += 2)
        push_button |= pairs[j] == kInstancePushButton;
      if (!push_button) old.set(instance_block_region, d, "push_button_value", 0);
    }
    std::vector<std::uint8_t> converted;
    ASSERT_EQ(convert_device_2_to_3(converted, old.bytes), 0);
    torvi::test::write_file(dir.file("2/cd1.bin"), old.bytes);
    torvi::test::write_file(dir.file("3/cd1.bin"), converted);
    std::string csv[2];
    for (int side = 0; side < 2; ++side) {
      const std::string folder = dir.file(side ? "3" : "2");
      run_inspect({"export-csv", "--channel", "1", "--out", folder, folder + "/cd1.bin"});
      const std::vector<std::uint8_t> text = torvi::test::read_file(folder + "/inputs-1.csv");
      csv[side].assign(text.begin(), text.end());
    }
    EXPECT_EQ(csv[0], csv[1]) << n;
  }
}

TEST(ExportCsv, PythonCsvReadsTheFilesAsTheImportsDo) {
  if (!torvi::test::have_program("python3")) GTEST_SKIP() << "python3 is not installed";
  channel_bytes gear = with_header(kGear3, std::vector<std::uint8_t>(kGear3.length));
  const std::string desk = "Desk \"A\", left\r\nrow 2";
  std::ranges::copy(desk, gear.field(gear_entry_region, 0, "name").begin());
  gear.set(gear_entry_region, 0, "flags", kFlagShortAddress);
  gear.set(gear_entry_region, 0, "address_byte", 1);
  gear.field(gear_entry_region, 5, "name")[0] = 'H';
  gear.set(gear_entry_region, 9, "flags", kFlagShortAddress);
  for (const std::size_t i : {0, 5, 9}) gear.set(gear_entry_region, i, "fade_rate", 7);
  std::ranges::copy(std::string("Entrance"), gear.field(group_entry_region, 0, "name").begin());
  gear.field(group_entry_region, 15, "name")[0] = 'A';
  channel_bytes device = with_header(kDevice3, std::vector<std::uint8_t>(kDevice3.length));
  std::ranges::copy(std::string("Keypad"), device.field(device_entry_region, 0, "name").begin());
  device.set(device_entry_region, 0, "instance_types_values", 0x0101);
  device.set(device_entry_region, 3, "instance_count", 2);
  torvi::test::TempDir dir;
  torvi::test::write_file(dir.file("dali1.tar"),
                          torvi::test::make_tar({{"/etc/config/dali/dali1.bin", gear.bytes},
                                                 {"/etc/config/dali/cd1.bin", device.bytes}}));
  const auto run =
      run_inspect({"export-csv", "--channel=1", "--out", dir.path(), dir.file("dali1.tar")});
  ASSERT_EQ(run.status, 0) << run.err;
  torvi::test::write_file(dir.file("read.py"), R"(import csv, json, sys
for kind, width, arrays in (("channel", 12, (4, 11)), ("groups", 3, ()), ("inputs", 20, range(6, 20))):
    with open(f"{sys.argv[1]}/{kind}-1.csv", newline="", encoding="latin-1") as f:
        rows = list(csv.reader(f))
    assert [len(r) for r in rows] == [1] + [width] * (len(rows) - 1), kind
    lengths = {len(json.loads(r[c])) for r in rows[2:] for c in arrays}
    print(kind, len(rows) - 2, json.dumps(rows[2][min(width - 1, 3)]), sorted(lengths))
)");
  std::string out;
  ASSERT_EQ(torvi::test::run_command("python3 " + dir.file("read.py") + " " + dir.path(), &out), 0);
  EXPECT_EQ(out,
            "channel 3 \"Desk \\\"A\\\", left\\r\\nrow 2\" [0, 16]\n"
            "groups 2 \"Entrance\" []\n"
            "inputs 2 \"Keypad\" [1, 32]\n");
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
