// push_firmware against korvan-sim: packages and raw images made by the
// simulator's own firmware maker, and every refusal sending nothing.
#include <gtest/gtest.h>
#include <zip.h>

#include "action/actions.h"
#include "link/transfers.h"
#include "sim/firmware_maker.h"
#include "sim_fixture.h"

namespace torvi {
namespace {

using test::ConsoleCapture;
using Bytes = std::vector<std::uint8_t>;
const std::string kInvalid = "FIRMWARE FILE IS NOT VALID!";

class PushFirmwareTest : public test::SimTest {
 protected:
  std::string write(const std::string& name, const korvan::FirmwareRecipe& fw) {
    Bytes bytes = korvan::make_firmware_image(fw);
    std::string error;
    EXPECT_TRUE(fw.raw || korvan::make_firmware_package(fw, Bytes(bytes), bytes, &error)) << error;
    test::write_file(dir_.file(name), bytes);
    return dir_.file(name);
  }
  std::string upgrade_target(const Bytes& image) {
    return "/api/v100/status.ssi?action=firmwareupgrade&hash=" +
           korvan::firmware_digest_hex(image) + "&size=" + std::to_string(image.size());
  }
  test::TempDir dir_;
};

// A package whose header text and payload are chosen freely.
void write_package(const std::string& path, const std::string& header, const Bytes& payload) {
  int error = 0;
  zip_t* z = zip_open(path.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &error);
  ASSERT_NE(z, nullptr);
  const std::pair<const char*, std::pair<const void*, size_t>> entries[] = {
      {korvan::kPackageHeaderEntry, {header.data(), header.size()}},
      {korvan::kPackagePayloadEntry, {payload.data(), payload.size()}}};
  for (const auto& [name, bytes] : entries) {
    zip_int64_t i = zip_file_add(z, name, zip_source_buffer(z, bytes.first, bytes.second, 0), 0);
    ASSERT_GE(i, 0);
    ASSERT_EQ(zip_file_set_encryption(z, i, ZIP_EM_AES_256, korvan::kPackagePassword), 0);
  }
  ASSERT_EQ(zip_close(z), 0);
}

TEST_F(PushFirmwareTest, PackageAndRawImageAreInstalled) {
  const korvan::FirmwareRecipe upper_fw{.version_string = "3.0.0"};
  const Bytes upper_image = korvan::make_firmware_image(upper_fw);
  std::string upper = korvan::firmware_digest_hex(upper_image);
  for (char& ch : upper) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
  write_package(dir_.file("upper.bin"), upper, upper_image);
  const std::pair<std::string, korvan::FirmwareRecipe> cases[] = {
      {write("fw.bin", {.version_string = "2.3.0"}), {.version_string = "2.3.0"}},
      {write("fw.binary", {.version_string = "2.4.0", .size = 1835192, .raw = true}),
       {.version_string = "2.4.0", .size = 1835192, .raw = true}},
      // The request carries the digest in lowercase whatever the header's case.
      {dir_.file("upper.bin"), upper_fw},
  };
  for (const auto& [path, fw] : cases) {
    SCOPED_TRACE(path);
    sim().clear_events();
    const Bytes image = korvan::make_firmware_image(fw);
    ConsoleCapture capture;
    EXPECT_EQ(push_firmware(ip(), path.c_str()), 1);
    const std::string out = capture.out();
    const std::string tftp = "firmware_push_tftp\tpushing URL 'tftp://" + std::string(ip()) +
                             "/flashraw.bin'.\nOK\nfirmware\tpushing URL '" + ip() +
                             upgrade_target(image) + "'.\n";
    EXPECT_EQ(out.rfind("\nPreparing file...\n\r\n== Firmware Info ==\r\n", 0), 0u) << out;
    EXPECT_NE(out.find("== ==\r\n\r\n" + tftp), std::string::npos) << out;
    EXPECT_EQ(out.substr(out.size() - 3), "OK\n") << out;
    const auto uploads = events_of("upload");
    ASSERT_EQ(uploads.size(), 1u);
    EXPECT_EQ(uploads[0].data, image);
    EXPECT_EQ(http_requests(), std::vector<std::string>{upgrade_target(image)});
    EXPECT_EQ(sim().firmware_version(), fw.version_string);
  }
}

TEST_F(PushFirmwareTest, RefusalsSendNothing) {
  const korvan::FirmwareRecipe other{.model = "KORVAN-8"};
  const Bytes image = korvan::make_firmware_image({});
  write_package(dir_.file("mismatch.bin"),
                korvan::firmware_digest_hex(korvan::make_firmware_image(other)), image);
  write_package(dir_.file("nothex.bin"), std::string(64, 'g'), image);
  test::write_file(dir_.file("short.binary"), Bytes(1835191, 1));
  test::write_file(dir_.file("notzip.bin"), std::string("not a zip"));
  const std::string preparing = "\nPreparing file...\n",
                    unsupported = "\nFile format not supported.\n";
  const std::pair<std::string, std::string> cases[] = {
      {"", unsupported},
      {write("FW.BIN", {}), unsupported},
      {".bin", unsupported},
      {dir_.file("absent.binary"), preparing},
      {dir_.file("notzip.bin"), preparing + "File format is invalid (open).\n"},
      {dir_.file("mismatch.bin"), preparing + "File is invalid (h).\n"},
      {dir_.file("nothex.bin"), preparing},
      {write("other.bin", other), preparing},
      {write("other.binary", {.model = "KORVAN-8", .raw = true}), preparing},
      {dir_.file("short.binary"), preparing},
      // Too large for the controller: refused by the size check alone, as
      // the digest of the whole payload matches its header.
      {write("big.bin", {.size = 16777215, .method = "stored"}), preparing},
      {write("bigger.bin", {.size = 16777216, .method = "stored"}), preparing},
      {write("big.binary", {.size = 16777215, .raw = true}), preparing},
  };
  for (const auto& [path, out] : cases) {
    ConsoleCapture capture;
    EXPECT_EQ(push_firmware(ip(), path.empty() ? nullptr : path.c_str()), 1) << path;
    EXPECT_EQ(capture.out(), out + kInvalid) << path;
  }
  ConsoleCapture capture;
  EXPECT_EQ(push_firmware(nullptr, dir_.file("fw.bin").c_str()), 2);
  EXPECT_EQ(capture.out(), "Missing arguments for action push_firmware.");
  EXPECT_TRUE(sim().events().empty());
}

}  // namespace
}  // namespace torvi
