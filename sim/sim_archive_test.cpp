#include "sim/sim_archive.h"

#include <gtest/gtest.h>

#include <string>

#include "sim/sim_test_support.h"

namespace korvan {
namespace {

TEST(ArchivePack, BlockBoundariesRoundTrip) {
  EXPECT_EQ(archive_pack({}).size(), 1024u);  // the end marker alone
  for (size_t size : {0u, 1u, 511u, 512u, 513u, 7072u}) {
    SCOPED_TRACE(size);
    const std::vector<ArchiveMember> in = {
        {"/etc/config/dali/dali1.bin", pattern(size), 1700000000},
        {"status.txt", bytes_of("{}"), 1700000000}};
    const Bytes tar = archive_pack(in);
    // Two headers, both members padded to whole blocks, two zero blocks.
    EXPECT_EQ(tar.size(), 512 + (size + 511) / 512 * 512 + 512 + 512 + 1024);
    // Old-style headers: no ustar magic.
    EXPECT_EQ(text_of(Bytes(tar.begin() + 257, tar.begin() + 262)), std::string(5, '\0'));
    std::vector<ArchiveMember> out;
    std::string error;
    ASSERT_TRUE(archive_unpack(tar, out, &error)) << error;
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0].name, in[0].name);
    EXPECT_EQ(out[0].data, in[0].data);
    EXPECT_EQ(out[0].mtime, 1700000000);
    EXPECT_TRUE(out[0].regular);
    EXPECT_EQ(out[1].data, in[1].data);
  }
}

TEST(ArchiveUnpack, RefusesWhatIsNotAnIntactTar) {
  const Bytes good = archive_pack({{"/etc/config/rlc/rlc.bin", pattern(1500), 0}});
  Bytes cut(good.begin(), good.begin() + 512 + 700);  // header and part of the data
  Bytes bad_sum = good;
  archive_corrupt_checksum(bad_sum, 0);
  Bytes zip = bytes_of("PK\x03\x04");
  zip.resize(600, 0);
  struct Case {
    const char* what;
    Bytes bytes;
    bool may_open;  // as an archive without members
  } cases[] = {
      {"empty", {}, false},
      {"html page", bytes_of("<html><body>404 Not Found</body></html>"), false},
      {"html page of many blocks", bytes_of(std::string(2000, 'x')), false},
      {"zip header", zip, false},
      {"truncated member", cut, false},
      {"bad header checksum", bad_sum, false},
      // Whether libarchive calls a bare end marker empty or unrecognised, it
      // must never yield members.
      {"end marker alone", archive_pack({}), true},
  };
  for (const Case& c : cases) {
    std::vector<ArchiveMember> members = {{"left over", {}, 0}};
    std::string error;
    const bool opened = archive_unpack(c.bytes, members, &error);
    EXPECT_TRUE(c.may_open || !opened) << c.what;
    EXPECT_TRUE(members.empty()) << c.what;
    EXPECT_TRUE(opened || !error.empty()) << c.what;
  }
}

TEST(ArchiveFaults, ClaimedSizeKeepsHeaderValid) {
  Bytes tar = archive_pack(
      {{"/etc/config/dali/cd1.bin", pattern(100), 0}, {"status.txt", bytes_of("{}"), 0}});
  const size_t at = archive_header_offset(tar, "status.txt");
  ASSERT_EQ(at, 1024u);
  EXPECT_EQ(archive_header_offset(tar, "/etc/config/dali/cd1.bin"), 0u);
  EXPECT_EQ(archive_header_offset(tar, "missing"), std::string::npos);
  ASSERT_TRUE(archive_claim_size(tar, at, 1ull << 30));
  EXPECT_EQ(text_of(Bytes(tar.begin() + at + 124, tar.begin() + at + 135)), "10000000000");
  std::vector<ArchiveMember> members;
  std::string error;
  // The header is accepted; the data it promises is not there.
  EXPECT_FALSE(archive_unpack(tar, members, &error));
  EXPECT_TRUE(contains(error, "status.txt")) << error;
  EXPECT_FALSE(archive_claim_size(tar, tar.size(), 1));
  EXPECT_FALSE(archive_claim_size(tar, at, 1ull << 40));
}

}  // namespace
}  // namespace korvan
