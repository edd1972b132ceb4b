// The imports read CSV files as a spreadsheet script writes them: Python's
// csv module, with its own quoting of commas, quotes and line breaks.

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "import/imports.h"
#include "test_support.h"

namespace torvi {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Import = int (*)(const char*, const char*, channel_record&, const csv_read_options&);

// A cell as the script holds it: text (written quoted where needed), or a
// number or boolean written as Python prints it.
struct Cell {
  std::string text;
  bool is_text = false;
  Cell(const char* t) : text(t), is_text(true) {}
  Cell(int n) : text(std::to_string(n)) {}
  Cell(bool b) : text(b ? "true" : "false") {}
};
using Sheet = std::vector<std::vector<Cell>>;

struct PeerFile {
  const char* name;
  Import import;
  Sheet rows;
};

// Names with a comma and double quotes, a line break and UTF-8, and JSON
// arrays with spaces as json.dumps writes them, so the peer's own quoting shows.
const std::vector<PeerFile> kFiles = {
    {"channel",
     import_channel_csv,
     {{"#dali-channel-csv-version: 1"},
      {"#channel", "entry", "short address", "name", "groups", "level 1", "level 2", "level 3",
       "level 4", "fade rate", "fade time", "scenes"},
      {1, 5, "\"5\"", "Desk \"A\", left", "[0, 3, 15]", 254, "null", 1, 254, 7, 2,
       "[254, 128, null, 0]"},
      {1, 6, "null", "Two\nlines", "[]", false, 200, 20, 254, 3, 0, "[null, 9]"}}},
    {"groups",
     import_groups_csv,
     {{"#dali-channel-groups-csv-version: 1"},
      {"#channel", "group", "name"},
      {1, 0, "Desk \"A\", left"},
      {1, 15, "Caf\u00e9, B\u00fchne"}}},
    {"inputs",
     import_inputs_csv,
     {{"#dali-channel-inputs-csv-version: 1"},
      {"#channel", "device", "short address", "name", "flags", "instance count", "..."},
      {1,         0,         "\"2\"",      "Keypad \"B\", door",
       0,         3,         "[1, 3, 4]",  "[5, 6, 7]",
       "[50]",    "[11]",    "[12]",       "[13]",
       "[14]",    "[15]",    "[16]",       "[0, 21]",
       "[0, 22]", "[0, 23]", "[0, 0, 31]", "[0, 0, 32]"},
      {1,  1,  "null", "Sensor", 0,  1,  "[4]", "[0]", "",    "",
       "", "", "",     "",       "", "", "",    "",    "[9]", "[10]"}}},
};

// The name cell and the two after it as a peer must write them: quoted,
// quotes doubled.
const std::string kDeskCells = "\"Desk \"\"A\"\", left\",\"[0, 3, 15]\",254";

std::string text_of(const std::string& path) {
  const Bytes bytes = test::read_file(path);
  return std::string(bytes.begin(), bytes.end());
}

std::string text_at(const std::uint8_t* field, std::size_t width) {
  return std::string(reinterpret_cast<const char*>(field),
                     strnlen(reinterpret_cast<const char*>(field), width));
}

// Imports the three files from `dir` at layout 3 and checks what the rows wrote.
void expect_imported(const std::string& dir) {
  channel_record record;
  for (const PeerFile& f : kFiles) {
    test::ConsoleCapture capture;
    EXPECT_EQ(f.import("2.2.4", (dir + "/" + f.name + ".csv").c_str(), record, {}), IMPORT_OK)
        << f.name;
  }
  const struct {
    unsigned entry;
    std::uint32_t flags;
    std::uint8_t address;
    std::string name;
    std::uint16_t groups;
    Bytes levels_rate_time, scenes;  // scenes not listed are 255
  } gear[] = {
      {5, 3, 11, "Desk \"A\", left", 0x8009, {254, 255, 1, 254, 7, 2}, {254, 128, 255, 0}},
      {6, 8, 255, "Two\nlines", 0, {100, 200, 20, 254, 3, 0}, {255, 9}},
  };
  for (const auto& g : gear) {
    SCOPED_TRACE("gear entry " + std::to_string(g.entry));
    const std::uint8_t* e = record.gear.data() + 60 + 100 * g.entry;
    EXPECT_EQ(load_u32(e), g.flags);
    EXPECT_EQ(e[11], g.address);
    EXPECT_EQ(text_at(e + 45, 33), g.name);
    EXPECT_EQ(load_u16(e + 18), g.groups);
    EXPECT_EQ(Bytes(e + 5, e + 11), g.levels_rate_time);
    Bytes scenes = g.scenes;
    scenes.resize(16, 255);
    EXPECT_EQ(Bytes(e + 20, e + 36), scenes);
  }
  EXPECT_EQ(text_at(record.gear.data() + 6460, 33), "Desk \"A\", left");
  EXPECT_EQ(text_at(record.gear.data() + 6460 + 38 * 15, 33), "Caf\u00e9, B\u00fchne");

  const struct {
    unsigned device;
    std::uint32_t flags;
    std::uint8_t address;
    std::string name;
    Bytes pairs, block;  // block: its head and one record per instance
  } devices[] = {
      {0, 3, 5, "Keypad \"B\", door", {1, 5, 3, 6, 4, 7}, {0,  50, 0,  0,  0,  0,  11, 12,
                                                           13, 14, 15, 16, 0,  21, 22, 23,
                                                           0,  0,  0,  31, 32, 0,  0,  0}},
      {1, 2, 255, "Sensor", {4, 0}, {0, 0, 0, 0, 0, 0, 0, 9, 10, 0, 0, 0}},
  };
  for (const auto& d : devices) {
    SCOPED_TRACE("device " + std::to_string(d.device));
    const std::uint8_t* e = record.device.data() + 28 + 100 * d.device;
    const std::uint8_t* block = record.device.data() + 3228 + 198 * d.device;
    EXPECT_EQ(load_u32(e), d.flags);
    EXPECT_EQ(e[8], d.address);
    EXPECT_EQ(e[10], d.pairs.size() / 2);
    EXPECT_EQ(Bytes(e + 16, e + 16 + d.pairs.size()), d.pairs);
    EXPECT_EQ(text_at(e + 80, 17), d.name);
    EXPECT_EQ(Bytes(block, block + d.block.size()), d.block);
  }
}

// `s` with each character found in `with` replaced.
std::string escaped(const std::string& s, const std::map<char, std::string>& with) {
  std::string out;
  for (const char c : s) out += with.count(c) ? with.at(c) : std::string(1, c);
  return out;
}

std::string json_string(const std::string& s) {
  return "\"" + escaped(s, {{'"', "\\\""}, {'\\', "\\\\"}, {'\n', "\\n"}}) + "\"";
}

TEST(CsvPeers, PythonCsvWriter) {
  if (!test::have_program("python3")) GTEST_SKIP() << "python3 is not on the PATH";
  test::TempDir dir;
  std::string sheets;
  for (const PeerFile& f : kFiles) {
    std::string rows;
    for (const auto& row : f.rows) {
      std::string cells;
      for (const Cell& c : row) {
        cells += (cells.empty() ? "" : ", ") + (c.is_text ? json_string(c.text) : c.text);
      }
      rows += (rows.empty() ? "[" : ", [") + cells + "]";
    }
    sheets +=
        (sheets.empty() ? "{" : ", ") + json_string(dir.file(f.name) + ".csv") + ": [" + rows + "]";
  }
  test::write_file(dir.file("sheets.json"), sheets + "}\n");
  test::write_file(dir.file("write.py"),
                   "import csv, json, sys\n"
                   "for path, rows in json.load(open(sys.argv[1], encoding='utf-8')).items():\n"
                   "    with open(path, 'w', newline='', encoding='utf-8') as f:\n"
                   "        csv.writer(f, quoting=csv.QUOTE_MINIMAL).writerows(rows)\n");
  const std::string command =
      "timeout 60 python3 " + dir.file("write.py") + " " + dir.file("sheets.json") + " 2>&1";
  std::string output;
  ASSERT_EQ(test::run_command(command, &output), 0) << output;
  const std::string channel = text_of(dir.file("channel.csv"));
  EXPECT_NE(channel.find(kDeskCells + ",null,1,"), std::string::npos) << channel;
  EXPECT_NE(channel.find("\r\n1,6,"), std::string::npos) << channel;
  expect_imported(dir.path());
}

}  // namespace
}  // namespace torvi
