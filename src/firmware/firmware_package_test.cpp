#include "firmware/firmware_package.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "firmware/firmware_info.h"
#include "firmware/package_fixtures.h"
#include "test_support.h"

namespace torvi {
namespace {

using test::aes256_switches;
using test::FixtureEntry;
using test::header_text_for;
using test::text_bytes;

constexpr char kPreparing[] = "Preparing file...\n";

struct PackageRun {
  int rc = 0;
  std::string out;
  ImageRecord image;
  std::optional<Sha256Digest> header;
  Sha256Digest digest{};  // the running digest after the reader fed it
};

PackageRun read_package(const std::string& path) {
  PackageRun run;
  image_record_set_path(run.image, path.c_str());
  Sha256Context context;
  sha256_init(context);
  test::ConsoleCapture capture;
  run.rc = firmware_read_package(&run.image, &run.header, &context);
  run.out = capture.out();
  sha256_final(context, run.digest.data());
  return run;
}

#define REQUIRE_7ZIP() \
  if (!test::have_program("7zz")) GTEST_SKIP() << "7zz (Debian package 7zip) is not installed"

const std::vector<std::uint8_t>& sample_image() {
  static const std::vector<std::uint8_t> image = test::pseudo_image(300000, 7);
  return image;
}

const Sha256Digest& sample_digest() {
  static const Sha256Digest digest = sha256_digest(sample_image().data(), sample_image().size());
  return digest;
}

// Every method a package may use, written by 7-Zip; Zstandard by libzip.
TEST(FirmwareReadPackage, ReadsEveryMethod) {
  REQUIRE_7ZIP();
  const struct {
    std::string method;  // as 7-Zip names it
    int zip_method;
  } cases[] = {{"Copy", 0}, {"Deflate", 8}, {"BZip2", 12}, {"LZMA", 14}, {"XZ", 95}, {"Zstd", 93}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.method);
    test::TempDir dir;
    const std::string path = dir.file("fw.bin");
    const std::vector<FixtureEntry> entries = {
        {kFirmwareHeaderEntry, text_bytes(header_text_for(sample_image())),
         aes256_switches(c.method)},
        {kFirmwarePayloadEntry, sample_image(), aes256_switches(c.method)}};
    if (c.method == "Zstd") {
      ASSERT_TRUE(test::build_zstd_package(path, entries));
    } else {
      ASSERT_EQ(test::build_with_7zip(dir.path(), path, entries), "");
    }
    ASSERT_EQ(test::entry_facts(path, kFirmwarePayloadEntry).method, c.zip_method);

    PackageRun run = read_package(path);
    EXPECT_EQ(run.rc, FIRMWARE_OK);
    EXPECT_EQ(run.out, kPreparing);
    EXPECT_TRUE(run.image.data == sample_image());
    EXPECT_EQ(run.image.size, sample_image().size());
    EXPECT_EQ(run.digest, sample_digest());
    EXPECT_EQ(run.header, sample_digest());
  }
}

enum class HeaderOut { none, matches, differs };

// One package per case, each varying one thing from a good one.
TEST(FirmwareReadPackage, EveryRefusalAndHeaderForm) {
  REQUIRE_7ZIP();
  const std::string good = header_text_for(sample_image());
  const std::string pw = std::string(" -p") + kFirmwarePackagePassword;
  const std::string aes = aes256_switches("Deflate");
  const std::string wrong = aes256_switches("Deflate", "wrong");
  std::string with_nul = good;
  with_nul[10] = '\0';  // would leave fewer than 32 bytes to compare
  std::string upper = good;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  const char* bh = kFirmwareHeaderEntry;
  const char* bin = kFirmwarePayloadEntry;
  const std::vector<std::uint8_t> image = sample_image();
  const std::vector<std::uint8_t> none;

  const struct {
    const char* name;
    std::string header_switches, payload_switches, header_text;
    const char *header_name, *payload_name;
    const std::vector<std::uint8_t>& payload;
    int rc;
    const char* message;
    HeaderOut header;
  } cases[] = {
      {"AES-128", "-mem=AES128" + pw, aes, good, bh, bin, image, FIRMWARE_ERR_NOT_AES256,
       "File format is invalid (ppfbh).\n", HeaderOut::none},
      {"ZipCrypto", "-mem=ZipCrypto" + pw, aes, good, bh, bin, image, FIRMWARE_ERR_NOT_AES256,
       "File format is invalid (ppfbh).\n", HeaderOut::none},
      {"no encryption", "-mm=Deflate", aes, good, bh, bin, image, FIRMWARE_ERR_NOT_AES256,
       "File format is invalid (ppfbh).\n", HeaderOut::none},
      {"payload AES-128", aes, "-mem=AES128" + pw, good, bh, bin, image, FIRMWARE_ERR_NOT_AES256,
       "File format is invalid (ppfb).\n", HeaderOut::matches},
      {"wrong password", wrong, wrong, good, bh, bin, image, FIRMWARE_ERR_HEADER_PASSWORD,
       "File format is invalid (pbh).\n", HeaderOut::none},
      {"wrong password on the payload only", aes, wrong, good, bh, bin, image,
       FIRMWARE_ERR_PAYLOAD_PASSWORD, "File format is invalid (pbh).\n", HeaderOut::matches},
      {"Deflate64 header", aes256_switches("Deflate64"), aes, good, bh, bin, image,
       FIRMWARE_ERR_HEADER_PASSWORD, "File format is invalid (pbh).\n", HeaderOut::none},
      {"PPMd payload", aes, aes256_switches("PPMd"), good, bh, bin, image,
       FIRMWARE_ERR_PAYLOAD_PASSWORD, "File format is invalid (pbh).\n", HeaderOut::matches},
      {"no header entry", aes, aes, good, "fw/torvi.bh", bin, image, FIRMWARE_ERR_NO_HEADER,
       "File format is invalid (bh).\n", HeaderOut::none},
      {"header name differs in case", aes, aes, good, "Torvi.bh", bin, image,
       FIRMWARE_ERR_NO_HEADER, "File format is invalid (bh).\n", HeaderOut::none},
      {"payload name differs in case", aes, aes, good, bh, "torvi.BINARY", image,
       FIRMWARE_ERR_NO_PAYLOAD, "File format is invalid (binary).\n", HeaderOut::matches},
      {"header of 63 bytes", aes, aes, good.substr(0, 63), bh, bin, image,
       FIRMWARE_ERR_HEADER_LENGTH, "File content length is invalid (bh).\n", HeaderOut::none},
      {"header of 65 bytes", aes, aes, good + "0", bh, bin, image, FIRMWARE_ERR_HEADER_LENGTH,
       "File content length is invalid (bh).\n", HeaderOut::none},
      {"stored header with a line end", aes256_switches("Copy"), aes, good + "\n", bh, bin, image,
       FIRMWARE_ERR_HEADER_LENGTH, "File content length is invalid (bh).\n", HeaderOut::none},
      {"header of 200 bytes", aes, aes, std::string(200, 'a'), bh, bin, image,
       FIRMWARE_ERR_HEADER_LENGTH, "File content length is invalid (bh).\n", HeaderOut::none},
      {"uppercase header", aes, aes, upper, bh, bin, image, FIRMWARE_OK, "", HeaderOut::matches},
      {"header with a non-hexadecimal digit", aes, aes, "g" + good.substr(1), bh, bin, image,
       FIRMWARE_OK, "", HeaderOut::none},
      {"header with a NUL", aes, aes, with_nul, bh, bin, image, FIRMWARE_OK, "", HeaderOut::none},
      {"header naming another digest", aes, aes, std::string(64, 'e'), bh, bin, image, FIRMWARE_OK,
       "", HeaderOut::differs},
      {"empty payload", aes, aes, header_text_for(none), bh, bin, none, FIRMWARE_OK, "",
       HeaderOut::matches},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    test::TempDir dir;
    const std::string path = dir.file("fw.bin");
    ASSERT_EQ(test::build_with_7zip(dir.path(), path,
                                    {{c.header_name, text_bytes(c.header_text), c.header_switches},
                                     {c.payload_name, c.payload, c.payload_switches}}),
              "");
    PackageRun run = read_package(path);
    EXPECT_EQ(run.rc, c.rc);
    EXPECT_EQ(run.out, std::string(kPreparing) + c.message);
    const Sha256Digest expected = sha256_digest(c.payload.data(), c.payload.size());
    EXPECT_EQ(run.header.has_value(), c.header != HeaderOut::none);
    if (run.header) {
      EXPECT_EQ(*run.header == expected, c.header == HeaderOut::matches);
    }
    EXPECT_TRUE(run.image.data == (c.rc == FIRMWARE_OK ? c.payload : none));
    EXPECT_EQ(run.image.size, run.image.data.size());
    if (c.rc == FIRMWARE_OK) {
      EXPECT_EQ(run.digest, expected);
    }
  }
}

// A damaged payload fails libzip's authentication code at its end: the read
// error ends the image silently, and the digest no longer matches the header.
TEST(FirmwareReadPackage, DamagedPayloadIsLeftToTheDigest) {
  REQUIRE_7ZIP();
  test::TempDir dir;
  const std::string path = dir.file("fw.bin");
  ASSERT_EQ(
      test::build_with_7zip(dir.path(), path,
                            {{kFirmwareHeaderEntry, text_bytes(header_text_for(sample_image())),
                              aes256_switches("Copy")},
                             {kFirmwarePayloadEntry, sample_image(), aes256_switches("Copy")}}),
      "");
  std::vector<std::uint8_t> bytes = test::read_file(path);
  bytes[bytes.size() / 2] ^= 0x01;  // inside the payload's encrypted bytes
  test::write_file(path, bytes);
  PackageRun run = read_package(path);
  EXPECT_EQ(run.rc, FIRMWARE_OK);
  EXPECT_EQ(run.out, kPreparing);
  EXPECT_EQ(run.header, sample_digest());
  EXPECT_NE(run.digest, sample_digest());
  EXPECT_EQ(run.image.data.size(), sample_image().size());
}

// Files that are no package at all, a package over 2 GiB among them: that
// one is refused by its size, without being read (it is sparse here).
TEST(FirmwareReadPackage, UnreadableFilesAreInvalid) {
  const struct {
    const char* name;
    std::function<bool(const std::string&)> make;
  } cases[] = {
      {"missing", [](const std::string&) { return true; }},
      {"empty", [](const std::string& p) { return test::write_file(p, std::string()), true; }},
      {"not a zip",
       [](const std::string& p) { return test::write_file(p, std::string(5000, 'x')), true; }},
      {"over 2 GiB",
       [](const std::string& p) {
         test::write_file(p, std::string());
         return truncate(p.c_str(), off_t{kFirmwarePackageMaxSize} + 1) == 0;
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    test::TempDir dir;
    if (!c.make(dir.file("fw.bin"))) continue;  // no sparse files here
    PackageRun run = read_package(dir.file("fw.bin"));
    EXPECT_EQ(run.rc, FIRMWARE_ERR_OPEN);
    EXPECT_EQ(run.out, std::string(kPreparing) + "File format is invalid (open).\n");
    EXPECT_FALSE(run.header.has_value());
  }
}

// A payload longer than any acceptable image is cut one byte past the
// largest one, so it is never held whole and the information check refuses it.
TEST(FirmwareReadPackage, PayloadIsCutPastTheLargestImage) {
  const std::size_t cases[][2] = {{kFirmwareImageMaxSize, kFirmwareImageMaxSize},
                                  {kFirmwareImageMaxSize + 1, kFirmwareImageMaxSize + 1},
                                  {40000000, kFirmwareImageMaxSize + 1}};
  for (const auto& [payload_size, held] : cases) {
    SCOPED_TRACE(payload_size);
    test::TempDir dir;
    const std::vector<std::uint8_t> payload(payload_size, 0x5a);
    ASSERT_TRUE(test::build_zstd_package(
        dir.file("fw.bin"), {{kFirmwareHeaderEntry, text_bytes(header_text_for(payload)), ""},
                             {kFirmwarePayloadEntry, payload, ""}}));
    PackageRun run = read_package(dir.file("fw.bin"));
    EXPECT_EQ(run.rc, FIRMWARE_OK);
    EXPECT_EQ(run.image.data.size(), held);
    EXPECT_EQ(run.image.size, held);
    EXPECT_EQ(firmware_check_info(run.image.data.data(), run.image.data.size()), 1);
  }
}

// The decoders go by the compressed stream, not by the size an entry
// claims: an entry claiming 1 byte, or 4 GiB, gives exactly its content.
TEST(FirmwareReadPackage, DeclaredSizesAreNotTrusted) {
  for (std::uint32_t claim : {1u, 0xFFFFFFF0u}) {
    SCOPED_TRACE(claim);
    test::TempDir dir;
    const std::string path = dir.file("fw.bin");
    ASSERT_TRUE(test::build_zstd_package(
        path, {{kFirmwareHeaderEntry, text_bytes(header_text_for(sample_image())), ""},
               {kFirmwarePayloadEntry, sample_image(), ""}}));
    std::vector<std::uint8_t> bytes = test::read_file(path);
    ASSERT_TRUE(test::patch_uncompressed_size(bytes, kFirmwarePayloadEntry, claim));
    test::write_file(path, bytes);
    PackageRun run = read_package(path);
    EXPECT_EQ(run.rc, FIRMWARE_OK);
    EXPECT_TRUE(run.image.data == sample_image());
  }
}

struct ReaderFaults {
  explicit ReaderFaults(const FirmwareReaderFaults& faults) { firmware_set_reader_faults(faults); }
  ~ReaderFaults() { firmware_set_reader_faults({}); }
};

TEST(FirmwareReaders, FailuresOnlyFaultsOrCallersCause) {
  REQUIRE_7ZIP();
  test::TempDir dir;
  const std::string package = dir.file("fw.bin");
  const std::string raw = dir.file("fw.binary");
  // Zeros shrink to a package far smaller than the image, so one limit can
  // let the package in and still stop the image.
  const std::vector<std::uint8_t> image(300000, 0);
  ASSERT_EQ(test::build_with_7zip(dir.path(), package,
                                  {{kFirmwareHeaderEntry, text_bytes(header_text_for(image)),
                                    aes256_switches("Deflate")},
                                   {kFirmwarePayloadEntry, image, aes256_switches("Deflate")}}),
            "");
  test::write_file(raw, image);
  ASSERT_LT(test::read_file(package).size(), 100000u);

  const struct {
    const char* name;
    FirmwareReaderFaults faults;
    bool raw, pass_image, pass_header, pass_context;
    int rc;
    const char* message;
  } cases[] = {
      {"package buffer", {100}, false, true, true, true, -2, "memory error\n"},
      {"image buffer", {100000}, false, true, true, true, -3, "memory error\n"},
      {"raw image buffer", {100000}, true, true, true, true, -2, "memory error\n"},
      {"header record",
       {SIZE_MAX, kFirmwareHeaderEntry},
       false,
       true,
       true,
       true,
       -13,
       "File format is invalid (ppbh).\n"},
      {"payload record",
       {SIZE_MAX, kFirmwarePayloadEntry},
       false,
       true,
       true,
       true,
       -13,
       "File format is invalid (ppb).\n"},
      {"package without record", {}, false, false, true, true, -10, "Parameters error.\n"},
      {"package without header", {}, false, true, false, true, -10, "Parameters error.\n"},
      {"package without digest", {}, false, true, true, false, -10, "Parameters error.\n"},
      {"raw without record", {}, true, false, true, true, -10, "Parameters error.\n"},
      {"raw without digest", {}, true, true, true, false, -10, "Parameters error.\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ReaderFaults faults(c.faults);
    ImageRecord record;
    image_record_set_path(record, (c.raw ? raw : package).c_str());
    std::optional<Sha256Digest> header;
    Sha256Context context;
    sha256_init(context);
    ImageRecord* image_arg = c.pass_image ? &record : nullptr;
    Sha256Context* context_arg = c.pass_context ? &context : nullptr;
    test::ConsoleCapture capture;
    const int rc =
        c.raw ? firmware_read_binary(image_arg, context_arg)
              : firmware_read_package(image_arg, c.pass_header ? &header : nullptr, context_arg);
    EXPECT_EQ(rc, c.rc);
    EXPECT_EQ(capture.out(), std::string(kPreparing) + c.message);
    EXPECT_EQ(record.size, record.data.size());
    EXPECT_LE(record.data.size(), c.faults.allocation_limit);
  }
}

TEST(FirmwareReadBinary, ReadsTheFileUpToOnePastTheLargestImage) {
  const struct {
    const char* name;
    std::optional<std::size_t> file_size;  // nothing: no file at all
    std::size_t held;
  } cases[] = {
      {"missing file", std::nullopt, 0},
      {"empty file", 0, 0},
      {"one byte", 1, 1},
      {"past a chunk", 1025, 1025},
      {"largest image", kFirmwareImageMaxSize, kFirmwareImageMaxSize},
      {"one byte too large", kFirmwareImageMaxSize + 1, kFirmwareImageMaxSize + 1},
      {"far too large", 30000000, kFirmwareImageMaxSize + 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    test::TempDir dir;
    const std::string path = dir.file("fw.binary");
    std::vector<std::uint8_t> content;
    if (c.file_size) {
      content = test::pseudo_image(*c.file_size, 3);
      test::write_file(path, content);
    }
    ImageRecord record;
    image_record_set_path(record, path.c_str());
    Sha256Context context;
    sha256_init(context);
    test::ConsoleCapture capture;
    EXPECT_EQ(firmware_read_binary(&record, &context), FIRMWARE_OK);
    EXPECT_EQ(capture.out(), kPreparing);
    ASSERT_EQ(record.data.size(), c.held);
    EXPECT_EQ(record.size, c.held);
    EXPECT_TRUE(std::equal(record.data.begin(), record.data.end(), content.begin()));
    Sha256Digest digest;
    sha256_final(context, digest.data());
    EXPECT_EQ(digest, sha256_digest(record.data.data(), record.data.size()));
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
