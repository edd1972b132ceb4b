// show on firmware files, each verdict checked against what push_firmware
// really does with the same file in front of korvan-sim.
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

#include "action/actions.h"
#include "inspect/inspect_test_support.h"
#include "package_fixtures.h"
#include "sim_fixture.h"

namespace torvi::inspect {
namespace {

using torvi::test::aes256_switches;
using Bytes = std::vector<std::uint8_t>;

// An image of `size` bytes with an information block naming `model`.
Bytes firmware(std::size_t size, const char* model = "KORVAN-4") {
  Bytes image = torvi::test::pseudo_image(size, 5);
  if (size >= 1835192) torvi::test::put_info_block(image, model, 0x020300);
  return image;
}

// The report with every run of spaces made one, so table rows read as
// "check entry outcome detail" whatever the column widths.
std::string squeezed(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c != ' ' || out.empty() || out.back() != ' ') out += c;
  }
  return out;
}

// push_firmware's output as show lists it: a row per line, without line ends.
std::string as_listed(const std::string& printed) {
  std::string rows = "push firmware lines:\n line\n";
  std::istringstream in(printed);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    rows += line.empty() ? "\n" : " " + line + "\n";
  }
  return rows;
}

class ShowFirmware : public torvi::test::SimTest {};

TEST_F(ShowFirmware, VerdictIsWhatPushFirmwareDoes) {
  if (!torvi::test::have_program("7zz")) GTEST_SKIP() << "7zz (Debian package 7zip) is missing";
  torvi::test::TempDir dir;
  const Bytes good = firmware(1835192 + 4096), tiny = torvi::test::pseudo_image(1000, 2);
  const std::string pw = std::string(" -p") + kFirmwarePackagePassword,
                    aes = aes256_switches("Deflate"), wrong = aes256_switches("Deflate", "wrong"),
                    aes128 = "-mem=AES128 -mm=Deflate" + pw, hdr = kFirmwareHeaderEntry,
                    pay = kFirmwarePayloadEntry;
  const std::string digest = torvi::test::header_text_for(tiny);
  // A path longer than push_firmware's 260 characters: it reads the cut
  // path, whose extension is no longer "bin".
  const std::string deep = dir.file(std::string(200, 'd'));
  std::filesystem::create_directories(deep);
  const std::string cut = deep + "/" + std::string(100, 'f') + ".bin";

  struct Case {
    std::string file;
    std::vector<torvi::test::FixtureEntry> entries;  // a 7-Zip package; none: made below
    const char* failed;                              // the failed check as listed; null for none
    bool accepted = false;
  };
  const Case cases[] = {
      {"copy.bin", torvi::test::package_entries(good, aes256_switches("Copy")), nullptr, true},
      {"deflate.bin", torvi::test::package_entries(good, aes), nullptr, true},
      {"bzip2.bin", torvi::test::package_entries(good, aes256_switches("BZip2")), nullptr, true},
      {"lzma.bin", torvi::test::package_entries(good, aes256_switches("LZMA")), nullptr, true},
      {"xz.bin", torvi::test::package_entries(good, aes256_switches("XZ")), nullptr, true},
      {"zstd.bin", {}, nullptr, true},
      {"fw.binary", {}, nullptr, true},
      {"notzip.bin", {}, "ZIP archive opens - failed"},
      {"noheader.bin", {{pay, tiny, aes}}, "entry present torvi.bh failed"},
      {"aes128.bin",
       {{hdr, torvi::test::bytes_of(digest), aes128}, {pay, tiny, aes}},
       "AES-256 encryption torvi.bh failed AES-128"},
      {"payload-aes128.bin",
       {{hdr, torvi::test::bytes_of(digest), aes}, {pay, tiny, aes128}},
       "AES-256 encryption torvi.binary failed AES-128"},
      {"deflate64.bin",
       {{hdr, torvi::test::bytes_of(digest), aes256_switches("Deflate64")}, {pay, tiny, aes}},
       "compression method torvi.bh failed deflate64 (9)"},
      {"ppmd.bin",
       {{hdr, torvi::test::bytes_of(digest), aes}, {pay, tiny, aes256_switches("PPMd")}},
       "compression method torvi.binary failed ppmd (98)"},
      {"password.bin", torvi::test::package_entries(tiny, wrong),
       "opens with the password torvi.bh failed"},
      {"payload-password.bin",
       {{hdr, torvi::test::bytes_of(digest), aes}, {pay, tiny, wrong}},
       "opens with the password torvi.binary failed"},
      {"short-header.bin",
       {{hdr, torvi::test::bytes_of(digest.substr(1)), aes}, {pay, tiny, aes}},
       "header is 64 bytes torvi.bh failed"},
      {"nopayload.bin",
       {{hdr, torvi::test::bytes_of(digest), aes}},
       "entry present torvi.binary failed"},
      {"mismatch.bin",
       {{hdr, torvi::test::bytes_of(torvi::test::header_text_for(good)), aes}, {pay, tiny, aes}},
       "header digest is the payload's SHA-256 - failed"},
      {"nothex.bin",
       {{hdr, torvi::test::bytes_of("g" + digest.substr(1)), aes}, {pay, tiny, aes}},
       "header digest is the payload's SHA-256 - failed"},
      {"other.bin", torvi::test::package_entries(firmware(1835192, "KORVAN-8"), aes),
       "model name is KORVAN-4 failed KORVAN-8"},
      {"short.binary", {}, "holds the information block (1835192 bytes) failed"},
      {"big.binary", {}, "size 1 to 16777214 bytes failed more than 16777214 bytes"},
      {"big.bin", {}, "size 1 to 16777214 bytes failed more than 16777214 bytes"},
      {"absent.binary", {}, "size 1 to 16777214 bytes failed 0 bytes"},
      {cut, {}, nullptr},
  };
  ASSERT_TRUE(torvi::test::build_zstd_package(dir.file("zstd.bin"),
                                              torvi::test::package_entries(good, "")));
  ASSERT_TRUE(torvi::test::build_zstd_package(
      dir.file("big.bin"), torvi::test::package_entries(firmware(16777215), ""), 1));
  torvi::test::write_file(dir.file("fw.binary"), good);
  torvi::test::write_file(dir.file("notzip.bin"), std::string("not a zip"));
  torvi::test::write_file(dir.file("short.binary"), firmware(1835191));
  torvi::test::write_file(dir.file("big.binary"), firmware(16777215));
  for (const Case& c : cases) {
    if (!c.entries.empty()) {
      ASSERT_EQ(torvi::test::build_with_7zip(dir.path(), dir.file(c.file), c.entries), "");
    }
  }
  std::filesystem::copy_file(dir.file("deflate.bin"), cut);

  for (const Case& c : cases) {
    const std::string path = c.file == cut ? cut : dir.file(c.file);
    SCOPED_TRACE(c.file == cut ? "the long path" : c.file);
    const test::inspect_run shown = test::run_inspect({"show", path});
    const std::string report = squeezed(shown.out);
    EXPECT_EQ(shown.status, c.accepted ? EXIT_GOOD : EXIT_PROBLEM);
    EXPECT_NE(report.find(c.accepted ? "\nverdict: accepted\n" : "\nverdict: refused\n"),
              std::string::npos)
        << shown.out;
    EXPECT_EQ(report.find(" failed") == std::string::npos, c.failed == nullptr) << shown.out;
    if (c.failed) {
      EXPECT_NE(report.find(std::string(" ") + c.failed), std::string::npos) << shown.out;
    }
    EXPECT_EQ(shown.out.find("Firmware Info"), std::string::npos);  // the reader's lines kept
    EXPECT_EQ(shown.err, "");

    sim().clear_events();
    torvi::test::ConsoleCapture capture;
    push_firmware(ip(), path.c_str());
    EXPECT_EQ(events_of("upload").size(), c.accepted ? 1u : 0u);
    if (!c.accepted) {
      EXPECT_EQ(report.substr(report.find("push firmware lines:")),
                squeezed(as_listed(capture.out())));
    }
  }

  const test::inspect_run json = test::run_inspect({"show", "--json", dir.file("lzma.bin")});
  torvi::test::write_file(dir.file("report.json"), json.out);
  std::string parsed;
  ASSERT_EQ(
      torvi::test::run_command("python3 -c 'import json,sys; d=json.load(open(sys.argv[1])); "
                               "print(d[\"verdict\"], d[\"information_block\"][\"model_name\"], "
                               "d[\"header_digest\"] == d[\"payload_sha256\"])' " +
                                   dir.file("report.json"),
                               &parsed),
      0)
      << json.out;
  EXPECT_EQ(parsed, "accepted KORVAN-4 True\n");
}

}  // namespace
}  // namespace torvi::inspect
