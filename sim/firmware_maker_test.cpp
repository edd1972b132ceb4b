#include "sim/firmware_maker.h"

#include <cstring>

#include "gtest/gtest.h"
#include "sim/sim_test_support.h"

namespace korvan {
namespace {

// The block's place in the image, as the controller's firmware lays it out.
constexpr size_t kBlockEnd = 1835192;
constexpr size_t kModelAt = 1835020;
constexpr size_t kVersionAt = 1835086;
constexpr size_t kNumberAt = 1835120;

std::string text_at(const Bytes& image, size_t at) {
  return std::string(reinterpret_cast<const char*>(image.data() + at));
}

TEST(FirmwareImage, BlockIsWrittenAtItsOffsetAndReadBack) {
  struct Case {
    size_t size;
    std::string model;
    std::string version;
    uint32_t number;
    bool has_block;
    std::string model_read;  // what the block holds afterwards
  };
  const std::string long_model(40, 'M');
  const Case cases[] = {
      {2 * 1024 * 1024, "KORVAN-4", "2.3.0", 0x00020300, true, "KORVAN-4"},
      {kBlockEnd, "korvan-4", "", 0xFFFFFFFF, true, "korvan-4"},
      {kBlockEnd - 1, "KORVAN-4", "2.3.0", 1, false, ""},
      {0, "KORVAN-4", "2.3.0", 1, false, ""},
      {16777214, long_model, std::string(32, 'v'), 7, true, std::string(32, 'M')},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.size);
    const FirmwareRecipe recipe{
        .model = c.model, .version_string = c.version, .version_number = c.number, .size = c.size};
    Bytes image = make_firmware_image(recipe);
    ASSERT_EQ(image.size(), c.size);
    EXPECT_TRUE(image == make_firmware_image(recipe)) << "not the same bytes every time";
    ImageInfo info;
    ASSERT_EQ(read_image_info(image, info), c.has_block);
    if (!c.has_block) continue;
    EXPECT_EQ(info.model, c.model_read);
    EXPECT_EQ(info.version_string, c.version);
    EXPECT_EQ(info.version_number, c.number);
    EXPECT_EQ(text_at(image, kModelAt), c.model_read);
    EXPECT_EQ(text_at(image, kVersionAt), c.version);
    EXPECT_EQ(image[kNumberAt], c.number & 0xFF);
    EXPECT_EQ(image[kNumberAt + 3], c.number >> 24);
  }
}

TEST(FirmwareImage, TextWithoutTerminatorStopsAtItsField) {
  Bytes image = make_firmware_image({.size = kBlockEnd});
  std::memset(image.data() + kModelAt, 'A', 33);  // runs into the next field
  std::memcpy(image.data() + kModelAt + 33, "desc", 5);
  ImageInfo info;
  ASSERT_TRUE(read_image_info(image, info));
  EXPECT_EQ(info.model, std::string(33, 'A'));
}

TEST(FirmwarePackage, SevenZipOpensEveryMethodWithThePassword) {
  if (!have_program("7zz")) GTEST_SKIP() << "7zz (Debian package 7zip) is not installed";
  TempDir dir;
  int status = 0;
  auto sevenzip = [&](const std::string& args) {
    return output_of("timeout 60 7zz " + args + " 2>&1", &status);
  };
  struct Case {
    const char* method;
    const char* shown;  // 7-Zip's name for encryption and method
    size_t size;
  };
  const Case cases[] = {{"stored", "AES-256 Store", 2 * 1024 * 1024},
                        {"deflate", "AES-256 Deflate", 2 * 1024 * 1024},
                        {"bzip2", "AES-256 BZip2", 2 * 1024 * 1024},
                        {"deflate", "AES-256 Deflate", 0}};
  const std::string password = std::string(" -p") + kPackagePassword + " ";
  for (const Case& c : cases) {
    const std::string name = c.method + std::to_string(c.size);
    SCOPED_TRACE(name);
    const FirmwareRecipe recipe{.size = c.size, .method = c.method};
    Bytes image = make_firmware_image(recipe);
    Bytes package;
    std::string error;
    ASSERT_TRUE(make_firmware_package(recipe, image, package, &error)) << error;
    const std::string pkg = dir.file(name + ".bin");
    write_file(pkg, package);
    const std::string listing = sevenzip("l -slt " + pkg);
    EXPECT_EQ(status, 0) << listing;
    EXPECT_TRUE(contains(listing, "Path = torvi.bh")) << listing;
    EXPECT_TRUE(contains(listing, "Path = torvi.binary"));
    const std::string method_line = std::string("Method = ") + c.shown;
    size_t first = listing.find(method_line);
    ASSERT_NE(first, std::string::npos) << listing;
    EXPECT_NE(listing.find(method_line, first + 1), std::string::npos) << "both entries";

    const std::string tested = sevenzip("t" + password + pkg);
    EXPECT_EQ(status, 0) << tested;
    EXPECT_TRUE(contains(tested, "Everything is Ok"));
    sevenzip("t -pwrong-password " + pkg);
    EXPECT_NE(status, 0) << "a wrong password must not open the package";

    const std::string out = dir.file(name);
    const std::string extracted = sevenzip("x -y" + password + "-o" + out + " " + pkg);
    ASSERT_EQ(status, 0) << extracted;
    EXPECT_TRUE(read_file(out + "/torvi.binary") == image);
    // The header is the digest as computed by an independent program.
    EXPECT_EQ(text_of(read_file(out + "/torvi.bh")),
              output_of("sha256sum " + out + "/torvi.binary").substr(0, 64));
  }
}

TEST(FirmwarePackage, UnknownMethodIsRefused) {
  Bytes package;
  std::string error;
  EXPECT_FALSE(make_firmware_package({.method = "lzma"}, Bytes(10), package, &error));
  EXPECT_TRUE(contains(error, "lzma")) << error;
}

int run_main(std::vector<std::string> args) {
  args.insert(args.begin(), "make-firmware");
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  return make_firmware_main(static_cast<int>(args.size()), argv.data());
}

TEST(MakeFirmwareMain, OptionsAndExitStatus) {
  TempDir dir;
  const std::string out = dir.file("fw.binary");
  struct Case {
    std::vector<std::string> args;
    int status;
  } cases[] = {{{"--out", out, "--raw", "--size", "1835192", "--version-number", "0xFFFFFFFF"}, 0},
               {{"--out=" + out, "--raw", "--size=0", "--model", "KORVAN-4X"}, 0},
               {{"--out", out, "--method", "stored", "--size", "1000"}, 0},
               {{"--out", dir.file("missing/fw.bin"), "--raw", "--size", "10"}, 1}};
  for (const Case& c : cases)
    EXPECT_EQ(run_main(c.args), c.status) << testing::PrintToString(c.args);
  const std::vector<std::string> refused[] = {{},
                                              {"--raw"},
                                              {"--out"},
                                              {"--out", out, "--bogus"},
                                              {"--out", out, "--method", "zstd"},
                                              {"--out", out, "--version-number", "4294967296"},
                                              {"--out", out, "--version-number", "-1"},
                                              {"--out", out, "--size", "67108865"},
                                              {"--out", out, "--size", "12k"},
                                              {"--out", out, "--model", std::string(33, 'K')},
                                              {"--out", out, "--raw=yes"}};
  for (const auto& args : refused) EXPECT_EQ(run_main(args), 2) << testing::PrintToString(args);
  EXPECT_FALSE(torvi::test::file_exists(dir.file("missing/fw.bin.part")));

  // --raw writes the bare image the options describe.
  ASSERT_EQ(run_main({"--out", out, "--raw", "--size", "1900000", "--model", "KORVAN-8",
                      "--version-string", "9.9.9", "--version-number", "770"}),
            0);
  EXPECT_TRUE(read_file(out) == make_firmware_image({.model = "KORVAN-8",
                                                     .version_string = "9.9.9",
                                                     .version_number = 770,
                                                     .size = 1900000}));
  EXPECT_FALSE(torvi::test::file_exists(out + ".part"));
}

}  // namespace
}  // namespace korvan
