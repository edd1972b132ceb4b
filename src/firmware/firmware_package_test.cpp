#include "firmware/firmware_package.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <functional>

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

// The outcome of one firmware_read_package call.
struct PackageRun {
  int rc = 0;
  std::string out;
  ImageRecord image;
  std::optional<Sha256Digest> header;
  Sha256Digest digest{};
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

bool have_7zip() {
  return test::have_program("7zz");
}

#define REQUIRE_7ZIP() \
  if (!have_7zip()) GTEST_SKIP() << "7zz (Debian package 7zip) is not installed"

const std::vector<std::uint8_t>& sample_image() {
  static const std::vector<std::uint8_t> image = test::pseudo_image(300000, 7);
  return image;
}

// Every method a package may use, written by 7-Zip; Zstandard by libzip.
TEST(FirmwareReadPackage, ReadsEveryMethod) {
  REQUIRE_7ZIP();
  struct Case {
    std::string method;  // 7-Zip's name, or "Zstd"
    int zip_method;
  };
  const Case cases[] = {{"Copy", 0},  {"Deflate", 8}, {"BZip2", 12},
                        {"LZMA", 14}, {"XZ", 95},     {"Zstd", 93}};
  const std::vector<std::uint8_t>& image = sample_image();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.method);
    test::TempDir dir;
    const std::string path = dir.file("fw.bin");
    std::vector<FixtureEntry> entries = {
        {kFirmwareHeaderEntry, text_bytes(header_text_for(image)), aes256_switches(c.method)},
        {kFirmwarePayloadEntry, image, aes256_switches(c.method)}};
    if (c.method == "Zstd") {
      ASSERT_TRUE(test::build_zstd_package(path, entries));
    } else {
      ASSERT_EQ(test::build_with_7zip(dir.path(), path, entries), "");
    }
    ASSERT_EQ(test::entry_facts(path, kFirmwarePayloadEntry).method, c.zip_method);

    PackageRun run = read_package(path);
    EXPECT_EQ(run.rc, FIRMWARE_OK);
    EXPECT_EQ(run.out, kPreparing);
    EXPECT_TRUE(run.image.data == image);
    EXPECT_EQ(run.image.size, image.size());
    const Sha256Digest expected = sha256_digest(image.data(), image.size());
    EXPECT_EQ(run.digest, expected);
    ASSERT_TRUE(run.header.has_value());
    EXPECT_EQ(*run.header, expected);
  }
}

// A package built by one description; the cases below vary one thing each.
struct Refusal {
  const char* name;
  std::function<std::vector<FixtureEntry>()> entries;  // empty: `write` makes the file
  std::function<void(const std::string&)> write;
  int rc;
  const char* message;
  enum { kNoHeader, kHeaderMatches, kHeaderDiffers } header;
};

std::vector<FixtureEntry> package_with(const std::string& header_switches,
                                       const std::string& payload_switches,
                                       const std::string& header_text,
                                       const std::string& header_name = kFirmwareHeaderEntry,
                                       const std::string& payload_name = kFirmwarePayloadEntry) {
  return {{header_name, text_bytes(header_text), header_switches},
          {payload_name, sample_image(), payload_switches}};
}

std::string good_header() {
  return header_text_for(sample_image());
}

std::string upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

TEST(FirmwareReadPackage, EveryRefusalAndHeaderForm) {
  REQUIRE_7ZIP();
  const std::string aes = aes256_switches("Deflate");
  const std::string copy = aes256_switches("Copy");
  const Refusal cases[] = {
      {"missing file", nullptr, [](const std::string&) {}, FIRMWARE_ERR_OPEN,
       "File format is invalid (open).\n", Refusal::kNoHeader},
      {"empty file", nullptr, [](const std::string& p) { test::write_file(p, std::string()); },
       FIRMWARE_ERR_OPEN, "File format is invalid (open).\n", Refusal::kNoHeader},
      {"not a zip", nullptr,
       [](const std::string& p) { test::write_file(p, std::string(5000, 'x')); }, FIRMWARE_ERR_OPEN,
       "File format is invalid (open).\n", Refusal::kNoHeader},
      {"AES-128",
       [&] {
         return package_with("-mem=AES128 -p" + std::string(kFirmwarePackagePassword), aes,
                             good_header());
       },
       nullptr, FIRMWARE_ERR_NOT_AES256, "File format is invalid (ppfbh).\n", Refusal::kNoHeader},
      {"ZipCrypto",
       [&] {
         return package_with("-mem=ZipCrypto -p" + std::string(kFirmwarePackagePassword), aes,
                             good_header());
       },
       nullptr, FIRMWARE_ERR_NOT_AES256, "File format is invalid (ppfbh).\n", Refusal::kNoHeader},
      {"no encryption", [&] { return package_with("-mm=Deflate", aes, good_header()); }, nullptr,
       FIRMWARE_ERR_NOT_AES256, "File format is invalid (ppfbh).\n", Refusal::kNoHeader},
      {"payload AES-128",
       [&] {
         return package_with(aes, "-mem=AES128 -p" + std::string(kFirmwarePackagePassword),
                             good_header());
       },
       nullptr, FIRMWARE_ERR_NOT_AES256, "File format is invalid (ppfb).\n",
       Refusal::kHeaderMatches},
      {"payload not encrypted", [&] { return package_with(aes, "-mm=Copy", good_header()); },
       nullptr, FIRMWARE_ERR_NOT_AES256, "File format is invalid (ppfb).\n",
       Refusal::kHeaderMatches},
      {"wrong password",
       [&] {
         return package_with(aes256_switches("Deflate", "wrong"),
                             aes256_switches("Deflate", "wrong"), good_header());
       },
       nullptr, FIRMWARE_ERR_HEADER_PASSWORD, "File format is invalid (pbh).\n",
       Refusal::kNoHeader},
      {"wrong password on the payload only",
       [&] { return package_with(aes, aes256_switches("Deflate", "wrong"), good_header()); },
       nullptr, FIRMWARE_ERR_PAYLOAD_PASSWORD, "File format is invalid (pbh).\n",
       Refusal::kHeaderMatches},
      {"Deflate64 header",
       [&] { return package_with(aes256_switches("Deflate64"), aes, good_header()); }, nullptr,
       FIRMWARE_ERR_HEADER_PASSWORD, "File format is invalid (pbh).\n", Refusal::kNoHeader},
      {"PPMd payload", [&] { return package_with(aes, aes256_switches("PPMd"), good_header()); },
       nullptr, FIRMWARE_ERR_PAYLOAD_PASSWORD, "File format is invalid (pbh).\n",
       Refusal::kHeaderMatches},
      {"no header entry", [&] { return package_with(aes, aes, good_header(), "other.bh"); },
       nullptr, FIRMWARE_ERR_NO_HEADER, "File format is invalid (bh).\n", Refusal::kNoHeader},
      {"header name differs in case",
       [&] { return package_with(aes, aes, good_header(), "Torvi.bh"); }, nullptr,
       FIRMWARE_ERR_NO_HEADER, "File format is invalid (bh).\n", Refusal::kNoHeader},
      {"no payload entry",
       [&] { return package_with(aes, aes, good_header(), kFirmwareHeaderEntry, "torvi.BINARY"); },
       nullptr, FIRMWARE_ERR_NO_PAYLOAD, "File format is invalid (binary).\n",
       Refusal::kHeaderMatches},
      {"header of 63 bytes", [&] { return package_with(aes, aes, good_header().substr(0, 63)); },
       nullptr, FIRMWARE_ERR_HEADER_LENGTH, "File content length is invalid (bh).\n",
       Refusal::kNoHeader},
      {"header of 65 bytes", [&] { return package_with(aes, aes, good_header() + "0"); }, nullptr,
       FIRMWARE_ERR_HEADER_LENGTH, "File content length is invalid (bh).\n", Refusal::kNoHeader},
      {"stored header of 65 bytes", [&] { return package_with(copy, aes, good_header() + "\n"); },
       nullptr, FIRMWARE_ERR_HEADER_LENGTH, "File content length is invalid (bh).\n",
       Refusal::kNoHeader},
      {"header of 200 bytes", [&] { return package_with(aes, aes, std::string(200, 'a')); },
       nullptr, FIRMWARE_ERR_HEADER_LENGTH, "File content length is invalid (bh).\n",
       Refusal::kNoHeader},
      {"uppercase header", [&] { return package_with(aes, aes, upper(good_header())); }, nullptr,
       FIRMWARE_OK, "", Refusal::kHeaderMatches},
      {"stored header", [&] { return package_with(copy, copy, good_header()); }, nullptr,
       FIRMWARE_OK, "", Refusal::kHeaderMatches},
      {"header with a non-hexadecimal digit",
       [&] { return package_with(aes, aes, "g" + good_header().substr(1)); }, nullptr, FIRMWARE_OK,
       "", Refusal::kNoHeader},
      // A NUL inside the 64 bytes would leave fewer than 32 bytes to compare.
      {"header with a NUL",
       [&] {
         std::string h = good_header();
         h[10] = '\0';
         return package_with(aes, aes, h);
       },
       nullptr, FIRMWARE_OK, "", Refusal::kNoHeader},
      {"header naming another digest", [&] { return package_with(aes, aes, std::string(64, 'e')); },
       nullptr, FIRMWARE_OK, "", Refusal::kHeaderDiffers},
  };
  for (const Refusal& c : cases) {
    SCOPED_TRACE(c.name);
    test::TempDir dir;
    const std::string path = dir.file("fw.bin");
    if (c.entries) {
      ASSERT_EQ(test::build_with_7zip(dir.path(), path, c.entries()), "");
    } else {
      c.write(path);
    }
    PackageRun run = read_package(path);
    EXPECT_EQ(run.rc, c.rc);
    EXPECT_EQ(run.out, std::string(kPreparing) + c.message);
    const Sha256Digest image_digest = sha256_digest(sample_image().data(), sample_image().size());
    switch (c.header) {
      case Refusal::kNoHeader:
        EXPECT_FALSE(run.header.has_value());
        break;
      case Refusal::kHeaderMatches:
        ASSERT_TRUE(run.header.has_value());
        EXPECT_EQ(*run.header, image_digest);
        break;
      case Refusal::kHeaderDiffers:
        ASSERT_TRUE(run.header.has_value());
        EXPECT_NE(*run.header, image_digest);
        EXPECT_EQ(run.header->front(), 0xee);
        break;
    }
    if (c.rc == FIRMWARE_OK) {
      EXPECT_TRUE(run.image.data == sample_image());
      EXPECT_EQ(run.digest, image_digest);
    } else {
      EXPECT_EQ(run.image.size, run.image.data.size());
    }
  }
}

TEST(FirmwareReadPackage, EmptyPayloadGivesEmptyImage) {
  REQUIRE_7ZIP();
  test::TempDir dir;
  const std::string path = dir.file("fw.bin");
  const std::vector<std::uint8_t> empty;
  ASSERT_EQ(test::build_with_7zip(dir.path(), path,
                                  {{kFirmwareHeaderEntry, text_bytes(header_text_for(empty)),
                                    aes256_switches("Deflate")},
                                   {kFirmwarePayloadEntry, empty, aes256_switches("Deflate")}}),
            "");
  PackageRun run = read_package(path);
  EXPECT_EQ(run.rc, FIRMWARE_OK);
  EXPECT_EQ(run.out, kPreparing);
  EXPECT_EQ(run.image.size, 0u);
  EXPECT_TRUE(run.image.data.empty());
  EXPECT_EQ(run.digest, sha256_digest(nullptr, 0));
}

// A payload longer than any acceptable image is cut one byte past the
// largest one, so it is never held whole and the information check refuses it.
TEST(FirmwareReadPackage, PayloadIsCutPastTheLargestImage) {
  struct Case {
    std::size_t payload;
    std::size_t held;
  };
  const Case cases[] = {{kFirmwareImageMaxSize, kFirmwareImageMaxSize},
                        {kFirmwareImageMaxSize + 1, kFirmwareImageMaxSize + 1},
                        {40000000, kFirmwareImageMaxSize + 1}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.payload);
    test::TempDir dir;
    const std::string path = dir.file("fw.bin");
    std::vector<std::uint8_t> payload(c.payload, 0x5a);
    ASSERT_TRUE(test::build_zstd_package(
        path, {{kFirmwareHeaderEntry, text_bytes(header_text_for(payload)), ""},
               {kFirmwarePayloadEntry, payload, ""}}));
    payload.clear();
    payload.shrink_to_fit();
    PackageRun run = read_package(path);
    EXPECT_EQ(run.rc, FIRMWARE_OK);
    EXPECT_EQ(run.image.size, c.held);
    EXPECT_EQ(run.image.data.size(), c.held);
    EXPECT_EQ(firmware_check_info(run.image.data.data(), run.image.data.size()), 1);
  }
}

// The sizes a ZIP entry declares are not what the reader goes by: an entry
// claiming 1 byte, or 4 GiB, still gives exactly its real content.
TEST(FirmwareReadPackage, DeclaredSizesAreNotTrusted) {
  const std::uint32_t claims[] = {1, 0xFFFFFFF0u};
  const std::vector<std::uint8_t>& image = sample_image();
  for (std::uint32_t claim : claims) {
    SCOPED_TRACE(claim);
    test::TempDir dir;
    const std::string path = dir.file("fw.bin");
    ASSERT_TRUE(test::build_zstd_package(
        path, {{kFirmwareHeaderEntry, text_bytes(header_text_for(image)), ""},
               {kFirmwarePayloadEntry, image, ""}}));
    std::vector<std::uint8_t> bytes = test::read_file(path);
    ASSERT_TRUE(test::patch_uncompressed_size(bytes, kFirmwarePayloadEntry, claim));
    test::write_file(path, bytes);
    PackageRun run = read_package(path);
    EXPECT_EQ(run.rc, FIRMWARE_OK);
    EXPECT_TRUE(run.image.data == image);
  }
}

TEST(FirmwareReadPackage, PackageOverTwoGigabytesIsNotRead) {
  test::TempDir dir;
  const std::string path = dir.file("huge.bin");
  FILE* file = std::fopen(path.c_str(), "wb");
  ASSERT_NE(file, nullptr);
  // A sparse file: nothing is written, the reader must refuse it by its size.
  const bool sized = ftruncate(fileno(file), off_t{kFirmwarePackageMaxSize} + 1) == 0;
  std::fclose(file);
  if (!sized) GTEST_SKIP() << "cannot make a sparse file here";
  PackageRun run = read_package(path);
  EXPECT_EQ(run.rc, FIRMWARE_ERR_OPEN);
  EXPECT_EQ(run.out, std::string(kPreparing) + "File format is invalid (open).\n");
}

// Lifts the readers' allocation limit when a test ends.
struct AllocationLimit {
  explicit AllocationLimit(std::size_t bytes) { firmware_set_allocation_limit(bytes); }
  ~AllocationLimit() { firmware_set_allocation_limit(SIZE_MAX); }
};

TEST(FirmwareReaders, MemoryShortageAndMissingArguments) {
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

  struct Case {
    const char* name;
    std::size_t limit;
    bool raw;
    bool pass_image, pass_header, pass_context;
    int rc;
    const char* message;
  };
  const Case cases[] = {
      {"package buffer", 100, false, true, true, true, FIRMWARE_ERR_PACKAGE_MEMORY,
       "memory error\n"},
      {"image buffer", 100000, false, true, true, true, FIRMWARE_ERR_IMAGE_MEMORY,
       "memory error\n"},
      {"raw image buffer", 100000, true, true, true, true, FIRMWARE_ERR_PACKAGE_MEMORY,
       "memory error\n"},
      {"package without record", SIZE_MAX, false, false, true, true, FIRMWARE_ERR_PARAMETERS,
       "Parameters error.\n"},
      {"package without header", SIZE_MAX, false, true, false, true, FIRMWARE_ERR_PARAMETERS,
       "Parameters error.\n"},
      {"package without digest", SIZE_MAX, false, true, true, false, FIRMWARE_ERR_PARAMETERS,
       "Parameters error.\n"},
      {"raw without record", SIZE_MAX, true, false, true, true, FIRMWARE_ERR_PARAMETERS,
       "Parameters error.\n"},
      {"raw without digest", SIZE_MAX, true, true, true, false, FIRMWARE_ERR_PARAMETERS,
       "Parameters error.\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    AllocationLimit limit(c.limit);
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
    EXPECT_LE(record.data.size(), c.limit);
  }
}

TEST(FirmwareReadBinary, ReadsTheWholeFileUpToOnePastTheLargestImage) {
  struct Case {
    const char* name;
    std::optional<std::size_t> file_size;  // nothing: no file at all
    std::size_t held;
  };
  const Case cases[] = {
      {"missing file", std::nullopt, 0},
      {"empty file", 0, 0},
      {"one byte", 1, 1},
      {"chunk boundary", 1024, 1024},
      {"past a chunk", 1025, 1025},
      {"largest image", kFirmwareImageMaxSize, kFirmwareImageMaxSize},
      {"one byte too large", kFirmwareImageMaxSize + 1, kFirmwareImageMaxSize + 1},
      {"far too large", 30000000, kFirmwareImageMaxSize + 1},
  };
  for (const Case& c : cases) {
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
    EXPECT_EQ(record.size, c.held);
    ASSERT_EQ(record.data.size(), c.held);
    EXPECT_TRUE(std::equal(record.data.begin(), record.data.end(), content.begin()));
    Sha256Digest digest;
    sha256_final(context, digest.data());
    EXPECT_EQ(digest, sha256_digest(record.data.data(), record.data.size()));
  }
}

TEST(ImageRecord, PathIsCutTo260Characters) {
  const std::string long_path(300, 'p');
  const struct {
    const char* path;
    std::size_t length;
  } cases[] = {{nullptr, 0}, {"", 0}, {"C:\\fw\\image.bin", 15}, {long_path.c_str(), 260}};
  for (const auto& c : cases) {
    ImageRecord record;
    std::memset(record.path, 'x', sizeof record.path);
    image_record_set_path(record, c.path);
    EXPECT_EQ(std::strlen(record.path), c.length);
  }
}

}  // namespace
}  // namespace torvi
