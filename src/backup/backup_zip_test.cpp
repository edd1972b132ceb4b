#include "backup/backup_zip.h"

#include <gtest/gtest.h>
#include <zip.h>

#include <algorithm>
#include <ctime>

#include "test_support.h"

namespace torvi {
namespace {

std::vector<std::string> entry_names(const std::string& path, int* error_out = nullptr) {
  std::vector<std::string> names;
  int error = 0;
  zip_t* z = zip_open(path.c_str(), ZIP_RDONLY | ZIP_CHECKCONS, &error);
  if (error_out) *error_out = error;
  if (!z) return names;
  for (zip_int64_t i = 0; i < zip_get_num_entries(z, 0); ++i)
    names.push_back(zip_get_name(z, i, 0));
  zip_close(z);
  return names;
}

const std::vector<std::uint8_t> kBytes(3000, 0x5a);

TEST(BackupZip, NothingUnderTheNameUntilClosed) {
  test::TempDir dir;
  const std::string path = dir.file("backup.zip");
  {
    backup_zip z;
    ASSERT_EQ(backup_zip_open(z, path), 0);
    ASSERT_EQ(backup_zip_add(z, "dali1.tar", kBytes), 0);
    EXPECT_FALSE(test::file_exists(path));
    // Leaving without closing is an interrupted run: no archive at all.
  }
  EXPECT_FALSE(test::file_exists(path));

  // An interrupted run over an earlier backup leaves the earlier one intact.
  test::write_file(path, std::string("earlier"));
  {
    backup_zip z;
    ASSERT_EQ(backup_zip_open(z, path), 0);
    ASSERT_EQ(backup_zip_add(z, "dali1.tar", kBytes), 0);
  }
  EXPECT_EQ(test::read_file(path), std::vector<std::uint8_t>({'e', 'a', 'r', 'l', 'i', 'e', 'r'}));
}

TEST(BackupZip, ClosedArchiveHoldsEntriesInOrderAndReplacesEarlier) {
  test::TempDir dir;
  const std::string path = dir.file("backup.zip");
  for (const auto& names : {std::vector<std::string>{"a.tar", "b.tar", "c.tar"},
                            std::vector<std::string>{"dali1.tar", "cd1.tar"}}) {
    backup_zip z;
    ASSERT_EQ(backup_zip_open(z, path), 0);
    for (const auto& n : names) ASSERT_EQ(backup_zip_add(z, n, kBytes), 0);
    ASSERT_EQ(backup_zip_close(z), 0);
    EXPECT_EQ(entry_names(path), names);
  }
  zip_t* z = zip_open(path.c_str(), ZIP_RDONLY, nullptr);
  ASSERT_NE(z, nullptr);
  zip_stat_t st;
  ASSERT_EQ(zip_stat_index(z, 0, 0, &st), 0);
  EXPECT_EQ(st.comp_method, ZIP_CM_DEFLATE);
  EXPECT_LT(st.comp_size, st.size);
  EXPECT_LE(std::labs(static_cast<long>(st.mtime - std::time(nullptr))), 5L);
  zip_close(z);
  if (test::have_program("unzip")) {
    EXPECT_EQ(test::run_command("unzip -tq '" + path + "' >/dev/null"), 0);
  }
}

TEST(BackupZip, EmptyArchiveIsStillAValidZip) {
  test::TempDir dir;
  const std::string path = dir.file("empty.zip");
  backup_zip z;
  ASSERT_EQ(backup_zip_open(z, path), 0);
  ASSERT_EQ(backup_zip_close(z), 0);
  int error = -1;
  EXPECT_TRUE(entry_names(path, &error).empty());
  EXPECT_EQ(error, 0);
  EXPECT_EQ(test::read_file(path).size(), 22u);
  EXPECT_FALSE(test::file_exists(path + ".part"));
}

TEST(BackupZip, UnwritableFolder) {
  // libzip may refuse at once or only when it writes; either way no archive.
  for (bool with_entry : {false, true}) {
    backup_zip z;
    int opened = backup_zip_open(z, "/nonexistent/folder/backup.zip");
    if (opened == 0 && with_entry) backup_zip_add(z, "x.tar", kBytes);
    EXPECT_NE(backup_zip_close(z), 0);
    EXPECT_FALSE(test::file_exists("/nonexistent/folder/backup.zip"));
  }
}

// Entries of a backup as the reader sees them: names with backslashes read
// as "/", every kind of directory mark, and no entry trusted for its size.
TEST(BackupZip, ReaderNamesDirectoriesAndBounds) {
  test::TempDir dir;
  const std::string path = dir.file("read.zip");
  const std::vector<std::uint8_t> marked(600, 'm');
  std::vector<std::uint8_t> stored(1000);
  for (std::size_t i = 0; i < stored.size(); ++i) stored[i] = static_cast<std::uint8_t>(i * 7);
  enum Mark { kNone, kDos, kUnix };
  const struct {
    const char* stored_name;
    Mark mark;
    bool encrypt;
    std::string name;
    bool directory;
    bool readable;
  } cases[] = {
      {"dali1.tar", kNone, false, "dali1.tar", false, true},
      {"sub\\dali1.tar", kNone, false, "sub/dali1.tar", false, true},
      {"dali1.tar\\", kNone, false, "dali1.tar/", true, true},
      {"dos", kDos, false, "dos", true, true},
      {"unix", kUnix, false, "unix", true, true},
      {"secret.tar", kNone, true, "secret.tar", false, false},
  };
  {
    int error = 0;
    zip_t* z = zip_open(path.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &error);
    ASSERT_NE(z, nullptr);
    for (const auto& c : cases) {
      zip_source_t* src = zip_source_buffer(z, marked.data(), marked.size(), 0);
      const zip_int64_t i = zip_file_add(z, c.stored_name, src, ZIP_FL_ENC_RAW);
      ASSERT_GE(i, 0);
      const auto index = static_cast<zip_uint64_t>(i);
      if (c.mark == kDos) zip_file_set_external_attributes(z, index, 0, ZIP_OPSYS_DOS, 0x10);
      if (c.mark == kUnix)
        zip_file_set_external_attributes(z, index, 0, ZIP_OPSYS_UNIX, 040755u << 16);
      if (c.encrypt) zip_file_set_encryption(z, index, ZIP_EM_AES_256, "pw");
    }
    zip_source_t* src = zip_source_buffer(z, stored.data(), stored.size(), 0);
    const zip_int64_t i = zip_file_add(z, "stored.bin", src, 0);
    zip_set_file_compression(z, static_cast<zip_uint64_t>(i), ZIP_CM_STORE, 0);
    ASSERT_EQ(zip_close(z), 0);
  }
  backup_zip_reader reader;
  ASSERT_EQ(backup_zip_open_read(reader, path), 0);
  ASSERT_EQ(backup_zip_count(reader), std::size(cases) + 1);
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(cases[i].name);
    backup_zip_entry entry;
    ASSERT_EQ(backup_zip_stat(reader, i, entry), 0);
    EXPECT_EQ(entry.name, cases[i].name);
    EXPECT_EQ(entry.directory, cases[i].directory);
    std::vector<std::uint8_t> data;
    EXPECT_EQ(backup_zip_read(reader, i, data), cases[i].readable ? 0 : 1);
    EXPECT_EQ(data, cases[i].readable ? marked : std::vector<std::uint8_t>());
  }
  // The bound counts the bytes that come out, not what the header says.
  const std::uint64_t last = std::size(cases);
  std::vector<std::uint8_t> data;
  EXPECT_EQ(backup_zip_read(reader, last, data, stored.size()), 0);
  EXPECT_EQ(data, stored);
  EXPECT_EQ(backup_zip_read(reader, last, data, stored.size() - 1), 1);
  EXPECT_TRUE(data.empty());

  // A damaged entry cannot be extracted.
  std::vector<std::uint8_t> bytes = test::read_file(path);
  auto at = std::search(bytes.begin(), bytes.end(), stored.begin(), stored.end());
  ASSERT_NE(at, bytes.end());
  at[500] ^= 1;
  test::write_file(path, bytes);
  backup_zip_reader damaged;
  ASSERT_EQ(backup_zip_open_read(damaged, path), 0);
  EXPECT_EQ(backup_zip_read(damaged, last, data), 1);

  // Neither an empty file nor a missing one is a ZIP archive.
  test::write_file(dir.file("empty"), std::string());
  backup_zip_reader none;
  EXPECT_NE(backup_zip_open_read(none, dir.file("empty")), 0);
  EXPECT_NE(backup_zip_open_read(none, dir.file("absent.zip")), 0);
}

}  // namespace
}  // namespace torvi
