#include "sim/firmware_maker.h"

#include <regex>

#include "gtest/gtest.h"
#include "sim/sim_test_support.h"

namespace korvan {
namespace {

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
  } cases[] = {{"stored", "AES-256 Store", 2 << 20},
               {"bzip2", "AES-256 BZip2", 2 << 20},
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
    const std::string method = std::string("\nMethod = ") + c.shown;
    EXPECT_TRUE(
        std::regex_search(listing, std::regex("Path = torvi.bh\n(.*\n)*Path = torvi.binary")))
        << listing;
    EXPECT_NE(listing.find(method, listing.find(method) + 1), std::string::npos) << listing;
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

}  // namespace
}  // namespace korvan
