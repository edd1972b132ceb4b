// get_backup against korvan-sim: the ZIP and directory forms, lists, faults,
// and the files it could not write.
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>

#include "action/actions.h"
#include "backup/backup_zip.h"
#include "sim_fixture.h"

namespace torvi {
namespace {

namespace fs = std::filesystem;
using test::ConsoleCapture;

const std::vector<std::string> kDefault = {
    "systemconfig", "schedules", "rlc",    "dali1",  "dali2",   "dali3",
    "dali4",        "cd1",       "cd2",    "cd3",    "cd4",     "system_ui32",
    "dalv",         "daeu",      "daeutr", "daeutc", "dacdlcm", "dacdlcr"};
const std::string kOk =
    "\033[32mbackup\tbackup file OK, adding to backup archive...\r\n\r\n\033[0m";
const std::string kNotFound = "backup\tbackup file not found for action get_backup.\r\n\r\n";

std::vector<std::string> files_in(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

size_t count(const std::string& text, const std::string& line) {
  size_t n = 0;
  for (size_t p = 0; (p = text.find(line, p)) != std::string::npos; p += line.size()) ++n;
  return n;
}

// The entries of the one ZIP archive in `dir`, names and contents.
std::vector<std::pair<std::string, std::vector<std::uint8_t>>> zip_in(const std::string& dir) {
  std::vector<std::pair<std::string, std::vector<std::uint8_t>>> entries;
  const auto names = files_in(dir);
  backup_zip_reader z;
  EXPECT_EQ(names.size(), 1u);
  if (names.size() != 1 || backup_zip_open_read(z, dir + "/" + names[0]) != 0) return entries;
  for (std::uint64_t i = 0; i < backup_zip_count(z); ++i) {
    backup_zip_entry entry;
    std::vector<std::uint8_t> data;
    EXPECT_EQ(backup_zip_stat(z, i, entry) + backup_zip_read(z, i, data), 0);
    entries.emplace_back(entry.name, std::move(data));
  }
  return entries;
}

class GetBackupTest : public test::SimTest {
 protected:
  // The configurations the controller was asked for, in order.
  std::vector<std::string> requested() const {
    std::vector<std::string> names;
    const std::string prefix = "/api/v100/backup.ssi?config=";
    for (const auto& t : http_requests()) {
      if (t.starts_with(prefix)) names.push_back(t.substr(prefix.size()));
    }
    return names;
  }
  test::TempDir out_;
};

TEST_F(GetBackupTest, ZipHoldsEveryConfigurationByteForByte) {
  ConsoleCapture capture;
  ASSERT_EQ(get_backup(ip(), out_.path().c_str(), "zip", nullptr), 0);
  EXPECT_EQ(requested(), kDefault);
  const auto names = files_in(out_.path());
  ASSERT_EQ(names.size(), 1u);
  EXPECT_TRUE(std::regex_match(
      names[0], std::regex("backup_" + std::string(ip()) + "_KORVAN_[0-9]{8}_[0-9]{6}\\.zip")))
      << names[0];
  const auto entries = zip_in(out_.path());
  ASSERT_EQ(entries.size(), kDefault.size());
  for (size_t i = 0; i < kDefault.size(); ++i) {
    EXPECT_EQ(entries[i].first, kDefault[i] + ".tar");
    EXPECT_EQ(entries[i].second, sim().backup_archive(kDefault[i])) << kDefault[i];
  }
  EXPECT_EQ(count(capture.out(), kOk), kDefault.size());
  EXPECT_EQ(capture.err(), "");
  if (test::have_program("unzip")) {  // a real peer checks the archive and its Deflate entries
    std::string listing;
    EXPECT_EQ(test::run_command("unzip -t '" + out_.file(names[0]) + "' && unzip -v '" +
                                    out_.file(names[0]) + "'",
                                &listing),
              0)
        << listing;
    EXPECT_EQ(count(listing, "Defl:N"), kDefault.size()) << listing;
  }
}

TEST_F(GetBackupTest, DirectoryFormAndAbsentType) {
  for (const char* type : {"directory", static_cast<const char*>(nullptr)}) {
    test::TempDir dir;
    ConsoleCapture capture;
    ASSERT_EQ(get_backup(ip(), dir.path().c_str(), type, nullptr), 0);
    ASSERT_EQ(files_in(dir.path()).size(), kDefault.size());
    for (const auto& config : kDefault) {
      EXPECT_EQ(test::read_file(dir.file(config + ".tar")), sim().backup_archive(config));
    }
  }
}

TEST_F(GetBackupTest, ListOrderUnknownNamesAndOtherTypes) {
  const std::vector<std::string> list = {"dali1", "cd1", "nonsense"};
  ConsoleCapture capture;
  ASSERT_EQ(get_backup(ip(), out_.path().c_str(), "zip", &list), 0);
  EXPECT_EQ(requested(), list);
  const auto entries = zip_in(out_.path());
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].first + entries[1].first, "dali1.tarcd1.tar");
  EXPECT_EQ(count(capture.out(), kNotFound), 1u);
  // "ZIP" is no output type: everything is fetched, nothing written.
  test::TempDir dir;
  sim().clear_events();
  ASSERT_EQ(get_backup(ip(), dir.path().c_str(), "ZIP", nullptr), 0);
  EXPECT_EQ(requested(), kDefault);
  EXPECT_TRUE(files_in(dir.path()).empty());
}

TEST_F(GetBackupTest, NoControllerStillLeavesAnEmptyArchive) {
  const std::string dead = test::dead_address();
  const std::vector<std::string> list = {"dali1"};
  ConsoleCapture capture;
  ASSERT_EQ(get_backup(dead.c_str(), out_.path().c_str(), "zip", &list), 0);
  EXPECT_EQ(capture.out(), "backup\tfetching URL 'http://" + dead +
                               "/api/v100/backup.ssi?config=dali1'.\n" + kNotFound);
  EXPECT_TRUE(zip_in(out_.path()).empty());
  ConsoleCapture missing;
  EXPECT_EQ(get_backup(nullptr, out_.path().c_str(), "zip", nullptr), 2);
  EXPECT_EQ(missing.out(), "Missing arguments for action get_backup.");
}

// A missing output folder is made with its parents. A folder that cannot be
// made, or a file that cannot be written completely (/dev/full takes no
// bytes), is named on standard error with the system's reason.
TEST_F(GetBackupTest, OutputFolderAndWriteFailures) {
  const std::vector<std::string> list = {"dali1"};
  const std::string nested = out_.file("a/b"), blocked = out_.file("file/sub");
  test::write_file(out_.file("file"), std::string("not a folder"));
  fs::create_directory(out_.file("full"));
  fs::create_symlink("/dev/full", out_.file("full/dali1.tar"));
  const std::string not_dir = "': Not a directory\n";
  const std::pair<std::string, const char*> cases[] = {{nested, "directory"},
                                                       {nested + "/z", "zip"},
                                                       {blocked, "directory"},
                                                       {blocked, "zip"},
                                                       {out_.file("full"), "directory"}};
  const std::string errors[] = {
      "", "", "backup\tcould not write '" + blocked + "/dali1.tar" + not_dir,
      "backup\tcould not write '" + blocked + "/backup_[^']*\\.zip" + not_dir,
      "backup\tcould not write '" + out_.file("full/dali1.tar") + "': No space left on device\n"};
  for (size_t i = 0; i < std::size(cases); ++i) {
    const auto& [folder, type] = cases[i];
    if (i == 4 && !test::file_exists("/dev/full")) continue;
    ConsoleCapture capture;
    EXPECT_EQ(get_backup(ip(), folder.c_str(), type, &list), 0);
    EXPECT_TRUE(std::regex_match(capture.err(), std::regex(errors[i]))) << capture.err();
    EXPECT_NE(capture.out().find(kOk), std::string::npos) << folder;
    if (i < 2) {
      EXPECT_EQ(files_in(folder).size(), 1u) << folder;
    }
  }
}

}  // namespace
}  // namespace torvi
