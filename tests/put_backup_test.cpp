// put_backup against korvan-sim: whole backups across firmware generations,
// the entry rules, the single-tar path, and nothing sent after a failure.
#include <gtest/gtest.h>
#include <unistd.h>
#include <zip.h>

#include <ctime>
#include <filesystem>

#include "action/actions.h"
#include "sim/config_files.h"
#include "sim/sim_archive.h"
#include "sim_fixture.h"

namespace torvi {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;
using test::ConsoleCapture;

const std::string kDali1 = "/etc/config/dali/dali1.bin";

// Console lines of one configuration pushed and restored.
std::string pushed_lines(const std::string& ip, const std::string& member) {
  return "backup\tpush backup file '" + member + "'.\n" + test::backup_push_lines(ip) +
         "\033[32mbackup\tbackup push completed.\n\n\033[0m";
}

// What put_backup printed after the status query.
std::string after_status(const std::string& out) {
  const std::string mark = "model_name=KORVAN-4\r\n";
  const std::size_t at = out.find(mark);
  return at == std::string::npos ? "(no model name line) " + out : out.substr(at + mark.size());
}

struct ZipItem {
  std::string name;
  Bytes data;
  bool directory = false;  // marked as a directory in its attributes, whatever its name
};

void write_zip(const std::string& path, const std::vector<ZipItem>& items) {
  if (items.empty()) {
    // libzip writes no file for an archive without entries.
    test::write_file(path,
                     Bytes{'P', 'K', 5, 6, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
    return;
  }
  int error = 0;
  zip_t* z = zip_open(path.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &error);
  ASSERT_NE(z, nullptr);
  for (const ZipItem& item : items) {
    zip_source_t* s = zip_source_buffer(z, item.data.data(), item.data.size(), 0);
    const zip_int64_t index = zip_file_add(z, item.name.c_str(), s, ZIP_FL_ENC_RAW);
    ASSERT_GE(index, 0) << item.name;
    if (item.directory) {
      zip_file_set_external_attributes(z, static_cast<zip_uint64_t>(index), 0, ZIP_OPSYS_UNIX,
                                       (040755u << 16) | 0x10);
    }
  }
  ASSERT_EQ(zip_close(z), 0);
}

// What a restore must carry over, as the controller decodes it: one row a
// group, gear entry or device.
std::vector<std::string> summary(const korvan::GearFileInfo& gear) {
  std::vector<std::string> rows(gear.group_names.begin(), gear.group_names.end());
  for (const auto& e : gear.entries) {
    rows.push_back(testing::PrintToString(
        std::make_tuple(e.name, e.flags, e.address, e.groups, e.scenes, e.levels, e.fade_rate,
                        e.fade_time, e.device_type, e.configured_type)));
  }
  return rows;
}
std::vector<std::string> summary(const korvan::DeviceFileInfo& file) {
  std::vector<std::string> rows;
  for (const auto& d : file.devices) {
    std::string row =
        testing::PrintToString(std::make_tuple(d.name, d.address, d.push_button_value));
    for (const auto& i : d.instances)
      row += testing::PrintToString(std::make_tuple(i.type, i.record));
    rows.push_back(row);
  }
  return rows;
}

class PutBackupTest : public test::SimTest {
 protected:
  // A ZIP backup of `source` as get_backup writes it.
  std::string backup_of(korvan::Simulator& source) {
    test::TempDir out;
    ConsoleCapture capture;
    EXPECT_EQ(get_backup(source.ip().c_str(), out.path().c_str(), "zip", nullptr), 0);
    std::string zip;
    for (const auto& e : fs::directory_iterator(out.path())) zip = e.path().string();
    const std::string kept = dir_.file("backup-" + std::to_string(++backups_) + ".zip");
    fs::copy_file(zip, kept);
    return kept;
  }

  // One configuration's tar as the controller hands it out.
  Bytes archive_of(const std::string& member, const Bytes& file) {
    return korvan::archive_pack({{member, file, 0}, {"status.txt", test::bytes_of("{}"), 0}});
  }

  // The members of each upload, in order.
  std::vector<std::vector<korvan::ArchiveMember>> uploads() {
    std::vector<std::vector<korvan::ArchiveMember>> all;
    for (const auto& e : events_of("upload")) {
      std::vector<korvan::ArchiveMember> members;
      std::string why;
      EXPECT_TRUE(korvan::archive_unpack(e.data, members, &why)) << why;
      all.push_back(members);
    }
    return all;
  }

  test::TempDir dir_;
  int backups_ = 0;
};

// A backup of the same controller goes back entry by entry, each in a tar
// of its own, and the controller takes every file.
TEST_F(PutBackupTest, WholeBackupInArchiveOrder) {
  const std::string zip = backup_of(sim());
  sim().clear_events();
  const std::uint32_t before = static_cast<std::uint32_t>(std::time(nullptr));
  ConsoleCapture capture;
  ASSERT_EQ(put_backup(ip(), zip.c_str()), 0);
  const std::uint32_t after = static_cast<std::uint32_t>(std::time(nullptr));

  std::string expected;
  const auto configs = korvan::config_names();  // in the order get_backup stores them
  for (const auto& config : configs) expected += pushed_lines(ip_, config.path);
  EXPECT_EQ(after_status(capture.out()), expected);

  // Status first, then for every entry one upload and one restore request.
  std::vector<std::string> order;
  for (const auto& e : sim().events()) {
    if (e.kind == "http" || e.kind == "upload") order.push_back(e.kind + " " + e.detail);
  }
  ASSERT_EQ(order.size(), 1 + 2 * configs.size());
  EXPECT_EQ(order[0], "http /api/v100/status.ssi");
  const auto restores = events_of("restore");
  ASSERT_EQ(restores.size(), configs.size());
  const auto sent = uploads();
  for (std::size_t i = 0; i < configs.size(); ++i) {
    const std::string member = configs[i].path;
    SCOPED_TRACE(member);
    EXPECT_EQ(order[1 + 2 * i].rfind("upload flashraw.bin ", 0), 0u);
    EXPECT_EQ(order[2 + 2 * i], "http /api/v100/status.ssi?action=restoreconfig");
    EXPECT_TRUE(restores[i].ok) << restores[i].detail;
    EXPECT_EQ(restores[i].detail.rfind("applied " + member, 0), 0u) << restores[i].detail;
    ASSERT_EQ(sent[i].size(), 1u);  // the backup's status.txt is not carried over
    EXPECT_EQ(sent[i][0].name, member);
    EXPECT_GE(sent[i][0].mtime, before);
    EXPECT_LE(sent[i][0].mtime, after);
  }
}

// The restore tar as GNU tar sees it: one member at its controller path,
// mode 0664, owner 0, and 8704 bytes for a 7072-byte file.
TEST_F(PutBackupTest, RestoreTarAsGnuTarReadsIt) {
  if (!test::have_program("tar")) GTEST_SKIP() << "GNU tar is not installed";
  const Bytes v3 = sim().config_file("dali1");
  ASSERT_EQ(v3.size(), 7072u);
  const std::string zip = dir_.file("one.zip");
  write_zip(zip, {{"dali1.tar", archive_of(kDali1, v3)}});
  ConsoleCapture capture;
  ASSERT_EQ(put_backup(ip(), zip.c_str()), 0);
  const auto sent = events_of("upload");
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].data.size(), 8704u);
  test::write_file(dir_.file("restore.tar"), sent[0].data);
  std::string listing;
  ASSERT_EQ(test::run_command(
                "tar --numeric-owner -tvf " + dir_.file("restore.tar") + " 2>/dev/null", &listing),
            0);
  EXPECT_EQ(listing.rfind("-rw-rw-r-- 0/0 ", 0), 0u) << listing;
  EXPECT_NE(listing.find(" 7072 "), std::string::npos) << listing;
  EXPECT_EQ(listing.substr(listing.size() - kDali1.size() - 1), kDali1 + "\n") << listing;
  EXPECT_EQ(listing.find('\n'), listing.size() - 1) << "more than one member: " << listing;
  std::string data;
  test::run_command("tar -P -xOf " + dir_.file("restore.tar") + " " + kDali1, &data);
  EXPECT_EQ(data, std::string(v3.begin(), v3.end()));
}

// A backup taken on older firmware goes onto newer firmware: the channel
// files arrive converted, the controller takes each one, and every gear
// entry and input device reads the same through the controller's decoder.
TEST_F(PutBackupTest, RoundTripAcrossFirmwareGenerations) {
  const struct {
    const char* from;
    const char* to;
    std::uint32_t gear;    // layout version the target holds afterwards
    std::uint32_t device;  // likewise; 1: carried as stored
  } cases[] = {
      {"1.3.0", "1.3.1", 2, 1},
      {"1.3.0", "2.2.4", 3, 1},
      {"1.3.1", "2.2.4", 3, 3},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.from) + " to " + c.to);
    korvan::Simulator source({.firmware = c.from});
    std::string error;
    ASSERT_TRUE(source.start(&error)) << error;
    const std::string zip = backup_of(source);
    start_sim({.firmware = c.to});
    ConsoleCapture capture;
    ASSERT_EQ(put_backup(ip(), zip.c_str()), 0) << capture.out();
    for (const auto& e : events_of("restore")) EXPECT_TRUE(e.ok) << e.detail;
    ASSERT_EQ(events_of("restore").size(), korvan::config_names().size());

    for (unsigned ch = 1; ch <= 4; ++ch) {
      const std::string dali = "dali" + std::to_string(ch), cd = "cd" + std::to_string(ch);
      korvan::GearFileInfo old_gear, new_gear;
      ASSERT_TRUE(korvan::decode_gear_file(source.config_file(dali), old_gear, &error)) << error;
      ASSERT_TRUE(korvan::decode_gear_file(sim().config_file(dali), new_gear, &error)) << error;
      EXPECT_EQ(new_gear.version, c.gear);
      EXPECT_EQ(new_gear.counter, old_gear.counter + (new_gear.version != old_gear.version));
      EXPECT_EQ(summary(new_gear), summary(old_gear)) << dali;
      const Bytes old_cd = source.config_file(cd), new_cd = sim().config_file(cd);
      if (c.device == 1) {
        EXPECT_EQ(new_cd, old_cd) << cd;
        continue;
      }
      korvan::DeviceFileInfo old_devices, new_devices;
      ASSERT_TRUE(korvan::decode_device_file(old_cd, old_devices, &error)) << error;
      ASSERT_TRUE(korvan::decode_device_file(new_cd, new_devices, &error)) << error;
      EXPECT_EQ(new_devices.version, c.device);
      EXPECT_EQ(new_devices.counter, old_devices.counter + 1);
      EXPECT_EQ(summary(new_devices), summary(old_devices)) << cd;
    }
    // The opaque configurations arrive exactly as stored.
    EXPECT_EQ(sim().config_file("schedules"), source.config_file("schedules"));
    source.stop();
  }
}

// A channel file newer than the target's layout is refused before anything
// is sent for it; the other entries still go.
TEST_F(PutBackupTest, NewerLayoutIsRefusedAndNotSent) {
  const struct {
    const char* made_on;
    const char* target;
    std::string message;
  } cases[] = {
      {"1.3.1", "1.3.0", "CONFIGURATION dali CONVERSION VERSION 2 to 1 IS NOT SUPPORTED!"},
      {"2.2.4", "1.3.1", "CONFIGURATION dali CONVERSION VERSION 3 to 2 IS NOT SUPPORTED!"},
  };
  const std::string rlc = "/etc/config/rlc/rlc.bin";
  for (const auto& c : cases) {
    SCOPED_TRACE(c.target);
    const Bytes gear = korvan::make_config_file(*korvan::find_config_by_name("dali1"), c.made_on);
    const std::string zip = dir_.file(std::string("newer-") + c.target + ".zip");
    write_zip(zip, {{"dali1.tar", archive_of(kDali1, gear)},
                    {"rlc.tar", archive_of(rlc, test::bytes_of("rules"))}});
    start_sim({.firmware = c.target});
    ConsoleCapture capture;
    // The last entry that reached the conversion decides the result.
    EXPECT_EQ(put_backup(ip(), zip.c_str()), 0);
    EXPECT_EQ(after_status(capture.out()),
              c.message + "backup\tpush backup file '" + kDali1 + "'.\n" + pushed_lines(ip_, rlc));
    const auto sent = uploads();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].at(0).name, rlc);
  }
  // A refused last entry leaves its code as the result.
  const std::string zip = dir_.file("refused-last.zip");
  write_zip(zip, {{"dali1.tar",
                   archive_of(kDali1, korvan::make_config_file(
                                          *korvan::find_config_by_name("dali1"), "2.2.4"))}});
  sim().clear_events();
  ConsoleCapture capture;
  EXPECT_EQ(put_backup(ip(), zip.c_str()), 2);
  EXPECT_TRUE(events_of("upload").empty());
}

// Which entries of an archive are taken, and what is said of the others.
TEST_F(PutBackupTest, EntryRules) {
  const Bytes gear = sim().config_file("dali1");
  Bytes cut = archive_of(kDali1, gear);
  cut.resize(512 + 3000);
  const std::string missing = "action_put_backup\terror '" + kDali1 + "' file not found.\r\n";
  const struct {
    const char* what;
    std::vector<ZipItem> items;
    std::string out;  // after the status lines
    int uploads;
  } cases[] = {
      {"unknown name beside dali1.tar",
       {{"notes.txt", test::bytes_of("taken on site")}, {"dali1.tar", archive_of(kDali1, gear)}},
       pushed_lines(ip_, kDali1),
       1},
      {"capital letters", {{"DALI1.TAR", archive_of(kDali1, gear)}}, "", 0},
      {"in a folder", {{"backup/dali1.tar", archive_of(kDali1, gear)}}, "", 0},
      {"stored with a backslash", {{"backup\\dali1.tar", archive_of(kDali1, gear)}}, "", 0},
      {"directory entry", {{"dali1.tar", archive_of(kDali1, gear), true}}, "", 0},
      {"folder named like an entry", {{"dali1.tar/", {}}}, "", 0},
      {"empty entry", {{"dali1.tar", {}}}, "", 0},
      {"member missing",
       {{"dali1.tar", archive_of("/etc/config/dali/dali2.bin", gear)}},
       missing,
       0},
      {"not a tar", {{"dali1.tar", test::bytes_of(std::string(1500, 'x'))}}, missing, 0},
      {"empty member",
       {{"dali1.tar", archive_of(kDali1, {})}},
       "action_put_backup\terror '" + kDali1 + "' file size error\r\n",
       0},
      {"member cut short",
       {{"dali1.tar", cut}},
       "action_put_backup\terror reading '" + kDali1 + "'\r\n",
       0},
      {"no entries at all", {}, "", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string zip = dir_.file("rules.zip");
    write_zip(zip, c.items);
    sim().clear_events();
    ConsoleCapture capture;
    EXPECT_EQ(put_backup(ip(), zip.c_str()), 0);
    EXPECT_EQ(after_status(capture.out()), c.out);
    EXPECT_EQ(events_of("upload").size(), static_cast<std::size_t>(c.uploads));
  }
}

// A single tar is pushed byte for byte; anything that is neither a ZIP nor
// a tar is refused with the tar reader's code, a tar over 64 MiB by its
// size, and nothing is sent.
TEST_F(PutBackupTest, SingleTarFile) {
  const Bytes tar = sim().backup_archive("rlc");
  test::write_file(dir_.file("rlc.tar"), tar);
  test::write_file(dir_.file("long.txt"), std::string(600, 'x'));
  test::write_file(dir_.file("short.txt"), std::string("hello\n"));
  test::write_file(dir_.file("empty"), std::string());
  // A valid tar header, then holes up to one byte past the bound.
  test::write_file(dir_.file("huge.tar"), tar);
  ASSERT_EQ(truncate(dir_.file("huge.tar").c_str(), 67108865), 0);
  const struct {
    std::string path;
    std::string out;
  } cases[] = {
      {dir_.file("rlc.tar"), test::backup_push_lines(ip_) + "OK\n"},
      {dir_.file("absent.zip"), "Error -2 opening tar file."},
      {dir_.file("long.txt"), "Error -6 opening tar file."},
      {dir_.file("short.txt"), "Error -3 opening tar file."},
      {dir_.file("empty"), "Error -3 opening tar file."},
      {dir_.file("huge.tar"), "action_put_backup\terror '" + dir_.file("huge.tar") +
                                  "' is larger than 67108864 bytes, nothing sent.\r\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    sim().clear_events();
    ConsoleCapture capture;
    EXPECT_EQ(put_backup(ip(), c.path.c_str()), 0);
    EXPECT_EQ(after_status(capture.out()), c.out);
    const auto sent = events_of("upload");
    if (c.out.find("OK") == std::string::npos) {
      EXPECT_TRUE(sent.empty());
    } else {
      ASSERT_EQ(sent.size(), 1u);
      EXPECT_EQ(sent[0].data, tar);
    }
  }
}

// Nothing is sent when an argument is missing, and a failed upload never
// sends its restore request while the next entry still goes.
TEST_F(PutBackupTest, NothingSentAfterAFailure) {
  const std::string zip = dir_.file("two.zip");
  write_zip(zip, {{"dali1.tar", archive_of(kDali1, sim().config_file("dali1"))},
                  {"rlc.tar", archive_of("/etc/config/rlc/rlc.bin", test::bytes_of("r"))}});
  for (const char* args : {"no ip", "no backup"}) {
    sim().clear_events();
    ConsoleCapture capture;
    const bool no_ip = std::string(args) == "no ip";
    EXPECT_EQ(put_backup(no_ip ? nullptr : ip(), no_ip ? zip.c_str() : nullptr), 2);
    EXPECT_EQ(capture.out(), "Missing arguments for action put_backup.");
    EXPECT_TRUE(sim().events().empty()) << args;
  }
  sim().clear_faults();
  sim().clear_events();
  ASSERT_TRUE(sim().set_fault("tftp-error"));
  ConsoleCapture capture;
  EXPECT_EQ(put_backup(ip(), zip.c_str()), 0);
  EXPECT_EQ(http_requests(), std::vector<std::string>{"/api/v100/status.ssi"});
  const std::string out = capture.out();
  EXPECT_NE(out.find("push backup file '" + kDali1 + "'"), std::string::npos);
  EXPECT_NE(out.find("push backup file '/etc/config/rlc/rlc.bin'"), std::string::npos);
  EXPECT_EQ(out.find("backup file pushed"), std::string::npos);
  EXPECT_EQ(out.find("backup push completed"), std::string::npos);
}

}  // namespace
}  // namespace torvi
