// setup_channel against korvan-sim: each kind of CSV file in every layout,
// read back through the controller's own decoder, and what is sent (or not)
// when an argument, a fetch, a file or a transfer fails.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "action/actions.h"
#include "platform/file.h"
#include "sim/config_files.h"
#include "sim_fixture.h"

namespace torvi {
namespace {

using Paths = std::vector<std::string>;
using Channels = std::vector<std::uint32_t>;
using test::ConsoleCapture;

const std::string kChannelCsv =
    "#dali-channel-csv-version: 1\r\n#channel,entry,address,name,groups,l1,l2,l3,l4,rate,time,"
    "scenes\r\n1,3,7,Desk lamp,\"[0,2]\",200,180,1,254,5,2,\"[100,null,50]\"\r\n";
// Group 2 named twice: the later row wins.
const std::string kGroupsCsv = "#dali-channel-groups-csv-version: 1\r\n1,2,First\r\n1,2,Lobby\r\n";
const std::string kInputsCsv =
    "#dali-channel-inputs-csv-version: 1\r\n"
    "1,4,9,Door keypad,0,2,\"[1,4]\",\"[0,1]\",\"[60]\",\"[1]\",\"[2]\",\"[3]\",\"[4]\",\"[5]\","
    "\"[6]\",,,,\"[0,70]\",\"[0,80]\"\r\n";

class SetupChannelTest : public test::SimTest {
 protected:
  std::string csv(const std::string& name, const std::string& text) {
    test::write_file(dir_.file(name), text);
    return dir_.file(name);
  }
  std::vector<std::string> fetched() const {
    std::vector<std::string> names;
    for (const auto& t : http_requests()) {
      if (t.rfind("/api/v100/backup.ssi?config=", 0) == 0) names.push_back(t.substr(28));
    }
    return names;
  }
  korvan::GearFileInfo gear(const std::string& name) {
    korvan::GearFileInfo info;
    std::string error;
    EXPECT_TRUE(korvan::decode_gear_file(sim().config_file(name), info, &error)) << error;
    return info;
  }
  test::TempDir dir_;
};

// What follows a successful fetch, for one channel.
std::string channel_lines(const std::string& ip, unsigned channel, const std::string& path,
                          const std::string& summary, const std::string& member, std::size_t size) {
  return "OK\nCH=" + std::to_string(channel) + "\nFILE=" + path + "\n" + summary +
         "backup\tbackup file contains: \r\n\t" + member + " (" + std::to_string(size) +
         " bytes)\r\n" + test::backup_push_lines(ip) + "OK\n";
}

std::string after_fetch(const std::string& out) {
  const std::size_t at = out.find("OK\nCH=");
  return at == std::string::npos ? "(no OK) " + out : out.substr(at);
}

TEST_F(SetupChannelTest, ChannelAndGroupsInEveryLayout) {
  const struct {
    const char* firmware;
    std::size_t size;
  } layouts[] = {{"1.3.0", 11168}, {"1.3.1", 10912}, {"2.2.4", 7072}};
  const Channels one = {1};
  for (const auto& l : layouts) {
    SCOPED_TRACE(l.firmware);
    start_sim({.firmware = l.firmware});
    const std::string member = "/etc/config/dali/dali1.bin";
    const korvan::GearFileInfo before = gear("dali1");
    {
      const Paths paths = {csv("channel.csv", kChannelCsv)};
      ConsoleCapture capture;
      EXPECT_EQ(setup_channel(ip(), &one, &paths, nullptr, nullptr), 0);
      EXPECT_EQ(after_fetch(capture.out()),
                channel_lines(ip_, 1, paths[0], "25 fields, 3 rows\n", member, l.size));
    }
    const korvan::GearFileInfo after = gear("dali1");
    const korvan::GearEntryInfo& e = after.entries[3];
    EXPECT_EQ(e.name, "Desk lamp");
    EXPECT_EQ(e.address, 15);
    EXPECT_EQ(e.flags & 3u, 3u);
    EXPECT_EQ(e.groups, 0x5);
    EXPECT_EQ(e.levels, (std::array<std::uint8_t, 4>{200, 180, 1, 254}));
    EXPECT_EQ(e.fade_rate, 5);
    EXPECT_EQ(e.fade_time, 2);
    EXPECT_EQ(std::vector<int>(e.scenes.begin(), e.scenes.begin() + 4),
              (std::vector<int>{100, 255, 50, 255}));
    // Everything else is as the controller had it.
    EXPECT_EQ(after.entries[4].name, before.entries[4].name);
    EXPECT_EQ(after.group_names, before.group_names);

    const Paths groups = {csv("groups.csv", kGroupsCsv)};
    ConsoleCapture capture;
    EXPECT_EQ(setup_channel(ip(), &one, nullptr, &groups, nullptr), 0);
    EXPECT_EQ(after_fetch(capture.out()),
              channel_lines(ip_, 1, groups[0], "7 fields, 3 rows\n", member, l.size));
    EXPECT_EQ(gear("dali1").group_names[2], "Lobby");
    EXPECT_EQ(gear("dali1").entries[3].name, "Desk lamp");
  }
}

TEST_F(SetupChannelTest, InputsOnlyForLayout3) {
  const Channels two = {2};
  const Paths paths = {csv("inputs.csv", kInputsCsv)};
  {
    ConsoleCapture capture;
    EXPECT_EQ(setup_channel(ip(), &two, nullptr, nullptr, &paths), 0);
    EXPECT_EQ(after_fetch(capture.out()), channel_lines(ip_, 2, paths[0], "21 fields, 2 rows\n",
                                                        "/etc/config/dali/cd2.bin", 9564));
  }
  korvan::DeviceFileInfo info;
  std::string error;
  ASSERT_TRUE(korvan::decode_device_file(sim().config_file("cd2"), info, &error)) << error;
  EXPECT_EQ(info.length, 9564u);
  const korvan::DeviceInfo& d = info.devices[4];
  EXPECT_EQ(d.name, "Door keypad");
  EXPECT_EQ(d.address, 19);
  EXPECT_EQ(d.push_button_value, 60);
  ASSERT_EQ(d.instances.size(), 2u);
  EXPECT_EQ(d.instances[0].record, (std::vector<std::uint8_t>{1, 2, 3, 4, 5, 6}));
  EXPECT_EQ(d.instances[1].record, (std::vector<std::uint8_t>{0, 70, 80}));
  // Only the file's rows: the other devices are gone, as the file says.
  EXPECT_EQ(info.devices[0].name, "");

  // Below layout 3 nothing is sent and the action ends.
  start_sim({.firmware = "1.3.1"});
  const Channels both = {2, 3};
  const Paths twice = {paths[0], paths[0]};
  ConsoleCapture capture;
  EXPECT_EQ(setup_channel(ip(), &both, nullptr, nullptr, &twice), 1);
  EXPECT_NE(capture.out().find("importcsv_cd\terror version 1.3.1 not supported.\r\n"),
            std::string::npos);
  EXPECT_EQ(fetched(), Paths{"dali2"});
  EXPECT_TRUE(events_of("upload").empty());
}

// Which list drives the run, and which paths belong to which channel.
TEST_F(SetupChannelTest, DrivingListAndChannels) {
  const Paths channel = {csv("c.csv", kChannelCsv)}, groups = {csv("g.csv", kGroupsCsv)};
  const Paths inputs = {csv("i.csv", kInputsCsv)};
  const struct {
    const char* what;
    Channels channels;
    std::string lists;    // c, g, i: the channel, groups and inputs lists given
    std::string fetched;  // and the one file pushed; empty for none
  } cases[] = {
      {"more channels than paths", {1, 2}, "c", "dali1"},
      {"channel CSV wins over groups", {1}, "cg", "dali1"},
      {"groups win over inputs", {3}, "gi", "dali3"},
      {"empty channel list", {}, "c", ""},
      {"channel list starting with 0", {0, 1}, "c", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    sim().clear_events();
    const auto given = [&](char list, const Paths& paths) {
      return c.lists.find(list) == std::string::npos ? nullptr : &paths;
    };
    ConsoleCapture capture;
    EXPECT_EQ(setup_channel(ip(), &c.channels, given('c', channel), given('g', groups),
                            given('i', inputs)),
              0);
    EXPECT_EQ(fetched(), c.fetched.empty() ? Paths{} : Paths{c.fetched});
    const auto restored = events_of("restore");
    ASSERT_EQ(events_of("upload").size(), restored.size());
    ASSERT_EQ(restored.size(), c.fetched.empty() ? 0u : 1u);
    if (c.fetched.empty()) continue;
    const std::string member = "applied /etc/config/dali/" + c.fetched + ".bin";
    EXPECT_EQ(restored[0].detail.rfind(member, 0), 0u) << restored[0].detail;
  }
  EXPECT_NE(gear("dali1").group_names[2], "Lobby");
}

TEST_F(SetupChannelTest, MissingArgumentsContactNothing) {
  const Channels one = {1};
  const Paths paths = {"x.csv"};
  const struct {
    const char* ip;
    const Channels* channels;
    const Paths *channel_csv, *groups_csv, *inputs_csv;
  } cases[] = {
      {ip(), nullptr, &paths, nullptr, nullptr}, {ip(), &one, nullptr, nullptr, nullptr},
      {nullptr, &one, nullptr, nullptr, &paths}, {nullptr, &one, &paths, nullptr, nullptr},
      {nullptr, &one, nullptr, &paths, nullptr},
  };
  for (const auto& c : cases) {
    ConsoleCapture capture;
    EXPECT_EQ(setup_channel(c.ip, c.channels, c.channel_csv, c.groups_csv, c.inputs_csv), 2);
    EXPECT_EQ(capture.out(), "Missing arguments for action setup_channel.");
  }
  EXPECT_TRUE(sim().events().empty());
}

// A channel whose fetch fails is skipped; the next one still goes.
TEST_F(SetupChannelTest, FetchFailureSkipsItsChannel) {
  const std::string good = csv("good.csv", kChannelCsv);
  const Channels channels = {5, 1};  // the controller has no channel 5
  const Paths paths = {good, good};
  ConsoleCapture capture;
  EXPECT_EQ(setup_channel(ip(), &channels, &paths, nullptr, nullptr), 0);
  EXPECT_EQ(fetched(), (Paths{"dali5", "dali1"}));
  EXPECT_EQ(events_of("upload").size(), 1u);
}

// Nothing is sent for a file that cannot be read, nor for an inputs file that applies no row:
// the device file is built from nothing and would erase the channel's input devices. Only a
// file of its version line and comments clears them. The next channel goes as usual.
TEST_F(SetupChannelTest, FilesThatSendNothing) {
  const std::string folder = dir_.file("folder.csv");
  ASSERT_TRUE(std::filesystem::create_directory(folder));
  const std::string absent = dir_.file("absent.csv");
  const std::string v1 = "#dali-channel-inputs-csv-version: 1\r\n";
  const std::string nothing = "importcsv_cd\tno device row applied, nothing sent.\r\n";
  const std::string device = ",0,2,\"[1]\",,,,,,,,,,,,,\r\n";  // columns 4 to 19
  const struct {
    const char* what;
    char list;          // c, g or i: the option the paths are given with
    std::string file;   // text of the first channel's file, or a path when it starts with /
    std::string lines;  // after "FILE=path\n", up to the next channel's fetch
  } cases[] = {
      {"empty file", 'i', "", "0 fields, 0 rows\n" + nothing},
      {"no version line", 'i', kInputsCsv.substr(v1.size()), "20 fields, 1 rows\n" + nothing},
      {"semicolons", 'i', v1 + "1;4;9;Door keypad;0;2;\"[1,4]\"\r\n",
       "3 fields, 2 rows\n" + nothing},
      {"devices above 31", 'i', v1 + "1,32,9,a" + device + "1,4294967295,9,b" + device,
       "41 fields, 3 rows\n" + nothing},
      {"a channel CSV as inputs file", 'i', kChannelCsv, "25 fields, 3 rows\n" + nothing},
      {"absent inputs file", 'i', absent, "importcsv_cd\terror opening '" + absent + "'.\r\n"},
      {"absent channel file", 'c', absent, "importcsv\terror opening '" + absent + "'.\r\n"},
      {"folder as channel file", 'c', folder, "importcsv\terror opening '" + folder + "'.\r\n"},
      {"folder as groups file", 'g', folder,
       "importcsv_groups\terror opening '" + folder + "'.\r\n"},
      {"folder as inputs file", 'i', folder, "importcsv_cd\terror opening '" + folder + "'.\r\n"},
      {"version line and comments only", 'i', v1 + "#channel,device,short address\r\n",
       "4 fields, 2 rows\nbackup\tbackup file contains: \r\n\t/etc/config/dali/cd1.bin (9564 "
       "bytes)\r\n" +
           test::backup_push_lines(ip_) + "OK\n"},
  };
  const auto devices = [&] {
    korvan::DeviceFileInfo info;
    std::string error;
    EXPECT_TRUE(korvan::decode_device_file(sim().config_file("cd1"), info, &error)) << error;
    std::vector<std::string> names;
    for (const korvan::DeviceInfo& d : info.devices) {
      if (d.flags || !d.name.empty()) names.push_back(d.name);
    }
    return names;
  };
  ASSERT_FALSE(devices().empty());
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    sim().clear_events();
    const std::string first = c.file.rfind('/', 0) == 0 ? c.file : csv("first.csv", c.file);
    const char* config = c.list == 'i' ? "cd" : "dali";
    const Paths paths = {first, csv("second.csv", c.list == 'c'   ? kChannelCsv
                                                  : c.list == 'g' ? kGroupsCsv
                                                                  : kInputsCsv)};
    const Channels channels = {1, 2};
    ConsoleCapture capture;
    EXPECT_EQ(setup_channel(ip(), &channels, c.list == 'c' ? &paths : nullptr,
                            c.list == 'g' ? &paths : nullptr, c.list == 'i' ? &paths : nullptr),
              0);
    const std::string out = capture.out();
    const std::string file_line = "FILE=" + first + "\n";
    const std::size_t from = out.find(file_line);
    ASSERT_NE(from, std::string::npos) << out;
    const std::size_t to = out.find("backup\tfetching URL", from);
    EXPECT_EQ(out.substr(from + file_line.size(), to - from - file_line.size()), c.lines);
    EXPECT_NE(out.find("FILE=" + paths[1] + "\n"), std::string::npos) << out;

    const bool cleared = c.lines.ends_with("OK\n");
    EXPECT_EQ(fetched(), (Paths{"dali1", "dali2"}));
    const auto restored = events_of("restore");
    ASSERT_EQ(events_of("upload").size(), restored.size());
    ASSERT_EQ(restored.size(), cleared ? 2u : 1u);
    const std::string second = "applied /etc/config/dali/" + std::string(config) + "2.bin";
    EXPECT_EQ(restored.back().detail.rfind(second, 0), 0u) << restored.back().detail;
    EXPECT_EQ(devices().empty(), cleared);
  }
}

// A gear file missing from the fetched archive: the rows go into an empty
// gear file, which still carries its true length and is taken.
TEST_F(SetupChannelTest, GearFileMissingFromTheArchive) {
  ASSERT_TRUE(sim().set_fault("backup-no-file"));
  const Channels one = {1};
  const Paths paths = {csv("c.csv", kChannelCsv)};
  ConsoleCapture capture;
  EXPECT_EQ(setup_channel(ip(), &one, &paths, nullptr, nullptr), 0);
  EXPECT_NE(capture.out().find("FILE=" + paths[0] +
                               "\nbackup\terror '/etc/config/dali/dali1.bin' file not found.\r\n"),
            std::string::npos)
      << capture.out();
  const auto restored = events_of("restore");
  ASSERT_EQ(restored.size(), 1u);
  EXPECT_TRUE(restored[0].ok) << restored[0].detail;
  const korvan::GearFileInfo info = gear("dali1");
  EXPECT_EQ(info.length, 7072u);
  EXPECT_EQ(info.entries[3].name, "Desk lamp");
  EXPECT_EQ(info.entries[0].name, "");
}

TEST_F(SetupChannelTest, TokenizerErrorEndsTheRun) {
  const Channels channels = {1, 2};
  const std::string big = csv("big.csv", "#dali-channel-csv-version: 1\r\n1,3,7," +
                                             std::string(1000, 'x') + ",[],1,1,1,1,1,1,[]\r\n");
  const Paths paths = {big, big};
  ConsoleCapture capture;
  EXPECT_EQ(setup_channel(ip(), &channels, &paths, nullptr, nullptr, {test::refuse_large_blocks}),
            ACTION_ABORTED);
  EXPECT_EQ(capture.err(),
            "Error while parsing file: memory exhausted while increasing buffer size\n");
  EXPECT_EQ(fetched(), Paths{"dali1"});
  EXPECT_TRUE(events_of("upload").empty());
}

// The real binary: a cell larger than the memory the tool may have stops
// the tokenizer, and the run ends with exit status 1 at once, nothing sent.
TEST_F(SetupChannelTest, TheToolEndsWithExitStatus1) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the sanitizers need more address space than the limit leaves";
#endif
  const std::string path = dir_.file("huge.csv");
  test::write_huge_cell_csv(path);
  std::string out;
  const int status =
      test::run_command("ulimit -v 100000; timeout 60 " + std::string(TORVI_CLI_PATH) +
                            " --action setup_channel --ip " + ip_ +
                            " --channel '[1]' --channelcsvfile '[\"" + path + "\"]' 2>&1",
                        &out);
  EXPECT_EQ(status, 1) << out;
  EXPECT_NE(out.find("Error while parsing file: memory exhausted while increasing buffer size\n"),
            std::string::npos)
      << out.substr(0, 2000);
  EXPECT_EQ(fetched(), Paths{"dali1"});
  EXPECT_TRUE(events_of("upload").empty());
}

}  // namespace
}  // namespace torvi
