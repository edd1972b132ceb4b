// show on what get_backup really produces against korvan-sim, checked
// against the simulator's own reading of its files. (diff after setup_channel
// is export-csv's and check-csv's business against the simulator.)
#include <gtest/gtest.h>

#include <filesystem>

#include "action/actions.h"
#include "inspect/channel_report.h"
#include "inspect/inspect_test_support.h"
#include "inspect/sources.h"
#include "sim/config_files.h"
#include "sim_fixture.h"

namespace torvi::inspect {
namespace {

namespace fs = std::filesystem;
using test::backup_into;
using test::run_inspect;

using InspectSim = torvi::test::SimTest;

std::vector<std::int64_t> numbers(const node* list) {
  std::vector<std::int64_t> out;
  for (const node& n : list->items) out.push_back(n.number);
  return out;
}

const node* record_at(const node& list, unsigned index) {
  for (const node& r : list.items) {
    if (r.find("index")->number == index) return &r;
  }
  return nullptr;
}

// Everything show decodes from a gear file matches what the controller reads.
void expect_gear_agrees(const node& shown, const korvan::GearFileInfo& info) {
  EXPECT_EQ(shown.find("header")->find("layout_version")->number, info.version);
  EXPECT_EQ(shown.find("channel_value")->number, info.channel_value);
  for (const auto& e : info.entries) {
    const node* r = record_at(*shown.find("gear"), e.index);
    if ((e.flags & 1) == 0 && e.name.empty()) {
      EXPECT_EQ(r, nullptr) << e.index;
      continue;
    }
    ASSERT_NE(r, nullptr) << e.index;
    EXPECT_EQ(r->find("name")->text, e.name);
    EXPECT_EQ(r->find("flags")->number, e.flags);
    EXPECT_EQ(r->find("short_address")->number, (e.address - 1) / 2);
    std::vector<std::int64_t> groups;
    for (unsigned g = 0; g < 16; ++g) {
      if (e.groups & (1u << g)) groups.push_back(g);
    }
    EXPECT_EQ(numbers(r->find("groups")), groups);
    EXPECT_EQ(numbers(r->find("scenes")),
              std::vector<std::int64_t>(e.scenes.begin(), e.scenes.end()));
    const std::int64_t levels[] = {r->find("level_1")->number, r->find("level_2")->number,
                                   r->find("level_3")->number, r->find("level_4")->number};
    EXPECT_TRUE(std::equal(e.levels.begin(), e.levels.end(), levels));
    EXPECT_EQ(r->find("fade_rate")->number, e.fade_rate);
    EXPECT_EQ(r->find("fade_time")->number, e.fade_time);
    EXPECT_EQ(r->find("device_type")->number, e.device_type);
  }
  for (unsigned g = 0; g < 16; ++g) {
    const node* r = record_at(*shown.find("groups"), g);
    EXPECT_EQ(r ? r->find("name")->text : "", info.group_names[g]) << g;
  }
}

void expect_devices_agree(const node& shown, const korvan::DeviceFileInfo& info) {
  EXPECT_EQ(shown.find("header")->find("layout_version")->number, info.version);
  for (const auto& d : info.devices) {
    const node* r = record_at(*shown.find("devices"), d.index);
    if (!r) {
      EXPECT_TRUE(d.name.empty() && (d.flags & 1) == 0 && d.instance_count == 0) << d.index;
      continue;
    }
    EXPECT_EQ(r->find("name")->text, d.name);
    EXPECT_EQ(r->find("flags")->number, d.flags);
    EXPECT_EQ(r->find("address_byte")->number, d.address);
    EXPECT_EQ(r->find("push_button_value")->number, d.push_button_value);
    const node& instances = *r->find("instances");
    ASSERT_GE(instances.items.size(), d.instances.size());
    for (std::size_t j = 0; j < d.instances.size(); ++j) {
      const node& i = instances.items[j];
      EXPECT_EQ(i.find("type")->number, d.instances[j].type);
      EXPECT_EQ(i.find("value")->number, d.instances[j].value);
      const node* record = i.find("record");
      EXPECT_EQ(
          record->kind == node::type::null ? std::vector<std::int64_t>{} : numbers(record),
          std::vector<std::int64_t>(d.instances[j].record.begin(), d.instances[j].record.end()))
          << d.index << "/" << j;
    }
  }
}

TEST_F(InspectSim, ShowReadsBackupsOfEveryLayoutAsTheControllerDoes) {
  const struct {
    const char* firmware;
    std::uint32_t gear_layout;
    bool devices_read;  // layout-1 device files are carried, not read
  } cases[] = {{"1.3.0", 1, false}, {"1.3.1", 2, true}, {"2.2.4", 3, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.firmware);
    korvan::SimOptions options;
    options.firmware = c.firmware;
    start_sim(options);
    torvi::test::TempDir dir;
    const std::string zip = backup_into(ip(), dir.file("b"));
    const auto run = run_inspect({"show", zip});
    EXPECT_EQ(run.status, EXIT_GOOD) << run.err;
    EXPECT_NE(run.out.find("  firmware version: " + std::string(c.firmware) + "\n"),
              std::string::npos);
    EXPECT_NE(run.out.find("      layout version: " + std::to_string(c.gear_layout) + "\n"),
              std::string::npos);

    source_file file;
    backup_contents contents;
    std::string error;
    ASSERT_TRUE(load_source(zip, file, error) && read_contents(file, contents, error)) << error;
    ASSERT_EQ(contents.files.size(), 8u);
    for (const found_channel_file& f : contents.files) {
      SCOPED_TRACE(f.member);
      const node shown = channel_file_node(channel_view_of(f.kind, f.bytes));
      if (f.kind == channel_file_kind::gear) {
        korvan::GearFileInfo info;
        ASSERT_TRUE(korvan::decode_gear_file(f.bytes, info, &error)) << error;
        expect_gear_agrees(shown, info);
      } else if (c.devices_read) {
        korvan::DeviceFileInfo info;
        ASSERT_TRUE(korvan::decode_device_file(f.bytes, info, &error)) << error;
        expect_devices_agree(shown, info);
      } else {
        EXPECT_NE(shown.find("note"), nullptr);
      }
      EXPECT_TRUE(shown.find("header")->find("checksum_verifies")->flag);
    }
  }
}

TEST_F(InspectSim, ShowTarsBareFilesAndWhatItRefuses) {
  torvi::test::TempDir dir;
  const std::string tar = dir.file("dali2.tar");
  torvi::test::write_file(tar, sim().backup_archive("dali2"));
  const std::vector<std::uint8_t> gear = sim().config_file("dali2");
  torvi::test::write_file(dir.file("dali2.bin"), gear);
  std::vector<std::uint8_t> flipped = gear;
  flipped[100] ^= 1;
  fs::create_directories(dir.file("flipped"));
  fs::create_directories(dir.file("short"));
  torvi::test::write_file(dir.file("flipped/dali2.bin"), flipped);
  torvi::test::write_file(dir.file("short/dali2.bin"),
                          std::vector<std::uint8_t>(gear.begin(), gear.end() - 1));
  // Too short for any entry: every field is missing, none is read.
  fs::create_directories(dir.file("tiny"));
  torvi::test::write_file(dir.file("tiny/dali2.bin"),
                          std::vector<std::uint8_t>(gear.begin(), gear.begin() + 40));
  torvi::test::write_file(dir.file("notes.txt"), std::string("hello"));

  const std::string none = "not a backup, configuration archive, channel file or firmware file";
  const struct {
    std::vector<std::string> args;
    int status;
    std::string in_out;
    std::string err;
  } cases[] = {
      {{"show", tar},
       EXIT_GOOD,
       "  member                      size  problem\n  "
       "/etc/config/dali/dali2.bin  7072  -\n",
       ""},
      {{"show", dir.file("dali2.bin")},
       EXIT_GOOD,
       "kind: gear file\nchannel: 2\nheader:\n  size: 7072\n",
       ""},
      {{"show", dir.file("flipped/dali2.bin")}, EXIT_PROBLEM, "  checksum verifies: no\n", ""},
      {{"show", dir.file("short/dali2.bin")}, EXIT_PROBLEM, "  length matches size: no\n", ""},
      {{"show", dir.file("tiny/dali2.bin")}, EXIT_PROBLEM, "  size: 40\n", ""},
      {{"show", dir.file("notes.txt")},
       EXIT_PROBLEM,
       "",
       "torvi-inspect: " + dir.file("notes.txt") + ": " + none + "\n"},
      {{"show", dir.file("absent.zip")},
       EXIT_PROBLEM,
       "",
       "torvi-inspect: " + dir.file("absent.zip") + ": No such file or directory\n"},
      {{"show"},
       EXIT_USAGE,
       "",
       "torvi-inspect show: one FILE is needed\nTry 'torvi-inspect show --help'.\n"},
      {{"show", "--bogus", tar},
       EXIT_USAGE,
       "",
       "torvi-inspect show: unknown option '--bogus'\nTry 'torvi-inspect show --help'.\n"},
      {{"frobnicate"},
       EXIT_USAGE,
       "",
       "torvi-inspect: unknown command 'frobnicate'\nTry 'torvi-inspect --help'.\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args.back());
    const auto run = run_inspect(c.args);
    EXPECT_EQ(run.status, c.status);
    EXPECT_NE(run.out.find(c.in_out), std::string::npos) << run.out;
    EXPECT_EQ(run.err, c.err);
  }
}

}  // namespace
}  // namespace torvi::inspect
