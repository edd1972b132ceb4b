// The transfers and the status query against korvan-sim.
#include <gtest/gtest.h>

#include <regex>

#include "action/actions.h"
#include "link/transfers.h"
#include "link/verbose.h"
#include "sim_fixture.h"
#include "status/status.h"

namespace torvi {
namespace {

using test::ConsoleCapture;

class LinkTest : public test::SimTest {
 protected:
  void TearDown() override {
    verbose = 0;
    upload_limits() = UploadLimits{};
    SimTest::TearDown();
  }
};

ImageRecord image_of(size_t size) {
  ImageRecord record;
  record.data.resize(size);
  for (size_t i = 0; i < size; ++i) record.data[i] = static_cast<std::uint8_t>(i * 7 + (i >> 9));
  record.size = size;
  return record;
}

TEST_F(LinkTest, GetStatusPrintsTheModel) {
  ConsoleCapture capture;
  EXPECT_EQ(get_status(ip()), 0);
  std::regex expected("status\tfetching URL '" + std::string(ip()) +
                      "/api/v100/status\\.ssi'\\.\nstatus\treceived [1-9][0-9]* bytes\\.\n"
                      "model_name=KORVAN-4\r\n");
  EXPECT_TRUE(std::regex_match(capture.out(), expected)) << capture.out();
  EXPECT_EQ(capture.err(), "");
  EXPECT_EQ(http_requests(), std::vector<std::string>{"/api/v100/status.ssi"});
}

TEST_F(LinkTest, StatusRecordHoldsTheDocument) {
  ConsoleCapture capture;
  StatusRecord record;
  ASSERT_EQ(status_fetch(ip(), &record), 0);
  EXPECT_EQ(record.firmware_version, "2.2.4");
  EXPECT_TRUE(record.serial_number.has_value());
  EXPECT_TRUE(record.mac.has_value());
  EXPECT_TRUE(record.dali_channel_4.has_value());
  EXPECT_TRUE(record.username.has_value());
}

struct StatusFault {
  const char* fault;
  const char* out_has;  // a line get_status prints, or empty
  bool transfer_fails;
};

TEST_F(LinkTest, GetStatusUnderFaults) {
  const StatusFault cases[] = {
      {"status-404", "status\treceived ", false},
      {"status-empty", "status\treceived 0 bytes.\n", false},
      {"status-no-model", "status\treceived ", false},
      {"http-close", "status\tfetching URL", true},
      {"http-truncate", "status\tfetching URL", true},
  };
  for (const auto& c : cases) {
    sim().clear_faults();
    ASSERT_TRUE(sim().set_fault(c.fault)) << c.fault;
    ConsoleCapture capture;
    EXPECT_EQ(get_status(ip()), 1) << c.fault;
    EXPECT_NE(capture.out().find(c.out_has), std::string::npos) << c.fault << capture.out();
    EXPECT_EQ(capture.out().find("model_name="), std::string::npos) << c.fault;
    EXPECT_EQ(capture.err().rfind("curl_easy_perform() failed: ", 0) == 0, c.transfer_fails)
        << c.fault << capture.err();
  }
}

TEST_F(LinkTest, SlowControllerStillAnswers) {
  ASSERT_TRUE(sim().set_fault("http-delay=300"));
  ConsoleCapture capture;
  EXPECT_EQ(get_status(ip()), 0);
}

TEST_F(LinkTest, NothingListening) {
  ConsoleCapture capture;
  std::string dead = test::dead_address();
  EXPECT_EQ(get_status(dead.c_str()), 1);
  EXPECT_EQ(capture.out(), "status\tfetching URL '" + dead + "/api/v100/status.ssi'.\n");
  EXPECT_EQ(capture.err(), "curl_easy_perform() failed: Couldn't connect to server\n");
}

TEST_F(LinkTest, MissingArguments) {
  ConsoleCapture capture;
  EXPECT_EQ(get_status(nullptr), 2);
  EXPECT_EQ(status_fetch(nullptr, nullptr), 1);
  EXPECT_EQ(backup_restore_request(nullptr), 1);
  EXPECT_EQ(firmware_upgrade_request(ip(), nullptr, 1), 1);
  ImageRecord empty;
  EXPECT_EQ(firmware_push_tftp(ip(), empty), 1);
  ImageRecord zero = image_of(16);
  zero.size = 0;
  EXPECT_EQ(firmware_push_tftp(ip(), zero), 1);
  ImageRecord overstated = image_of(16);
  overstated.size = 17;
  EXPECT_EQ(firmware_push_tftp(ip(), overstated), 1);
  EXPECT_EQ(capture.out(), "Missing arguments for action get_status.");
  EXPECT_TRUE(sim().events().empty());
}

TEST_F(LinkTest, RestoreRequestDiscardsTheReply) {
  ConsoleCapture capture;
  EXPECT_EQ(backup_restore_request(ip()), 0);
  EXPECT_EQ(capture.out(), "backup_put\tpushing URL '" + std::string(ip()) +
                               "/api/v100/status.ssi?action=restoreconfig'.\n");
  EXPECT_EQ(http_requests(), std::vector<std::string>{"/api/v100/status.ssi?action=restoreconfig"});
}

TEST_F(LinkTest, UpgradeRequestCarriesDigestAndSize) {
  std::uint8_t digest[32];
  for (int i = 0; i < 32; ++i) digest[i] = static_cast<std::uint8_t>(i);
  ConsoleCapture capture;
  EXPECT_EQ(firmware_upgrade_request(ip(), digest, 1835192), 0);
  const std::string target =
      "/api/v100/status.ssi?action=firmwareupgrade&hash="
      "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f&size=1835192";
  EXPECT_EQ(capture.out().rfind("firmware\tpushing URL '" + std::string(ip()) + target + "'.\n", 0),
            0u)
      << capture.out();
  // The controller's reply is shown after the announcing line.
  EXPECT_GT(capture.out().size(),
            ("firmware\tpushing URL '" + std::string(ip()) + target + "'.\n").size());
  EXPECT_EQ(http_requests(), std::vector<std::string>{target});
}

TEST_F(LinkTest, UploadSendsTheRecordUnchanged) {
  for (size_t size : {size_t{1}, size_t{511}, size_t{512}, size_t{513}, size_t{300000}}) {
    sim().clear_events();
    ImageRecord record = image_of(size);
    ConsoleCapture capture;
    ASSERT_EQ(firmware_push_tftp(ip(), record), 0) << size << capture.err();
    EXPECT_EQ(capture.out(),
              "firmware_push_tftp\tpushing URL 'tftp://" + std::string(ip()) + "/flashraw.bin'.\n");
    EXPECT_EQ(record.size, size);
    auto uploads = events_of("upload");
    ASSERT_EQ(uploads.size(), 1u) << size;
    EXPECT_EQ(uploads[0].data, record.data) << size;
  }
}

TEST_F(LinkTest, UploadSurvivesDroppedPackets) {
  // libcurl spaces its retransmissions by a fraction of the total time
  // limit; a short limit keeps each lost block to a few seconds.
  upload_limits().total = 10;
  ASSERT_TRUE(sim().set_fault("tftp-drop=3"));
  ImageRecord record = image_of(3000);
  ConsoleCapture capture;
  ASSERT_EQ(firmware_push_tftp(ip(), record), 0) << capture.err();
  auto uploads = events_of("upload");
  ASSERT_EQ(uploads.size(), 1u);
  EXPECT_EQ(uploads[0].data, record.data);
}

TEST_F(LinkTest, UploadRefusedOrStalledFails) {
  upload_limits().total = 20;
  upload_limits().low_speed_time = 3;
  for (const char* fault : {"tftp-error", "tftp-stall=2"}) {
    sim().clear_faults();
    sim().clear_events();
    ASSERT_TRUE(sim().set_fault(fault));
    ImageRecord record = image_of(10000);
    ConsoleCapture capture;
    EXPECT_EQ(firmware_push_tftp(ip(), record), 1) << fault;
    EXPECT_NE(capture.err().find("curl_easy_perform() failed: "), std::string::npos) << fault;
    EXPECT_TRUE(events_of("upload").empty()) << fault;
  }
}

TEST_F(LinkTest, VerboseReachesLibcurl) {
  for (int flag : {0, 1}) {
    verbose = flag;
    ConsoleCapture capture;
    StatusRecord record;
    ASSERT_EQ(status_fetch(ip(), &record), 0);
    bool traced = capture.err().find("GET /api/v100/status.ssi") != std::string::npos;
    EXPECT_EQ(traced, flag == 1) << capture.err();
  }
}

}  // namespace
}  // namespace torvi
