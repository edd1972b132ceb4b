#include "firmware/firmware_package.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>

#include "package_fixtures.h"
#include "test_support.h"

namespace torvi {
namespace {

using test::aes256_switches;
using Bytes = std::vector<std::uint8_t>;

constexpr char kPreparing[] = "Preparing file...\n";

std::string invalid(const std::string& what) {
  return kPreparing + ("File format is invalid (" + what + ").\n");
}

struct PackageRun {
  int rc = 0;
  std::string out;
  ImageRecord image;
  std::optional<Sha256Digest> header;
  Sha256Digest digest{};  // the running digest after the reader fed it
  PackageTrace trace;
};

// Runs a reader (the package reader unless `raw`) on the file at `path`,
// leaving out the arguments named in `missing`: i(mage), h(eader), c(ontext).
PackageRun run_reader(const std::string& path, bool raw = false, const std::string& missing = "",
                      const FirmwareReaderFaults& faults = {}) {
  PackageRun run;
  image_record_set_path(run.image, path.c_str());
  Sha256Context context;
  sha256_init(context);
  ImageRecord* image = missing == "i" ? nullptr : &run.image;
  Sha256Context* digest = missing == "c" ? nullptr : &context;
  std::optional<Sha256Digest>* header = missing == "h" ? nullptr : &run.header;
  test::ConsoleCapture capture;
  run.rc = raw ? firmware_read_binary(image, digest, faults)
               : firmware_read_package(image, header, digest, faults, &run.trace);
  run.out = capture.out();
  sha256_final(context, run.digest.data());
  EXPECT_EQ(run.image.size, run.image.data.size());
  return run;
}

#define REQUIRE_7ZIP() \
  if (!test::have_program("7zz")) GTEST_SKIP() << "7zz (Debian package 7zip) is not installed"

enum class H { none, matches, differs };  // what the header digest comes back as
enum class Payload { sample, empty, damaged, code_damaged };

// One 7-Zip package per case, each varying one thing from a good one.
TEST(FirmwareReadPackage, EveryMethodRefusalAndHeaderForm) {
  REQUIRE_7ZIP();
  const Bytes sample = test::pseudo_image(300000, 7);
  const std::string good = test::header_text_for(sample),
                    pw = std::string(" -p") + kFirmwarePackagePassword;
  const std::string wrong = aes256_switches("Deflate", "wrong"), aes = aes256_switches("Deflate");
  std::string with_nul = good, upper = good;
  with_nul[10] = '\0';  // would leave fewer than 32 bytes to compare
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  const std::string length = std::string(kPreparing) + "File content length is invalid (bh).\n";
  using S = PackageStep;
  struct Case {  // fields left out keep the good package's
    int rc;
    PackageStep step;  // where the reader stopped
    std::string out;
    H header;
    std::string header_text;
    std::string header_switches = aes256_switches("Deflate");
    std::string payload_switches = aes256_switches("Deflate");
    const char* header_name = kFirmwareHeaderEntry;
    const char* payload_name = kFirmwarePayloadEntry;
    Payload payload = Payload::sample;
  };
  const Case cases[] = {
      {0, S::passed, kPreparing, H::matches, good},
      {0, S::passed, kPreparing, H::matches, good, aes256_switches("Copy"),
       aes256_switches("Copy")},
      {0, S::passed, kPreparing, H::matches, good, aes256_switches("BZip2"),
       aes256_switches("BZip2")},
      {0, S::passed, kPreparing, H::matches, good, aes256_switches("LZMA"),
       aes256_switches("LZMA")},
      {0, S::passed, kPreparing, H::matches, good, aes256_switches("XZ"), aes256_switches("XZ")},
      {-15, S::header_aes256, invalid("ppfbh"), H::none, good, "-mem=AES128" + pw},
      {-15, S::header_aes256, invalid("ppfbh"), H::none, good, "-mem=ZipCrypto" + pw},
      {-15, S::header_aes256, invalid("ppfbh"), H::none, good, "-mm=Deflate"},
      {-15, S::payload_aes256, invalid("ppfb"), H::matches, good, aes, "-mem=AES128" + pw},
      {-11, S::header_opens, invalid("pbh"), H::none, good, wrong, wrong},
      {-12, S::payload_opens, invalid("pbh"), H::matches, good, aes, wrong},
      {-11, S::header_method, invalid("pbh"), H::none, good, aes256_switches("Deflate64")},
      {-12, S::payload_method, invalid("pbh"), H::matches, good, aes, aes256_switches("PPMd")},
      {-8, S::header_present, invalid("bh"), H::none, good, aes, aes, "fw/torvi.bh"},
      {-8, S::header_present, invalid("bh"), H::none, good, aes, aes, "Torvi.bh"},
      {-4, S::payload_present, invalid("binary"), H::matches, good, aes, aes, kFirmwareHeaderEntry,
       "torvi.BINARY"},
      {-7, S::header_length, length, H::none, good.substr(0, 63)},
      {-7, S::header_length, length, H::none, good + "0"},
      {-7, S::header_length, length, H::none, std::string(200, 'a')},
      {-7, S::header_length, length, H::none, good + "\n", aes256_switches("Copy")},
      {0, S::passed, kPreparing, H::matches, upper},
      {0, S::passed, kPreparing, H::none, "g" + good.substr(1)},
      {0, S::passed, kPreparing, H::none, with_nul},
      {0, S::passed, kPreparing, H::differs, std::string(64, 'e')},
      {0, S::passed, kPreparing, H::matches, test::header_text_for({}), aes, aes,
       kFirmwareHeaderEntry, kFirmwarePayloadEntry, Payload::empty},
      // A damaged payload fails libzip's authentication code at its end: the
      // read error ends the image silently, and the digest no longer matches.
      {0, S::passed, kPreparing, H::matches, good, aes256_switches("Copy"), aes256_switches("Copy"),
       kFirmwareHeaderEntry, kFirmwarePayloadEntry, Payload::damaged},
      // Only the code is damaged: the entry still hands over every byte
      // before its read error, and the image passes on its digest.
      {0, S::passed, kPreparing, H::matches, good, aes, aes, kFirmwareHeaderEntry,
       kFirmwarePayloadEntry, Payload::code_damaged},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.header_text.substr(0, 8) + " " + c.header_switches + " / " + c.payload_switches +
                 " " + c.header_name + " " + c.payload_name);
    test::TempDir dir;
    const std::string path = dir.file("fw.bin");
    const Bytes payload = c.payload == Payload::empty ? Bytes() : sample;
    ASSERT_EQ(
        test::build_with_7zip(dir.path(), path,
                              {{c.header_name, test::bytes_of(c.header_text), c.header_switches},
                               {c.payload_name, payload, c.payload_switches}}),
        "");
    if (c.payload == Payload::damaged || c.payload == Payload::code_damaged) {
      Bytes bytes = test::read_file(path);
      // The payload, added last, ends with its code right before the
      // central directory, whose offset the archive's last 22 bytes give.
      const std::size_t end = bytes.size() - 22;
      const std::size_t directory = bytes[end + 16] | bytes[end + 17] << 8 | bytes[end + 18] << 16 |
                                    std::size_t{bytes[end + 19]} << 24;
      ASSERT_LT(directory, bytes.size());
      bytes[c.payload == Payload::damaged ? bytes.size() / 2 : directory - 1] ^= 0x01;
      test::write_file(path, bytes);
    }
    const PackageRun run = run_reader(path);
    EXPECT_EQ(run.rc, c.rc);
    EXPECT_EQ(run.trace.stopped_at, c.step);
    EXPECT_EQ(run.out, c.out);
    const Sha256Digest expected = sha256_digest(payload.data(), payload.size());
    EXPECT_EQ(run.header.has_value(), c.header != H::none);
    EXPECT_EQ(run.header && *run.header == expected, c.header == H::matches);
    if (c.payload == Payload::damaged) {
      EXPECT_NE(run.digest, expected);
      EXPECT_EQ(run.image.data.size(), payload.size());
    } else {
      EXPECT_TRUE(run.image.data == (c.rc == 0 ? payload : Bytes()));
      EXPECT_TRUE(c.rc != 0 || run.digest == expected);
    }
  }
}

// Both readers keep at most one byte past the largest acceptable image
// (16777214 bytes), so an image too large is never held whole; the package
// reader still feeds every payload byte to the digest, so such a package
// matches its header. The decoders go by the compressed stream, not by the
// size an entry claims (1 byte, or 4 GiB). Packages here are Zstandard.
TEST(FirmwareReaders, HoldAtMostOnePastTheLargestImage) {
  const struct {
    bool raw;
    std::optional<std::size_t> size;  // nothing: no file at all
    std::size_t held;
    std::uint32_t claim = 0;  // 0: the true size
  } cases[] = {
      {true, std::nullopt, 0},
      {true, 1025, 1025},
      {true, 16777214, 16777214},
      {true, 16777215, 16777215},
      {true, 30000000, 16777215},
      {false, 300000, 300000},
      {false, 16777214, 16777214},
      {false, 16777215, 16777215},
      {false, 40000000, 16777215},
      {false, 300000, 300000, 1},
      {false, 300000, 300000, 0xFFFFFFF0u},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.raw) + " " + std::to_string(c.size.value_or(0)) + " " +
                 std::to_string(c.claim));
    test::TempDir dir;
    const std::string path = dir.file("fw");
    const Bytes content = test::pseudo_image(c.size.value_or(0), 3);
    if (c.raw && c.size) test::write_file(path, content);
    ASSERT_TRUE(c.raw || test::build_zstd_package(path, test::package_entries(content, ""), 1));
    if (c.claim) {
      Bytes bytes = test::read_file(path);
      ASSERT_TRUE(test::patch_uncompressed_size(bytes, kFirmwarePayloadEntry, c.claim));
      test::write_file(path, bytes);
    }
    const PackageRun run = run_reader(path, c.raw);
    EXPECT_EQ(run.rc, FIRMWARE_OK);
    EXPECT_EQ(run.out, kPreparing);
    ASSERT_EQ(run.image.data.size(), c.held);
    EXPECT_TRUE(std::equal(run.image.data.begin(), run.image.data.end(), content.begin()));
    EXPECT_EQ(run.digest, sha256_digest(content.data(), c.raw ? c.held : content.size()));
    EXPECT_TRUE(c.raw || run.header == run.digest);
  }
}

// Files that are no package (one over 2 GiB is refused by its size without
// being read; it is sparse here), and the failures that only faults or
// callers cause.
TEST(FirmwareReaders, RefusedFilesAndFailures) {
  test::TempDir dir;
  const std::string package = dir.file("fw.bin"), raw = dir.file("fw.binary");
  // Zeros shrink to a package far smaller than the image, so one limit can
  // let the package in and still stop the image.
  ASSERT_TRUE(test::build_zstd_package(package, test::package_entries(Bytes(300000, 0), "")));
  ASSERT_LT(test::read_file(package).size(), 100000u);
  test::write_file(raw, Bytes(300000, 0));
  test::write_file(dir.file("empty.bin"), "");
  test::write_file(dir.file("text.bin"), std::string(5000, 'x'));
  test::write_file(dir.file("huge.bin"), "x");
  const bool sparse = truncate(dir.file("huge.bin").c_str(), 2147483648) == 0;
  const std::string memory = std::string(kPreparing) + "memory error\n";
  const std::string parameters = std::string(kPreparing) + "Parameters error.\n";
  const FirmwareReaderFaults none;
  const struct {
    std::string path;
    FirmwareReaderFaults faults;
    const char* missing;
    int rc;
    std::string out;
    PackageStep step = PackageStep::archive_opens;  // where the package reader stopped
  } cases[] = {
      {dir.file("absent.bin"), none, "", -9, invalid("open")},
      {dir.file("empty.bin"), none, "", -9, invalid("open")},
      {dir.file("text.bin"), none, "", -9, invalid("open")},
      {sparse ? dir.file("huge.bin") : "", none, "", -9, invalid("open")},
      {package, {100}, "", -2, memory},
      {package, {100000}, "", -3, memory, PackageStep::payload_read},
      {raw, {100000}, "", -2, memory},
      {package,
       {SIZE_MAX, kFirmwareHeaderEntry},
       "",
       -13,
       invalid("ppbh"),
       PackageStep::header_present},
      {package,
       {SIZE_MAX, kFirmwarePayloadEntry},
       "",
       -13,
       invalid("ppb"),
       PackageStep::payload_present},
      {package, none, "i", -10, parameters},
      {package, none, "h", -10, parameters},
      {package, none, "c", -10, parameters},
      {raw, none, "i", -10, parameters},
      {raw, none, "c", -10, parameters},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path + " missing " + c.missing + " limit " +
                 std::to_string(c.faults.allocation_limit));
    const PackageRun run = run_reader(c.path, c.path == raw, c.missing, c.faults);
    EXPECT_EQ(run.rc, c.rc);
    EXPECT_EQ(run.out, c.out);
    EXPECT_EQ(run.trace.stopped_at, c.step);
    EXPECT_FALSE(run.header.has_value() && c.rc == -9);
    EXPECT_LE(run.image.data.size(), c.faults.allocation_limit);
  }
  // The reader over bytes in memory says the same, without the file's line.
  test::ConsoleCapture capture;
  ImageRecord image;
  std::optional<Sha256Digest> header;
  Sha256Context context;
  const Bytes bytes(100, 'x');
  EXPECT_EQ(firmware_read_package_bytes(bytes.data(), bytes.size(), image, header, context), -9);
  EXPECT_EQ(capture.out(), "File format is invalid (open).\n");
}

TEST(FileExtension, TakesTheTextAfterTheLastDotAndImagePathIsCut) {
  const std::pair<const char*, const char*> cases[] = {{"fw.tar.bin", "bin"},
                                                       {"fw.BIN", "BIN"},
                                                       {".bin", ""},
                                                       {"image.", ""},
                                                       {"image", ""},
                                                       {"", ""},
                                                       {"C:\\fw.old\\image", "old\\image"},
                                                       {"dir/.hidden", "hidden"},
                                                       {nullptr, ""}};
  for (const auto& [path, extension] : cases) EXPECT_STREQ(file_extension(path), extension);
  const std::string long_path(300, 'p');
  for (const char* path :
       {static_cast<const char*>(nullptr), "C:\\fw\\image.bin", long_path.c_str()}) {
    ImageRecord record;
    std::memset(record.path, 'x', sizeof record.path);
    image_record_set_path(record, path);
    EXPECT_EQ(std::strlen(record.path), path ? std::min<std::size_t>(std::strlen(path), 260) : 0);
  }
}

}  // namespace
}  // namespace torvi
