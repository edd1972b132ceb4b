// The transfers and the status query against korvan-sim.
#include <gtest/gtest.h>
#include <httplib.h>

#include <regex>
#include <thread>

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
    SimTest::TearDown();
  }
};

ImageRecord image_of(size_t size) {
  ImageRecord record;
  for (size_t i = 0; i < size; ++i)
    record.data.push_back(static_cast<std::uint8_t>(i * 7 + (i >> 9)));
  record.size = size;
  return record;
}

// get_status, plain and with the verbose trace, its result under a failed
// query, and with nothing listening.
TEST_F(LinkTest, GetStatusUnderFaults) {
  const std::string fetching =
      "status\tfetching URL '" + std::string(ip()) + "/api/v100/status.ssi'.\n";
  const std::string received = fetching + "status\treceived N bytes.\n",
                    failed = "curl_easy_perform() failed: ";
  const struct {
    const char* fault;
    int rc;
    std::string out;  // N stands for any count but 0
    std::string err;  // how standard error begins
  } cases[] = {
      {"", 0, received + "model_name=KORVAN-4\r\n", ""},
      {"verbose", 0, received + "model_name=KORVAN-4\r\n", "*"},
      {"status-no-model", 1, received, ""},
      {"http-close", 1, fetching, failed},
  };
  for (const auto& c : cases) {
    sim().clear_faults();
    sim().clear_events();
    verbose = std::string(c.fault) == "verbose";
    if (*c.fault && !verbose) {
      ASSERT_TRUE(sim().set_fault(c.fault)) << c.fault;
    }
    ConsoleCapture capture;
    EXPECT_EQ(get_status(ip()), c.rc) << c.fault;
    EXPECT_EQ(std::regex_replace(capture.out(), std::regex("received [1-9][0-9]* bytes"),
                                 "received N bytes"),
              c.out)
        << c.fault;
    // The verbose trace shows libcurl's request; without it standard error is quiet.
    if (verbose) {
      EXPECT_NE(capture.err().find("GET /api/v100/status.ssi"), std::string::npos);
    } else {
      EXPECT_EQ(capture.err().substr(0, c.err.size()), c.err) << c.fault;
      if (c.err.empty()) {
        EXPECT_EQ(capture.err(), "") << c.fault;
      }
    }
    EXPECT_EQ(http_requests(), std::vector<std::string>{"/api/v100/status.ssi"}) << c.fault;
  }
  verbose = 0;
  ConsoleCapture capture;
  std::string dead = test::dead_address();
  EXPECT_EQ(get_status(dead.c_str()), 1);
  EXPECT_EQ(capture.out(), "status\tfetching URL '" + dead + "/api/v100/status.ssi'.\n");
  EXPECT_EQ(capture.err(), "curl_easy_perform() failed: Couldn't connect to server\n");
}

// A reply is kept up to 64 MiB; one byte more aborts the fetch with a write
// error, and nothing of it is kept.
TEST_F(LinkTest, FetchKeepsAtMost64MiB) {
  httplib::Server server;
  server.Get(R"(/(\d+))", [](const httplib::Request& request, httplib::Response& response) {
    response.set_content_provider(std::stoull(request.matches[1]), "application/octet-stream",
                                  [](size_t, size_t length, httplib::DataSink& sink) {
                                    static const std::string block(65536, 'x');
                                    return sink.write(block.data(), std::min(length, block.size()));
                                  });
  });
  const int port = server.bind_to_any_port("127.0.0.1");
  ASSERT_GT(port, 0);
  std::thread serving([&] { server.listen_after_bind(); });
  for (const unsigned long long size : {67108864ull, 67108865ull}) {
    const std::string url = "127.0.0.1:" + std::to_string(port) + "/" + std::to_string(size);
    const bool over = size > 67108864;
    ReceiveBuffer buffer;
    ConsoleCapture capture;
    EXPECT_EQ(link_fetch("status", url.c_str(), buffer), over ? 1 : 0);
    const std::string fetching = "status\tfetching URL '" + url + "'.\n";
    EXPECT_EQ(capture.out(), over ? fetching : fetching + "status\treceived 67108864 bytes.\n");
    EXPECT_EQ(capture.err(),
              over
                  ? "curl_easy_perform() failed: Failed writing received data to disk/application\n"
                  : "");
    EXPECT_EQ(buffer.size(), over ? 0u : size);
  }
  server.stop();
  serving.join();
}

TEST_F(LinkTest, MissingArguments) {
  ConsoleCapture capture;
  EXPECT_EQ(get_status(nullptr), 2);
  EXPECT_EQ(status_fetch(nullptr, nullptr), 1);
  EXPECT_EQ(backup_restore_request(nullptr), 1);
  EXPECT_EQ(firmware_upgrade_request(ip(), nullptr, 1), 1);
  ImageRecord zero = image_of(16), overstated = image_of(16);
  zero.size = 0;
  overstated.size = 17;
  for (const ImageRecord& record : {ImageRecord{}, zero, overstated})
    EXPECT_EQ(firmware_push_tftp(ip(), record), 1);
  EXPECT_EQ(capture.out(), "Missing arguments for action get_status.");
  EXPECT_TRUE(sim().events().empty());
}

TEST_F(LinkTest, CommandRequestsOnTheWire) {
  ConsoleCapture capture;
  EXPECT_EQ(backup_restore_request(ip()), 0);
  const std::string restore = "/api/v100/status.ssi?action=restoreconfig";
  EXPECT_EQ(capture.out(), "backup_put\tpushing URL '" + std::string(ip()) + restore + "'.\n");
  std::uint8_t digest[32];
  for (int i = 0; i < 32; ++i) digest[i] = static_cast<std::uint8_t>(i);
  ConsoleCapture upgrade;
  EXPECT_EQ(firmware_upgrade_request(ip(), digest, 1835192), 0);
  const std::string target =
      "/api/v100/status.ssi?action=firmwareupgrade&hash="
      "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f&size=1835192";
  const std::string line = "firmware\tpushing URL '" + std::string(ip()) + target + "'.\n";
  // The controller's reply is shown after the announcing line.
  EXPECT_EQ(upgrade.out().rfind(line, 0), 0u) << upgrade.out();
  EXPECT_GT(upgrade.out().size(), line.size());
  EXPECT_EQ(http_requests(), (std::vector<std::string>{restore, target}));
}

// Sizes around the 512-byte block; an upload through lost packets (libcurl
// spaces its retransmissions by a fraction of the total limit, so a short
// one keeps each lost block to a few seconds); one that stalls.
TEST_F(LinkTest, UploadSendsTheRecordUnchanged) {
  const std::tuple<size_t, const char*, int> cases[] = {{1, "", 0},
                                                        {511, "", 0},
                                                        {512, "", 0},
                                                        {513, "", 0},
                                                        {300000, "", 0},
                                                        {3000, "tftp-drop=3", 0},
                                                        {10000, "tftp-stall=2", 1}};
  for (const auto& [size, fault, rc] : cases) {
    sim().clear_events();
    if (*fault) {
      ASSERT_TRUE(sim().set_fault(fault));
    }
    const ImageRecord record = image_of(size);
    ConsoleCapture capture;
    const UploadLimits limits{.total = 10, .low_speed_time = rc ? 3 : 60};
    ASSERT_EQ(firmware_push_tftp(ip(), record, limits), rc) << size << capture.err();
    EXPECT_EQ(capture.out(),
              "firmware_push_tftp\tpushing URL 'tftp://" + std::string(ip()) + "/flashraw.bin'.\n");
    EXPECT_EQ(capture.err().find("curl_easy_perform() failed: ") != std::string::npos, rc == 1)
        << size;
    EXPECT_EQ(record.size, size);
    const auto uploads = events_of("upload");
    ASSERT_EQ(uploads.size(), rc == 0 ? 1u : 0u) << size;
    if (rc == 0) {
      EXPECT_EQ(uploads[0].data, record.data) << size;
    }
  }
}

}  // namespace
}  // namespace torvi
