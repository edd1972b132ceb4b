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

class PushFirmwareTest : public test::SimTest {
 protected:
  void TearDown() override {
    upload_limits() = UploadLimits{};
    SimTest::TearDown();
  }

  std::string write_package(const korvan::FirmwareRecipe& fw, const std::string& name) {
    std::vector<std::uint8_t> image = korvan::make_firmware_image(fw);
    std::vector<std::uint8_t> package;
    std::string error;
    EXPECT_TRUE(korvan::make_firmware_package(fw, image, package, &error)) << error;
    test::write_file(dir_.file(name), package);
    return dir_.file(name);
  }

  std::string write_raw(const korvan::FirmwareRecipe& fw, const std::string& name) {
    test::write_file(dir_.file(name), korvan::make_firmware_image(fw));
    return dir_.file(name);
  }

  // Nothing at all reached the controller.
  void expect_nothing_sent() {
    EXPECT_TRUE(http_requests().empty());
    EXPECT_TRUE(events_of("upload").empty());
    EXPECT_TRUE(events_of("tftp-request").empty());
  }

  test::TempDir dir_;
};

// A package whose header and payload are chosen freely.
std::vector<std::uint8_t> build_package(const std::string& header,
                                        const std::vector<std::uint8_t>& payload) {
  zip_error_t error;
  zip_error_init(&error);
  zip_source_t* target = zip_source_buffer_create(nullptr, 0, 0, &error);
  zip_source_keep(target);
  zip_t* z = zip_open_from_source(target, ZIP_TRUNCATE, &error);
  EXPECT_NE(z, nullptr);
  auto add = [&](const char* name, const void* data, size_t size) {
    zip_source_t* s = zip_source_buffer(z, data, size, 0);
    zip_int64_t i = zip_file_add(z, name, s, 0);
    EXPECT_GE(i, 0);
    EXPECT_EQ(zip_file_set_encryption(z, static_cast<zip_uint64_t>(i), ZIP_EM_AES_256,
                                      korvan::kPackagePassword),
              0);
  };
  add(korvan::kPackageHeaderEntry, header.data(), header.size());
  add(korvan::kPackagePayloadEntry, payload.data(), payload.size());
  EXPECT_EQ(zip_close(z), 0);
  zip_source_open(target);
  zip_source_seek(target, 0, SEEK_END);
  zip_int64_t size = zip_source_tell(target);
  zip_source_seek(target, 0, SEEK_SET);
  std::vector<std::uint8_t> bytes(static_cast<size_t>(size));
  zip_source_read(target, bytes.data(), static_cast<zip_uint64_t>(size));
  zip_source_close(target);
  zip_source_free(target);
  return bytes;
}

std::string upgrade_target(const std::vector<std::uint8_t>& image) {
  return "/api/v100/status.ssi?action=firmwareupgrade&hash=" + korvan::firmware_digest_hex(image) +
         "&size=" + std::to_string(image.size());
}

TEST_F(PushFirmwareTest, PackageAndRawImageAreInstalled) {
  struct Case {
    const char* file;
    korvan::FirmwareRecipe fw;
  };
  const Case cases[] = {
      {"fw-deflate.bin", {.version_string = "2.3.0", .method = "deflate"}},
      {"fw-stored.bin", {.version_string = "2.3.1", .method = "stored"}},
      {"fw-bzip2.bin", {.version_string = "2.3.2", .method = "bzip2"}},
      {"fw-raw.binary", {.version_string = "2.4.0", .size = 1835192, .raw = true}},
  };
  for (const auto& c : cases) {
    sim().clear_events();
    std::string path = c.fw.raw ? write_raw(c.fw, c.file) : write_package(c.fw, c.file);
    std::vector<std::uint8_t> image = korvan::make_firmware_image(c.fw);
    ConsoleCapture capture;
    EXPECT_EQ(push_firmware(ip(), path.c_str()), 1) << c.file;
    std::string out = capture.out();
    const std::string tftp_line =
        "firmware_push_tftp\tpushing URL 'tftp://" + std::string(ip()) + "/flashraw.bin'.\nOK\n";
    const std::string upgrade_line =
        "firmware\tpushing URL '" + std::string(ip()) + upgrade_target(image) + "'.\n";
    EXPECT_EQ(out.rfind("\nPreparing file...\n", 0), 0u) << out;
    size_t tftp = out.find(tftp_line);
    size_t upgrade = out.find(upgrade_line);
    ASSERT_NE(tftp, std::string::npos) << c.file << out;
    ASSERT_NE(upgrade, std::string::npos) << c.file << out;
    EXPECT_LT(tftp, upgrade);
    EXPECT_EQ(out.substr(out.size() - 3), "OK\n") << out;

    auto uploads = events_of("upload");
    ASSERT_EQ(uploads.size(), 1u) << c.file;
    EXPECT_EQ(uploads[0].data, image) << c.file;
    EXPECT_EQ(http_requests(), std::vector<std::string>{upgrade_target(image)});
    EXPECT_EQ(sim().firmware_version(), c.fw.version_string);
  }
}

TEST_F(PushFirmwareTest, RefusalsSendNothing) {
  korvan::FirmwareRecipe good;
  korvan::FirmwareRecipe other_model{.model = "KORVAN-8"};
  std::vector<std::uint8_t> image = korvan::make_firmware_image(good);
  std::vector<std::uint8_t> other = korvan::make_firmware_image(other_model);
  test::write_file(dir_.file("mismatch.bin"),
                   build_package(korvan::firmware_digest_hex(other), image));
  test::write_file(dir_.file("nothex.bin"), build_package(std::string(64, 'g'), image));
  std::string upper_ext = write_package(good, "FW.BIN");
  std::string other_pkg = write_package(other_model, "other.bin");
  std::string other_raw = write_raw(other_model, "other.binary");
  test::write_file(dir_.file("short.binary"), std::vector<std::uint8_t>(1835191, 1));
  test::write_file(dir_.file("notzip.bin"), std::string("not a zip"));

  const std::string invalid = "FIRMWARE FILE IS NOT VALID!";
  struct Case {
    const char* name;
    std::string path;
    std::string out;  // exact output; empty: only ends with the invalid line
  };
  const Case cases[] = {
      {"no_file_option", "", "\nFile format not supported.\n" + invalid},
      {"capital_extension", upper_ext, "\nFile format not supported.\n" + invalid},
      {"dot_first", ".bin", "\nFile format not supported.\n" + invalid},
      {"missing_raw", dir_.file("absent.binary"), "\nPreparing file...\n" + invalid},
      {"missing_package", dir_.file("absent.bin"),
       "\nPreparing file...\nFile format is invalid (open).\n" + invalid},
      {"not_a_zip", dir_.file("notzip.bin"),
       "\nPreparing file...\nFile format is invalid (open).\n" + invalid},
      {"header_names_other_digest", dir_.file("mismatch.bin"),
       "\nPreparing file...\nFile is invalid (h).\n" + invalid},
      {"header_not_hex", dir_.file("nothex.bin"), "\nPreparing file...\n" + invalid},
      {"package_for_other_model", other_pkg, "\nPreparing file...\n" + invalid},
      {"raw_for_other_model", other_raw, "\nPreparing file...\n" + invalid},
      {"raw_too_short", dir_.file("short.binary"), "\nPreparing file...\n" + invalid},
  };
  for (const auto& c : cases) {
    ConsoleCapture capture;
    EXPECT_EQ(push_firmware(ip(), c.path.empty() ? nullptr : c.path.c_str()), 1) << c.name;
    if (c.out.empty()) {
      EXPECT_EQ(capture.out().substr(capture.out().size() - invalid.size()), invalid) << c.name;
    } else {
      EXPECT_EQ(capture.out(), c.out) << c.name;
    }
  }
  expect_nothing_sent();

  ConsoleCapture capture;
  EXPECT_EQ(push_firmware(nullptr, other_pkg.c_str()), 2);
  EXPECT_EQ(capture.out(), "Missing arguments for action push_firmware.");
  expect_nothing_sent();
}

TEST_F(PushFirmwareTest, UppercaseHeaderIsAccepted) {
  korvan::FirmwareRecipe fw{.version_string = "3.0.0"};
  std::vector<std::uint8_t> image = korvan::make_firmware_image(fw);
  std::string upper = korvan::firmware_digest_hex(image);
  for (char& ch : upper) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
  test::write_file(dir_.file("upper.bin"), build_package(upper, image));
  ConsoleCapture capture;
  push_firmware(ip(), dir_.file("upper.bin").c_str());
  // The request always carries the digest in lowercase.
  EXPECT_EQ(http_requests(), std::vector<std::string>{upgrade_target(image)});
  EXPECT_EQ(sim().firmware_version(), "3.0.0");
}

TEST_F(PushFirmwareTest, FailedUploadMakesNoUpgradeRequest) {
  upload_limits().total = 10;
  upload_limits().low_speed_time = 3;
  korvan::FirmwareRecipe fw;
  std::string path = write_package(fw, "fw.bin");
  for (const char* fault : {"tftp-error", "tftp-stall=3"}) {
    sim().clear_faults();
    sim().clear_events();
    ASSERT_TRUE(sim().set_fault(fault));
    ConsoleCapture capture;
    EXPECT_EQ(push_firmware(ip(), path.c_str()), 1);
    EXPECT_EQ(capture.out().find("OK\n"), std::string::npos) << fault;
    EXPECT_NE(capture.err().find("curl_easy_perform() failed: "), std::string::npos) << fault;
    EXPECT_TRUE(http_requests().empty()) << fault;
    EXPECT_EQ(sim().firmware_version(), "2.2.4");
  }
}

TEST_F(PushFirmwareTest, DroppedPacketsStillComplete) {
  // libcurl spaces its retransmissions by a fraction of the total limit.
  upload_limits().total = 8;
  ASSERT_TRUE(sim().set_fault("tftp-drop=1500"));
  korvan::FirmwareRecipe fw{.size = 1835192, .raw = true};
  std::string path = write_raw(fw, "fw.binary");
  ConsoleCapture capture;
  EXPECT_EQ(push_firmware(ip(), path.c_str()), 1);
  auto uploads = events_of("upload");
  ASSERT_EQ(uploads.size(), 1u) << capture.err();
  EXPECT_EQ(uploads[0].data, korvan::make_firmware_image(fw));
  EXPECT_EQ(sim().firmware_version(), fw.version_string);
}

TEST_F(PushFirmwareTest, FailedUpgradeRequestPrintsOneOk) {
  korvan::FirmwareRecipe fw{.size = 1835192, .raw = true};
  std::string path = write_raw(fw, "fw.binary");
  ASSERT_TRUE(sim().set_fault("http-close"));
  ConsoleCapture capture;
  EXPECT_EQ(push_firmware(ip(), path.c_str()), 1);
  std::string out = capture.out();
  size_t first = out.find("OK\n");
  ASSERT_NE(first, std::string::npos);
  EXPECT_EQ(out.find("OK\n", first + 1), std::string::npos) << out;
  EXPECT_NE(capture.err().find("curl_easy_perform() failed: "), std::string::npos);
}

}  // namespace
}  // namespace torvi
