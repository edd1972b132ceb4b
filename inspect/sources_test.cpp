// show, diff, export-csv and check-csv on backups made by hand: each finds
// channel files and members as put_backup restores them, names whatever a
// restore would do otherwise than it looks, and compares every byte a
// restore would send.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>

#include "backup/backup_zip.h"
#include "channel/channel_view.h"
#include "inspect/inspect_test_support.h"
#include "sim/config_files.h"
#include "tar/tar_stream.h"

namespace torvi::inspect {
namespace {

using test::run_inspect;
using torvi::test::make_tar;
using Bytes = std::vector<std::uint8_t>;

Bytes config(const char* name, const char* firmware = "2.2.4") {
  return korvan::make_config_file(*korvan::find_config_by_name(name), firmware);
}

const Bytes kStatus = torvi::test::bytes_of(
    "{\"model_name\":\"KORVAN-4\",\"firmware_version\":\"2.2.4\",\"serial_number\":\"K4-1\","
    "\"mac\":\"00:11:22:33:44:55\"}\n");

// A configuration archive as the controller sends it: the file and its status.
Bytes entry_tar(const std::string& member, const Bytes& file) {
  return make_tar({{member, file}, {"status.txt", kStatus}});
}

// A ZIP backup with the entries in order. libzip will not write one name
// twice, so a repeated name is written under a stand-in of its length and
// put back in the archive's bytes.
void write_zip(const std::string& path, const std::vector<std::pair<std::string, Bytes>>& entries) {
  std::map<std::string, int> seen;
  std::vector<std::pair<std::string, std::string>> renames;
  backup_zip zip;
  ASSERT_EQ(backup_zip_open(zip, path), 0);
  for (const auto& [name, bytes] : entries) {
    std::string stored = name;
    if (seen[name]++) {
      stored = std::string(1, static_cast<char>('Q' + seen[name])) + name.substr(1);
      renames.emplace_back(stored, name);
    }
    ASSERT_EQ(backup_zip_add(zip, stored, bytes), 0) << zip.error;
  }
  ASSERT_EQ(backup_zip_close(zip), 0) << zip.error;
  Bytes archive = torvi::test::read_file(path);
  for (const auto& [from, to] : renames) {
    for (auto at = std::search(archive.begin(), archive.end(), from.begin(), from.end());
         at != archive.end(); at = std::search(at, archive.end(), from.begin(), from.end())) {
      at = std::copy(to.begin(), to.end(), at);
    }
  }
  torvi::test::write_file(path, archive);
}

// A gear file whose entry 0 is named with `name` (all its bytes).
Bytes named_gear(const std::string& name) {
  Bytes gear = config("dali1");
  const channel_view view = channel_view_of(channel_file_kind::gear, gear);
  const auto field =
      field_bytes(view, gear_entry_region, 0, *find_field(gear_entry_region, "name"));
  const auto at = gear.begin() + (field.data() - gear.data());
  std::fill_n(at, field.size(), 0);
  std::copy(name.begin(), name.end(), at);
  korvan::seal_config_header(gear, view.layout);
  return gear;
}

class HandMadeBackups : public ::testing::Test {
 protected:
  void SetUp() override {
    const Bytes dali1 = config("dali1"), cd1 = config("cd1");
    Bytes other = dali1;
    other[200] ^= 0x55;
    korvan::seal_config_header(other, 3);
    const std::string dali1_member = "/etc/config/dali/dali1.bin";
    write_zip(file("good.zip"),
              {{"systemconfig.tar",
                entry_tar("/etc/config/system/systemconfig.bin", config("systemconfig"))},
               {"dali1.tar", entry_tar(dali1_member, dali1)},
               {"cd1.tar", entry_tar("/etc/config/dali/cd1.bin", cd1)}});
    write_zip(file("other.zip"), {{"dali1.tar", entry_tar(dali1_member, other)}});
    write_zip(file("first.zip"), {{"dali1.tar", entry_tar(dali1_member, dali1)}});
    write_zip(file("twice.zip"), {{"dali1.tar", entry_tar(dali1_member, dali1)},
                                  {"dali1.tar", entry_tar(dali1_member, other)}});
    write_zip(file("noslash.zip"), {{"dali1.tar", entry_tar("etc/config/dali/dali1.bin", dali1)}});
    write_zip(file("stray.zip"), {{"dali1.tar", entry_tar(dali1_member, dali1)},
                                  {"notes.txt", torvi::test::bytes_of("hello")}});
    write_zip(file("empty.zip"), {{"dali1.tar", entry_tar(dali1_member, {})}});
    write_zip(file("sys1.zip"), {{"systemconfig.tar", torvi::test::bytes_of("not a tar, one")}});
    write_zip(file("sys2.zip"), {{"systemconfig.tar", torvi::test::bytes_of("not a tar, two")}});
    torvi::test::write_file(
        file("twice.tar"),
        make_tar({{dali1_member, dali1}, {dali1_member, other}, {"status.txt", kStatus}}));
    torvi::test::write_file(file("last.tar"), entry_tar(dali1_member, other));
    torvi::test::write_file(file("noslash.tar"), entry_tar("etc/config/dali/dali1.bin", dali1));
    torvi::test::write_file(file("a/dali1.bin"), named_gear("Lamp"));
    torvi::test::write_file(file("b/dali1.bin"), named_gear(std::string("Lamp\0EVIL-TAIL", 14)));
    torvi::test::write_file(file("cd1.bin"), cd1);
    // Layout-1 device files are carried, not read: every byte is compared by offset.
    Bytes carried = config("cd1", "1.3.0");
    torvi::test::write_file(file("a/cd1.bin"), carried);
    carried[5000] ^= 1;
    torvi::test::write_file(file("b/cd1.bin"), carried);
  }
  std::string file(const std::string& name) {
    const std::string path = dir_.file(name);
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    return path;
  }
  torvi::test::TempDir dir_;
};

TEST_F(HandMadeBackups, EachCommandFindsWhatPutBackupRestores) {
  const std::string none_of_1 = "holds no gear or device file of channel 1\n";
  const struct {
    std::vector<std::string> args;  // files are names in the test's folder
    int status;
    std::string out;  // a line the output holds; empty for none
    std::string err;  // the end of standard error; empty when it is empty
  } cases[] = {
      {{"show", "good.zip"}, EXIT_GOOD, "problems: -\n", ""},
      {{"show", "twice.zip"},
       EXIT_PROBLEM,
       "dali1.tar  -       entry named more than once: put_backup restores each in turn, the "
       "last one stays\n",
       ""},
      {{"show", "noslash.zip"},
       EXIT_PROBLEM,
       "dali1.tar  /etc/config/dali/dali1.bin  not in the entry's archive: put_backup restores "
       "nothing from it\n",
       ""},
      {{"show", "noslash.zip"},
       EXIT_PROBLEM,
       "dali1.tar  etc/config/dali/dali1.bin   not restored: put_backup takes only "
       "'/etc/config/dali/dali1.bin' from this entry\n",
       ""},
      {{"show", "stray.zip"},
       EXIT_PROBLEM,
       "notes.txt  -       not an entry put_backup restores: skipped\n",
       ""},
      {{"show", "empty.zip"}, EXIT_PROBLEM, "empty: put_backup does not restore it\n", ""},
      {{"show", "twice.tar"},
       EXIT_PROBLEM,
       "/etc/config/dali/dali1.bin  named more than once: the controller keeps the last\n",
       ""},
      {{"show", "noslash.tar"},
       EXIT_PROBLEM,
       "etc/config/dali/dali1.bin  not a configuration file of the controller: not restored\n",
       ""},
      {{"export-csv", "--channel", "1", "--out", "out", "noslash.zip"},
       EXIT_PROBLEM,
       "",
       "noslash.zip: " + none_of_1},
      {{"check-csv", "--kind", "groups", "--against", "noslash.tar", "--channel", "1", "cd1.bin"},
       EXIT_PROBLEM,
       "",
       "noslash.tar: " + none_of_1},
      // diff compares what a restore leaves: the last of a name.
      {{"diff", "twice.zip", "first.zip"}, EXIT_PROBLEM, "differ: yes\n", ""},
      {{"diff", "twice.zip", "other.zip"},
       EXIT_PROBLEM,
       "  A     dali1.tar  -       entry named more than once",
       ""},
      {{"diff", "--json", "twice.zip", "other.zip"}, EXIT_PROBLEM, "\"differ\": false", ""},
      {{"diff", "twice.tar", "last.tar"}, EXIT_PROBLEM, "differ: no\n", ""},
      {{"diff", "noslash.zip", "first.zip"},
       EXIT_PROBLEM,
       "  1        gear  -  dali1.tar:/etc/config/dali/dali1.bin  only in B\n",
       ""},
      {{"diff", "sys1.zip", "sys2.zip"}, EXIT_PROBLEM, "systemconfig.tar:  differs\n", ""},
      {{"diff", "sys1.zip", "sys1.zip"}, EXIT_GOOD, "differ: no\n", ""},
      {{"diff", "good.zip", "good.zip"}, EXIT_GOOD, "differ: no\n", ""},
      // A bare file meets the backup's file of its channel and kind.
      {{"diff", "good.zip", "cd1.bin"}, EXIT_GOOD, "differ: no\n", ""},
      {{"diff", "good.zip", "a/dali1.bin"}, EXIT_PROBLEM, "differ: yes\n", ""},
      {{"diff", "--json", "a/dali1.bin", "b/dali1.bin"},
       EXIT_PROBLEM,
       "\"field\": \"name\",\n          \"from\": \"Lamp\",\n          \"to\": "
       "\"Lamp\\u0000EVIL-TAIL\"",
       ""},
      {{"diff", "--json", "a/cd1.bin", "b/cd1.bin"},
       EXIT_PROBLEM,
       "\"record\": \"file\",\n          \"index\": null,\n          \"field\": "
       "\"other_bytes\",\n          \"from\": [81],\n          \"to\": [80],\n          "
       "\"offsets\": [5000]\n",
       ""},
      {{"diff", "a/dali1.bin", "cd1.bin"},
       EXIT_USAGE,
       "",
       "a/dali1.bin' is a gear file and '" + dir_.file("cd1.bin") +
           "' a device file: they cannot be compared\nTry 'torvi-inspect diff --help'.\n"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args = c.args;
    for (std::string& a : args) {
      if (a.find('.') != std::string::npos || a == "out") a = dir_.file(a);
    }
    SCOPED_TRACE(args.front() + " " + c.args.back());
    const auto run = run_inspect(args);
    EXPECT_EQ(run.status, c.status) << run.out << run.err;
    EXPECT_NE(run.out.find(c.out), std::string::npos) << run.out;
    if (c.err.empty()) {
      EXPECT_EQ(run.err, "");
    } else {
      EXPECT_TRUE(run.err.ends_with(c.err)) << run.err;
    }
  }
}

// A few hundred KiB of ZIP that unpacks to gigabytes is refused with a
// message, never held: the real binary under a memory limit.
TEST_F(HandMadeBackups, BackupsThatUnpackTooLargeAreRefused) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the sanitizers need more address space than the limit leaves";
#endif
  const Bytes zeros(60u << 20, 0);
  const Bytes tar = make_tar({{"/etc/config/dali/dali1.bin", zeros}});
  std::vector<std::pair<std::string, Bytes>> entries;
  for (const char* name : {"dali1.tar", "dali2.tar", "dali3.tar", "dali4.tar", "cd1.tar"}) {
    entries.emplace_back(name, tar);
  }
  write_zip(file("bomb.zip"), entries);
  for (const char* command : {"show", "diff"}) {
    std::string out;
    const std::string path = dir_.file("bomb.zip");
    const int status = torvi::test::run_command(
        "ulimit -v 600000; " + std::string(TORVI_INSPECT_PATH) + " " + command + " " + path +
            (std::string(command) == "diff" ? " " + path : "") + " 2>&1",
        &out);
    EXPECT_EQ(status, EXIT_PROBLEM) << out;
    EXPECT_EQ(out, "torvi-inspect: " + path +
                       ": unpacks to more than 256 MiB: too large to be a backup\n");
  }
}

}  // namespace
}  // namespace torvi::inspect
