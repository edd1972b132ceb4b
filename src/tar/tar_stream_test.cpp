#include "tar/tar_stream.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <optional>
#include <utility>

#include "test_support.h"

namespace torvi {
namespace {

using Bytes = std::vector<std::uint8_t>;

struct Member {
  std::string name;
  Bytes data;
};

const Bytes kAbc = {'a', 'b', 'c'};

Bytes pattern(std::size_t n, std::uint8_t seed = 1) {
  Bytes bytes(n);
  for (std::size_t i = 0; i < n; ++i) bytes[i] = static_cast<std::uint8_t>(i * 7 + seed);
  return bytes;
}

// Writes the members (to a file when `path` is given) and returns the archive.
Bytes build(const std::vector<Member>& members, const std::string& path = "") {
  tar_stream s;
  EXPECT_EQ(path.empty() ? tar_open_memory_writer(s) : tar_open(s, path, "w"), TAR_OK);
  for (const Member& m : members) {
    EXPECT_EQ(tar_write_file_header(s, m.name, static_cast<std::uint32_t>(m.data.size())), TAR_OK);
    EXPECT_EQ(tar_write_data(s, m.data), TAR_OK);
  }
  EXPECT_EQ(tar_finalize(s), TAR_OK);
  EXPECT_EQ(path.empty() ? TAR_OK : tar_close(s), TAR_OK);
  return path.empty() ? tar_memory_take(s) : test::read_file(path);
}

// Overwrites a field of the first header; with `fix`, recomputes its checksum
// the way any tar writer does, so only the field itself is under test.
struct Patch {
  std::size_t offset, width;
  std::string text;
};

void apply(Bytes& a, const Patch& p, bool fix = true) {
  std::memset(a.data() + p.offset, 0, p.width);
  std::memcpy(a.data() + p.offset, p.text.data(), std::min(p.text.size(), p.width));
  if (!fix) return;
  unsigned sum = 0;
  for (std::size_t i = 0; i < 512; ++i) sum += (i >= 148 && i < 156) ? ' ' : a[i];
  std::snprintf(reinterpret_cast<char*>(a.data() + 148), 8, "%06o", sum);
  a[155] = ' ';
}

TEST(TarStrerror, EveryCodeHasItsText) {
  const char* const texts[] = {"success",        "failure",         "could not open",
                               "could not read", "could not write", "could not seek",
                               "bad checksum",   "null record",     "file not found"};
  for (int code = TAR_OK; code >= TAR_ERR_NOT_FOUND; --code) {
    EXPECT_STREQ(tar_strerror(code), texts[-code]) << code;
  }
  EXPECT_STREQ(tar_strerror(TAR_ERR_NOT_FOUND - 1), "unknown error");
  EXPECT_STREQ(tar_strerror(1), "unknown error");
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
  const std::pair<std::size_t, std::uint32_t> cases[] = {
      {0, 0}, {1, 512}, {511, 512}, {512, 512}, {513, 1024}};
  for (const auto& [size, padded] : cases) {
    SCOPED_TRACE(size);
    test::TempDir dir;
    const Bytes data = pattern(size);
    const std::vector<Member> members = {{"m", data}, {"next", {}}};
    const Bytes a = build(members, dir.file("a.tar"));
    EXPECT_EQ(a, build(members));
    ASSERT_EQ(a.size(), 512 + padded + 512 + 1024);
    tar_stream s;
    ASSERT_EQ(tar_open_memory_reader(s, a), TAR_OK);
    tar_header h;
    ASSERT_EQ(tar_find(s, "m", &h), TAR_OK);
    EXPECT_EQ(h.size, size);
    Bytes got(size);
    ASSERT_EQ(tar_read_data(s, got), TAR_OK);
    EXPECT_EQ(got, data);
    EXPECT_EQ(s.position, 0u);
    ASSERT_EQ(tar_next(s), TAR_OK);
    EXPECT_EQ(s.position, 512 + padded);
    ASSERT_EQ(tar_read_header(s, h), TAR_OK);
    EXPECT_EQ(h.name, "next");
    EXPECT_EQ(tar_close(s), TAR_OK);
  }
}

TEST(TarOpen, ModesAndFirstHeader) {
  const Bytes valid = build({{"x", {'1'}}});
  const struct {
    const char* what;
    std::optional<Bytes> initial;
    const char* mode;
    int open_rc;
    int write_rc;  // writing a header after a successful open
    std::size_t final_size;
  } cases[] = {
      {"missing file", std::nullopt, "r", TAR_ERR_OPEN, 0, 0},
      {"empty file", Bytes{}, "r", TAR_ERR_READ, 0, 0},
      {"end marker first", Bytes(1024, 0), "r", TAR_ERR_NULL_RECORD, 0, 1024},
      {"bad first header", Bytes(512, 'x'), "r", TAR_ERR_CHECKSUM, 0, 512},
      {"r", valid, "r", TAR_OK, TAR_ERR_WRITE, valid.size()},
      {"r+ is read-only", valid, "r+", TAR_OK, TAR_ERR_WRITE, valid.size()},
      {"w truncates", valid, "w", TAR_OK, TAR_OK, 512},
      {"a appends", Bytes{'x', 'y', 'z'}, "a", TAR_OK, TAR_OK, 515},
      {"unknown mode", valid, "q", TAR_ERR_OPEN, 0, valid.size()},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    test::TempDir dir;
    const std::string path = dir.file("t.tar");
    if (c.initial) test::write_file(path, *c.initial);
    tar_stream s;
    ASSERT_EQ(tar_open(s, path, c.mode), c.open_rc);
    EXPECT_EQ(s.position, 0u);
    if (c.open_rc != TAR_OK) {
      EXPECT_EQ(s.file, nullptr);  // nothing left open
    } else {
      EXPECT_EQ(tar_write_file_header(s, "y", 0), c.write_rc);
      EXPECT_EQ(tar_close(s), TAR_OK);
      EXPECT_EQ(tar_close(s), TAR_ERR_FAILURE);  // already closed
    }
    EXPECT_EQ(c.initial ? test::read_file(path).size() : 0, c.final_size);
  }
}

TEST(TarClose, LostBufferedBytesAreReported) {
  if (!test::file_exists("/dev/full")) GTEST_SKIP() << "no /dev/full to make the flush fail";
  tar_stream s;
  ASSERT_EQ(tar_open(s, "/dev/full", "w"), TAR_OK);
  ASSERT_EQ(tar_write_file_header(s, "x", 0), TAR_OK);  // still in the stdio buffer
  EXPECT_EQ(tar_close(s), TAR_ERR_WRITE);
}

TEST(TarFind, SearchResults) {
  const Bytes dup = build({{"a", {'1'}}, {"b", {}}, {"a", {'2', '2'}}});
  const Bytes only_end(1024, 0), nothing;
  const struct {
    const char* what;
    const Bytes& archive;
    const char* name;
    int rc;
    std::uint32_t size, position;
  } cases[] = {
      {"first of duplicates", dup, "a", TAR_OK, 1, 0},
      {"later member", dup, "b", TAR_OK, 0, 1024},
      {"case-sensitive", dup, "A", TAR_ERR_NOT_FOUND, 0, 0},
      {"no prefix match", dup, "", TAR_ERR_NOT_FOUND, 0, 0},
      {"end marker only", only_end, "a", TAR_ERR_NOT_FOUND, 0, 0},
      {"empty buffer", nothing, "a", TAR_ERR_READ, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    tar_stream s;
    ASSERT_EQ(tar_open_memory_reader(s, c.archive), TAR_OK);
    tar_header h;
    ASSERT_EQ(tar_find(s, c.name, &h), c.rc);
    if (c.rc == TAR_OK) {
      EXPECT_EQ(h.size, c.size);
      EXPECT_EQ(s.position, c.position);
    }
  }
}

// Damaged checksums, and numeric fields as other writers fill them: leading
// blanks, a field full of digits, no digits at all (read as 0). A patched
// checksum field stays as patched; any other patch gets a correct checksum.
TEST(TarReadHeader, ChecksumAndOctalFields) {
  const auto size = &tar_header::size;
  const struct {
    const char* what;
    Patch patch;
    int rc;
    std::uint32_t tar_header::*member;
    std::uint32_t expected;
  } cases[] = {
      {"checksum digit changed", {148, 8, std::string("001612\0 ", 8)}, TAR_ERR_CHECKSUM},
      {"checksum blanks only", {148, 8, "        "}, TAR_ERR_CHECKSUM},
      {"checksum not octal", {148, 8, std::string("0016x1\0 ", 8)}, TAR_ERR_CHECKSUM},
      {"checksum NUL first", {148, 8, std::string("\00001611\0 ", 8)}, TAR_ERR_NULL_RECORD},
      {"checksum after blanks", {148, 8, std::string("  1611\0 ", 8)}, TAR_OK, size, 3},
      {"checksum of seven digits", {148, 8, std::string("0001611\0", 8)}, TAR_OK, size, 3},
      {"size after blanks", {124, 12, "\t    25640"}, TAR_OK, size, 11168},
      {"size ends at blank", {124, 12, "25640 7"}, TAR_OK, size, 11168},
      {"size all NUL", {124, 12, ""}, TAR_OK, size, 0},
      {"size blanks only", {124, 12, "           "}, TAR_OK, size, 0},
      {"size saturates", {124, 12, "777777777777"}, TAR_OK, size, 0xFFFFFFFF},
      {"mode letters", {100, 8, "xyz"}, TAR_OK, &tar_header::mode, 0},
      {"mode fills field", {100, 16, "000006647"}, TAR_OK, &tar_header::mode, 0664},
      {"owner fills field", {108, 16, "123456707"}, TAR_OK, &tar_header::owner, 012345670},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Bytes a = build({{"abc", kAbc}});
    apply(a, c.patch, c.patch.offset != 148);
    tar_stream s;
    tar_open_memory_reader(s, a);
    tar_header h;
    EXPECT_EQ(tar_read_header(s, h), c.rc);
    EXPECT_EQ(s.position, 0u);
    if (c.member) {
      EXPECT_EQ(h.*c.member, c.expected);
    }
  }
  // Names that fill their whole field end there.
  Bytes a = build({{"abc", {}}});
  apply(a, {0, 100, std::string(100, 'n')});
  apply(a, {157, 100, std::string(100, 'l')});
  tar_stream s;
  tar_open_memory_reader(s, a);
  tar_header h;
  ASSERT_EQ(tar_read_header(s, h), TAR_OK);
  EXPECT_EQ(h.name, std::string(100, 'n'));
  EXPECT_EQ(h.linkname, std::string(100, 'l'));
}

TEST(TarReadData, PiecesNeverPassTheMember) {
  const Bytes a = build({{"abc", kAbc}, {"z", {'z'}}});
  tar_stream s;
  tar_open_memory_reader(s, a);
  Bytes four(4, 0xEE), two(2), one(1);
  EXPECT_EQ(tar_read_data(s, four), TAR_ERR_FAILURE);  // more than the member holds
  EXPECT_EQ(s.position, 0u);
  EXPECT_EQ(four, Bytes(4, 0xEE));
  ASSERT_EQ(tar_read_data(s, two), TAR_OK);
  EXPECT_EQ(s.remaining, 1u);
  EXPECT_EQ(tar_read_data(s, two), TAR_ERR_FAILURE);  // more than remains
  ASSERT_EQ(tar_read_data(s, one), TAR_OK);
  EXPECT_EQ((Bytes{two[0], two[1], one[0]}), kAbc);
  EXPECT_EQ(s.position, 0u);  // back on the member's header
  Bytes whole(3);
  ASSERT_EQ(tar_read_data(s, whole), TAR_OK);  // a second read of the same member
  EXPECT_EQ(whole, kAbc);
}

TEST(TarReadData, TruncatedArchives) {
  const Bytes full = build({{"a", pattern(513)}});
  const struct {
    std::size_t cut;
    int find_rc, read_rc, missing_rc;
  } cases[] = {
      {0, TAR_ERR_READ, TAR_ERR_READ, TAR_ERR_READ},
      {300, TAR_ERR_READ, TAR_ERR_READ, TAR_ERR_READ},
      {512, TAR_OK, TAR_ERR_READ, TAR_ERR_READ},
      {1024, TAR_OK, TAR_ERR_READ, TAR_ERR_READ},
      {1536, TAR_OK, TAR_OK, TAR_ERR_READ},
      {2048, TAR_OK, TAR_OK, TAR_ERR_NOT_FOUND},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.cut);
    const Bytes a(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(c.cut));
    tar_stream s;
    tar_open_memory_reader(s, a);
    EXPECT_EQ(tar_find(s, "missing"), c.missing_rc);
    ASSERT_EQ(tar_find(s, "a"), c.find_rc);
    Bytes got(513, 0xEE), member;
    if (c.find_rc == TAR_OK) {
      EXPECT_EQ(tar_read_data(s, got), c.read_rc);
      EXPECT_EQ(got, c.read_rc == TAR_OK ? pattern(513) : Bytes(513, 0xEE));
    }
    EXPECT_EQ(tar_read_member(s, "a", member), c.find_rc == TAR_OK ? c.read_rc : c.find_rc);
  }
}

TEST(TarReadData, SizesBeyondTheArchive) {
  const struct {
    const char* size;
    int next_rc, missing_rc;
  } cases[] = {
      {"10000", TAR_OK, TAR_ERR_READ},
      {"37777777000", TAR_ERR_SEEK, TAR_ERR_SEEK},  // would wrap onto the same header
      {"37777777777", TAR_ERR_SEEK, TAR_ERR_SEEK},
      {"77777777777", TAR_ERR_SEEK, TAR_ERR_SEEK},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.size);
    Bytes a = build({{"a", {}}});
    apply(a, {124, 12, c.size});
    tar_stream s;
    tar_open_memory_reader(s, a);
    tar_header h;
    ASSERT_EQ(tar_find(s, "a", &h), TAR_OK);
    EXPECT_EQ(tar_check_member(s, h), TAR_ERR_READ);
    Bytes small(16, 0xEE), member;
    EXPECT_EQ(tar_read_data(s, small), TAR_ERR_READ);
    EXPECT_EQ(small, Bytes(16, 0xEE));
    EXPECT_EQ(tar_read_member(s, "a", member), TAR_ERR_READ);
    EXPECT_EQ(tar_next(s), c.next_rc);
    EXPECT_EQ(tar_find(s, "missing"), c.missing_rc);
  }
}

// Accepted headers read back unchanged; refused ones write nothing.
TEST(TarWrite, HeaderLimits) {
  const std::string n99(99, 'n'), n100(100, 'n');
  const struct {
    const char* what;
    tar_header h;
    int rc;
  } cases[] = {
      {"every field at its limit", {07777777, 07777777, 0, 0xFFFFFFFF, '2', n99, n99}, TAR_OK},
      {"symlink", {0777, 1000, 0, 1700000000, '2', "link", "target"}, TAR_OK},
      {"name of 100", {0664, 0, 0, 0, '0', n100, ""}, TAR_ERR_FAILURE},
      {"linkname of 100", {0664, 0, 0, 0, '0', "n", n100}, TAR_ERR_FAILURE},
      {"name with NUL", {0664, 0, 0, 0, '0', std::string("a\0b", 3), ""}, TAR_ERR_FAILURE},
      {"mode too big", {010000000, 0, 0, 0, '0', "n", ""}, TAR_ERR_FAILURE},
      {"owner too big", {0664, 010000000, 0, 0, '0', "n", ""}, TAR_ERR_FAILURE},
      {"type not a byte", {0664, 0, 0, 0, 0x130, "n", ""}, TAR_ERR_FAILURE},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    tar_stream w;
    tar_open_memory_writer(w);
    ASSERT_EQ(tar_write_header(w, c.h), c.rc);
    const Bytes a = tar_memory_take(w);
    if (c.rc != TAR_OK) {
      EXPECT_TRUE(a.empty());
      continue;
    }
    tar_stream r;
    tar_open_memory_reader(r, a);
    tar_header in;
    ASSERT_EQ(tar_read_header(r, in), TAR_OK);
    EXPECT_EQ(std::tie(in.mode, in.owner, in.size, in.mtime, in.type, in.name, in.linkname),
              std::tie(c.h.mode, c.h.owner, c.h.size, c.h.mtime, c.h.type, c.h.name, c.h.linkname));
  }
}

TEST(TarWrite, DataMustMatchTheDeclaredSize) {
  tar_stream s;
  tar_open_memory_writer(s);
  EXPECT_EQ(tar_write_data(s, kAbc), TAR_ERR_FAILURE);  // no header yet
  ASSERT_EQ(tar_write_file_header(s, "abc", 3), TAR_OK);
  EXPECT_EQ(tar_write_data(s, pattern(4)), TAR_ERR_FAILURE);
  ASSERT_EQ(tar_write_data(s, std::span(kAbc).first(1)), TAR_OK);
  EXPECT_EQ(tar_write_file_header(s, "next", 0), TAR_ERR_FAILURE);
  EXPECT_EQ(tar_finalize(s), TAR_ERR_FAILURE);
  EXPECT_EQ(s.position, 513u);
  ASSERT_EQ(tar_write_data(s, std::span(kAbc).subspan(1)), TAR_OK);
  ASSERT_EQ(tar_finalize(s), TAR_OK);
  EXPECT_EQ(tar_memory_take(s), build({{"abc", kAbc}}));
}

// Wraps a memory writer's callback so that the n-th call fails.
int g_write_calls = 0, g_fail_at = 0;
tar_write_fn g_inner_write = nullptr;
int flaky_write(tar_stream& stream, const std::uint8_t* source, std::uint32_t count) {
  if (++g_write_calls == g_fail_at) return TAR_ERR_WRITE;
  return g_inner_write(stream, source, count);
}

TEST(TarWrite, FirstFailedWriteEndsTheOperation) {
  // Calls: 1 header, 2 data, 3..511 padding bytes, 512..1535 end marker bytes.
  const struct {
    int fail_at;
    int failing_step;  // 0 header, 1 data, 2 end marker, 3 none
    std::uint32_t position;
  } cases[] = {{1, 0, 512},    {2, 1, 515},     {3, 1, 516},  {511, 1, 1024},
               {512, 2, 1025}, {1535, 2, 2048}, {-1, 3, 2048}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.fail_at);
    tar_stream s;
    tar_open_memory_writer(s);
    g_inner_write = std::exchange(s.write, flaky_write);
    g_write_calls = 0;
    g_fail_at = c.fail_at;
    int rc = TAR_OK, step = 0;
    for (; step < 3 && rc == TAR_OK; ++step) {
      rc = step == 0   ? tar_write_file_header(s, "abc", 3)
           : step == 1 ? tar_write_data(s, kAbc)
                       : tar_finalize(s);
    }
    EXPECT_EQ(rc, c.failing_step < 3 ? TAR_ERR_WRITE : TAR_OK);
    EXPECT_EQ(rc == TAR_OK ? 3 : step - 1, c.failing_step);
    EXPECT_EQ(s.position, c.position);
  }
}

TEST(TarStream, OperationsWithoutTheirCallbackFail) {
  const Bytes a = build({{"a", {'1'}}});
  tar_stream writer, reader, no_buffer, cleared;
  tar_open_memory_writer(writer);
  tar_open_memory_reader(reader, a);
  tar_open_memory_reader(no_buffer, nullptr, 10);
  tar_header h;
  Bytes one(1);
  EXPECT_EQ(tar_read_header(writer, h), TAR_ERR_FAILURE);
  EXPECT_EQ(tar_find(writer, "a"), TAR_ERR_FAILURE);
  EXPECT_EQ(tar_close(writer), TAR_ERR_FAILURE);
  EXPECT_EQ(tar_write_file_header(reader, "b", 0), TAR_ERR_FAILURE);
  EXPECT_EQ(tar_finalize(reader), TAR_ERR_FAILURE);
  EXPECT_EQ(tar_read_data(no_buffer, one), TAR_ERR_FAILURE);
  EXPECT_EQ(tar_seek(no_buffer, 0), TAR_ERR_FAILURE);
  EXPECT_EQ(tar_close(no_buffer), TAR_ERR_FAILURE);
  EXPECT_EQ(tar_next(cleared), TAR_ERR_FAILURE);
}

// GNU tar as an independent peer, both ways: it lists and unpacks our
// archive, then packs the unpacked files into an archive we read.
TEST(TarInterop, GnuTar) {
  if (!test::have_program("tar") || !test::have_program("timeout")) {
    GTEST_SKIP() << "GNU tar (or timeout) not installed; interop not checked";
  }
  test::TempDir dir;
  const std::vector<Member> files = {{"cfg/dali1.bin", pattern(513)},
                                     {"status.txt", {'{', '}'}},
                                     {"empty", {}},
                                     {"block", pattern(512, 5)},
                                     {"cfg/sub/inner.bin", pattern(11168, 3)}};
  const std::string ours = dir.file("ours.tar"), gnu = dir.file("gnu.tar"), out = dir.file("out");
  build(files, ours);
  // Each line of the listing: mode, owner/group, size, date, time, name.
  std::string listing, expected;
  ASSERT_EQ(test::run_command("TZ=UTC timeout 60 tar -tvf '" + ours + "' >'" + ours +
                                  ".lst' 2>&1; s=$?; awk '{print $6, $1, $2, $3, $4}' '" + ours +
                                  ".lst'; exit $s",
                              &listing),
            0)
      << listing;
  for (const Member& m : files) {
    expected += m.name + " -rw-rw-r-- 0/0 " + std::to_string(m.data.size()) + " 1970-01-01\n";
  }
  EXPECT_EQ(listing, expected);
  std::filesystem::create_directory(out);
  std::string messages;
  ASSERT_EQ(test::run_command("timeout 60 tar -xf '" + ours + "' -C '" + out + "' 2>&1 && cd '" +
                                  out + "' && timeout 60 tar --format=v7 -cf '" + gnu +
                                  "' empty status.txt block cfg 2>&1",
                              &messages),
            0)
      << messages;
  EXPECT_EQ(messages, "");
  for (const Member& m : files) EXPECT_EQ(test::read_file(out + "/" + m.name), m.data);

  tar_stream s;
  ASSERT_EQ(tar_open(s, gnu, "r"), TAR_OK);
  tar_header h;
  for (const Member& m : files) {
    Bytes got;
    ASSERT_EQ(tar_read_member(s, m.name, got, &h), TAR_OK) << m.name;
    EXPECT_EQ(got, m.data) << m.name;
    // GNU tar marks old-style regular files with a NUL type byte.
    EXPECT_TRUE(h.type == 0 || h.type == '0') << m.name << " type " << h.type;
  }
  ASSERT_EQ(tar_find(s, "cfg/sub/", &h), TAR_OK);
  EXPECT_EQ(h.type, static_cast<std::uint32_t>('5'));
  ASSERT_EQ(tar_rewind(s), TAR_OK);
  int members = 0;
  for (; tar_read_header(s, h) == TAR_OK && members < 100; ++members) {
    ASSERT_EQ(tar_next(s), TAR_OK);
  }
  EXPECT_EQ(members, 7);  // the five files and two folders
  EXPECT_EQ(tar_read_header(s, h), TAR_ERR_NULL_RECORD);
  EXPECT_EQ(tar_close(s), TAR_OK);
}

}  // namespace
}  // namespace torvi
