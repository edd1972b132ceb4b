// check-csv: each row's fate and what it writes, in every layout that
// matters; agreement with what setup_channel really changes on korvan-sim;
// the tokenizer's error and the usage errors.
#include <gtest/gtest.h>

#include <array>
#include <regex>

#include "action/actions.h"
#include "inspect/channel_diff.h"
#include "inspect_test_support.h"
#include "sim_fixture.h"

namespace torvi::inspect {
namespace {

using test::run_inspect;
using Args = std::vector<std::string>;

// One line per row of the JSON report: the fate, the reason and the notes,
// each note as "COLUMN:GIVEN>WRITTEN".
std::vector<std::string> row_fates(const std::string& json) {
  static const std::regex fate(R"re("fate": "([^"]*)",\n *"reason": (null|"([^"]*)"))re");
  static const std::regex note(
      R"re("column": (\d+),\n *"field": "[^"]*",\n *"given": "((?:[^"\\]|\\.)*)",\n *"written": "((?:[^"\\]|\\.)*)")re");
  std::vector<std::string> rows;
  for (std::sregex_iterator m(json.begin(), json.end(), fate), end; m != end; ++m) {
    std::string line = (*m)[1].str();
    if ((*m)[3].matched) line += ": " + (*m)[3].str();
    // The row's notes stand between its fate and the next row's.
    const auto from = (*m)[0].second;
    auto next = std::next(m);
    const auto to = next == end ? json.cend() : (*next)[0].first;
    std::string notes;
    for (std::sregex_iterator n(from, to, note); n != end; ++n) {
      notes +=
          (notes.empty() ? "" : ",") + (*n)[1].str() + ":" + (*n)[2].str() + ">" + (*n)[3].str();
    }
    if (!notes.empty()) line += " [" + std::regex_replace(notes, std::regex(R"(\\")"), "\"") + "]";
    rows.push_back(line);
  }
  return rows;
}

// Every value the report gives for `key`, in order.
std::string values_of(const std::string& json, const std::string& key) {
  const std::regex value("\"" + key + "\": (\\[[^\\]]*\\]|\"[^\"]*\"|[^,\\n]+)");
  std::string all;
  for (std::sregex_iterator m(json.begin(), json.end(), value), end; m != end; ++m) {
    all += (all.empty() ? "" : " ") + (*m)[1].str();
  }
  return all;
}

const std::string kGear = "#dali-channel-csv-version: 1\n";
const std::string kGroups = "#dali-channel-groups-csv-version: 1\n";
const std::string kInputs = "#dali-channel-inputs-csv-version: 1\n";
const std::string kDevice = ",0,1,,,,,,,,,,,,,,\n";  // columns 4 to 19 of a plain device
const std::string kNothingSent =
    "\"no device row would be applied: setup_channel sends nothing for this channel rather than "
    "erase its input devices\"";

TEST(CheckCsv, RowFatesAndWrittenValues) {
  torvi::test::TempDir dir;
  const std::string bare_gear = dir.file("dali1.bin"), bare_device = dir.file("cd1.bin");
  torvi::test::write_file(bare_gear, std::vector<std::uint8_t>(7072));
  std::vector<std::uint8_t> device(9564);
  device[28 + 80] = 'D';  // device 0 has a name, which a file built anew would lose
  torvi::test::write_file(bare_device, device);
  std::string n40(40, 'N'), values40 = "\"[1";
  for (int i = 2; i <= 40; ++i) values40 += "," + std::to_string(i);
  values40 += "]\"";
  const std::string row = "1,2,0,a,[],1,1,1,1,1,1";
  std::string unset = "[255";
  for (int i = 1; i < 16; ++i) unset += ",255";
  const struct {
    Args args;
    std::string csv;
    std::vector<std::string> rows;
    int status;
    std::vector<std::pair<std::string, std::string>> values;  // key, every value it has
  } cases[] = {
      {{"--kind", "channel"},
       row + ",[]\n" + kGear + "#note\n1,1,70," + n40 + ",\"[0,15,16,33]\",1,1,1,1,0,20," +
           values40 + "\n1,63,5,a,[],1,1,1,1,20,0,[]\n1,64,5,a,[],1,1,1,1,1,1,[]\n" + row + "\n" +
           row + ",[],x\n#dali-channel-csv-version: 2\n" + row + ",[]\n",
       {"skipped: no version line before it", "version", "comment",
        "applied [3:" + n40 + ">" + n40.substr(8) +
            ",4:16>ignored,4:33>1,9:0>1,10:20>15,11:40 values>the first 16 kept]",
        "applied [9:20>15]", "skipped: entry index 64 is above 63",
        "skipped: 11 fields where 12 are needed", "skipped: 13 fields where 12 are needed",
        "version: declares version 2: only version 1 is read",
        "skipped: the version line declares version 2, not 1"},
       1,
       {{"firmware_from", "\"assumed: the newest controller (no --firmware or --against)\""},
        {"fade_rate", "1 15"},
        {"fade_time", "15 0"},
        {"groups", "[0,1,15] []"},
        {"name", "\"" + std::string(32, 'N') + "\" \"a\""},
        {"scenes", "[1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16] " + unset + "]"}}},
      {{"--kind", "channel", "--against", bare_gear, "--channel", "1"},
       kGear + row + ",[]\n",
       {"version", "skipped: no firmware version known"},
       1,
       {{"sent", "false"}}},
      {{"--kind", "groups"},
       kGroups + "1,15," + n40 + "\n1,16,x\n1,2\n1,2,x,y\n",
       {"version", "applied [2:" + n40 + ">" + n40.substr(8) + "]", "skipped: group 16 is above 15",
        "skipped: 2 fields where 3 are needed", "skipped: 4 fields where 3 are needed"},
       1,
       {}},
      {{"--kind", "inputs"},
       kInputs + "1,31,0," + std::string(20, 'N') + ",0,40," + values40 + std::string(13, ',') +
           "\n1,32,0,a" + kDevice + "1,0,0,a,0,1\n",
       {"version",
        "applied [3:" + std::string(20, 'N') + ">" + std::string(16, 'N') +
            ",5:40>32,6:40 values>the first 32 kept]",
        "skipped: device index 32 is above 31", "skipped: 6 fields where 20 are needed"},
       1,
       {{"instance_count", "32"}}},
      {{"--kind", "inputs", "--firmware", "1.3.1"},
       kInputs + "1,0,0,a" + kDevice + "1,0,0,b" + kDevice,
       {"version",
        "skipped: firmware 1.3.1 selects layout 2; input devices need layout 3: the import "
        "stops here",
        "not reached: the import stopped at row 2"},
       1,
       {}},
      {{"--kind", "inputs", "--against", bare_device, "--channel", "1"},
       kInputs + "1,0,0,a" + kDevice,
       {"version", "skipped: no firmware version known: the import stops here"},
       1,
       {{"sent", "false"}}},
      // An inputs file that applies no row is not sent, rather than erase the channel's devices;
      // one that holds nothing but comments clears them.
      {{"--kind", "inputs", "--firmware", "2.2.4", "--against", bare_device, "--channel", "1"},
       "",
       {},
       1,
       {{"sent", "false"}, {"not_sent_because", kNothingSent}, {"changes", "null"}}},
      {{"--kind", "inputs"},
       kInputs + "1;0;0;a" + std::string(16, ';') + "\n",
       {"version",
        "skipped: 1 fields where 20 are needed: the row looks separated by semicolons, not "
        "commas"},
       1,
       {{"sent", "false"}, {"not_sent_because", kNothingSent}}},
      {{"--kind", "inputs"},
       kInputs + "#channel,device\n",
       {"version", "comment"},
       0,
       {{"sent", "true"}}},
  };
  const std::string path = dir.file("rows.csv");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.csv);
    torvi::test::write_file(path, c.csv);
    Args args = c.args;
    args.insert(args.begin(), "check-csv");
    args.insert(args.end(), {"--json", path});
    const auto run = run_inspect(args);
    EXPECT_EQ(run.status, c.status) << run.err;
    EXPECT_EQ(row_fates(run.out), c.rows) << run.out;
    for (const auto& [key, expected] : c.values)
      EXPECT_EQ(values_of(run.out, key), expected) << key;
  }
  // A row without a short address after one with: each layout clears it its own way, and
  // only layout 3 takes the channel value.
  torvi::test::write_file(path,
                          kGear + "7,0,5,a,[],1,1,1,1,1,1,[]\n7,0,null,b,[],1,1,1,1,1,1,[]\n");
  for (const auto& [firmware, bytes, addresses, channel] :
       {std::array<const char*, 4>{"1.3.0", "11 11", "5 5", ""},
        {"1.3.1", "11 0", "5 null", ""},
        {"1.5.0", "11 255", "5 null", "7 7"}}) {
    const auto run =
        run_inspect({"check-csv", "--kind", "channel", "--firmware", firmware, "--json", path});
    EXPECT_EQ(run.status, 0) << firmware;
    EXPECT_EQ(values_of(run.out, "address_byte"), bytes) << firmware;
    EXPECT_EQ(values_of(run.out, "short_address"), addresses) << firmware;
    EXPECT_EQ(values_of(run.out, "channel_value"), channel) << firmware;
  }
}

// Every value the import wraps, truncates, clamps, cuts or drops is noted with its column,
// the value given and the value written, and makes the exit status 1.
TEST(CheckCsv, EveryChangedValueIsNoted) {
  const std::string empty_arrays = ",,,,,,,,,,,";  // columns 9 to 19 left empty
  const struct {
    const char* kind;
    std::string rows;  // after the version line
    std::string fate;
    int status;
  } cases[] = {
      {"channel", "1,4294967296,261,\"W\",\"[0]\",300,254,1,254,7,0,\"[]\"\n",
       "applied [1:4294967296>0,2:261>5,5:300>44]", 1},
      {"channel", "-1,0,-1,a,[],-1,12abc,1.5,null,16,16,\"[1.5,256,\"\"x\"\"]\"\n",
       "applied [0:-1>4294967295,2:-1>255: no short address,5:-1>255,6:12abc>12,7:1.5>1,8:null>0,"
       "9:16>15,10:16>15,11:1.5>1,11:256>0,11:\"x\">0]",
       1},
      {"channel", "1,0,\"[5,6]\",a,\"[-1,15,31,32,1.5,null]\",1,1,1,1,1,1,5\n",
       "applied [2:[5,6]>6,4:-1>ignored,4:31>ignored,4:32>0,4:1.5>1,4:null>ignored,11:5>ignored: "
       "not inside an array]",
       1},
      {"channel", "1,0,abc,a,\"[1;2]\",1,1,1,1,1,1,[]\n", "applied [2:abc>0,4:[1;2]>[1]]", 1},
      {"groups", "1,4294967297,x\n", "applied [1:4294967297>1]", 1},
      {"inputs", "1,0,320,a,-1,33,\"[1,300]\",\"[1,null,2]\",\"[7,9]\"" + empty_arrays + "\n",
       "applied [2:320>64: address byte left as it was,4:-1>4294967295,5:33>32,6:300>44,"
       "7:null>skipped,8:2 values>the first 1 kept]",
       1},
      {"channel", "1,5,5,Desk,\"[0,3,15]\",254,null,1,254,7,0,\"[254,128,null,0]\"\n", "applied",
       0},
      {"inputs", "1,0,null,a,3,2,\"[1,4]\",\"[0,1]\",[7]" + empty_arrays + "\n", "applied", 0},
  };
  torvi::test::TempDir dir;
  const std::string path = dir.file("rows.csv");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.rows);
    const std::string kind = c.kind;
    torvi::test::write_file(path, (kind == "channel"  ? kGear
                                   : kind == "groups" ? kGroups
                                                      : kInputs) +
                                      c.rows);
    const auto run = run_inspect({"check-csv", "--kind", c.kind, "--json", path});
    EXPECT_EQ(run.status, c.status) << run.out;
    EXPECT_EQ(row_fates(run.out), (std::vector<std::string>{"version", c.fate}));
  }
  const auto text = run_inspect({"check-csv", "--kind", "inputs", path});
  EXPECT_NE(text.out.find("summary:\n  applied: 1\n  skipped: 0\n  not reached: 0\n  notes: 0\n"),
            std::string::npos)
      << text.out;
  // The text form names each noted column.
  torvi::test::write_file(path, kGear + "1,0,1,a,[],1,1,1,1,0,1,[]\n");
  const auto noted = run_inspect({"check-csv", "--kind", "channel", path});
  EXPECT_NE(noted.out.find("    notes:\n      column  field      given  written\n"
                           "      9       fade rate  0      1\n"),
            std::string::npos)
      << noted.out;
}

// check-csv --against a controller's archive lists exactly what setup_channel then changes
// in the controller's file.
class CheckCsvSim : public torvi::test::SimTest {};

TEST_F(CheckCsvSim, ChangesAgreeWithSetupChannel) {
  const std::string desk = kGear +
                           "9,3,7,Desk,\"[0,2]\",200,180,1,254,0,20,\"[100,null]\"\n"
                           "1,64,1,x,[],1,1,1,1,1,1,[]\n1,1,null,Hall,[],1,1,1,1,1,1,[]\n";
  const struct {
    const char* firmware;
    const char* kind;
    const char* config;  // the archive check-csv reads, and the file compared
    std::string csv;
  } cases[] = {
      {"2.2.4", "channel", "dali1", desk},
      {"1.3.1", "channel", "dali1", desk},
      {"2.2.4", "groups", "dali1", kGroups + "1,2,Lobby\n1,16,x\n"},
      {"2.2.4", "inputs", "cd1", kInputs + "1,4,9,Door" + kDevice + "1,32,1,x" + kDevice},
  };
  torvi::test::TempDir dir;
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.kind) + " at " + c.firmware);
    start_sim({.firmware = c.firmware});
    const std::string csv = dir.file("rows.csv"),
                      archive = dir.file(std::string(c.config) + ".tar");
    torvi::test::write_file(csv, c.csv);
    torvi::test::write_file(archive, sim().backup_archive(c.config));
    const auto check =
        run_inspect({"check-csv", "--kind", c.kind, "--against", archive, "--channel", "1", csv});
    EXPECT_EQ(check.status, 1) << check.err;  // every file has a skipped row

    const std::vector<std::uint8_t> before = sim().config_file(c.config);
    {
      const std::vector<std::uint32_t> one = {1};
      const std::vector<std::string> paths = {csv};
      const std::string kind = c.kind;
      torvi::test::QuietConsole quiet;
      EXPECT_EQ(
          setup_channel(ip(), &one, kind == "channel" ? &paths : nullptr,
                        kind == "groups" ? &paths : nullptr, kind == "inputs" ? &paths : nullptr),
          0);
    }
    const std::vector<std::uint8_t> after = sim().config_file(c.config);
    const channel_file_kind kind =
        c.config[0] == 'c' ? channel_file_kind::device : channel_file_kind::gear;
    node expected = object_node();
    node& changes = expected.add(
        "changes", diff_channel_files(channel_view_of(kind, before), channel_view_of(kind, after)));
    EXPECT_FALSE(changes.items.empty());
    const std::string tail = to_text(expected);
    ASSERT_GE(check.out.size(), tail.size());
    EXPECT_EQ(check.out.substr(check.out.size() - tail.size()), tail) << check.out;
  }
}

TEST(CheckCsv, UsageAndFileErrors) {
  torvi::test::TempDir dir;
  const std::string csv = dir.file("a.csv"), absent = dir.file("absent.csv");
  torvi::test::write_file(csv, kGear);
  const struct {
    std::string args;  // split at blanks; F stands for the CSV file
    int status;
    std::string message;
  } cases[] = {
      {"F", 2, "--kind channel, groups or inputs is needed"},
      {"--kind gear F", 2, "unknown kind 'gear' (channel, groups or inputs)"},
      {"--kind", 2, "option '--kind' needs a value"},
      {"--bogus F", 2, "unknown option '--bogus'"},
      {"--kind groups --against F --channel 5 F", 2, "--channel takes 1 to 4, not '5'"},
      {"--kind groups --against F --channel 0 F", 2, "--channel takes 1 to 4, not '0'"},
      {"--kind groups --channel 1 F", 2, "--channel goes with --against"},
      {"--kind groups --against F F", 2, "--against needs --channel"},
      {"--kind groups", 2, "one FILE is needed"},
      {"--kind groups F F", 2, "one FILE is needed"},
      {"--kind groups " + absent, 1, absent + ": No such file or directory"},
      {"--kind groups " + dir.path(), 1, dir.path() + ": Is a directory"},
  };
  for (const auto& c : cases) {
    Args args = {"check-csv"};
    for (std::size_t at = 0, end; at < c.args.size(); at = end + 1) {
      end = std::min(c.args.find(' ', at), c.args.size());
      args.push_back(c.args.substr(at, end - at) == "F" ? csv : c.args.substr(at, end - at));
    }
    const auto run = run_inspect(args);
    EXPECT_EQ(run.status, c.status) << c.args;
    EXPECT_EQ(run.err, c.status == 2 ? "torvi-inspect check-csv: " + c.message +
                                           "\nTry 'torvi-inspect check-csv --help'.\n"
                                     : "torvi-inspect: " + c.message + "\n");
    EXPECT_EQ(run.out, "");
  }
}

// libcsv in its lenient mode refuses nothing but memory: a cell larger than the process may
// have stops the tokenizer, and the report keeps the rows before it.
TEST(CheckCsv, TokenizerErrorNamesTheRow) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the sanitizers need more address space than the limit leaves";
#endif
  torvi::test::TempDir dir;
  const std::string path = dir.file("huge.csv");
  torvi::test::write_huge_cell_csv(path);
  std::string out;
  const int status =
      torvi::test::run_command("ulimit -v 100000; timeout 60 " + std::string(TORVI_INSPECT_PATH) +
                                   " check-csv --kind channel --json " + path + " 2>&1",
                               &out);
  EXPECT_EQ(status, 1) << out;
  EXPECT_NE(out.find("torvi-inspect: " + path +
                     ": row 2: CSV error: memory exhausted while increasing buffer size\n"),
            std::string::npos)
      << out;
  EXPECT_EQ(row_fates(out), std::vector<std::string>{"version"});
}

}  // namespace
}  // namespace torvi::inspect
