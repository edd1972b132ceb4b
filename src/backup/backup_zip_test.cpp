#include "backup/backup_zip.h"

#include <gtest/gtest.h>
#include <zip.h>

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
  for (zip_int64_t i = 0; i < zip_get_num_entries(z, 0); ++i) names.push_back(zip_get_name(z, i, 0));
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

}  // namespace
}  // namespace torvi
