#include "backup/backup_zip.h"

#include <gtest/gtest.h>
#include <zip.h>

#include <algorithm>
#include <ctime>
#include <tuple>

#include "test_support.h"

namespace torvi {
namespace {

const std::vector<std::uint8_t> kBytes(3000, 0x5a);

// The archive appears under its name only when closed: an interrupted run
// leaves no archive, and an earlier backup stays intact until replaced.
TEST(BackupZip, NothingUnderTheNameUntilClosed) {
  test::TempDir dir;
  const std::string path = dir.file("backup.zip");
  test::write_file(path, std::string("earlier"));
  for (bool close : {false, true}) {
    backup_zip z;
    ASSERT_EQ(backup_zip_open(z, path), 0);
    ASSERT_EQ(backup_zip_add(z, "dali1.tar", kBytes), 0);
    EXPECT_EQ(test::read_file(path), test::bytes_of("earlier"));
    if (close) {
      ASSERT_EQ(backup_zip_close(z), 0);
    }
  }
  zip_t* z = zip_open(path.c_str(), ZIP_RDONLY | ZIP_CHECKCONS, nullptr);
  ASSERT_NE(z, nullptr);
  zip_stat_t st;
  ASSERT_EQ(zip_stat_index(z, 0, 0, &st), 0);
  EXPECT_STREQ(st.name, "dali1.tar");
  EXPECT_LE(std::labs(static_cast<long>(st.mtime - std::time(nullptr))), 5L);
  zip_close(z);
}

// libzip refuses at once (a file in the way) or only when it writes (a
// missing folder); either way there is no archive and the system's reason is
// kept for the user.
TEST(BackupZip, UnwritableFolder) {
  test::TempDir dir;
  test::write_file(dir.file("file"), std::string("x"));
  // Windows has no "not a directory" for a file in the way: the path is not found.
#ifdef _WIN32
  const char* file_in_the_way = "No such file or directory";
#else
  const char* file_in_the_way = "Not a directory";
#endif
  const std::tuple<std::string, bool, const char*> cases[] = {
      {"file/backup.zip", false, file_in_the_way},
      {"missing/backup.zip", false, "No such file or directory"},
      {"missing/backup.zip", true, "No such file or directory"}};
  for (const auto& [name, with_entry, reason] : cases) {
    backup_zip z;
    if (backup_zip_open(z, dir.file(name)) == 0) {
      if (with_entry) backup_zip_add(z, "x.tar", kBytes);
      EXPECT_NE(backup_zip_close(z), 0);
    }
    EXPECT_EQ(z.error, reason) << name;
    EXPECT_FALSE(test::file_exists(dir.file(name)));
  }
}

// Entries of a backup as the reader sees them: names with backslashes read
// as "/", every kind of directory mark, and no entry trusted for its size.
TEST(BackupZip, ReaderNamesDirectoriesAndBounds) {
  test::TempDir dir;
  const std::string path = dir.file("read.zip");
  const std::vector<std::uint8_t> marked(600, 'm'), stored = test::noise(1000, 7);
  const struct {
    const char* stored_name;
    zip_uint8_t system;  // with the attributes, when they are not 0
    zip_uint32_t attributes;
    bool encrypt;
    std::string name;
    bool directory;
  } cases[] = {
      {"sub\\dali1.tar", 0, 0, false, "sub/dali1.tar", false},
      {"dali1.tar\\", 0, 0, false, "dali1.tar/", true},
      {"dos", ZIP_OPSYS_DOS, 0x10, false, "dos", true},
      {"unix", ZIP_OPSYS_UNIX, 040755u << 16, false, "unix", true},
      {"secret.tar", 0, 0, true, "secret.tar", false},
  };
  zip_t* w = zip_open(path.c_str(), ZIP_CREATE | ZIP_TRUNCATE, nullptr);
  ASSERT_NE(w, nullptr);
  for (const auto& c : cases) {
    const auto i = static_cast<zip_uint64_t>(zip_file_add(
        w, c.stored_name, zip_source_buffer(w, marked.data(), marked.size(), 0), ZIP_FL_ENC_RAW));
    if (c.attributes) zip_file_set_external_attributes(w, i, 0, c.system, c.attributes);
    if (c.encrypt) zip_file_set_encryption(w, i, ZIP_EM_AES_256, "pw");
  }
  const auto last = static_cast<zip_uint64_t>(
      zip_file_add(w, "stored.bin", zip_source_buffer(w, stored.data(), stored.size(), 0), 0));
  zip_set_file_compression(w, last, ZIP_CM_STORE, 0);
  ASSERT_EQ(zip_close(w), 0);

  backup_zip_reader reader;
  ASSERT_EQ(backup_zip_open_read(reader, path), 0);
  ASSERT_EQ(backup_zip_count(reader), std::size(cases) + 1);
  std::vector<std::uint8_t> data;
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    backup_zip_entry entry;
    ASSERT_EQ(backup_zip_stat(reader, i, entry), 0);
    EXPECT_EQ(std::tie(entry.name, entry.directory), std::tie(cases[i].name, cases[i].directory));
    EXPECT_EQ(backup_zip_read(reader, i, data), cases[i].encrypt ? 1 : 0) << cases[i].name;
    EXPECT_EQ(data, cases[i].encrypt ? std::vector<std::uint8_t>() : marked) << cases[i].name;
  }
  // The bound counts the bytes that come out, not what the header says.
  EXPECT_EQ(backup_zip_read(reader, last, data, stored.size()), 0);
  EXPECT_EQ(data, stored);
  EXPECT_EQ(backup_zip_read(reader, last, data, stored.size() - 1), 1);
  EXPECT_TRUE(data.empty());

  // A damaged entry cannot be extracted; an empty file is no archive.
  std::vector<std::uint8_t> bytes = test::read_file(path);
  std::search(bytes.begin(), bytes.end(), stored.begin(), stored.end())[500] ^= 1;
  test::write_file(path, bytes);
  backup_zip_reader damaged, none;
  ASSERT_EQ(backup_zip_open_read(damaged, path), 0);
  EXPECT_EQ(backup_zip_read(damaged, last, data), 1);
  test::write_file(dir.file("empty"), std::string());
  EXPECT_NE(backup_zip_open_read(none, dir.file("empty")), 0);
}

}  // namespace
}  // namespace torvi
