// get_backup against korvan-sim: the ZIP and directory forms, lists, faults.
#include <gtest/gtest.h>
#include <unistd.h>
#include <zip.h>

#include <filesystem>

#include "action/actions.h"
#include "sim_fixture.h"

namespace torvi {
namespace {

namespace fs = std::filesystem;
using test::ConsoleCapture;

const std::vector<std::string> kDefault = {
    "systemconfig", "schedules", "rlc",    "dali1",  "dali2",   "dali3",
    "dali4",        "cd1",       "cd2",    "cd3",    "cd4",     "system_ui32",
    "dalv",         "daeu",      "daeutr", "daeutc", "dacdlcm", "dacdlcr"};

std::vector<std::string> files_in(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

struct ZipEntry {
  std::string name;
  std::vector<std::uint8_t> data;
  std::uint16_t method;
};

std::vector<ZipEntry> read_zip(const std::string& path) {
  std::vector<ZipEntry> entries;
  int error = 0;
  zip_t* z = zip_open(path.c_str(), ZIP_RDONLY | ZIP_CHECKCONS, &error);
  EXPECT_NE(z, nullptr) << "libzip error " << error << " on " << path;
  if (!z) return entries;
  for (zip_int64_t i = 0; i < zip_get_num_entries(z, 0); ++i) {
    zip_stat_t st;
    zip_stat_index(z, i, 0, &st);
    ZipEntry e{st.name, std::vector<std::uint8_t>(st.size), st.comp_method};
    zip_file_t* f = zip_fopen_index(z, i, 0);
    EXPECT_EQ(zip_fread(f, e.data.data(), e.data.size()), static_cast<zip_int64_t>(st.size));
    zip_fclose(f);
    entries.push_back(std::move(e));
  }
  zip_close(z);
  return entries;
}

std::vector<std::string> backup_requests(const std::vector<std::string>& targets) {
  std::vector<std::string> names;
  const std::string prefix = "/api/v100/backup.ssi?config=";
  for (const auto& t : targets) {
    if (t.rfind(prefix, 0) == 0) names.push_back(t.substr(prefix.size()));
  }
  return names;
}

std::string zip_name_prefix(const std::string& ip) {
  return "backup_" + ip + "_KORVAN_";
}

class GetBackupTest : public test::SimTest {
 protected:
  test::TempDir out_;
};

TEST_F(GetBackupTest, ZipHoldsEveryConfigurationByteForByte) {
  ConsoleCapture capture;
  ASSERT_EQ(get_backup(ip(), out_.path().c_str(), "zip", nullptr), 0);
  EXPECT_EQ(backup_requests(http_requests()), kDefault);
  auto names = files_in(out_.path());
  ASSERT_EQ(names.size(), 1u);
  const std::string& name = names[0];
  EXPECT_EQ(name.rfind(zip_name_prefix(ip()), 0), 0u) << name;
  EXPECT_EQ(name.size(), zip_name_prefix(ip()).size() + 15 + 4) << name;
  EXPECT_EQ(name.substr(name.size() - 4), ".zip");

  auto entries = read_zip(out_.file(name));
  ASSERT_EQ(entries.size(), kDefault.size());
  for (size_t i = 0; i < kDefault.size(); ++i) {
    EXPECT_EQ(entries[i].name, kDefault[i] + ".tar");
    EXPECT_EQ(entries[i].data, sim().backup_archive(kDefault[i])) << kDefault[i];
    EXPECT_EQ(entries[i].method, ZIP_CM_DEFLATE);
  }
  std::string out = capture.out();
  size_t ok = 0;
  for (size_t p = 0;
       (p = out.find("\033[32mbackup\tbackup file OK, adding to backup archive...\r\n\r\n\033[0m",
                     p)) != std::string::npos;
       ++p)
    ++ok;
  EXPECT_EQ(ok, kDefault.size());
  if (test::have_program("unzip")) {
    std::string listing;
    EXPECT_EQ(test::run_command("unzip -t '" + out_.file(name) + "'", &listing), 0) << listing;
  }
}

TEST_F(GetBackupTest, DirectoryFormAndAbsentType) {
  for (const char* type : {"directory", static_cast<const char*>(nullptr)}) {
    test::TempDir dir;
    ConsoleCapture capture;
    ASSERT_EQ(get_backup(ip(), dir.path().c_str(), type, nullptr), 0);
    auto names = files_in(dir.path());
    ASSERT_EQ(names.size(), kDefault.size());
    for (const auto& config : kDefault) {
      EXPECT_EQ(test::read_file(dir.file(config + ".tar")), sim().backup_archive(config));
    }
  }
}

TEST_F(GetBackupTest, WithoutOutputFolderWritesToTheCurrentFolder) {
  char previous[4096];
  ASSERT_NE(getcwd(previous, sizeof previous), nullptr);
  ASSERT_EQ(chdir(out_.path().c_str()), 0);
  std::vector<std::string> list = {"dali1"};
  ConsoleCapture capture;
  int result = get_backup(ip(), nullptr, nullptr, &list);
  ASSERT_EQ(chdir(previous), 0);
  EXPECT_EQ(result, 0);
  EXPECT_EQ(files_in(out_.path()), std::vector<std::string>{"dali1.tar"});
}

TEST_F(GetBackupTest, ListOrderAndUnknownNames) {
  std::vector<std::string> list = {"dali1", "cd1", "nonsense"};
  ConsoleCapture capture;
  ASSERT_EQ(get_backup(ip(), out_.path().c_str(), "zip", &list), 0);
  EXPECT_EQ(backup_requests(http_requests()), list);
  auto names = files_in(out_.path());
  ASSERT_EQ(names.size(), 1u);
  auto entries = read_zip(out_.file(names[0]));
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].name, "dali1.tar");
  EXPECT_EQ(entries[1].name, "cd1.tar");
  EXPECT_NE(capture.out().find("backup\tbackup file not found for action get_backup.\r\n\r\n"),
            std::string::npos);
}

TEST_F(GetBackupTest, OtherOutputTypeWritesNothing) {
  ConsoleCapture capture;
  ASSERT_EQ(get_backup(ip(), out_.path().c_str(), "ZIP", nullptr), 0);
  EXPECT_EQ(backup_requests(http_requests()), kDefault);
  EXPECT_TRUE(files_in(out_.path()).empty());
}

TEST_F(GetBackupTest, RejectedAnswersGetNoEntry) {
  for (const char* fault : {"backup-not-tar", "backup-no-status", "backup-bad-checksum",
                            "backup-huge-member", "http-close", "http-truncate", "status-404"}) {
    sim().clear_faults();
    ASSERT_TRUE(sim().set_fault(fault)) << fault;
    test::TempDir dir;
    std::vector<std::string> list = {"dali1", "cd2"};
    ConsoleCapture capture;
    ASSERT_EQ(get_backup(ip(), dir.path().c_str(), "zip", &list), 0) << fault;
    auto names = files_in(dir.path());
    ASSERT_EQ(names.size(), 1u) << fault;
    // status-404 touches only the status document: both configurations pass.
    size_t expected = std::string(fault) == "status-404" ? 2 : 0;
    EXPECT_EQ(read_zip(dir.file(names[0])).size(), expected) << fault;
    size_t rejected = 0;
    std::string out = capture.out();
    for (size_t p = 0;
         (p = out.find("backup file not found for action get_backup", p)) != std::string::npos; ++p)
      ++rejected;
    EXPECT_EQ(rejected, 2 - expected) << fault << out;
  }
}

TEST_F(GetBackupTest, NoControllerStillLeavesAnEmptyArchive) {
  std::string dead = test::dead_address();
  std::vector<std::string> list = {"dali1"};
  ConsoleCapture capture;
  ASSERT_EQ(get_backup(dead.c_str(), out_.path().c_str(), "zip", &list), 0);
  EXPECT_EQ(capture.out(), "backup\tfetching URL 'http://" + dead +
                               "/api/v100/backup.ssi?config=dali1'.\n"
                               "backup\tbackup file not found for action get_backup.\r\n\r\n");
  auto names = files_in(out_.path());
  ASSERT_EQ(names.size(), 1u);
  EXPECT_TRUE(read_zip(out_.file(names[0])).empty());
}

TEST_F(GetBackupTest, UnwritableFolderIsNoFailure) {
  std::vector<std::string> list = {"dali1"};
  for (const char* type : {"zip", "directory"}) {
    ConsoleCapture capture;
    EXPECT_EQ(get_backup(ip(), "/nonexistent/folder", type, &list), 0);
    EXPECT_NE(capture.out().find("backup file OK"), std::string::npos);
  }
  ConsoleCapture capture;
  EXPECT_EQ(get_backup(nullptr, out_.path().c_str(), "zip", nullptr), 2);
  EXPECT_EQ(capture.out(), "Missing arguments for action get_backup.");
}

}  // namespace
}  // namespace torvi
