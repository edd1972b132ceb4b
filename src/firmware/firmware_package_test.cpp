#include "firmware/firmware_package.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "firmware/firmware_info.h"
#include "firmware/package_fixtures.h"
#include "test_support.h"

namespace torvi {
namespace {

using test::aes256_switches;
using test::header_text_for;
using test::package_entries;
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
};

// Runs a reader (the package reader unless `raw`) on the file at `path`,
// leaving out the arguments named in `missing`: i(mage), h(eader), c(ontext).
PackageRun run_reader(const std::string& path, bool raw = false, const std::string& missing = "") {
  PackageRun run;
  image_record_set_path(run.image, path.c_str());
  Sha256Context context;
  sha256_init(context);
  ImageRecord* image = missing == "i" ? nullptr : &run.image;
  Sha256Context* digest = missing == "c" ? nullptr : &context;
  test::ConsoleCapture capture;
  run.rc = raw ? firmware_read_binary(image, digest)
               : firmware_read_package(image, missing == "h" ? nullptr : &run.header, digest);
  run.out = capture.out();
  sha256_final(context, run.digest.data());
  EXPECT_EQ(run.image.size, run.image.data.size());
  return run;
}

#define REQUIRE_7ZIP() \
  if (!test::have_program("7zz")) GTEST_SKIP() << "7zz (Debian package 7zip) is not installed"

const Bytes& sample_image() {
  static const Bytes image = test::pseudo_image(300000, 7);
  return image;
}

const Sha256Digest& sample_digest() {
  static const Sha256Digest digest = sha256_digest(sample_image().data(), sample_image().size());
  return digest;
}

// Every method a package may use, written by 7-Zip; Zstandard by libzip.
TEST(FirmwareReadPackage, ReadsEveryMethod) {
  REQUIRE_7ZIP();
  const std::pair<std::string, int> cases[] = {{"Copy", 0},  {"Deflate", 8}, {"BZip2", 12},
                                               {"LZMA", 14}, {"XZ", 95},     {"Zstd", 93}};
  for (const auto& [method, zip_method] : cases) {
    SCOPED_TRACE(method);
    test::TempDir dir;
    const std::string path = dir.file("fw.bin");
    const auto entries = package_entries(sample_image(), aes256_switches(method));
    if (method == "Zstd") {
      ASSERT_TRUE(test::build_zstd_package(path, entries));
    } else {
      ASSERT_EQ(test::build_with_7zip(dir.path(), path, entries), "");
    }
    ASSERT_EQ(test::entry_method(path, kFirmwarePayloadEntry), zip_method);
    const PackageRun run = run_reader(path);
    EXPECT_EQ(run.rc, FIRMWARE_OK);
    EXPECT_EQ(run.out, kPreparing);
    EXPECT_TRUE(run.image.data == sample_image());
    EXPECT_EQ(run.digest, sample_digest());
    EXPECT_EQ(run.header, sample_digest());
    if (method != "Copy") continue;
    // A damaged payload fails libzip's authentication code at its end: the
    // read error ends the image silently, and the digest no longer matches.
    Bytes bytes = test::read_file(path);
    bytes[bytes.size() / 2] ^= 0x01;  // inside the payload's stored bytes
    test::write_file(path, bytes);
    const PackageRun damaged = run_reader(path);
    EXPECT_EQ(damaged.rc, FIRMWARE_OK);
    EXPECT_EQ(damaged.out, kPreparing);
    EXPECT_EQ(damaged.header, sample_digest());
    EXPECT_NE(damaged.digest, sample_digest());
    EXPECT_EQ(damaged.image.data.size(), sample_image().size());
  }
}

enum class HeaderOut { none, matches, differs };

// One package per case, each varying one thing from a good one.
TEST(FirmwareReadPackage, EveryRefusalAndHeaderForm) {
  REQUIRE_7ZIP();
  const std::string good = header_text_for(sample_image());
  const std::string pw = std::string(" -p") + kFirmwarePackagePassword;
  const std::string wrong = aes256_switches("Deflate", "wrong");
  std::string with_nul = good, upper = good;
  with_nul[10] = '\0';  // would leave fewer than 32 bytes to compare
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  const std::string length = std::string(kPreparing) + "File content length is invalid (bh).\n";
  const std::string aes = aes256_switches("Deflate");
  using H = HeaderOut;
  // Fields left out keep the good package's.
  struct Case {
    const char* name;
    int rc;
    std::string out;
    HeaderOut header;
    std::string header_text = header_text_for(sample_image());
    std::string header_switches = aes256_switches("Deflate");
    std::string payload_switches = aes256_switches("Deflate");
    const char* header_name = kFirmwareHeaderEntry;
    const char* payload_name = kFirmwarePayloadEntry;
    bool empty_payload = false;
  };
  const Case cases[] = {
      {"AES-128", FIRMWARE_ERR_NOT_AES256, invalid("ppfbh"), H::none, good, "-mem=AES128" + pw},
      {"ZipCrypto", FIRMWARE_ERR_NOT_AES256, invalid("ppfbh"), H::none, good,
       "-mem=ZipCrypto" + pw},
      {"no encryption", FIRMWARE_ERR_NOT_AES256, invalid("ppfbh"), H::none, good, "-mm=Deflate"},
      {"payload AES-128", FIRMWARE_ERR_NOT_AES256, invalid("ppfb"), H::matches, good, aes,
       "-mem=AES128" + pw},
      {"wrong password", FIRMWARE_ERR_HEADER_PASSWORD, invalid("pbh"), H::none, good, wrong, wrong},
      {"wrong payload password", FIRMWARE_ERR_PAYLOAD_PASSWORD, invalid("pbh"), H::matches, good,
       aes, wrong},
      {"Deflate64 header", FIRMWARE_ERR_HEADER_PASSWORD, invalid("pbh"), H::none, good,
       aes256_switches("Deflate64")},
      {"PPMd payload", FIRMWARE_ERR_PAYLOAD_PASSWORD, invalid("pbh"), H::matches, good, aes,
       aes256_switches("PPMd")},
      {"no header entry", FIRMWARE_ERR_NO_HEADER, invalid("bh"), H::none, good, aes, aes,
       "fw/torvi.bh"},
      {"header name differs in case", FIRMWARE_ERR_NO_HEADER, invalid("bh"), H::none, good, aes,
       aes, "Torvi.bh"},
      {"payload name differs in case", FIRMWARE_ERR_NO_PAYLOAD, invalid("binary"), H::matches, good,
       aes, aes, kFirmwareHeaderEntry, "torvi.BINARY"},
      {"header of 63", FIRMWARE_ERR_HEADER_LENGTH, length, H::none, good.substr(0, 63)},
      {"header of 65", FIRMWARE_ERR_HEADER_LENGTH, length, H::none, good + "0"},
      {"header of 200", FIRMWARE_ERR_HEADER_LENGTH, length, H::none, std::string(200, 'a')},
      {"stored header with a line end", FIRMWARE_ERR_HEADER_LENGTH, length, H::none, good + "\n",
       aes256_switches("Copy")},
      {"uppercase header", FIRMWARE_OK, kPreparing, H::matches, upper},
      {"header with a non-hexadecimal digit", FIRMWARE_OK, kPreparing, H::none,
       "g" + good.substr(1)},
      {"header with a NUL", FIRMWARE_OK, kPreparing, H::none, with_nul},
      {"header naming another digest", FIRMWARE_OK, kPreparing, H::differs, std::string(64, 'e')},
      {"empty payload", FIRMWARE_OK, kPreparing, H::matches, header_text_for({}), aes, aes,
       kFirmwareHeaderEntry, kFirmwarePayloadEntry, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    test::TempDir dir;
    const std::string path = dir.file("fw.bin");
    const Bytes payload = c.empty_payload ? Bytes() : sample_image();
    ASSERT_EQ(
        test::build_with_7zip(dir.path(), path,
                              {{c.header_name, test::text_bytes(c.header_text), c.header_switches},
                               {c.payload_name, payload, c.payload_switches}}),
        "");
    const PackageRun run = run_reader(path);
    EXPECT_EQ(run.rc, c.rc);
    EXPECT_EQ(run.out, c.out);
    const Sha256Digest expected = sha256_digest(payload.data(), payload.size());
    EXPECT_EQ(run.header.has_value(), c.header != HeaderOut::none);
    if (run.header) {
      EXPECT_EQ(*run.header == expected, c.header == HeaderOut::matches);
    }
    EXPECT_TRUE(run.image.data == (c.rc == FIRMWARE_OK ? payload : Bytes()));
    if (c.rc == FIRMWARE_OK) {
      EXPECT_EQ(run.digest, expected);
    }
  }
}

// Files that are no package at all, a package over 2 GiB among them: that
// one is refused by its size, without being read (it is sparse here).
TEST(FirmwareReadPackage, UnreadableFilesAreInvalid) {
  const std::pair<const char*, std::optional<off_t>> cases[] = {
      {"missing", std::nullopt},
      {"empty", 0},
      {"not a zip", 5000},
      {"over 2 GiB", off_t{kFirmwarePackageMaxSize} + 1}};
  for (const auto& [name, size] : cases) {
    SCOPED_TRACE(name);
    test::TempDir dir;
    const std::string path = dir.file("fw.bin");
    if (size) {
      test::write_file(path, std::string(std::min<off_t>(*size, 5000), 'x'));
      if (truncate(path.c_str(), *size) != 0) continue;  // no sparse files here
    }
    const PackageRun run = run_reader(path);
    EXPECT_EQ(run.rc, FIRMWARE_ERR_OPEN);
    EXPECT_EQ(run.out, invalid("open"));
    EXPECT_FALSE(run.header.has_value());
  }
}

// Both readers hold at most one byte past the largest acceptable image, so
// an image too large is never held whole and the information check refuses
// it. The package's decoders go by the compressed stream, not by the size an
// entry claims: an entry claiming 1 byte, or 4 GiB, gives exactly its content.
TEST(FirmwareReaders, HoldAtMostOnePastTheLargestImage) {
  const std::size_t max = kFirmwareImageMaxSize;
  const struct {
    bool raw;
    std::optional<std::size_t> size;  // nothing: no file at all
    std::size_t held;
    std::uint32_t claim = 0;  // 0: the true size
  } cases[] = {
      {true, std::nullopt, 0},
      {true, 0, 0},
      {true, 1, 1},
      {true, 1025, 1025},  // past a chunk
      {true, max, max},
      {true, max + 1, max + 1},
      {true, 30000000, max + 1},
      {false, max, max},
      {false, max + 1, max + 1},
      {false, 40000000, max + 1},
      {false, 300000, 300000, 1},
      {false, 300000, 300000, 0xFFFFFFF0u},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.raw ? "raw " : "package ") + std::to_string(c.size.value_or(0)) +
                 " claiming " + std::to_string(c.claim));
    test::TempDir dir;
    const std::string path = dir.file("fw");
    // Packages hold a run of one byte, which compresses fast.
    const Bytes content =
        c.raw ? test::pseudo_image(c.size.value_or(0), 3) : Bytes(c.size.value_or(0), 0x5a);
    if (c.raw && c.size) test::write_file(path, content);
    ASSERT_TRUE(c.raw || test::build_zstd_package(path, package_entries(content, "")));
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
    EXPECT_EQ(run.digest, sha256_digest(run.image.data.data(), c.held));
  }
}

struct ReaderFaults {
  explicit ReaderFaults(const FirmwareReaderFaults& faults) { firmware_set_reader_faults(faults); }
  ~ReaderFaults() { firmware_set_reader_faults({}); }
};

TEST(FirmwareReaders, FailuresOnlyFaultsOrCallersCause) {
  REQUIRE_7ZIP();
  test::TempDir dir;
  const std::string package = dir.file("fw.bin"), raw = dir.file("fw.binary");
  // Zeros shrink to a package far smaller than the image, so one limit can
  // let the package in and still stop the image.
  const Bytes image(300000, 0);
  ASSERT_EQ(test::build_with_7zip(dir.path(), package,
                                  package_entries(image, aes256_switches("Deflate"))),
            "");
  test::write_file(raw, image);
  ASSERT_LT(test::read_file(package).size(), 100000u);

  const std::string memory = std::string(kPreparing) + "memory error\n";
  const std::string parameters = std::string(kPreparing) + "Parameters error.\n";
  const FirmwareReaderFaults none, no_header_record{SIZE_MAX, kFirmwareHeaderEntry},
      no_payload_record{SIZE_MAX, kFirmwarePayloadEntry};
  const struct {
    FirmwareReaderFaults faults;
    bool raw;
    const char* missing;
    int rc;
    std::string out;
  } cases[] = {
      {{100}, false, "", FIRMWARE_ERR_PACKAGE_MEMORY, memory},
      {{100000}, false, "", FIRMWARE_ERR_IMAGE_MEMORY, memory},
      {{100000}, true, "", FIRMWARE_ERR_PACKAGE_MEMORY, memory},
      {no_header_record, false, "", FIRMWARE_ERR_ENTRY_RECORD, invalid("ppbh")},
      {no_payload_record, false, "", FIRMWARE_ERR_ENTRY_RECORD, invalid("ppb")},
      {none, false, "i", FIRMWARE_ERR_PARAMETERS, parameters},
      {none, false, "h", FIRMWARE_ERR_PARAMETERS, parameters},
      {none, false, "c", FIRMWARE_ERR_PARAMETERS, parameters},
      {none, true, "i", FIRMWARE_ERR_PARAMETERS, parameters},
      {none, true, "c", FIRMWARE_ERR_PARAMETERS, parameters},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.raw ? "raw" : "package") + " missing " + c.missing + " limit " +
                 std::to_string(c.faults.allocation_limit));
    ReaderFaults faults(c.faults);
    const PackageRun run = run_reader(c.raw ? raw : package, c.raw, c.missing);
    EXPECT_EQ(run.rc, c.rc);
    EXPECT_EQ(run.out, c.out);
    EXPECT_LE(run.image.data.size(), c.faults.allocation_limit);
  }
}

TEST(ImageRecord, PathIsCutTo260Characters) {
  const std::string long_path(300, 'p');
  const std::pair<const char*, std::size_t> cases[] = {
      {nullptr, 0}, {"C:\\fw\\image.bin", 15}, {long_path.c_str(), 260}};
  for (const auto& [path, length] : cases) {
    ImageRecord record;
    std::memset(record.path, 'x', sizeof record.path);
    image_record_set_path(record, path);
    EXPECT_EQ(std::strlen(record.path), length);
  }
}

}  // namespace
}  // namespace torvi
