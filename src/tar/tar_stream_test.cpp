#include "tar/tar_stream.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <regex>
#include <utility>

#include "test_support.h"

namespace torvi {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Member = std::pair<std::string, Bytes>;

const Bytes kAbc = {'a', 'b', 'c'};

// Writes the members (to a file when `path` is given) and returns the archive.
Bytes build(const std::vector<Member>& members, const std::string& path = "") {
  tar_stream s;
  EXPECT_EQ(path.empty() ? tar_open_memory_writer(s) : tar_open(s, path, "w"), TAR_OK);
  for (const auto& [name, data] : members) {
    EXPECT_EQ(tar_write_file_header(s, name, static_cast<std::uint32_t>(data.size())), TAR_OK);
    EXPECT_EQ(tar_write_data(s, data), TAR_OK);
  }
  EXPECT_EQ(tar_finalize(s), TAR_OK);
  EXPECT_EQ(path.empty() ? TAR_OK : tar_close(s), TAR_OK);
  return path.empty() ? tar_memory_take(s) : test::read_file(path);
}

// Overwrites a field of the first header at `offset`; unless the field is
// the checksum, recomputes the checksum as any tar writer does, so only the
// field itself is under test.
Bytes patched(Bytes a, std::size_t offset, std::size_t width, const std::string& text) {
  std::memset(a.data() + offset, 0, width);
  std::memcpy(a.data() + offset, text.data(), std::min(text.size(), width));
  if (offset == 148) return a;
  unsigned sum = 0;
  for (std::size_t i = 0; i < 512; ++i) sum += (i >= 148 && i < 156) ? ' ' : a[i];
  std::snprintf(reinterpret_cast<char*>(a.data() + 148), 8, "%06o", sum);
  a[155] = ' ';
  return a;
}

TEST(TarWrite, ThreeByteMemberHasTheKnownEncoding) {
  const Bytes a = build({{"abc", kAbc}});
  ASSERT_EQ(a.size(), 2048u);
  const std::pair<std::size_t, std::string> fields[] = {
      {0, "abc" + std::string(97, '\0')},           {100, std::string("664\0\0\0\0\0", 8)},
      {108, std::string("0\0\0\0\0\0\0\0", 8)},     {116, std::string(8, '\0')},
      {124, "3" + std::string(11, '\0')},           {136, "0" + std::string(11, '\0')},
      {148, std::string("001611\0 ", 8)},           {156, "0" + std::string(355, '\0')},
      {512, "abc" + std::string(2048 - 515, '\0')},
  };
  for (const auto& [offset, expected] : fields) {
    EXPECT_EQ(std::string(a.begin() + offset, a.begin() + offset + expected.size()), expected)
        << offset;
  }
}

// Written to a file, which holds what a memory writer builds, and read back.
TEST(TarRoundTrip, MemberSizesAroundTheBlockBoundary) {
  const std::pair<std::uint32_t, std::uint32_t> cases[] = {
      {0, 0}, {1, 512}, {511, 512}, {512, 512}, {513, 1024}};
  for (const auto& [size, padded] : cases) {
    test::TempDir dir;
    const std::vector<Member> members = {{"m", test::noise(size, size)}, {"next", {}}, {"m", {}}};
    const Bytes a = build(members, dir.file("a.tar"));
    EXPECT_EQ(a, build(members));
    ASSERT_EQ(a.size(), 512 + padded + 1024 + 1024) << size;
    tar_stream s;
    tar_open_memory_reader(s, a);
    Bytes got(size);
    ASSERT_EQ(tar_find(s, "m"), TAR_OK);  // the first of the same name
    ASSERT_EQ(tar_read_data(s, got), TAR_OK);
    EXPECT_EQ(got, members[0].second);
    EXPECT_EQ(s.position, 0u);  // back on the member's header
    ASSERT_EQ(tar_next(s), TAR_OK);
    EXPECT_EQ(s.position, 512 + padded);
    EXPECT_EQ(tar_find(s, "M"), TAR_ERR_NOT_FOUND);  // names are case-sensitive
  }
}

// Damaged checksums, and numeric fields as other writers fill them: leading
// blanks, a field full of digits, a value too large for 32 bits.
TEST(TarReadHeader, ChecksumAndOctalFields) {
  const struct {
    std::size_t offset, width;
    std::string text;
    int rc;
    std::uint32_t tar_header::*member;
    std::uint32_t expected;
  } cases[] = {
      {148, 8, std::string("001612\0 ", 8), TAR_ERR_CHECKSUM},
      {148, 8, std::string("\00001611\0 ", 8), TAR_ERR_NULL_RECORD},
      {148, 8, std::string("  1611\0 ", 8), TAR_OK, &tar_header::size, 3},
      {124, 12, "\t    25640", TAR_OK, &tar_header::size, 11168},
      {124, 12, "777777777777", TAR_OK, &tar_header::size, 0xFFFFFFFF},  // saturates
      {100, 16, "000006647", TAR_OK, &tar_header::mode, 0664},
  };
  for (const auto& c : cases) {
    const Bytes a = patched(build({{"abc", kAbc}}), c.offset, c.width, c.text);
    tar_stream s;
    tar_open_memory_reader(s, a);
    tar_header h;
    EXPECT_EQ(tar_read_header(s, h), c.rc) << c.text;
    EXPECT_EQ(s.position, 0u);
    if (c.member) {
      EXPECT_EQ(h.*c.member, c.expected) << c.text;
    }
  }
}

// Cut archives, and sizes that claim more than follows (up to one that
// would wrap the 32-bit position onto the same header).
TEST(TarReadData, ArchivesShorterThanTheirHeaders) {
  const Bytes full = build({{"a", test::noise(513, 1)}});
  const struct {
    std::size_t cut;
    int find_rc, read_rc, missing_rc;
  } cuts[] = {{300, TAR_ERR_READ, TAR_ERR_READ, TAR_ERR_READ},
              {1024, TAR_OK, TAR_ERR_READ, TAR_ERR_READ},
              {1536, TAR_OK, TAR_OK, TAR_ERR_READ},
              {2048, TAR_OK, TAR_OK, TAR_ERR_NOT_FOUND}};
  for (const auto& c : cuts) {
    const Bytes a(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(c.cut));
    tar_stream s;
    tar_open_memory_reader(s, a);
    EXPECT_EQ(tar_find(s, "missing"), c.missing_rc) << c.cut;
    Bytes member;
    EXPECT_EQ(tar_read_member(s, "a", member), c.find_rc == TAR_OK ? c.read_rc : c.find_rc);
    EXPECT_EQ(member.size(), c.read_rc == TAR_OK ? 513u : 0u) << c.cut;
  }
  for (const auto& [size, next_rc] : {std::pair<const char*, int>{"10000", TAR_OK},
                                      {"37777777000", TAR_ERR_SEEK},
                                      {"77777777777", TAR_ERR_SEEK}}) {
    const Bytes a = patched(build({{"a", {}}}), 124, 12, size);
    tar_stream s;
    tar_open_memory_reader(s, a);
    tar_header h;
    ASSERT_EQ(tar_find(s, "a", &h), TAR_OK);
    EXPECT_EQ(tar_check_member(s, h), TAR_ERR_READ) << size;
    Bytes member;
    EXPECT_EQ(tar_read_member(s, "a", member), TAR_ERR_READ) << size;
    EXPECT_EQ(tar_next(s), next_rc) << size;
  }
}

// GNU tar as an independent peer, both ways: it unpacks our archive, then
// packs the unpacked files into an old-style archive we read.
TEST(TarInterop, GnuTar) {
  if (!test::have_program("tar") || !test::have_program("timeout")) {
    GTEST_SKIP() << "GNU tar (or timeout) not installed; interop not checked";
  }
  test::TempDir dir;
  const std::vector<Member> files = {{"cfg/dali1.bin", test::noise(513, 1)},
                                     {"status.txt", {'{', '}'}},
                                     {"empty", {}},
                                     {"block", test::noise(512, 5)},
                                     {"cfg/sub/inner.bin", test::noise(11168, 3)}};
  const std::string ours = dir.file("ours.tar"), gnu = dir.file("gnu.tar"), out = dir.file("out");
  build(files, ours);
  std::filesystem::create_directory(out);
  std::string messages;
  ASSERT_EQ(test::run_command("timeout 60 tar -xf '" + ours + "' -C '" + out + "' 2>&1 && cd '" +
                                  out + "' && timeout 60 tar --format=v7 -cf '" + gnu +
                                  "' empty status.txt block cfg 2>&1",
                              &messages),
            0)
      << messages;
  tar_stream s;
  ASSERT_EQ(tar_open(s, gnu, "r"), TAR_OK);
  tar_header h;
  for (const auto& [name, data] : files) {
    EXPECT_EQ(test::read_file(out + "/" + name), data) << name;
    Bytes got;
    ASSERT_EQ(tar_read_member(s, name, got, &h), TAR_OK) << name;
    EXPECT_EQ(got, data) << name;
    EXPECT_TRUE(h.type == 0 || h.type == '0') << name;  // GNU tar writes NUL for old style
  }
  // Our headers as GNU tar lists them: mode, owner/group, size, date.
  std::string listing;
  EXPECT_EQ(test::run_command("TZ=UTC timeout 60 tar -tvf '" + ours + "' | cut -c1-41", &listing),
            0);
  EXPECT_TRUE(std::regex_match(listing, std::regex("(-rw-rw-r-- 0/0 +[0-9]+ 1970-01-01\n){5}")))
      << listing;
  ASSERT_EQ(tar_find(s, "cfg/sub/", &h), TAR_OK);
  EXPECT_EQ(h.type, static_cast<std::uint32_t>('5'));
}

}  // namespace
}  // namespace torvi
