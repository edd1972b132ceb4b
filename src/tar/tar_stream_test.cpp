#include "tar/tar_stream.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <optional>
#include <sstream>

#include "test_support.h"

namespace torvi {
namespace {

using Bytes = std::vector<std::uint8_t>;

struct Member {
  std::string name;
  Bytes data;
};

Bytes pattern(std::size_t n, std::uint8_t seed = 1) {
  Bytes bytes(n);
  for (std::size_t i = 0; i < n; ++i) bytes[i] = static_cast<std::uint8_t>(i * 7 + seed);
  return bytes;
}

Bytes build(const std::vector<Member>& members) {
  tar_stream s;
  tar_open_memory_writer(s);
  for (const Member& m : members) {
    EXPECT_EQ(tar_write_file_header(s, m.name, static_cast<std::uint32_t>(m.data.size())), TAR_OK);
    EXPECT_EQ(tar_write_data(s, m.data), TAR_OK);
  }
  EXPECT_EQ(tar_finalize(s), TAR_OK);
  return tar_memory_take(s);
}

std::string field(const Bytes& a, std::size_t offset, std::size_t width) {
  return std::string(a.begin() + offset, a.begin() + offset + width);
}

// Overwrites a field of the first header; with `fix`, recomputes its checksum
// the way any tar writer does, so only the field itself is under test.
struct Patch {
  std::size_t offset;
  std::size_t width;
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

TEST(TarStrerror, EveryCodeHasItsValueAndText) {
  const struct {
    int code, value;
    const char* text;
  } cases[] = {
      {TAR_OK, 0, "success"},
      {TAR_ERR_FAILURE, -1, "failure"},
      {TAR_ERR_OPEN, -2, "could not open"},
      {TAR_ERR_READ, -3, "could not read"},
      {TAR_ERR_WRITE, -4, "could not write"},
      {TAR_ERR_SEEK, -5, "could not seek"},
      {TAR_ERR_CHECKSUM, -6, "bad checksum"},
      {TAR_ERR_NULL_RECORD, -7, "null record"},
      {TAR_ERR_NOT_FOUND, -8, "file not found"},
      {-9, -9, "unknown error"},
      {1, 1, "unknown error"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.code, c.value);
    EXPECT_STREQ(tar_strerror(c.code), c.text) << c.code;
  }
}

TEST(TarWrite, ThreeByteMemberHasTheKnownEncoding) {
  const Bytes a = build({{"abc", {'a', 'b', 'c'}}});
  ASSERT_EQ(a.size(), 2048u);
  const struct {
    std::size_t offset, width;
    std::string expected;
  } fields[] = {
      {0, 100, std::string("abc") + std::string(97, '\0')},
      {100, 8, std::string("664\0\0\0\0\0", 8)},
      {108, 8, std::string("0\0\0\0\0\0\0\0", 8)},
      {116, 8, std::string(8, '\0')},
      {124, 12, std::string("3") + std::string(11, '\0')},
      {136, 12, std::string("0") + std::string(11, '\0')},
      {148, 8, std::string("001611\0 ", 8)},
      {156, 1, "0"},
      {157, 355, std::string(355, '\0')},
      {512, 3, "abc"},
      {515, 2048 - 515, std::string(2048 - 515, '\0')},
  };
  for (const auto& f : fields) EXPECT_EQ(field(a, f.offset, f.width), f.expected) << f.offset;
}

TEST(TarRoundTrip, MemberSizesAroundTheBlockBoundary) {
  const struct {
    std::size_t size;
    std::uint32_t padded;
  } cases[] = {{0, 0}, {1, 512}, {511, 512}, {512, 512}, {513, 1024}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.size);
    const Bytes data = pattern(c.size);
    const Bytes a = build({{"m", data}, {"next", {}}});
    ASSERT_EQ(a.size(), 512 + c.padded + 512 + 1024);
    tar_stream s;
    ASSERT_EQ(tar_open_memory_reader(s, a), TAR_OK);
    tar_header h;
    ASSERT_EQ(tar_find(s, "m", &h), TAR_OK);
    EXPECT_EQ(h.size, c.size);
    EXPECT_EQ(h.mode, 0664u);
    EXPECT_EQ(h.type, static_cast<std::uint32_t>('0'));
    EXPECT_EQ(h.owner, 0u);
    EXPECT_EQ(h.mtime, 0u);
    Bytes got(c.size);
    ASSERT_EQ(tar_read_data(s, got), TAR_OK);
    EXPECT_EQ(got, data);
    EXPECT_EQ(s.position, 0u);
    ASSERT_EQ(tar_next(s), TAR_OK);
    EXPECT_EQ(s.position, 512 + c.padded);
    ASSERT_EQ(tar_read_header(s, h), TAR_OK);
    EXPECT_EQ(h.name, "next");
    EXPECT_EQ(tar_close(s), TAR_OK);
  }
}

TEST(TarRoundTrip, FileOnDisk) {
  test::TempDir dir;
  const std::string path = dir.file("a.tar");
  const std::vector<Member> members = {
      {"/etc/config/dali/dali1.bin", pattern(700)}, {"status.txt", {'{', '}'}}, {"e", {}}};
  tar_stream w;
  ASSERT_EQ(tar_open(w, path, "w"), TAR_OK);
  for (const Member& m : members) {
    ASSERT_EQ(tar_write_file_header(w, m.name, static_cast<std::uint32_t>(m.data.size())), TAR_OK);
    ASSERT_EQ(tar_write_data(w, m.data), TAR_OK);
  }
  ASSERT_EQ(tar_finalize(w), TAR_OK);
  ASSERT_EQ(tar_close(w), TAR_OK);
  EXPECT_EQ(test::read_file(path), build(members));

  tar_stream r;
  ASSERT_EQ(tar_open(r, path, "r"), TAR_OK);
  EXPECT_EQ(r.position, 0u);
  for (const Member& m : members) {
    Bytes got;
    ASSERT_EQ(tar_read_member(r, m.name, got), TAR_OK) << m.name;
    EXPECT_EQ(got, m.data);
  }
  EXPECT_EQ(tar_close(r), TAR_OK);
  EXPECT_EQ(tar_close(r), TAR_ERR_FAILURE);  // already closed
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
      {"rb", valid, "rb", TAR_OK, TAR_ERR_WRITE, valid.size()},
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
      tar_close(s);
    }
    if (c.initial) {
      EXPECT_EQ(test::read_file(path).size(), c.final_size);
    }
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
  const Bytes only_end(1024, 0);
  const Bytes nothing;
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
  tar_stream s;
  tar_open_memory_reader(s, only_end);
  tar_header h;
  EXPECT_EQ(tar_read_header(s, h), TAR_ERR_NULL_RECORD);
}

TEST(TarReadHeader, DamagedBlocks) {
  const struct {
    const char* what;
    Patch patch;
    bool fix;
    int rc;
  } cases[] = {
      {"checksum digit changed", {148, 8, std::string("001612\0 ", 8)}, false, TAR_ERR_CHECKSUM},
      {"name changed", {0, 3, "abd"}, false, TAR_ERR_CHECKSUM},
      {"checksum blanks only", {148, 8, "        "}, false, TAR_ERR_CHECKSUM},
      {"checksum not octal", {148, 8, std::string("0016x1\0 ", 8)}, false, TAR_ERR_CHECKSUM},
      {"checksum NUL first",
       {148, 8,
        std::string("\0"
                    "01611\0 ",
                    8)},
       false,
       TAR_ERR_NULL_RECORD},
      {"checksum after blanks", {148, 8, std::string("  1611\0 ", 8)}, false, TAR_OK},
      {"checksum seven digits", {148, 8, std::string("0001611\0", 8)}, false, TAR_OK},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Bytes a = build({{"abc", {'a', 'b', 'c'}}});
    apply(a, c.patch, c.fix);
    tar_stream s;
    tar_open_memory_reader(s, a);
    tar_header h;
    EXPECT_EQ(tar_read_header(s, h), c.rc);
    EXPECT_EQ(s.position, 0u);
  }
}

TEST(TarReadHeader, OctalFields) {
  const struct {
    const char* what;
    std::vector<Patch> patches;
    std::uint32_t tar_header::*member;
    std::uint32_t expected;
  } cases[] = {
      {"size after blanks", {{124, 12, "     25640"}}, &tar_header::size, 11168},
      {"size after zeros", {{124, 12, "00000025640"}}, &tar_header::size, 11168},
      {"size ends at blank", {{124, 12, "25640 7"}}, &tar_header::size, 11168},
      {"size all NUL", {{124, 12, ""}}, &tar_header::size, 0},
      {"size blanks only", {{124, 12, "           "}}, &tar_header::size, 0},
      {"size too big saturates", {{124, 12, "777777777777"}}, &tar_header::size, 0xFFFFFFFF},
      {"mode letters", {{100, 8, "xyz"}}, &tar_header::mode, 0},
      {"owner blanks", {{108, 8, "  "}}, &tar_header::owner, 0},
      {"mtime NUL", {{136, 12, ""}}, &tar_header::mtime, 0},
      {"mtime blank then digits", {{136, 12, "\t17"}}, &tar_header::mtime, 017},
      {"mode fills field", {{100, 8, "00000664"}, {108, 8, "7"}}, &tar_header::mode, 0664},
      {"owner fills field", {{108, 8, "12345670"}, {116, 8, "7"}}, &tar_header::owner, 012345670},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Bytes a = build({{"abc", {'a', 'b', 'c'}}});
    for (const Patch& p : c.patches) apply(a, p);
    tar_stream s;
    tar_open_memory_reader(s, a);
    tar_header h;
    ASSERT_EQ(tar_read_header(s, h), TAR_OK);
    EXPECT_EQ(h.*c.member, c.expected);
  }
}

TEST(TarReadHeader, NamesFillingTheirWholeField) {
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
  const Bytes a = build({{"abc", {'a', 'b', 'c'}}, {"z", {'z'}}});
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
  EXPECT_EQ((Bytes{two[0], two[1], one[0]}), (Bytes{'a', 'b', 'c'}));
  EXPECT_EQ(s.position, 0u);  // back on the member's header
  Bytes whole(3);
  ASSERT_EQ(tar_read_data(s, whole), TAR_OK);  // a second read of the same member
  EXPECT_EQ(whole, (Bytes{'a', 'b', 'c'}));
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
    Bytes got(513, 0xEE);
    if (c.find_rc == TAR_OK) {
      EXPECT_EQ(tar_read_data(s, got), c.read_rc);
      EXPECT_EQ(got, c.read_rc == TAR_OK ? pattern(513) : Bytes(513, 0xEE));
    }
    Bytes member;
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
  const Bytes abc{'a', 'b', 'c'};
  EXPECT_EQ(tar_write_data(s, abc), TAR_ERR_FAILURE);  // no header yet
  ASSERT_EQ(tar_write_file_header(s, "abc", 3), TAR_OK);
  EXPECT_EQ(tar_write_data(s, pattern(4)), TAR_ERR_FAILURE);
  ASSERT_EQ(tar_write_data(s, std::span(abc).first(1)), TAR_OK);
  EXPECT_EQ(tar_write_file_header(s, "next", 0), TAR_ERR_FAILURE);
  EXPECT_EQ(tar_finalize(s), TAR_ERR_FAILURE);
  EXPECT_EQ(s.position, 513u);
  ASSERT_EQ(tar_write_data(s, std::span(abc).subspan(1)), TAR_OK);
  ASSERT_EQ(tar_finalize(s), TAR_OK);
  EXPECT_EQ(tar_memory_take(s), build({{"abc", abc}}));
}

// Wraps a memory writer's callback so that the n-th call fails.
int g_write_calls = 0;
int g_fail_at = 0;
tar_write_fn g_inner_write = nullptr;
int flaky_write(tar_stream& stream, const std::uint8_t* source, std::uint32_t count) {
  if (++g_write_calls == g_fail_at) return TAR_ERR_WRITE;
  return g_inner_write(stream, source, count);
}

TEST(TarWrite, FirstFailedWriteEndsTheOperation) {
  // Calls: 1 header, 2 data, 3..511 padding bytes, 512..1535 end marker bytes.
  const struct {
    int fail_at;
    int failing_step;  // 0 header, 1 data, 2 end marker, -1 none
    std::uint32_t position;
  } cases[] = {{1, 0, 512},    {2, 1, 515},     {3, 1, 516},   {511, 1, 1024},
               {512, 2, 1025}, {1535, 2, 2048}, {-1, -1, 2048}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.fail_at);
    tar_stream s;
    tar_open_memory_writer(s);
    g_inner_write = s.write;
    s.write = flaky_write;
    g_write_calls = 0;
    g_fail_at = c.fail_at;
    const Bytes abc{'a', 'b', 'c'};
    const std::function<int()> steps[] = {[&] { return tar_write_file_header(s, "abc", 3); },
                                          [&] { return tar_write_data(s, abc); },
                                          [&] { return tar_finalize(s); }};
    int failed = -1;
    for (int i = 0; i < 3 && failed < 0; ++i) {
      int rc = steps[i]();
      if (rc != TAR_OK) {
        EXPECT_EQ(rc, TAR_ERR_WRITE);
        failed = i;
      }
    }
    EXPECT_EQ(failed, c.failing_step);
    EXPECT_EQ(s.position, c.position);
  }
}

TEST(TarStream, OperationsWithoutTheirCallbackFail) {
  const Bytes a = build({{"a", {'1'}}});
  const auto reader = [&](tar_stream& s) { tar_open_memory_reader(s, a); };
  const auto null_reader = [](tar_stream& s) { tar_open_memory_reader(s, nullptr, 10); };
  const auto writer = [](tar_stream& s) { tar_open_memory_writer(s); };
  const auto cleared = [](tar_stream&) {};
  tar_header h;
  Bytes one(1);
  const struct {
    const char* what;
    std::function<void(tar_stream&)> open;
    std::function<int(tar_stream&)> op;
  } cases[] = {
      {"header from writer", writer, [&](tar_stream& s) { return tar_read_header(s, h); }},
      {"find in writer", writer, [](tar_stream& s) { return tar_find(s, "a"); }},
      {"close writer", writer, [](tar_stream& s) { return tar_close(s); }},
      {"header into reader", reader,
       [](tar_stream& s) { return tar_write_file_header(s, "b", 0); }},
      {"end marker into reader", reader, [](tar_stream& s) { return tar_finalize(s); }},
      {"reader without buffer", null_reader, [&](tar_stream& s) { return tar_read_data(s, one); }},
      {"seek without buffer", null_reader, [](tar_stream& s) { return tar_seek(s, 0); }},
      {"close without buffer", null_reader, [](tar_stream& s) { return tar_close(s); }},
      {"cleared stream", cleared, [](tar_stream& s) { return tar_next(s); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    tar_stream s;
    c.open(s);
    EXPECT_EQ(c.op(s), TAR_ERR_FAILURE);
  }
}

// GNU tar as an independent peer, both ways.
bool have_tar() {
  return test::have_program("tar") && test::have_program("timeout");
}

TEST(TarInterop, ReadsArchivesWrittenByGnuTar) {
  if (!have_tar()) GTEST_SKIP() << "GNU tar (or timeout) not installed; interop not checked";
  test::TempDir dir;
  const std::vector<Member> files = {{"empty", {}},
                                     {"three", {'a', 'b', 'c'}},
                                     {"block", pattern(512)},
                                     {"over", pattern(513, 9)},
                                     {"sub/inner.bin", pattern(11168, 3)}};
  std::filesystem::create_directory(dir.file("in"));
  std::filesystem::create_directory(dir.file("in/sub"));
  for (const Member& m : files) test::write_file(dir.file("in/" + m.name), m.data);
  const std::string archive = dir.file("gnu.tar");
  ASSERT_EQ(test::run_command("cd '" + dir.file("in") + "' && timeout 60 tar --format=v7 -cf '" +
                              archive + "' empty three block over sub 2>&1"),
            0);
  tar_stream s;
  ASSERT_EQ(tar_open(s, archive, "r"), TAR_OK);
  for (const Member& m : files) {
    Bytes got;
    tar_header h;
    ASSERT_EQ(tar_read_member(s, m.name, got, &h), TAR_OK) << m.name;
    EXPECT_EQ(got, m.data) << m.name;
    // GNU tar marks old-style regular files with a NUL type byte.
    EXPECT_TRUE(h.type == 0 || h.type == '0') << m.name << " type " << h.type;
  }
  tar_header h;
  ASSERT_EQ(tar_find(s, "sub/", &h), TAR_OK);
  EXPECT_EQ(h.type, static_cast<std::uint32_t>('5'));
  ASSERT_EQ(tar_rewind(s), TAR_OK);
  int members = 0;
  while (tar_read_header(s, h) == TAR_OK && members < 100) {
    ASSERT_EQ(tar_next(s), TAR_OK);
    ++members;
  }
  EXPECT_EQ(members, 6);
  EXPECT_EQ(tar_read_header(s, h), TAR_ERR_NULL_RECORD);
  EXPECT_EQ(tar_close(s), TAR_OK);
}

TEST(TarInterop, GnuTarReadsOurArchives) {
  if (!have_tar()) GTEST_SKIP() << "GNU tar (or timeout) not installed; interop not checked";
  test::TempDir dir;
  const std::vector<Member> files = {{"cfg/dali1.bin", pattern(513)},
                                     {"status.txt", {'{', '}', '\n'}},
                                     {"empty.bin", {}},
                                     {"block.bin", pattern(512, 5)}};
  const std::string archive = dir.file("ours.tar");
  test::write_file(archive, build(files));

  std::string listing;
  ASSERT_EQ(test::run_command("TZ=UTC timeout 60 tar -tvf '" + archive + "' 2>&1", &listing), 0)
      << listing;
  // Each line: mode, owner/group, size, date, time, name.
  std::istringstream lines(listing);
  std::vector<std::string> seen;
  for (std::string line; std::getline(lines, line);) {
    std::istringstream words(line);
    std::string mode, owner, size, date, time, name;
    words >> mode >> owner >> size >> date >> time >> name;
    seen.push_back(name + " " + mode + " " + owner + " " + size + " " + date);
  }
  std::vector<std::string> expected;
  for (const Member& m : files) {
    expected.push_back(m.name + " -rw-rw-r-- 0/0 " + std::to_string(m.data.size()) + " 1970-01-01");
  }
  EXPECT_EQ(seen, expected) << listing;

  std::filesystem::create_directory(dir.file("out"));
  std::string messages;
  ASSERT_EQ(
      test::run_command("timeout 60 tar -xf '" + archive + "' -C '" + dir.file("out") + "' 2>&1",
                        &messages),
      0)
      << messages;
  EXPECT_EQ(messages, "");
  for (const Member& m : files) EXPECT_EQ(test::read_file(dir.file("out/" + m.name)), m.data);
}

}  // namespace
}  // namespace torvi
